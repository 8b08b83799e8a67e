#include "trust/version_resource.h"

#include "trust/pe_image.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

namespace trust {
namespace {

// RT_VERSION, as an integer identifier in the resource directory.
constexpr std::uint32_t VersionResourceType = 16;
// Far above what any version resource needs; a directory or resource beyond them is malformed.
constexpr std::uint32_t MaxDirectoryEntries = 256;
constexpr std::uint32_t MaxVersionResources = 16;
// The most directory entries read in the whole tree: a tree whose directories all point back to
// a few full ones would otherwise be read again and again.
constexpr std::uint32_t MaxEntriesRead = 1024;
constexpr std::uint32_t MaxVersionResourceSize = 64 * 1024;

struct Section {
    std::uint32_t address = 0; // relative virtual address
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
};

// The file offset of `length` bytes at the relative virtual address `address`, when a section
// holds all of them in the file.
std::optional<std::uint64_t> FileOffset(const std::vector<Section>& sections, std::uint32_t address, std::uint32_t length)
{
    for (const Section& section : sections) {
        if (address < section.address)
            continue;
        const std::uint32_t into = address - section.address;
        if (into < section.rawSize && length <= section.rawSize - into)
            return std::uint64_t{section.rawOffset} + into;
    }
    return std::nullopt;
}

// The data entries of every version resource: type, then name, then language.
struct VersionData {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
};

class ResourceTree {
public:
    ResourceTree(const ImageReader& image, const std::vector<Section>& sections, std::uint32_t root)
        : image_(image)
        , sections_(sections)
        , root_(root)
    {
    }

    std::vector<VersionData> VersionResources()
    {
        std::vector<VersionData> found;
        for (const Entry& type : Entries(0))
            if (type.id == VersionResourceType && type.directory)
                for (const Entry& name : Entries(type.offset))
                    if (name.directory)
                        for (const Entry& language : Entries(name.offset)) {
                            if (found.size() == MaxVersionResources)
                                return found;
                            if (!language.directory)
                                if (auto data = Data(language.offset))
                                    found.push_back(*data);
                        }
        return found;
    }

private:
    struct Entry {
        std::optional<std::uint32_t> id; // none for a named entry
        bool directory = false;
        std::uint32_t offset = 0; // from the start of the resource directory
    };

    std::optional<std::uint64_t> At(std::uint32_t offset, std::uint32_t length) const
    {
        if (offset > UINT32_MAX - root_)
            return std::nullopt;
        return FileOffset(sections_, root_ + offset, length);
    }

    std::vector<Entry> Entries(std::uint32_t directory)
    {
        std::vector<Entry> entries;
        const auto header = At(directory, sizeof(IMAGE_RESOURCE_DIRECTORY));
        const auto counts = header ? image_.Get<IMAGE_RESOURCE_DIRECTORY>(*header) : std::nullopt;
        if (!counts)
            return entries;
        const std::uint32_t count = std::uint32_t{counts->NumberOfNamedEntries} + counts->NumberOfIdEntries;
        if (count > MaxDirectoryEntries || count > MaxEntriesRead - entriesRead_)
            return entries;
        entriesRead_ += count;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t place = directory + sizeof(IMAGE_RESOURCE_DIRECTORY) + i * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY);
            const auto at = At(place, sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY));
            const auto name = at ? image_.Get<std::uint32_t>(*at) : std::nullopt;
            const auto target = at ? image_.Get<std::uint32_t>(*at + 4) : std::nullopt;
            if (!name || !target)
                break;
            Entry entry;
            if ((*name & 0x80000000u) == 0)
                entry.id = *name & 0xffffu;
            entry.directory = (*target & 0x80000000u) != 0;
            entry.offset = *target & 0x7fffffffu;
            entries.push_back(entry);
        }
        return entries;
    }

    std::optional<VersionData> Data(std::uint32_t offset) const
    {
        const auto at = At(offset, sizeof(IMAGE_RESOURCE_DATA_ENTRY));
        const auto entry = at ? image_.Get<IMAGE_RESOURCE_DATA_ENTRY>(*at) : std::nullopt;
        if (!entry || entry->Size == 0 || entry->Size > MaxVersionResourceSize)
            return std::nullopt;
        return VersionData{entry->OffsetToData, entry->Size};
    }

    const ImageReader& image_;
    const std::vector<Section>& sections_;
    std::uint32_t root_;
    std::uint32_t entriesRead_ = 0;
};

// The sections and the resource directory's address of a PE image; false when it is none.
bool ReadResourceLayout(const ImageReader& image, std::vector<Section>& sections, std::uint32_t& resources)
{
    const auto layout = ReadImageLayout(image);
    const auto directory = layout ? DataDirectory(image, *layout, IMAGE_DIRECTORY_ENTRY_RESOURCE) : std::nullopt;
    if (!directory || directory->VirtualAddress == 0 || directory->Size == 0)
        return false;
    resources = directory->VirtualAddress;
    for (std::uint32_t i = 0; i < layout->header.NumberOfSections; ++i) {
        const auto section = image.Get<IMAGE_SECTION_HEADER>(layout->sectionTable + std::uint64_t{i} * sizeof(IMAGE_SECTION_HEADER));
        if (!section)
            return false;
        sections.push_back({section->VirtualAddress, section->SizeOfRawData, section->PointerToRawData});
    }
    return true;
}

// One block of a version resource: a length, a value length, a type, a key, a value, children.
struct Block {
    std::size_t end = 0;
    std::wstring key;
    std::size_t value = 0; // where the value starts
    std::size_t children = 0; // where the children start
};

std::size_t Align4(std::size_t offset)
{
    return (offset + 3) & ~std::size_t{3};
}

std::uint16_t Word(const std::vector<unsigned char>& data, std::size_t at)
{
    std::uint16_t word;
    std::memcpy(&word, data.data() + at, sizeof(word));
    return word;
}

// The block at `start`, which must end by `limit`.
std::optional<Block> ReadBlock(const std::vector<unsigned char>& data, std::size_t start, std::size_t limit)
{
    if (start + 6 > limit)
        return std::nullopt;
    const std::uint16_t length = Word(data, start);
    if (length < 6 || length > limit - start)
        return std::nullopt;
    Block block;
    block.end = start + length;
    const std::uint16_t valueLength = Word(data, start + 2);
    const bool text = Word(data, start + 4) == 1;
    std::size_t at = start + 6;
    for (;;) {
        if (at + 2 > block.end)
            return std::nullopt;
        const wchar_t c = static_cast<wchar_t>(Word(data, at));
        at += 2;
        if (c == L'\0')
            break;
        block.key += c;
    }
    block.value = std::min(Align4(at), block.end);
    // A text value's length counts characters; some tools count bytes. Children follow it.
    block.children = std::min(Align4(block.value + (text ? 2u * valueLength : valueLength)), block.end);
    return block;
}

// Calls `visit` for each child block of `parent`.
template <typename Visit>
void ForEachChild(const std::vector<unsigned char>& data, const Block& parent, Visit visit)
{
    for (std::size_t at = parent.children; at < parent.end;) {
        const auto child = ReadBlock(data, at, parent.end);
        if (!child)
            return;
        visit(*child);
        at = Align4(child->end);
    }
}

// A text value: up to its terminating null or the end of its block.
std::wstring TextValue(const std::vector<unsigned char>& data, const Block& block)
{
    std::wstring value;
    for (std::size_t at = block.value; at + 2 <= block.end; at += 2) {
        const wchar_t c = static_cast<wchar_t>(Word(data, at));
        if (c == L'\0')
            break;
        value += c;
    }
    return value;
}

bool SameKey(const std::wstring& key, const wchar_t* name)
{
    return ::CompareStringOrdinal(key.c_str(), static_cast<int>(key.size()), name, -1, TRUE) == CSTR_EQUAL;
}

void CollectFileNames(const std::vector<unsigned char>& data, std::vector<std::wstring>& names)
{
    const auto root = ReadBlock(data, 0, data.size());
    if (!root || !SameKey(root->key, L"VS_VERSION_INFO"))
        return;
    ForEachChild(data, *root, [&](const Block& fileInfo) {
        if (!SameKey(fileInfo.key, L"StringFileInfo"))
            return;
        ForEachChild(data, fileInfo, [&](const Block& table) {
            ForEachChild(data, table, [&](const Block& string) {
                if (SameKey(string.key, L"InternalName") || SameKey(string.key, L"OriginalFilename"))
                    names.push_back(TextValue(data, string));
            });
        });
    });
}

} // namespace

std::vector<std::wstring> VersionFileNames(HANDLE file)
{
    std::vector<std::wstring> names;
    const ImageReader image(file);
    std::vector<Section> sections;
    std::uint32_t resources = 0;
    if (!ReadResourceLayout(image, sections, resources))
        return names;
    for (const VersionData& version : ResourceTree(image, sections, resources).VersionResources()) {
        const auto at = FileOffset(sections, version.address, version.size);
        std::vector<unsigned char> data(version.size);
        if (at && image.Read(*at, data.data(), version.size))
            CollectFileNames(data, names);
    }
    return names;
}

} // namespace trust
