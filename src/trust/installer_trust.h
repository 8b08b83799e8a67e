#pragma once

#include "sys/handles.h"

#include <filesystem>
#include <string>

namespace trust {

// An installer file opened once for its check and held until it is started: others may read it,
// but nobody can write, rename or delete it while the handle is open.
struct CheckedInstaller {
    sys::UniqueFile file; // invalid when the file could not be opened
    std::string failure; // empty when the file may be started; otherwise why not, for the user (UTF-8)

    bool Trusted() const noexcept { return file && failure.empty(); }
};

// Opens `path` (read and delete access, read sharing only) and checks it through that handle:
// SignatureFailure() finds nothing, and the file is no bootstrapper (IsBootstrapper()). A file
// that another process holds open for writing cannot be opened, and fails.
CheckedInstaller CheckInstaller(const std::filesystem::path& path);

// Why the open file at `path` may not be started, for the user (UTF-8); empty when its
// certificate table holds its signature and nothing else (ReadCertificateTable()), its
// Authenticode signature, read through `file`, is valid, the chain verified for it is the
// publisher's (PublisherChainFailure()), the signature holds nothing but signatures and their
// chains (SignatureContentsFailure()), and no revocation server that answers in time has revoked
// its certificate.
std::string SignatureFailure(HANDLE file, const std::filesystem::path& path);

// Whether the open file is a bootstrapper, this program or another release of it: its version
// resource gives an InternalName or OriginalFilename that this program's has in some major
// version (the product's name without blanks, the major, "Setup", and ".exe" or nothing),
// ignoring case. The
// publisher signs both, so the signature cannot tell them apart, and started, a bootstrapper
// would only start the next one.
bool IsBootstrapper(HANDLE file);

} // namespace trust
