#include "trust/certificate_table.h"

#include "sys/unique_resource.h"
#include "trust/pe_image.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace trust {
namespace {

// WIN_CERTIFICATE's header.
struct CertificateEntry {
    std::uint32_t length; // of the entry, this header included
    std::uint16_t revision;
    std::uint16_t type;
};
constexpr std::uint16_t CertificateRevision2 = 0x0200; // WIN_CERT_REVISION_2_0
constexpr std::uint16_t PkcsSignedData = 0x0002; // WIN_CERT_TYPE_PKCS_SIGNED_DATA

// The unauthenticated attributes a signer may carry. Anything else there is data that the
// signature does not cover.
constexpr char CounterSignature[] = "1.2.840.113549.1.9.6";
constexpr char TimeStamp[] = "1.3.6.1.4.1.311.3.3.1"; // RFC 3161, as Authenticode carries it
constexpr char NestedSignature[] = "1.3.6.1.4.1.311.2.4.1";
// Nested signatures inside nested signatures: more than any signing tool makes.
constexpr unsigned MaxNesting = 4;

using UniqueMessage = sys::UniqueResource<HCRYPTMSG, &::CryptMsgClose>;

std::uint64_t RoundUp8(std::uint64_t size)
{
    return (size + 7) & ~std::uint64_t{7};
}

// The whole length of the DER SEQUENCE that `bytes` starts with, its tag and length included;
// none for BER's indefinite length, a length not in its shortest form, or a whole above the cap.
std::optional<std::uint32_t> SequenceLength(const unsigned char* bytes, std::size_t available)
{
    if (available < 2 || bytes[0] != 0x30)
        return std::nullopt;
    if (bytes[1] < 0x80)
        return 2u + bytes[1];
    const unsigned count = bytes[1] & 0x7fu; // 0: indefinite
    if (count == 0 || count > 3 || available < 2 + count || bytes[2] == 0)
        return std::nullopt;
    std::uint32_t length = 0;
    for (unsigned i = 0; i < count; ++i)
        length = (length << 8) | bytes[2 + i];
    if (length < 0x80 || length > MaxSignatureSize - 2 - count)
        return std::nullopt;
    return 2 + count + length;
}

bool SignaturesOnly(const unsigned char* data, std::size_t size, unsigned depth);

// Whether every unauthenticated attribute of the signer is one a signature may carry.
bool AttributesAllowed(HCRYPTMSG message, DWORD signer, unsigned depth)
{
    // A signer without any: Windows fails with CRYPT_E_ATTRIBUTES_MISSING, others answer 0 bytes.
    DWORD size = 0;
    if (!::CryptMsgGetParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, signer, nullptr, &size))
        return ::GetLastError() == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING);
    if (size == 0)
        return true;
    std::vector<unsigned char> buffer(size);
    if (size < sizeof(CRYPT_ATTRIBUTES)
        || !::CryptMsgGetParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, signer, buffer.data(), &size))
        return false;
    const auto& attributes = *reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (!attribute.pszObjId)
            return false;
        if (std::strcmp(attribute.pszObjId, CounterSignature) == 0 || std::strcmp(attribute.pszObjId, TimeStamp) == 0)
            continue;
        if (std::strcmp(attribute.pszObjId, NestedSignature) != 0)
            return false;
        for (DWORD v = 0; v < attribute.cValue; ++v)
            if (!SignaturesOnly(attribute.rgValue[v].pbData, attribute.rgValue[v].cbData, depth + 1))
                return false;
    }
    return true;
}

// Whether `data` is exactly one DER-encoded PKCS #7 signed message whose signers carry nothing
// but what a signature may carry (read with the system's own decoder).
bool SignaturesOnly(const unsigned char* data, std::size_t size, unsigned depth)
{
    if (depth > MaxNesting || SequenceLength(data, size) != size)
        return false;
    const UniqueMessage message(::CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
    if (!message || !::CryptMsgUpdate(message.Get(), data, static_cast<DWORD>(size), TRUE))
        return false;
    DWORD type = 0, signers = 0, length = sizeof(DWORD);
    if (!::CryptMsgGetParam(message.Get(), CMSG_TYPE_PARAM, 0, &type, &length) || type != CMSG_SIGNED)
        return false;
    length = sizeof(DWORD);
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_COUNT_PARAM, 0, &signers, &length) || signers == 0)
        return false;
    for (DWORD signer = 0; signer < signers; ++signer)
        if (!AttributesAllowed(message.Get(), signer, depth))
            return false;
    return true;
}

} // namespace

CertificateTable ReadCertificateTable(HANDLE file)
{
    const ImageReader image(file);
    const auto layout = ReadImageLayout(image);
    const auto directory = layout ? DataDirectory(image, *layout, IMAGE_DIRECTORY_ENTRY_SECURITY) : std::nullopt;
    if (!directory || (directory->VirtualAddress == 0 && directory->Size == 0))
        return CertificateTable::None;

    // The directory gives a file offset here, not an address.
    const std::uint64_t offset = directory->VirtualAddress;
    const std::uint64_t size = directory->Size;
    const auto entry = image.Get<CertificateEntry>(offset);
    if (offset % 8 != 0 || offset + size != image.Size() || !entry || entry->revision != CertificateRevision2
        || entry->type != PkcsSignedData)
        return CertificateTable::Uncovered;

    // Read whole, once it cannot be larger than the largest signature padded to 8 bytes.
    if (size > sizeof(CertificateEntry) + MaxSignatureSize + 7)
        return CertificateTable::Uncovered;
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size - sizeof(CertificateEntry)));
    if (!image.Read(offset + sizeof(CertificateEntry), bytes.data(), static_cast<std::uint32_t>(bytes.size())))
        return CertificateTable::Uncovered;
    const auto signature = SequenceLength(bytes.data(), bytes.size());
    if (!signature)
        return CertificateTable::Uncovered;
    const std::uint64_t exact = sizeof(CertificateEntry) + std::uint64_t{*signature};
    // One entry, padded to 8 bytes at most, and the table ends with it; the padding is zeros.
    if (size != RoundUp8(exact) || (entry->length != exact && entry->length != RoundUp8(exact))
        || std::any_of(bytes.begin() + *signature, bytes.end(), [](unsigned char b) { return b != 0; }))
        return CertificateTable::Uncovered;
    return SignaturesOnly(bytes.data(), *signature, 0) ? CertificateTable::SignatureOnly : CertificateTable::Uncovered;
}

} // namespace trust
