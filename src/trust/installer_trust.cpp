// Makes CERT_REVOCATION_PARA carry its URL retrieval time-out.
#define CERT_REVOCATION_PARA_HAS_EXTRA_FIELDS

#include "trust/installer_trust.h"

#include "build_settings.h"
#include "sys/scope_guard.h"
#include "sys/system_error.h"
#include "text/text_conversion.h"
#include "trust/bootstrapper_names.h"
#include "trust/certificate_table.h"
#include "trust/version_resource.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <string>
#include <vector>

namespace trust {
namespace {

// How long the revocation servers of the whole chain may take together. A server that does not
// answer in time does not refuse the installer: installers run behind proxies that block them.
constexpr DWORD RevocationTimeoutMs = 10000;

// Chain errors that only say the revocation servers could not be asked.
constexpr DWORD RevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

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

// The signer's chain as the check built it. WinVerifyTrust under some systems (Wine among them)
// answers success for a chain that ends at an untrusted root or at no root at all, so the status
// is read here: every error bit refuses, but for those that only say revocation is unknown.
std::string DescribeChainStatus(DWORD status)
{
    status &= ~RevocationUnknown;
    if (status == CERT_TRUST_NO_ERROR)
        return {};
    if (status & CERT_TRUST_IS_REVOKED)
        return "its certificate has been revoked";
    if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_EXPLICIT_DISTRUST))
        return "its certificate is not issued under a trusted root";
    if (status & CERT_TRUST_IS_NOT_TIME_VALID)
        return "its certificate has expired";
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        return "its certificate is not for code signing";
    return "its certificate chain is not valid (status " + Hex(status) + ")";
}

bool IsForCodeSigning(PCCERT_CONTEXT certificate)
{
    // Only the certificate's own extension counts: a leaf without it is not for code signing.
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) || size == 0)
        return false;
    std::vector<unsigned char> buffer(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size))
        return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
        if (std::string(usage->rgpszUsageIdentifier[i]) == szOID_PKIX_KP_CODE_SIGNING)
            return true;
    return false;
}

// The subject's common name, and no other name field in its place.
std::wstring CommonName(PCCERT_CONTEXT certificate)
{
    const auto oid = const_cast<char*>(szOID_COMMON_NAME);
    const DWORD size = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, oid, nullptr, 0);
    if (size <= 1)
        return {};
    std::wstring name(size, L'\0');
    ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, oid, name.data(), size);
    name.resize(size - 1);
    return name;
}

// Asks the revocation servers of every certificate below the root, all within one time limit.
bool IsRevoked(const CERT_SIMPLE_CHAIN& chain)
{
    if (chain.cElement < 2)
        return false;
    std::vector<void*> certificates;
    for (DWORD i = 0; i + 1 < chain.cElement; ++i)
        certificates.push_back(const_cast<CERT_CONTEXT*>(chain.rgpElement[i]->pCertContext));
    CERT_REVOCATION_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.pIssuerCert = chain.rgpElement[chain.cElement - 1]->pCertContext;
    parameters.dwUrlRetrievalTimeout = RevocationTimeoutMs;
    CERT_REVOCATION_STATUS status{};
    status.cbSize = sizeof(status);
    if (::CertVerifyRevocation(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_CONTEXT_REVOCATION_TYPE,
            static_cast<DWORD>(certificates.size()), certificates.data(),
            CERT_VERIFY_REV_CHAIN_FLAG | CERT_VERIFY_REV_ACCUMULATIVE_TIMEOUT_FLAG, &parameters, &status))
        return false;
    return status.dwError == static_cast<DWORD>(CRYPT_E_REVOKED);
}

// Empty when the open file carries a valid signature of the publisher; otherwise why not.
std::string VerifySignature(HANDLE file, const std::filesystem::path& path)
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
    // certificates, and revocation is asked below, within a time limit of our own.
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
    const CERT_CHAIN_CONTEXT* chain = signer ? signer->pChainContext : nullptr;
    if (!chain || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0)
        return "its signer could not be read";

    if (std::string reason = DescribeChainStatus(chain->TrustStatus.dwErrorStatus); !reason.empty())
        return reason;
    const CERT_SIMPLE_CHAIN& simple = *chain->rgpChain[0];
    PCCERT_CONTEXT leaf = simple.rgpElement[0]->pCertContext;
    if (!IsForCodeSigning(leaf))
        return "its certificate is not for code signing";
    const std::wstring publisher = text::ToWide(InstallerPublisher());
    const std::wstring signedBy = CommonName(leaf);
    if (signedBy != publisher)
        return "it is signed by \"" + text::ToUtf8(signedBy) + "\", not by \"" + InstallerPublisher() + "\"";
    if (IsRevoked(simple))
        return "its certificate has been revoked";
    return {};
}

} // namespace

const char* InstallerPublisher() noexcept
{
    return RORA_INSTALLER_PUBLISHER;
}

std::string SignatureFailure(HANDLE file, const std::filesystem::path& path)
{
    // The table is read before anything is hashed: a file that fails here is never verified.
    std::string reason;
    switch (ReadCertificateTable(file)) {
    case CertificateTable::None:
        reason = "the file is not signed";
        break;
    case CertificateTable::Uncovered:
        reason = "it carries data that its signature does not cover";
        break;
    case CertificateTable::SignatureOnly:
        reason = VerifySignature(file, path);
        break;
    }
    return reason.empty() ? reason : "The installer's signature could not be verified: " + reason + ".";
}

bool IsBootstrapper(HANDLE file)
{
    for (const std::wstring& name : VersionFileNames(file))
        for (const wchar_t* own : {L"" RORA_BOOTSTRAPPER_INTERNAL_NAME, L"" RORA_BOOTSTRAPPER_ORIGINAL_FILENAME})
            if (::CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), own, -1, TRUE) == CSTR_EQUAL)
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
