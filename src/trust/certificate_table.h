#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace trust {

// What the certificate table of a PE file holds. Authenticode's hash leaves the table out, so
// whatever it holds beside the signature is data that no signature covers.
enum class CertificateTable {
    None, // no PE image, or an image without a certificate table: not signed
    SignatureOnly, // one PKCS #7 signature and nothing else
    Uncovered, // anything else
};

// The largest signature taken: far above one with its certificates, time stamps and a nested
// signature.
inline constexpr std::uint32_t MaxSignatureSize = 256 * 1024;

// Reads the certificate table of the PE file open at `file` through that handle, at absolute
// offsets. SignatureOnly when the table starts at an 8-aligned offset and ends at the end of the
// file, holds exactly one entry (revision 2, PKCS signed data) whose signature is one DER element
// with a definite length of at most MaxSignatureSize, the entry's length and the table's are the
// signature's rounded up to 8 bytes (the entry's may also be exact), and every byte after the
// signature is zero; `signature` then receives the signature's bytes, and is empty otherwise.
// What the signature itself holds is SignatureContentsFailure()'s to judge.
CertificateTable ReadCertificateTable(HANDLE file, std::vector<unsigned char>& signature);

} // namespace trust
