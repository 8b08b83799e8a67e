#pragma once

#include <windows.h>

#include <cstdint>

namespace trust {

// What the certificate table of a PE file holds. Authenticode's hash leaves the table out, so
// whatever it holds beside the signature is data that no signature covers.
enum class CertificateTable {
    None, // no PE image, or an image without a certificate table: not signed
    SignatureOnly, // one PKCS #7 signature, signed once or with nested signatures, and nothing else
    Uncovered, // anything else
};

// The largest signature taken: far above one with its certificates, time stamps and a nested
// signature.
inline constexpr std::uint32_t MaxSignatureSize = 256 * 1024;

// Reads the certificate table of the PE file open at `file` through that handle, at absolute
// offsets. SignatureOnly when the table starts at an 8-aligned offset and ends at the end of the
// file, holds exactly one entry (revision 2, PKCS signed data) whose signature is DER with a
// definite length of at most MaxSignatureSize, the entry's length and the table's are the
// signature's rounded up to 8 bytes (the entry's may also be exact), every byte after the
// signature is zero, and its signers' unauthenticated attributes are only countersignatures,
// time stamps and nested signatures, each nested signature held to the same rule.
CertificateTable ReadCertificateTable(HANDLE file);

} // namespace trust
