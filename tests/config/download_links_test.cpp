#include "config/download_links.h"

#include "build_settings.h"
#include "product_key_fixture.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace regtest;

namespace {

const std::wstring installation = L"Installation";
const std::string builtInInstaller =
    "https://" RORA_INSTALLER_HOST RORA_DOWNLOAD_PATH;
const std::string builtInParameters = "https://" RORA_PARAMETER_HOST "/api/parameter-storage?id=";

std::string InstallerUrl()
{
    return DownloadLinks::Instance()->InstallerDownloadUrl();
}

std::string ParameterUrl()
{
    return DownloadLinks::Instance()->ParameterStorageUrl();
}

class Links : public ProductKeyTest {};

TEST_F(Links, WithoutRegistryValuesTheBuiltInLinksAreUsed)
{
    EXPECT_EQ(InstallerUrl(), builtInInstaller);
    EXPECT_EQ(ParameterUrl(), builtInParameters);
    EXPECT_EQ(DownloadLinks::BuiltInInstallerUrl(), builtInInstaller);
    EXPECT_EQ(DownloadLinks::BuiltInParameterStorageUrl(), builtInParameters);
    EXPECT_FALSE(KeyExists(nativeView)) << "choosing a link must not create the product key";
}

TEST_F(Links, InstallerLinkSourcesAreTriedInOrder)
{
    WriteRawString(nativeView, installation, L"MsiDownloadLink", L"https://example.test/a.msi");
    EXPECT_EQ(InstallerUrl(), builtInInstaller) << "the MSI link is never a candidate";

    WriteRawString(nativeView, installation, L"InstallerDownloadLink", L"https://stored.test/a.exe");
    EXPECT_EQ(InstallerUrl(), "https://stored.test/a.exe");

    WriteRawString(nativeView, installation, L"QaInstallerDownloadLink", L"http://127.0.0.1:1/qa.exe");
    EXPECT_EQ(InstallerUrl(), "http://127.0.0.1:1/qa.exe") << "the override wins over the stored link";

    WriteRawString(nativeView, installation, L"QaInstallerDownloadLink", L"");
    EXPECT_EQ(InstallerUrl(), "https://stored.test/a.exe") << "an empty override counts as unset";

    WriteRawString(nativeView, installation, L"QaInstallerDownloadLink", L" ");
    EXPECT_EQ(InstallerUrl(), " ") << "an override is neither trimmed nor validated";

    WriteRawDword(nativeView, installation, L"QaInstallerDownloadLink", 1);
    EXPECT_EQ(InstallerUrl(), "https://stored.test/a.exe") << "an override of another type counts as unset";

    WriteRawDword(nativeView, installation, L"InstallerDownloadLink", 1);
    EXPECT_EQ(InstallerUrl(), builtInInstaller);
}

TEST_F(Links, ParameterPrefixOverrideIsUsedWhole)
{
    WriteRawString(nativeView, installation, L"QaBootstrapperRequestParamsLink", L"http://127.0.0.1:1/params/");
    EXPECT_EQ(ParameterUrl(), "http://127.0.0.1:1/params/");

    WriteRawString(nativeView, installation, L"QaBootstrapperRequestParamsLink", L"");
    EXPECT_EQ(ParameterUrl(), builtInParameters);

    WriteRawDword(nativeView, installation, L"QaBootstrapperRequestParamsLink", 0);
    EXPECT_EQ(ParameterUrl(), builtInParameters);
}

TEST_F(Links, OverridesInTheRedirectedBranchAreIgnored)
{
    WriteRawString(redirectedView, installation, L"QaInstallerDownloadLink", L"http://wow32.test/qa.exe");
    WriteRawString(redirectedView, installation, L"InstallerDownloadLink", L"http://wow32.test/a.exe");
    WriteRawString(redirectedView, installation, L"QaBootstrapperRequestParamsLink", L"http://wow32.test/p?id=");

    EXPECT_EQ(InstallerUrl(), builtInInstaller);
    EXPECT_EQ(ParameterUrl(), builtInParameters);
}

TEST_F(Links, NonAsciiLinksComeBackAsUtf8)
{
    WriteRawString(nativeView, installation, L"InstallerDownloadLink", L"https://d\u00f6wnload.test/\u65e5/\U0001F600.exe");
    EXPECT_EQ(InstallerUrl(), "https://d\xC3\xB6wnload.test/\xE6\x97\xA5/\xF0\x9F\x98\x80.exe");

    WriteRawString(nativeView, installation, L"QaBootstrapperRequestParamsLink", L"https://p.test/\u00e9?id=");
    EXPECT_EQ(ParameterUrl(), "https://p.test/\xC3\xA9?id=");
}

TEST_F(Links, EveryCallReadsTheRegistryAfresh)
{
    EXPECT_EQ(InstallerUrl(), builtInInstaller);
    WriteRawString(nativeView, installation, L"InstallerDownloadLink", L"https://stored.test/a.exe");
    EXPECT_EQ(InstallerUrl(), "https://stored.test/a.exe");
    DeleteProductKey(nativeView);
    EXPECT_EQ(InstallerUrl(), builtInInstaller);
}

TEST(LinksInstance, IsOneObjectForEveryThread)
{
    std::vector<DownloadLinks*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen)
        threads.emplace_back([&slot] { slot = DownloadLinks::Instance().get(); });
    for (auto& t : threads)
        t.join();
    const std::set<DownloadLinks*> distinct(seen.begin(), seen.end());
    EXPECT_EQ(distinct.size(), 1u);
    EXPECT_EQ(*distinct.begin(), DownloadLinks::Instance().get());
    EXPECT_NE(*distinct.begin(), nullptr);
}

} // namespace
