#include "download/destination.h"

#include "http/errors.h"

#include <windows.h>

#include <limits>
#include <random>
#include <sstream>

namespace gui {

std::filesystem::path MakeUniqueDirectory()
{
    namespace fs = std::filesystem;
    fs::path result;
    try {
        const fs::path temp = fs::temp_directory_path();
        do {
            std::random_device source;
            std::mt19937 engine(source());
            std::uniform_int_distribution<std::uint64_t> distribution(0, std::numeric_limits<std::uint64_t>::max());
            std::ostringstream name;
            name << std::hex << distribution(engine);
            result = temp / name.str();
        } while (fs::exists(result));

        if (!fs::create_directory(result))
            result.clear(); // someone made it between the test and the creation
    } catch (const fs::filesystem_error& error) {
        throw common::internal_error(common::InternalCode::Failure, error.what());
    }
    return result;
}

bool HasEnoughFreeSpace(const std::filesystem::path& folder, std::uint64_t contentLength)
{
    ULARGE_INTEGER available{}, total{}, free{};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free))
        available.QuadPart = 0;
    return available.QuadPart >= contentLength;
}

} // namespace gui
