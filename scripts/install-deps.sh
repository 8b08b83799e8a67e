#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, as root.
# Idempotent: a second run only checks that everything is there.
set -euo pipefail

packages=(
    g++-mingw-w64-i686-posix libz-mingw-w64-dev mingw-w64-tools
    nlohmann-json3-dev googletest cmake make ninja-build
    dpkg-dev autoconf automake libtool quilt
    wine wine32:i386 wine64 xvfb xauth xdotool imagemagick openssl
    tinyproxy python3 tesseract-ocr tesseract-ocr-eng git osslsigncode ca-certificates
)

# Everything comes from a Debian archive: without one configured there is nothing to install
# from, and curl's source cannot be fetched.
archives=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | grep -Ec '^[[:space:]]*deb[[:space:]]' || true)
archives=$((archives + $(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -Ec '^Types:(.*[[:space:]])?deb([[:space:]]|$)' || true)))
if [ "$archives" = 0 ]; then
    echo "install-deps: no Debian archive is configured (no deb entry in /etc/apt/sources.list or" \
        "/etc/apt/sources.list.d/); add the Debian 12 archive there and run again" >&2
    exit 1
fi

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need_update=1
fi

# curl's source package comes from the same archive and suites as the binary packages.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/project-deb-src.sources
    else
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/project-deb-src.list
    fi
    need_update=1
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    need_update=1
fi
# A mirror in the middle of a sync can serve one index that does not match its Release file; apt
# then leaves that index out. A few tries usually get past it; after that the install goes on
# with the indexes that did come.
update_complete=1
if [ "$need_update" = 1 ]; then
    update_complete=0
    for attempt in 1 2 3; do
        if apt-get update -qq; then
            update_complete=1
            break
        fi
        [ "$attempt" = 3 ] || sleep 10
    done
    [ "$update_complete" = 1 ] || echo "install-deps: apt-get update left out an index; installing from the rest" >&2
fi
if [ ${#missing[@]} -gt 0 ]; then
    install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
    if ! "${install[@]}" "${missing[@]}" >/dev/null; then
        # Without one architecture's index of a suite, the i386 and amd64 copies of a library
        # would come from different suites at different versions, which multiarch forbids: take
        # both from the release's own suite instead.
        [ "$update_complete" = 0 ] || exit 1
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
        echo "install-deps: installing from $codename alone, where both architectures' indexes are complete" >&2
        "${install[@]}" -t "$codename" "${missing[@]}" >/dev/null
    fi
fi
# tinyproxy's package may start a system service on its own port; tests start their own
# instances on free ports, and no test relies on the service being gone.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now tinyproxy >/dev/null 2>&1 || true; fi
echo "dependencies: ok"
