# Throwaway code-signing certificates made with openssl in the current folder, for the tests, the
# demo and the benchmark. Source this file, then:
#   make_root NAME "COMMON NAME" [KEY]      NAME.key, NAME.pem: a self-signed root CA, on a new key
#                                           or on the key in the file KEY
#   make_pinned_root NAME "COMMON NAME"     the same on the key a default build pins
#                                           (tests/keys/test-root.key)
#   make_signer NAME CA "COMMON NAME" [EKU] NAME.key, NAME.crt and NAME.p12 (for scripts/sign.sh),
#                                           issued by CA; EKU is the extended key usage,
#                                           codeSigning unless given; the common name is taken
#                                           as it is, whatever characters it holds
# Every PKCS#12 file is protected by the password in ./password, made at the first use.

make_root() {
    if [ -n "${3:-}" ]; then
        openssl pkey -in "$3" -out "$1.key"
    else
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key" 2>/dev/null
    fi
    openssl req -x509 -new -key "$1.key" -days 30 -out "$1.pem" -subj "/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

make_pinned_root() {
    make_root "$1" "$2" "$(dirname "${BASH_SOURCE[0]}")/../tests/keys/test-root.key"
}

make_signer() {
    local name=$1 ca=$2 common_name=$3 usage=${4:-codeSigning} subject
    [ -f password ] || (umask 077 && openssl rand -hex 16 >password)
    # In -subj a backslash, a slash and a plus sign are syntax unless escaped.
    subject=${common_name//\\/\\\\}
    subject=${subject//\//\\/}
    subject=${subject//+/\\+}
    openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$subject" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n' \
        "$usage" >"$name.ext"
    openssl x509 -req -in "$name.csr" -CA "$ca.pem" -CAkey "$ca.key" -CAcreateserial -days 30 -sha256 \
        -extfile "$name.ext" -out "$name.crt" 2>/dev/null
    openssl pkcs12 -export -inkey "$name.key" -in "$name.crt" -name "$common_name" -passout file:password -out "$name.p12"
}
