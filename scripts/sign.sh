#!/usr/bin/env bash
# Signs a Windows program (Authenticode, SHA-256) with osslsigncode, verifies the signed copy and
# prints its SHA-256. The one signing step of the release, the demo, the benchmark and the tests.
#   sign.sh [options] IN OUT
#     --pkcs12 FILE          the signer's key and certificate (with any intermediates)   required
#     --password-file FILE   the PKCS#12 password, read by osslsigncode from the file     required
#     --ca FILE              verify the chain and the time stamp against this root (PEM);
#                            default: the system's CAs
#     --add-cert FILE        also carry this certificate in the signature (e.g. the root)
#     --timestamp URL        RFC 3161 time-stamp server; the time stamp must verify too
#     --no-verify            skip the verification (for test files that must not verify)
# Prints "SHA-256: <hex>" last. Exit code 0 only when the signed copy was written (and verified).
set -euo pipefail

pkcs12="" password_file="" ca="" timestamp="" verify=1
extra=()
while [ $# -gt 0 ]; do
    case $1 in
    --pkcs12) pkcs12=${2:?}; shift 2 ;;
    --password-file) password_file=${2:?}; shift 2 ;;
    --ca) ca=${2:?}; shift 2 ;;
    --add-cert) extra+=(-ac "${2:?}"); shift 2 ;;
    --timestamp) timestamp=${2:?}; shift 2 ;;
    --no-verify) verify=0; shift ;;
    --) shift; break ;;
    -*) echo "sign: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
[ $# -eq 2 ] || { echo "usage: sign.sh --pkcs12 FILE --password-file FILE [--ca FILE] [--add-cert FILE] [--timestamp URL] [--no-verify] IN OUT" >&2; exit 2; }
in=$1 out=$2
[ -n "$pkcs12" ] && [ -n "$password_file" ] || { echo "sign: --pkcs12 and --password-file are required" >&2; exit 2; }
for file in "$in" "$pkcs12" "$password_file" ${ca:+"$ca"}; do
    [ -f "$file" ] && [ -r "$file" ] || { echo "sign: cannot read $file" >&2; exit 2; }
done
[ "$(realpath -m "$in")" != "$(realpath -m "$out")" ] || { echo "sign: IN and OUT must differ" >&2; exit 2; }

# osslsigncode writes next to OUT first, so that OUT is either the old file or a whole new one.
partial="$out.signing"
rm -f "$partial"
trap 'rm -f "$partial"' EXIT
if ! log=$(osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 \
    ${timestamp:+-ts "$timestamp"} "${extra[@]}" -in "$in" -out "$partial" 2>&1); then
    echo "sign: osslsigncode could not sign $in:" >&2
    printf '%s\n' "$log" >&2
    exit 1
fi
if [ "$verify" = 1 ]; then
    if ! log=$(osslsigncode verify ${ca:+-CAfile "$ca" -TSA-CAfile "$ca"} -in "$partial" 2>&1); then
        echo "sign: the signed copy of $in does not verify${ca:+ against $ca}:" >&2
        printf '%s\n' "$log" >&2
        exit 1
    fi
    # The exit code does not cover the time stamp: a failed one still exits 0. Its line tells.
    if [ -n "$timestamp" ] && ! grep -qxF 'Timestamp Server Signature verification: ok' <<<"$log"; then
        echo "sign: the time stamp of the signed copy of $in does not verify${ca:+ against $ca}:" >&2
        printf '%s\n' "$log" >&2
        exit 1
    fi
    echo "sign: $out signed${timestamp:+, time-stamped} and verified${ca:+ against $ca}"
else
    echo "sign: $out signed (not verified)"
fi
mv -f "$partial" "$out"
echo "SHA-256: $(sha256sum "$out" | cut -d' ' -f1)"
