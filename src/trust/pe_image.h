#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

namespace trust {

// Reads an open file at absolute offsets, wherever its file pointer stands, never past the size
// the file had when the reader was made.
class ImageReader {
public:
    explicit ImageReader(HANDLE file) noexcept;

    std::uint64_t Size() const noexcept { return size_; }

    // False unless all `length` bytes at `offset` were read.
    bool Read(std::uint64_t offset, void* out, std::uint32_t length) const noexcept;

    template <typename T>
    std::optional<T> Get(std::uint64_t offset) const noexcept
    {
        T value{};
        if (!Read(offset, &value, sizeof(value)))
            return std::nullopt;
        return value;
    }

private:
    HANDLE file_;
    std::uint64_t size_ = 0;
};

// Where the headers of a PE image lie, in its 32-bit (PE32) or 64-bit (PE32+) layout.
struct ImageLayout {
    IMAGE_FILE_HEADER header{};
    std::uint64_t sectionTable = 0; // file offset of the first section header
    std::uint64_t directories = 0; // file offset of the first data directory
    std::uint32_t directoryCount = 0; // as the optional header declares it
};

// The layout of the PE image read by `image`; none when it is no PE image.
std::optional<ImageLayout> ReadImageLayout(const ImageReader& image) noexcept;

// Data directory `index` (IMAGE_DIRECTORY_ENTRY_*); none when the image declares fewer.
std::optional<IMAGE_DATA_DIRECTORY> DataDirectory(const ImageReader& image, const ImageLayout& layout,
    std::uint32_t index) noexcept;

} // namespace trust
