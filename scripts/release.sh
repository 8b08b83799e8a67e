#!/usr/bin/env bash
# `make release`: builds the bootstrapper for shipping in its own build folder, with the real hosts
# and publisher, signs it (scripts/sign.sh), verifies the signature and prints its SHA-256.
# Everything comes from the environment (make passes its variables):
#   RORA_INSTALLER_HOST        host of the installer download server          required
#   RORA_PARAMETER_HOST        host of the parameter-storage service          required
#   RORA_INSTALLER_PUBLISHER   common name of the installer's signer          required
#   RORA_SIGNING_PKCS12        the publisher's key and certificate (PKCS#12)  required
#   RORA_SIGNING_PASSWORD_FILE a file holding its password                    required
#   RORA_TIMESTAMP_URL         an RFC 3161 time-stamp server                  optional
#   RORA_SIGNING_CA            the root to verify against (PEM)               optional: the system's CAs
#   RORA_RELEASE_DIR           the build folder                               default build/ship
# The built-in defaults are refused: they name no real server and no real publisher.
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
[ "$refused" = 0 ] || fail "refused: no release without the real hosts, publisher and signing key (see README.md, Releases)"

build=${RORA_RELEASE_DIR:-$source_dir/build/ship}
mkdir -p "$build"
build=$(cd "$build" && pwd)

deps=$(bash "$source_dir/scripts/build-curl.sh" | tail -n1)
[ -f "$deps/lib/libcurl.a" ] || fail "the libcurl build failed"

echo "release: building in $build"
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DRORA_WARNINGS_AS_ERRORS=ON -DBUILD_TESTING=OFF -DRORA_DEPS_PREFIX="$deps" \
    -DRORA_INSTALLER_HOST="$RORA_INSTALLER_HOST" -DRORA_PARAMETER_HOST="$RORA_PARAMETER_HOST" \
    -DRORA_INSTALLER_PUBLISHER="$RORA_INSTALLER_PUBLISHER" >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log" >&2; fail "configuring failed"; }
cmake --build "$build" --target bootstrapper >"$build/build.log" 2>&1 \
    || { tail -n 40 "$build/build.log" >&2; fail "the build failed"; }

unsigned=$build/src/RoraREZIdadezo15Setup.exe
signed=$build/RoraREZIdadezo15Setup.exe
echo "release: installer host $RORA_INSTALLER_HOST, parameter host $RORA_PARAMETER_HOST," \
    "publisher \"$RORA_INSTALLER_PUBLISHER\""
echo "release: unsigned image $unsigned (SHA-256 $(sha256sum "$unsigned" | cut -d' ' -f1))"
bash "$source_dir/scripts/sign.sh" --pkcs12 "$RORA_SIGNING_PKCS12" --password-file "$RORA_SIGNING_PASSWORD_FILE" \
    ${RORA_SIGNING_CA:+--ca "$RORA_SIGNING_CA"} ${RORA_TIMESTAMP_URL:+--timestamp "$RORA_TIMESTAMP_URL"} \
    "$unsigned" "$signed"
