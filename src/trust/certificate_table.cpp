#include "trust/certificate_table.h"

#include "trust/pe_image.h"

#include <algorithm>
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

} // namespace

CertificateTable ReadCertificateTable(HANDLE file, std::vector<unsigned char>& signature)
{
    signature.clear();
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
    const auto length = SequenceLength(bytes.data(), bytes.size());
    if (!length)
        return CertificateTable::Uncovered;
    const std::uint64_t exact = sizeof(CertificateEntry) + std::uint64_t{*length};
    // One entry, padded to 8 bytes at most, and the table ends with it; the padding is zeros.
    if (size != RoundUp8(exact) || (entry->length != exact && entry->length != RoundUp8(exact))
        || std::any_of(bytes.begin() + *length, bytes.end(), [](unsigned char b) { return b != 0; }))
        return CertificateTable::Uncovered;
    bytes.resize(*length);
    signature = std::move(bytes);
    return CertificateTable::SignatureOnly;
}

} // namespace trust
