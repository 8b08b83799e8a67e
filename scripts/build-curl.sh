#!/usr/bin/env bash
# Builds libcurl from exactly the Debian source version pinned in libcurl-source.version (with
# Debian's patches) as a static i686 Windows library with Schannel and zlib, HTTP and HTTPS
# only, plus curl.exe for the benchmarks. The result is cached under a key made of that version
# and these flags, so a second run only prints the prefix. Says so on standard error when the
# archive offers a newer revision of the same upstream version, and stops when the pinned one
# is neither cached nor offered.
# Usage: build-curl.sh  -> prints the install prefix on its last line.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
pinned=$(grep -v '^[[:space:]]*#' "$here/libcurl-source.version" | tr -d '[:space:]')
upstream=${pinned%%-*}
if [ -z "$pinned" ] || [ "$upstream" = "$pinned" ]; then
    echo "build-curl: scripts/libcurl-source.version names no Debian source version" >&2
    exit 1
fi
cache_root=${RORA_DEPS_CACHE:-/var/cache/rora-bootstrapper}
host=i686-w64-mingw32

cppflags="-D_WIN32_WINNT=0x0601 -DWINVER=0x0601"
# Sized for the executable: transfers are bound by system calls, not by libcurl's code (same
# speeds as -O2 in bench/run.sh). No exception ever unwinds through libcurl (every callback
# catches), so its frames need no unwind tables.
cflags="-Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables"
configure_flags=(
    --host=$host --disable-shared --enable-static
    --with-schannel --without-openssl --with-zlib=/usr/$host
    --without-libpsl --without-libidn2 --without-winidn --without-brotli --without-zstd
    --without-nghttp2 --without-libssh2 --without-librtmp --without-ca-bundle --without-ca-path
    --disable-ftp --disable-file --disable-ldap --disable-ldaps --disable-rtsp --disable-dict
    --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smtp --disable-gopher
    --disable-mqtt --disable-smb --disable-manual --disable-unix-sockets --disable-libcurl-option
    --disable-pthreads
)
key=$(printf '%s\n' "$pinned" "$cppflags" "$cflags" "${configure_flags[@]}" | sha256sum | cut -c1-12)
prefix=$cache_root/curl-$pinned-$key

# The newest revision of the same upstream version that the configured archives offer, and
# whether they still offer the pinned one.
newest=""
offered=0
for candidate in $(apt-cache showsrc curl 2>/dev/null | awk '/^Version:/ {print $2}' | sort -u); do
    [ "${candidate%%-*}" = "$upstream" ] || continue
    [ "$candidate" = "$pinned" ] && offered=1
    if [ -z "$newest" ] || dpkg --compare-versions "$candidate" gt "$newest"; then
        newest=$candidate
    fi
done
if [ -n "$newest" ] && dpkg --compare-versions "$newest" gt "$pinned"; then
    echo "build-curl: Debian offers curl $newest, newer than the pinned $pinned (scripts/libcurl-source.version)" >&2
fi

if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

if [ "$offered" != 1 ]; then
    echo "build-curl: the pinned curl source $pinned is not offered by the configured archives (newest $upstream revision: ${newest:-none}); move the pin in scripts/libcurl-source.version" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source --download-only "curl=$pinned" >/dev/null 2>&1 || {
    echo "build-curl: could not download the curl source $pinned" >&2
    exit 1
}
dsc=curl_${pinned#*:}.dsc
[ -f "$dsc" ] || { echo "build-curl: $dsc missing after the download" >&2; exit 1; }
dpkg-source -x "$dsc" src >/dev/null 2>&1
cd src
# Debian's last two patches rename the library for its NSS and GnuTLS flavours.
QUILT_PATCHES=debian/patches quilt pop -q 2 >/dev/null 2>&1 || true
for p in 99_nss 90_gnutls; do
    if QUILT_PATCHES=debian/patches quilt applied 2>/dev/null | grep -q "$p"; then
        echo "patch $p is still applied" >&2; exit 1
    fi
done
autoreconf -fi >/dev/null 2>&1
mkdir ../build && cd ../build
../src/configure "${configure_flags[@]}" --prefix="$prefix" \
    CC=$host-gcc-posix AR=$host-ar RANLIB=$host-ranlib RC=$host-windres \
    CPPFLAGS="$cppflags" CFLAGS="$cflags" >configure.log 2>&1 || { tail -40 configure.log >&2; exit 1; }
grep -q 'SSL:.*Schannel' configure.log || { echo "libcurl configured without Schannel" >&2; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
rm -rf "$prefix"
make install >install.log 2>&1 || { tail -40 install.log >&2; exit 1; }
cp src/.libs/curl.exe "$prefix/bin/curl.exe" 2>/dev/null || cp src/curl.exe "$prefix/bin/curl.exe"
touch "$prefix/.complete"
echo "$prefix"
