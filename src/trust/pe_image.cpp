#include "trust/pe_image.h"

#include <cstddef>

namespace trust {

ImageReader::ImageReader(HANDLE file) noexcept
    : file_(file)
{
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) && size.QuadPart > 0)
        size_ = static_cast<std::uint64_t>(size.QuadPart);
}

bool ImageReader::Read(std::uint64_t offset, void* out, std::uint32_t length) const noexcept
{
    if (offset > size_ || length > size_ - offset)
        return false;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ::ReadFile(file_, out, length, &read, &at) && read == length;
}

std::optional<ImageLayout> ReadImageLayout(const ImageReader& image) noexcept
{
    const auto dos = image.Get<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0)
        return std::nullopt;
    const std::uint64_t pe = static_cast<std::uint32_t>(dos->e_lfanew);
    const auto signature = image.Get<std::uint32_t>(pe);
    const auto header = image.Get<IMAGE_FILE_HEADER>(pe + 4);
    if (!signature || *signature != IMAGE_NT_SIGNATURE || !header)
        return std::nullopt;
    const std::uint64_t optional = pe + 4 + sizeof(IMAGE_FILE_HEADER);
    const auto magic = image.Get<std::uint16_t>(optional);
    if (!magic)
        return std::nullopt;
    ImageLayout layout;
    layout.header = *header;
    layout.sectionTable = optional + header->SizeOfOptionalHeader;
    std::uint64_t countAt = 0;
    if (*magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        layout.directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        countAt = optional + offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
    } else if (*magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        layout.directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        countAt = optional + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
    } else {
        return std::nullopt;
    }
    const auto count = image.Get<std::uint32_t>(countAt);
    if (!count)
        return std::nullopt;
    layout.directoryCount = *count;
    return layout;
}

std::optional<IMAGE_DATA_DIRECTORY> DataDirectory(const ImageReader& image, const ImageLayout& layout,
    std::uint32_t index) noexcept
{
    if (index >= layout.directoryCount)
        return std::nullopt;
    return image.Get<IMAGE_DATA_DIRECTORY>(layout.directories + std::uint64_t{index} * sizeof(IMAGE_DATA_DIRECTORY));
}

} // namespace trust
