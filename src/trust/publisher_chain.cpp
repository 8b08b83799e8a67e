// Makes CERT_REVOCATION_PARA carry its URL retrieval time-out.
#define CERT_REVOCATION_PARA_HAS_EXTRA_FIELDS

#include "trust/publisher_chain.h"

#include "build_settings.h"
#include "text/text_conversion.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace trust {
namespace {

// How long the revocation servers of the whole chain may take together.
constexpr DWORD RevocationTimeoutMs = 10000;

// Chain errors that only say the revocation servers could not be asked.
constexpr DWORD RevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

std::string Hex(unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", value);
    return text;
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

std::string Base64(const unsigned char* data, DWORD size)
{
    static constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (DWORD i = 0; i < size; i += 3) {
        const unsigned long group = (static_cast<unsigned long>(data[i]) << 16)
            | (i + 1 < size ? static_cast<unsigned long>(data[i + 1]) << 8 : 0) | (i + 2 < size ? data[i + 2] : 0);
        out += Alphabet[(group >> 18) & 63];
        out += Alphabet[(group >> 12) & 63];
        out += i + 1 < size ? Alphabet[(group >> 6) & 63] : '=';
        out += i + 2 < size ? Alphabet[group & 63] : '=';
    }
    return out;
}

// The pin of a certificate's key: the base64 SHA-256 of its SubjectPublicKeyInfo, encoded again
// from the decoded certificate (the bytes the chain engine checked); empty when that fails.
std::string KeyPin(PCCERT_CONTEXT certificate)
{
    BYTE* encoded = nullptr;
    DWORD encodedSize = 0;
    if (!::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &certificate->pCertInfo->SubjectPublicKeyInfo,
            CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &encodedSize))
        return {};
    BYTE digest[32];
    DWORD digestSize = sizeof(digest);
    const BOOL hashed = ::CryptHashCertificate2(L"SHA256", 0, nullptr, encoded, encodedSize, digest, &digestSize);
    ::LocalFree(encoded);
    if (!hashed || digestSize != sizeof(digest))
        return {};
    return Base64(digest, digestSize);
}

bool IsPinned(const std::string& pin)
{
    std::string_view pins = InstallerKeyPins();
    while (!pins.empty()) {
        const std::size_t end = pins.find(';');
        if (pins.substr(0, end) == pin)
            return true;
        if (end == std::string_view::npos)
            break;
        pins.remove_prefix(end + 1);
    }
    return false;
}

bool HasPinnedKey(const CERT_CHAIN_CONTEXT& chain)
{
    for (DWORD c = 0; c < chain.cChain; ++c)
        for (DWORD e = 0; e < chain.rgpChain[c]->cElement; ++e)
            if (const std::string pin = KeyPin(chain.rgpChain[c]->rgpElement[e]->pCertContext);
                !pin.empty() && IsPinned(pin))
                return true;
    return false;
}

} // namespace

const char* InstallerPublisher() noexcept
{
    return RORA_INSTALLER_PUBLISHER;
}

const char* InstallerKeyPins() noexcept
{
    return RORA_INSTALLER_KEY_PINS;
}

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

bool HasUsage(PCCERT_CONTEXT certificate, const char* usage)
{
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) || size == 0)
        return false;
    std::vector<unsigned char> buffer(size);
    auto* usages = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usages, &size))
        return false;
    for (DWORD i = 0; i < usages->cUsageIdentifier; ++i)
        if (std::strcmp(usages->rgpszUsageIdentifier[i], usage) == 0)
            return true;
    return false;
}

std::string PublisherChainFailure(const CERT_CHAIN_CONTEXT& chain)
{
    if (chain.cChain == 0 || chain.rgpChain[0]->cElement == 0)
        return "its signer could not be read";
    if (std::string reason = DescribeChainStatus(chain.TrustStatus.dwErrorStatus); !reason.empty())
        return reason;
    PCCERT_CONTEXT leaf = chain.rgpChain[0]->rgpElement[0]->pCertContext;
    if (!HasUsage(leaf, szOID_PKIX_KP_CODE_SIGNING))
        return "its certificate is not for code signing";
    const std::wstring signedBy = CommonName(leaf);
    if (signedBy != text::ToWide(InstallerPublisher()))
        return "it is signed by \"" + text::ToUtf8(signedBy) + "\", not by \"" + InstallerPublisher() + "\"";
    // The name alone could come from any of the roots the machine trusts.
    if (!HasPinnedKey(chain))
        return "its certificate is not issued under the publisher's own key";
    return {};
}

bool IsRevoked(const CERT_CHAIN_CONTEXT& chain)
{
    if (chain.cChain == 0 || chain.rgpChain[0]->cElement < 2)
        return false;
    const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
    std::vector<void*> certificates;
    for (DWORD i = 0; i + 1 < simple.cElement; ++i)
        certificates.push_back(const_cast<CERT_CONTEXT*>(simple.rgpElement[i]->pCertContext));
    CERT_REVOCATION_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.pIssuerCert = simple.rgpElement[simple.cElement - 1]->pCertContext;
    parameters.dwUrlRetrievalTimeout = RevocationTimeoutMs;
    CERT_REVOCATION_STATUS status{};
    status.cbSize = sizeof(status);
    if (::CertVerifyRevocation(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_CONTEXT_REVOCATION_TYPE,
            static_cast<DWORD>(certificates.size()), certificates.data(),
            CERT_VERIFY_REV_CHAIN_FLAG | CERT_VERIFY_REV_ACCUMULATIVE_TIMEOUT_FLAG, &parameters, &status))
        return false;
    return status.dwError == static_cast<DWORD>(CRYPT_E_REVOKED);
}

} // namespace trust
