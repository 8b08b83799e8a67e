#pragma once

#include <memory>
#include <string>

// Chooses the installer link and the parameter-storage prefix: a registry override, the stored
// link, or the built-in default. Stateless; the choice is made afresh on every call.
class DownloadLinks {
public:
    static std::shared_ptr<DownloadLinks> Instance();

    // UTF-8, never empty.
    std::string InstallerDownloadUrl() const;
    // UTF-8, never empty; the identifier is appended to it directly.
    std::string ParameterStorageUrl() const;

    static std::string BuiltInInstallerUrl();
    static std::string BuiltInParameterStorageUrl();
};
