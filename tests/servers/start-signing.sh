#!/usr/bin/env bash
# Test-environment hook: code-signing certificates made for this run and the fake installer
# signed with each of them (scripts/test-certificates.sh, scripts/sign.sh). scripts/test-env.sh
# adds RORA_TEST_ROOT to the machine's trusted roots of the run's Wine prefixes. Needs
# RORA_FAKE_INSTALLER and RORA_PLANTED_LIBRARY (the built test programs). Prints the exports:
#   RORA_TEST_ROOT                   the trusted test root (PEM)
#   RORA_SIGNED_INSTALLER            signed by "Rora Test Publisher" (code signing) under that root
#   RORA_INSTALLER_UNSIGNED          not signed
#   RORA_INSTALLER_TAMPERED          the signed one with one byte of its .text section changed
#   RORA_INSTALLER_OTHER_PUBLISHER   signed by "Other Test Publisher" under the trusted root
#   RORA_INSTALLER_UNTRUSTED_ROOT    "Rora Test Publisher" under a root nobody trusts, root included
#   RORA_INSTALLER_PARTIAL_CHAIN     the same without the root: the chain cannot be completed
#   RORA_INSTALLER_NO_CODE_SIGNING   "Rora Test Publisher" under the trusted root, serverAuth only
#   RORA_SIGNED_DLL_AS_EXE           a DLL signed by "Rora Test Publisher", named .exe
#   RORA_SIGNED_BOOTSTRAPPER         the bootstrapper signed by "Rora Test Publisher"
#   RORA_INSTALLER_AS_BOOTSTRAPPER   signed by "Rora Test Publisher", its version resource giving one
#                                    of the bootstrapper's file names (fake_installer_version.rc)
#   RORA_INSTALLER_AS_PRODUCT        the same with the product's names and file names of its own
#   RORA_INSTALLER_SIGNED_TWICE      signed with a time stamp, then a nested signature added
#   RORA_INSTALLER_PADDED_ENTRY      the signed one with 64 KiB more inside its certificate entry
#   RORA_INSTALLER_PADDED_TABLE      the same after that entry, inside the certificate table
#   RORA_INSTALLER_UNSIGNED_BLOB     the signed one with a blob among its unauthenticated attributes
#   RORA_PUBLISHER_PKCS12, RORA_PUBLISHER_PASSWORD_FILE   the publisher's key, for signing tests
# All are Linux paths. It also makes the time-stamping certificates that test_server.py answers
# with at /timestamp/tsa (under the trusted root) and /timestamp/untrusted-tsa (under the other).
set -euo pipefail
: "${RORA_TEST_ENV:?RORA_TEST_ENV names the test environment}"
: "${RORA_FAKE_INSTALLER:?RORA_FAKE_INSTALLER names the built fake installer}"
: "${RORA_PLANTED_LIBRARY:?RORA_PLANTED_LIBRARY names a built DLL to sign}"
: "${RORA_BOOTSTRAPPER:?RORA_BOOTSTRAPPER names the built bootstrapper}"
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
dir="$RORA_TEST_ENV/signing"
rm -rf "$dir"
mkdir -p "$dir/installers"
cd "$dir"

. "$scripts/test-certificates.sh"
make_root root "Rora Test Root CA"
make_signer publisher root "Rora Test Publisher"
make_signer other root "Other Test Publisher"
make_signer server-auth root "Rora Test Publisher" serverAuth
make_root untrusted-root "Untrusted Test Root CA"
make_signer untrusted untrusted-root "Rora Test Publisher"
make_signer tsa root "Rora Test Time Stamps" critical,timeStamping
make_signer untrusted-tsa untrusted-root "Untrusted Test Time Stamps" critical,timeStamping
echo 01 >tsa.serial
cat >tsa.cnf <<CNF
[tsa]
default_tsa = authority
[authority]
serial = $dir/tsa.serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha256, sha384, sha512
CNF

out=$dir/installers
# The names keep "fake_installer", by which tests find the installer's processes.
sign() { # key (PKCS#12 name), program, output name, sign.sh options...
    local key=$1 program=$2 name=$3
    shift 3
    bash "$scripts/sign.sh" --pkcs12 "$key.p12" --password-file password "$@" "$program" "$out/$name" >&2
}
installer=$RORA_FAKE_INSTALLER
sign publisher "$installer" fake_installer-signed.exe --ca root.pem
cp "$installer" "$out/fake_installer-unsigned.exe"
sign other "$installer" fake_installer-other-publisher.exe --ca root.pem
sign untrusted "$installer" fake_installer-untrusted-root.exe --ca untrusted-root.pem --add-cert untrusted-root.pem
sign untrusted "$installer" fake_installer-partial-chain.exe --ca untrusted-root.pem
sign server-auth "$installer" fake_installer-no-code-signing.exe --no-verify
sign publisher "$RORA_PLANTED_LIBRARY" signed_dll.exe --ca root.pem
sign publisher "$RORA_BOOTSTRAPPER" fake_installer-bootstrapper.exe --ca root.pem
for variant in as_product as_bootstrapper; do
    sign publisher "$(dirname "$installer")/fake_installer_$variant.exe" "fake_installer-${variant//_/-}.exe" --ca root.pem
done

# Twice: a time-stamped signature from test_server.py's authority, and a nested one beside it.
http_port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["http"])' "$RORA_TEST_ENV/http-ports.json")
sign publisher "$installer" fake_installer-stamped.exe --ca root.pem --timestamp "http://127.0.0.1:$http_port/timestamp/tsa"
osslsigncode sign -nest -pkcs12 publisher.p12 -readpass password -h sha256 -in "$out/fake_installer-stamped.exe" \
    -out "$out/fake_installer-signed-twice.exe" >&2
rm "$out/fake_installer-stamped.exe"

# 64 KiB that no signature covers: inside the one certificate entry (the entry and the table
# grow), or after it inside the table (only the table grows). The table's place and size stand
# in the optional header's security directory, which the signature leaves out as well.
python3 - "$out/fake_installer-signed.exe" "$out/fake_installer-padded" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
security = struct.unpack_from("<I", data, 0x3c)[0] + 24 + 96 + 4 * 8  # PE32
offset, size = struct.unpack_from("<II", data, security)
for where in ("entry", "table"):
    padded = bytearray(data) + bytes(range(256)) * 256
    struct.pack_into("<I", padded, security + 4, size + 65536)
    if where == "entry":
        struct.pack_into("<I", padded, offset, struct.unpack_from("<I", data, offset)[0] + 65536)
    open("%s-%s.exe" % (sys.argv[2], where), "wb").write(padded)
PY

osslsigncode add -addUnauthenticatedBlob -in "$out/fake_installer-signed.exe" -out "$out/fake_installer-unsigned-blob.exe" >&2

# One byte in the middle of the code section: the signature stays, the digest no longer matches.
python3 - "$out/fake_installer-signed.exe" "$out/fake_installer-tampered.exe" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3c)[0]
count = struct.unpack_from("<H", data, pe + 6)[0]
optional = struct.unpack_from("<H", data, pe + 20)[0]
for i in range(count):
    name, _, _, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, pe + 24 + optional + 40 * i)
    if name.rstrip(b"\0") == b".text":
        data[raw_offset + raw_size // 2] ^= 0x01
        break
else:
    sys.exit("no .text section in " + sys.argv[1])
open(sys.argv[2], "wb").write(data)
PY

# What each file is, as far as osslsigncode can tell against the trusted root alone (it cannot
# tell the publishers apart: their chains are equally good).
expect() { # ok|refused, file
    if osslsigncode verify -CAfile root.pem -in "$out/$2" >/dev/null 2>&1; then result=ok; else result=refused; fi
    [ "$result" = "$1" ] || { echo "start-signing: $2 verifies as '$result' against the test root, expected '$1'" >&2; exit 1; }
}
expect ok fake_installer-signed.exe
expect refused fake_installer-unsigned.exe
expect refused fake_installer-tampered.exe
expect ok fake_installer-other-publisher.exe
expect refused fake_installer-untrusted-root.exe
expect refused fake_installer-partial-chain.exe
expect refused fake_installer-no-code-signing.exe
expect ok signed_dll.exe
expect ok fake_installer-signed-twice.exe

echo "export RORA_TEST_ROOT='$dir/root.pem'"
echo "export RORA_SIGNED_INSTALLER='$out/fake_installer-signed.exe'"
echo "export RORA_INSTALLER_UNSIGNED='$out/fake_installer-unsigned.exe'"
echo "export RORA_INSTALLER_TAMPERED='$out/fake_installer-tampered.exe'"
echo "export RORA_INSTALLER_OTHER_PUBLISHER='$out/fake_installer-other-publisher.exe'"
echo "export RORA_INSTALLER_UNTRUSTED_ROOT='$out/fake_installer-untrusted-root.exe'"
echo "export RORA_INSTALLER_PARTIAL_CHAIN='$out/fake_installer-partial-chain.exe'"
echo "export RORA_INSTALLER_NO_CODE_SIGNING='$out/fake_installer-no-code-signing.exe'"
echo "export RORA_SIGNED_DLL_AS_EXE='$out/signed_dll.exe'"
echo "export RORA_SIGNED_BOOTSTRAPPER='$out/fake_installer-bootstrapper.exe'"
echo "export RORA_INSTALLER_AS_BOOTSTRAPPER='$out/fake_installer-as-bootstrapper.exe'"
echo "export RORA_INSTALLER_AS_PRODUCT='$out/fake_installer-as-product.exe'"
echo "export RORA_INSTALLER_SIGNED_TWICE='$out/fake_installer-signed-twice.exe'"
echo "export RORA_INSTALLER_PADDED_ENTRY='$out/fake_installer-padded-entry.exe'"
echo "export RORA_INSTALLER_PADDED_TABLE='$out/fake_installer-padded-table.exe'"
echo "export RORA_INSTALLER_UNSIGNED_BLOB='$out/fake_installer-unsigned-blob.exe'"
echo "export RORA_PUBLISHER_PKCS12='$dir/publisher.p12'"
echo "export RORA_PUBLISHER_PASSWORD_FILE='$dir/password'"
