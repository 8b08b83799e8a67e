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
#   RORA_INSTALLER_AS_OLDER_BOOTSTRAPPER  the same, its version resource giving the bootstrapper's
#                                    name of the major version before this one
#   RORA_INSTALLER_SIGNED_TWICE      signed with a time stamp, then a nested signature added
#   RORA_INSTALLER_PADDED_ENTRY      the signed one with 64 KiB more inside its certificate entry
#   RORA_INSTALLER_PADDED_TABLE      the same after that entry, inside the certificate table
#   RORA_INSTALLER_UNSIGNED_BLOB     the signed one with a blob among its unauthenticated attributes
#   RORA_INSTALLER_SECOND_ROOT       "Rora Test Publisher" under a second trusted root, whose key
#                                    no build pins (RORA_SECOND_TEST_ROOT)
#   RORA_INSTALLER_RENEWED           "Rora Test Publisher" on a new key, under the pinned root
#   RORA_INSTALLER_SUPERFLUOUS       signed carrying a self-signed certificate with 64 KiB of data
#   RORA_INSTALLER_MADE_UP_CA        signed carrying a certificate with the root's name and key
#                                    around 64 KiB of data, signed by another key
#   RORA_INSTALLER_CRL               signed, with a CRL of the root's in the signature
#   RORA_INSTALLER_NESTED_STRANGER   signed, with a nested signature by "Other Test Publisher"
#   RORA_INSTALLER_NESTED_CHANGED    signed twice, the nested signature's content changed after
#   RORA_INSTALLER_COUNTERSIGNED     signed twice, with a legacy countersignature beside
#   RORA_INSTALLER_STAMP_UNTRUSTED   time-stamped by an authority under the untrusted root
#   RORA_INSTALLER_STAMP_STRAY       time-stamped by a token that carries a stray certificate
#   RORA_INSTALLER_STAMP_CHANGED     signed twice, the token's TSTInfo changed after signing
#   RORA_INSTALLER_STAMP_ELSEWHERE   the renewed one, with the valid token of another signature
#   RORA_PUBLISHER_PKCS12, RORA_PUBLISHER_PASSWORD_FILE   the publisher's key, for signing tests
# All are Linux paths. The trusted root is made on the key a default build pins. It also makes the
# time-stamping certificates that test_server.py answers with at /timestamp/tsa (under the trusted
# root), /timestamp/untrusted-tsa (under the other) and /timestamp/stray-tsa (the first, its tokens
# carrying another certificate).
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
make_pinned_root root "Rora Test Root CA"
make_signer publisher root "Rora Test Publisher"
make_signer renewed root "Rora Test Publisher"
make_root second-root "Rora Second Test Root CA"
make_signer second-root-publisher second-root "Rora Test Publisher"
make_signer other root "Other Test Publisher"
make_signer server-auth root "Rora Test Publisher" serverAuth
make_root untrusted-root "Untrusted Test Root CA"
make_signer untrusted untrusted-root "Rora Test Publisher"
make_signer tsa root "Rora Test Time Stamps" critical,timeStamping
make_signer untrusted-tsa untrusted-root "Untrusted Test Time Stamps" critical,timeStamping
# The same authority, its tokens carrying a certificate that no chain of theirs uses.
cp tsa.key stray-tsa.key
cp tsa.crt stray-tsa.crt
cp other.crt stray-tsa.chain
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
for variant in as_product as_bootstrapper as_older_bootstrapper; do
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

# What no hash covers, changed as an attacker would: certificates, CRLs, other signatures and time
# stamps in the signature (tests/servers/craft_signature.py, under Debian's Python).
sign renewed "$installer" fake_installer-renewed.exe --ca root.pem
sign second-root-publisher "$installer" fake_installer-second-root.exe --ca second-root.pem
printf '[req]\ndistinguished_name=dn\n[dn]\n[data]\nbasicConstraints=critical,CA:TRUE\n1.3.6.1.4.1.55555.2=DER:%s\n' \
    "$(head -c 65536 /dev/zero | tr '\0' A | od -An -tx1 -v | tr -d ' \n')" >data.cnf
openssl req -x509 -newkey rsa:2048 -nodes -keyout tagged.key -out tagged.pem -subj "/CN=Tagged Data" -days 30 \
    -config data.cnf -extensions data 2>/dev/null
openssl pkey -in root.key -pubout -out root.pub
openssl genpkey -algorithm RSA -out made-up.key 2>/dev/null
openssl x509 -new -subj "/CN=Rora Test Root CA" -key made-up.key -force_pubkey root.pub -days 30 -extfile data.cnf \
    -extensions data -out made-up.pem 2>/dev/null
sign publisher "$installer" fake_installer-superfluous.exe --ca root.pem --add-cert tagged.pem
sign publisher "$installer" fake_installer-made-up-ca.exe --no-verify --add-cert made-up.pem
printf '[ca]\ndefault_ca=root\n[root]\ndatabase=crl-index.txt\ncrlnumber=crl-number\ndefault_md=sha256\ndefault_crl_days=30\n' >crl.cnf
: >crl-index.txt
echo 01 >crl-number
openssl ca -gencrl -config crl.cnf -keyfile root.key -cert root.pem -out root.crl 2>/dev/null
openssl crl -in root.crl -outform der -out root-crl.der
craft() { /usr/bin/python3 "$scripts/../tests/servers/craft_signature.py" "$@"; }
craft add-crl "$out/fake_installer-signed.exe" root-crl.der "$out/fake_installer-crl.exe"
osslsigncode sign -nest -pkcs12 other.p12 -readpass password -h sha256 -in "$out/fake_installer-signed.exe" \
    -out "$out/fake_installer-nested-stranger.exe" >&2
craft change-nested "$out/fake_installer-signed-twice.exe" "$out/fake_installer-nested-changed.exe"
craft countersign "$out/fake_installer-signed-twice.exe" "$out/fake_installer-countersigned.exe"
craft change-stamp "$out/fake_installer-signed-twice.exe" "$out/fake_installer-stamp-changed.exe"
craft graft-stamp "$out/fake_installer-renewed.exe" "$out/fake_installer-signed-twice.exe" \
    "$out/fake_installer-stamp-elsewhere.exe"
sign publisher "$installer" fake_installer-stamp-untrusted.exe --no-verify \
    --timestamp "http://127.0.0.1:$http_port/timestamp/untrusted-tsa"
sign publisher "$installer" fake_installer-stamp-stray.exe --no-verify \
    --timestamp "http://127.0.0.1:$http_port/timestamp/stray-tsa"

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
echo "export RORA_INSTALLER_AS_OLDER_BOOTSTRAPPER='$out/fake_installer-as-older-bootstrapper.exe'"
echo "export RORA_INSTALLER_SIGNED_TWICE='$out/fake_installer-signed-twice.exe'"
echo "export RORA_INSTALLER_PADDED_ENTRY='$out/fake_installer-padded-entry.exe'"
echo "export RORA_INSTALLER_PADDED_TABLE='$out/fake_installer-padded-table.exe'"
echo "export RORA_INSTALLER_UNSIGNED_BLOB='$out/fake_installer-unsigned-blob.exe'"
echo "export RORA_SECOND_TEST_ROOT='$dir/second-root.pem'"
for name in second-root renewed superfluous made-up-ca crl nested-stranger nested-changed countersigned \
    stamp-untrusted stamp-stray stamp-changed stamp-elsewhere; do
    variable=RORA_INSTALLER_$(tr a-z- A-Z_ <<<"$name")
    echo "export $variable='$out/fake_installer-$name.exe'"
done
echo "export RORA_PUBLISHER_PKCS12='$dir/publisher.p12'"
echo "export RORA_PUBLISHER_PASSWORD_FILE='$dir/password'"
