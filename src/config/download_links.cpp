#include "config/download_links.h"

#include "build_settings.h"
#include "config/registry.h"
#include "text/text_conversion.h"

namespace {

const winreg::OptionalSubkey installationSubkey{L"Installation"};

std::string ReadInstallationLink(const wchar_t* name)
{
    return text::ToUtf8(winreg::ReadRegistryString(installationSubkey, name));
}

} // namespace

std::shared_ptr<DownloadLinks> DownloadLinks::Instance()
{
    // Made on first use; the initialisation of a function-local static is thread-safe.
    static const std::shared_ptr<DownloadLinks> instance = std::make_shared<DownloadLinks>();
    return instance;
}

std::string DownloadLinks::InstallerDownloadUrl() const
{
    // Only emptiness is tested: an override is returned as it is, without trimming or checks.
    std::string url = ReadInstallationLink(L"QaInstallerDownloadLink");
    if (url.empty())
        url = ReadInstallationLink(L"InstallerDownloadLink");
    if (url.empty())
        url = BuiltInInstallerUrl();
    return url;
}

std::string DownloadLinks::ParameterStorageUrl() const
{
    std::string url = ReadInstallationLink(L"QaBootstrapperRequestParamsLink");
    if (url.empty())
        url = BuiltInParameterStorageUrl();
    return url;
}

std::string DownloadLinks::BuiltInInstallerUrl()
{
    return std::string("https://") + RORA_INSTALLER_HOST + RORA_DOWNLOAD_PATH;
}

std::string DownloadLinks::BuiltInParameterStorageUrl()
{
    return std::string("https://") + RORA_PARAMETER_HOST + "/api/parameter-storage?id=";
}
