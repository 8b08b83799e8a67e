#pragma once

#include "sys/handles.h"

#include <filesystem>
#include <string>

namespace gui {

// An installer file opened once for its check and held until it is started: others may read it,
// but nobody can write, rename or delete it while the handle is open.
struct CheckedInstaller {
    sys::UniqueFile file; // invalid when the file could not be opened
    std::string failure; // empty when the file may be started; otherwise why not, for the user (UTF-8)

    bool Trusted() const noexcept { return file && failure.empty(); }
};

// Opens `path` (read and delete access, read sharing only) and checks its Authenticode signature
// through that handle: a valid signature whose chain ends at a trusted root, a leaf certificate
// for code signing, issued to the publisher this program was built for, and not revoked where a
// revocation server answers in time. A file that another process holds open for writing cannot be
// opened, and fails.
CheckedInstaller CheckInstaller(const std::filesystem::path& path);

// The common name the signer's certificate must carry (UTF-8): the build's publisher.
const char* InstallerPublisher() noexcept;

} // namespace gui
