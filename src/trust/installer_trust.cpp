#include "trust/installer_trust.h"

#include "build_settings.h"
#include "sys/scope_guard.h"
#include "sys/system_error.h"
#include "text/text_conversion.h"
#include "trust/certificate_table.h"
#include "trust/publisher_chain.h"
#include "trust/signature_contents.h"
#include "trust/version_resource.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace trust {
namespace {

std::string Hex(unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", value);
    return text;
}

// What WinVerifyTrust's answer means for the user.
std::string DescribeTrustStatus(LONG status)
{
    switch (status) {
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
    case TRUST_E_PROVIDER_UNKNOWN:
        return "the file is not signed";
    case TRUST_E_BAD_DIGEST:
        return "the file was changed after it was signed";
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case CERT_E_UNTRUSTEDTESTROOT:
    case TRUST_E_EXPLICIT_DISTRUST:
        return "its certificate is not issued under a trusted root";
    case CERT_E_EXPIRED:
        return "its certificate has expired";
    case CERT_E_REVOKED:
        return "its certificate has been revoked";
    case CERT_E_WRONG_USAGE:
        return "its certificate is not for code signing";
    default:
        return "the signature check failed (" + Hex(static_cast<unsigned long>(status)) + ": "
            + text::ToUtf8(sys::SystemErrorText(static_cast<DWORD>(status))) + ")";
    }
}

// Empty when the open file carries a valid signature of the publisher, `signature` (its
// certificate table's), and nothing beside it; otherwise why not.
std::string VerifySignature(HANDLE file, const std::filesystem::path& path, const std::vector<unsigned char>& signature)
{
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file; // the file is read through this handle, not opened again by its path

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    // Nothing here waits on the network: a publisher's signature carries its intermediate
    // certificates, and revocation is asked last, within a time limit of our own.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;

    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    const auto close = sys::ScopeGuard([&] {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    });
    if (status != ERROR_SUCCESS)
        return DescribeTrustStatus(status);

    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (!signer || !signer->pChainContext)
        return "its signer could not be read";
    const CERT_CHAIN_CONTEXT& chain = *signer->pChainContext;
    if (std::string reason = PublisherChainFailure(chain); !reason.empty())
        return reason;
    // The certificates it carries are matched against the chain just verified, and nested
    // signatures are judged as of the time that chain was judged.
    if (std::string reason = SignatureContentsFailure(signature.data(), signature.size(), chain, signer->sftVerifyAsOf);
        !reason.empty())
        return reason;
    if (IsRevoked(chain))
        return "its certificate has been revoked";
    return {};
}

// Whether `name` is one of the names this program's version resource gives it in any major
// version.
bool IsBootstrapperName(const std::wstring& name)
{
    // The product's name without blanks, a major version, "Setup", and ".exe" or nothing, in
    // any case (the build's rule for the bootstrapper's file name).
    const auto matches = [&](std::size_t at, std::wstring_view part) {
        return name.size() - at >= part.size()
            && ::CompareStringOrdinal(name.c_str() + at, static_cast<int>(part.size()), part.data(),
                   static_cast<int>(part.size()), TRUE) == CSTR_EQUAL;
    };
    constexpr std::wstring_view product = L"" RORA_PRODUCT_NAME_FORM, setup = L"Setup", extension = L".exe";
    if (!matches(0, product))
        return false;
    std::size_t at = product.size();
    const std::size_t major = at;
    while (at < name.size() && name[at] >= L'0' && name[at] <= L'9')
        ++at;
    if (at == major || !matches(at, setup))
        return false;
    at += setup.size();
    return at == name.size() || (name.size() - at == extension.size() && matches(at, extension));
}

} // namespace

std::string SignatureFailure(HANDLE file, const std::filesystem::path& path)
{
    // The table is read before anything is hashed: a file that fails here is never verified.
    std::string reason;
    std::vector<unsigned char> signature;
    switch (ReadCertificateTable(file, signature)) {
    case CertificateTable::None:
        reason = "the file is not signed";
        break;
    case CertificateTable::Uncovered:
        reason = "it carries data that its signature does not cover";
        break;
    case CertificateTable::SignatureOnly:
        reason = VerifySignature(file, path, signature);
        break;
    }
    return reason.empty() ? reason : "The installer's signature could not be verified: " + reason + ".";
}

bool IsBootstrapper(HANDLE file)
{
    for (const std::wstring& name : VersionFileNames(file))
        if (IsBootstrapperName(name))
            return true;
    return false;
}

CheckedInstaller CheckInstaller(const std::filesystem::path& path)
{
    CheckedInstaller checked;
    // Read sharing only: while the handle is open nobody can change, rename or delete the file.
    // DELETE access lets a refused file be deleted through this same handle.
    checked.file.Reset(::CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!checked.file) {
        const DWORD error = ::GetLastError();
        checked.failure = "The installer's signature could not be verified: the file could not be opened for the check: "
            + text::ToUtf8(sys::SystemErrorText(error)) + ".";
        return checked;
    }
    checked.failure = SignatureFailure(checked.file.Get(), path);
    // Its names are read only once the signature holds: from the publisher's own bytes, which
    // nobody can change while the handle is open.
    if (checked.failure.empty() && IsBootstrapper(checked.file.Get()))
        checked.failure = "The downloaded file is not the installer.";
    return checked;
}

} // namespace trust
