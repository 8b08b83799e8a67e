#!/usr/bin/env bash
# `make release`: builds the bootstrapper for shipping in its own build folder, with the real hosts
# and publisher, signs it (scripts/sign.sh), verifies the signature and its time stamp and prints
# its SHA-256. Everything comes from the environment, where make puts its variables as given; the
# hosts and the publisher reach the build byte for byte (cmake/release-settings.cmake):
#   RORA_INSTALLER_HOST        host of the installer download server          required
#   RORA_PARAMETER_HOST        host of the parameter-storage service          required
#   RORA_INSTALLER_PUBLISHER   common name of the installer's signer          required
#   RORA_INSTALLER_KEY_PINS    the keys one of which the installer's chain    required
#                              must hold: base64 SHA-256 of each key's
#                              SubjectPublicKeyInfo, separated by ";"
#   RORA_SIGNING_PKCS12        the publisher's key and certificate (PKCS#12)  required
#   RORA_SIGNING_PASSWORD_FILE a file holding its password                    required
#   RORA_TIMESTAMP_URL         an RFC 3161 time-stamp server (http:// or      required
#                              https://), or none: no time stamp, a warning
#   RORA_SIGNING_CA            the root to verify the signature and the       optional: the system's CAs
#                              time stamp against (PEM)
#   RORA_RELEASE_DIR           the build folder                               default build/ship
# The built-in defaults are refused: they name no real server, no real publisher and no real key.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

fail() {
    echo "release: $*" >&2
    exit 2
}

# Defaults of CMakeLists.txt: a build with any of them is not a release.
refused=0
for setting in RORA_INSTALLER_HOST=download.rora-rez.invalid RORA_PARAMETER_HOST=parameters.rora-rez.invalid \
    "RORA_INSTALLER_PUBLISHER=Rora Test Publisher"; do
    name=${setting%%=*} default=${setting#*=}
    value=${!name:-}
    if [ -z "$value" ]; then
        echo "release: $name is not set; give the real value, e.g. make release $name=..." >&2
        refused=1
    elif [ "$value" = "$default" ]; then
        echo "release: $name is the built-in default \"$default\", which is for tests only" >&2
        refused=1
    fi
done
# The tests' key is pinned by a default build; its private half is in the source tree.
test_pin=$(openssl pkey -in "$source_dir/tests/keys/test-root.key" -pubout -outform der | openssl dgst -sha256 -binary | base64)
pins=${RORA_INSTALLER_KEY_PINS:-}
if [ -z "$pins" ]; then
    echo "release: RORA_INSTALLER_KEY_PINS is not set; give the pin of the key that issues the publisher's" \
        "certificate (docs/releases.md)" >&2
    refused=1
elif [[ ";$pins;" == *";$test_pin;"* ]]; then
    echo "release: RORA_INSTALLER_KEY_PINS holds the tests' pin $test_pin, whose private key is public" >&2
    refused=1
fi
for name in RORA_SIGNING_PKCS12 RORA_SIGNING_PASSWORD_FILE; do
    value=${!name:-}
    if [ -z "$value" ]; then
        echo "release: $name is not set" >&2
        refused=1
    elif [ ! -r "$value" ]; then
        echo "release: $name names $value, which cannot be read" >&2
        refused=1
    fi
done
# Without a time stamp the signature stops verifying when the signing certificate expires: that
# takes an explicit "none".
timestamp=${RORA_TIMESTAMP_URL:-}
case $timestamp in
"")
    echo "release: RORA_TIMESTAMP_URL is not set; give an RFC 3161 time-stamp server (http://... or" \
        "https://...), or none to sign without a time stamp" >&2
    refused=1 ;;
none | http://?* | https://?*) ;;
*)
    echo "release: RORA_TIMESTAMP_URL \"$timestamp\" is neither an http:// or https:// URL nor none" >&2
    refused=1 ;;
esac
[ "$refused" = 0 ] || fail "refused: no release without the real hosts, publisher, key pins, signing key and time stamp (see docs/releases.md)"

build=${RORA_RELEASE_DIR:-$source_dir/build/ship}
mkdir -p "$build"
build=$(cd "$build" && pwd)
# A release that fails leaves no signed file behind, not even one from an earlier run: the signed
# executable is the only program at the top of the build folder.
find "$build" -maxdepth 1 -name '*.exe' -delete

deps=$(bash "$source_dir/scripts/build-curl.sh" | tail -n1)
[ -f "$deps/lib/libcurl.a" ] || fail "the libcurl build failed"

echo "release: building in $build"
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DRORA_WARNINGS_AS_ERRORS=ON -DBUILD_TESTING=OFF -DRORA_DEPS_PREFIX="$deps" \
    -C "$source_dir/cmake/release-settings.cmake" >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log" >&2; fail "configuring failed"; }
cmake --build "$build" --target bootstrapper >"$build/build.log" 2>&1 \
    || { tail -n 40 "$build/build.log" >&2; fail "the build failed"; }
name=$(. "$build/product.env" && echo "$RORA_BOOTSTRAPPER_FILE_NAME")
unsigned=$build/src/$name
signed=$build/$name

echo "release: installer host $RORA_INSTALLER_HOST, parameter host $RORA_PARAMETER_HOST," \
    "publisher \"$RORA_INSTALLER_PUBLISHER\", key pins $RORA_INSTALLER_KEY_PINS"
echo "release: unsigned image $unsigned (SHA-256 $(sha256sum "$unsigned" | cut -d' ' -f1))"
signing=(--pkcs12 "$RORA_SIGNING_PKCS12" --password-file "$RORA_SIGNING_PASSWORD_FILE")
[ -z "${RORA_SIGNING_CA:-}" ] || signing+=(--ca "$RORA_SIGNING_CA")
[ "$timestamp" = none ] || signing+=(--timestamp "$timestamp")
bash "$source_dir/scripts/sign.sh" "${signing[@]}" "$unsigned" "$signed"
if [ "$timestamp" = none ]; then
    echo "release: warning: signed without a time stamp (RORA_TIMESTAMP_URL=none): the signature stops" \
        "verifying when the signing certificate expires" >&2
fi
