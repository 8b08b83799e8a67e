#include "trust/signature_contents.h"

#include "sys/unique_resource.h"
#include "trust/publisher_chain.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace trust {
namespace {

constexpr DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

constexpr char TimeStampAttribute[] = "1.3.6.1.4.1.311.3.3.1"; // RFC 3161, as Authenticode carries it
constexpr char NestedSignatureAttribute[] = "1.3.6.1.4.1.311.2.4.1";
constexpr char IndirectDataContent[] = "1.3.6.1.4.1.311.2.1.4"; // what Authenticode signs
constexpr char TimeStampInfo[] = "1.2.840.113549.1.9.16.1.4"; // what a time-stamp token signs

constexpr unsigned MaxNesting = 4; // more than any signing tool makes
constexpr DWORD MaxCertificates = 16; // a chain of a few certificates, for each of a few signers
constexpr DWORD MaxNestedSignatures = 4;
constexpr std::size_t MaxTimeStampInfo = 1024; // a TSTInfo is a few hundred bytes; more is data

constexpr char Uncovered[] = "it carries data that its signature does not cover";
constexpr char ForeignSignature[] = "it carries a signature that is not the publisher's";
constexpr char BrokenSignature[] = "it carries a signature that does not verify";
constexpr char BadTimeStamp[] = "its time stamp is not valid";

void CloseStore(HCERTSTORE store) noexcept
{
    ::CertCloseStore(store, 0);
}

using UniqueMessage = sys::UniqueResource<HCRYPTMSG, &::CryptMsgClose>;
using UniqueStore = sys::UniqueResource<HCERTSTORE, &CloseStore>;
using UniqueCertificate = sys::UniqueResource<PCCERT_CONTEXT, &::CertFreeCertificateContext>;
using UniqueChain = sys::UniqueResource<PCCERT_CHAIN_CONTEXT, &::CertFreeCertificateChain>;
using Bytes = std::vector<unsigned char>;

enum class Role {
    Outer, // the publisher's signature, verified by the trust provider
    Nested, // a further signature beside it
    TimeStamp, // an RFC 3161 token that stamps its parent's signature
};

// Where the value of the one DER element that fills `bytes` starts, after its tag and length;
// none unless the element fills `bytes` exactly with a length in DER's own form (definite, in
// as few bytes as it takes).
std::optional<std::size_t> ValueOffset(const Bytes& bytes)
{
    if (bytes.size() < 2 || (bytes[0] & 0x1f) == 0x1f)
        return std::nullopt;
    std::size_t length = bytes[1], offset = 2;
    if (length & 0x80) {
        const unsigned count = length & 0x7f;
        if (count == 0 || count > 3 || bytes.size() < 2 + count || bytes[2] == 0)
            return std::nullopt;
        length = 0;
        for (unsigned i = 0; i < count; ++i)
            length = (length << 8) | bytes[2 + i];
        if (length < 0x80)
            return std::nullopt;
        offset += count;
    }
    if (length != bytes.size() - offset)
        return std::nullopt;
    return offset;
}

// What the signer's messageDigest is the hash of, from the message's content as the system returns
// it (CMSG_CONTENT_PARAM); none when it has no such form. Authenticode hashes its
// SpcIndirectDataContent without the SEQUENCE's tag and length. A token's TSTInfo is hashed whole:
// Wine returns it inside the OCTET STRING that carries it, a system that unwraps the OCTET STRING
// returns the TSTInfo itself.
std::optional<Bytes> SignedContent(const Bytes& content, Role role)
{
    constexpr unsigned char Sequence = 0x30, OctetString = 0x04;
    const auto value = ValueOffset(content);
    if (!value)
        return std::nullopt;
    if (content[0] == (role == Role::TimeStamp ? OctetString : Sequence))
        return Bytes(content.begin() + static_cast<std::ptrdiff_t>(*value), content.end());
    if (role == Role::TimeStamp && content[0] == Sequence)
        return content;
    return std::nullopt;
}

std::optional<DWORD> Count(HCRYPTMSG message, DWORD parameter)
{
    DWORD value = 0, size = sizeof(value);
    if (!::CryptMsgGetParam(message, parameter, 0, &value, &size))
        return std::nullopt;
    return value;
}

Bytes Parameter(HCRYPTMSG message, DWORD parameter, DWORD index)
{
    DWORD size = 0;
    if (!::CryptMsgGetParam(message, parameter, index, nullptr, &size) || size == 0)
        return {};
    Bytes buffer(size);
    if (!::CryptMsgGetParam(message, parameter, index, buffer.data(), &size))
        return {};
    buffer.resize(size);
    return buffer;
}

// Absent or NULL (05 00), as every Authenticode signer's digest and RSA algorithms have them.
bool NoParameters(const CRYPT_ALGORITHM_IDENTIFIER& algorithm)
{
    const CRYPT_OBJID_BLOB& p = algorithm.Parameters;
    return p.cbData == 0 || (p.cbData == 2 && p.pbData[0] == 0x05 && p.pbData[1] == 0x00);
}

// The CNG name of a digest algorithm a signer may use; null for any other (MD5 among them).
const wchar_t* HashName(const char* oid)
{
    static constexpr struct {
        const char* oid;
        const wchar_t* name;
    } Known[] = {{szOID_OIWSEC_sha1, L"SHA1"}, {szOID_NIST_sha256, L"SHA256"}, {szOID_NIST_sha384, L"SHA384"},
        {szOID_NIST_sha512, L"SHA512"}};
    for (const auto& known : Known)
        if (oid && std::strcmp(oid, known.oid) == 0)
            return known.name;
    return nullptr;
}

Bytes Hash(const wchar_t* algorithm, const unsigned char* data, std::size_t size)
{
    Bytes digest(64);
    DWORD length = static_cast<DWORD>(digest.size());
    if (!::CryptHashCertificate2(algorithm, 0, nullptr, data, static_cast<DWORD>(size), digest.data(), &length))
        return {};
    digest.resize(length);
    return digest;
}

const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES& attributes, const char* oid)
{
    for (DWORD i = 0; i < attributes.cAttr; ++i)
        if (attributes.rgAttr[i].pszObjId && std::strcmp(attributes.rgAttr[i].pszObjId, oid) == 0)
            return &attributes.rgAttr[i];
    return nullptr;
}

// Whether the signer's messageDigest attribute is the hash of `content`, in its digest algorithm.
// The system verifies a signature over the attributes alone; nothing of it compares this one.
bool DigestMatches(const CMSG_SIGNER_INFO& signer, const unsigned char* content, std::size_t size)
{
    const CRYPT_ATTRIBUTE* attribute = FindAttribute(signer.AuthAttrs, szOID_RSA_messageDigest);
    const wchar_t* algorithm = HashName(signer.HashAlgorithm.pszObjId);
    if (!attribute || attribute->cValue != 1 || !algorithm)
        return false;
    CRYPT_DATA_BLOB* expected = nullptr;
    DWORD expectedSize = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_OCTET_STRING, attribute->rgValue[0].pbData,
            attribute->rgValue[0].cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &expected, &expectedSize))
        return false;
    const Bytes computed = Hash(algorithm, content, size);
    const bool equal = !computed.empty() && expected->cbData == computed.size()
        && std::equal(computed.begin(), computed.end(), expected->pbData);
    ::LocalFree(expected);
    return equal;
}

// Whether the TSTInfo `info` stamps `signature` (its parent signer's encrypted digest): its
// message imprint, an OCTET STRING, holds the hash of that signature in one of the digest
// algorithms a time-stamp request may name.
bool Stamps(const Bytes& info, const Bytes& signature)
{
    for (const wchar_t* algorithm : {L"SHA256", L"SHA1", L"SHA384", L"SHA512"}) {
        Bytes imprint = Hash(algorithm, signature.data(), signature.size());
        if (imprint.empty())
            continue;
        imprint.insert(imprint.begin(), {0x04, static_cast<unsigned char>(imprint.size())});
        if (std::search(info.begin(), info.end(), imprint.begin(), imprint.end()) != info.end())
            return true;
    }
    return false;
}

bool InChain(const CERT_CHAIN_CONTEXT& chain, const Bytes& certificate)
{
    for (DWORD c = 0; c < chain.cChain; ++c)
        for (DWORD e = 0; e < chain.rgpChain[c]->cElement; ++e) {
            PCCERT_CONTEXT element = chain.rgpChain[c]->rgpElement[e]->pCertContext;
            if (element->cbCertEncoded == certificate.size()
                && std::equal(certificate.begin(), certificate.end(), element->pbCertEncoded))
                return true;
        }
    return false;
}

// A decoded SignedData that passes the rules every one of them must pass here.
struct SignedData {
    UniqueMessage message;
    std::vector<Bytes> certificates; // as carried, in their encoded form
    Bytes signerBuffer; // CMSG_SIGNER_INFO_PARAM of its one signer

    const CMSG_SIGNER_INFO& Signer() const { return *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.data()); }
};

std::string_view Text(const Bytes& bytes)
{
    const auto* text = reinterpret_cast<const char*>(bytes.data());
    return std::string_view(text, strnlen(text, bytes.size()));
}

// `data` decoded: exactly one DER SEQUENCE, a signed message of `role`'s content type with one
// signer, no CRLs, no attribute certificates, at most MaxCertificates certificates that each
// decode, and a signer whose algorithms have no parameters. None when any of that fails.
std::optional<SignedData> Decode(const unsigned char* data, std::size_t size, Role role)
{
    if (!ValueOffset(Bytes(data, data + size)) || data[0] != 0x30)
        return std::nullopt;
    SignedData decoded{UniqueMessage(::CryptMsgOpenToDecode(Encoding, 0, 0, 0, nullptr, nullptr)), {}, {}};
    HCRYPTMSG message = decoded.message.Get();
    if (!message || !::CryptMsgUpdate(message, data, static_cast<DWORD>(size), TRUE))
        return std::nullopt;
    const auto certificates = Count(message, CMSG_CERT_COUNT_PARAM);
    if (Count(message, CMSG_TYPE_PARAM) != CMSG_SIGNED || Count(message, CMSG_SIGNER_COUNT_PARAM) != 1u
        || Count(message, CMSG_CRL_COUNT_PARAM) != 0u || Count(message, CMSG_ATTR_CERT_COUNT_PARAM) != 0u
        || !certificates || *certificates > MaxCertificates)
        return std::nullopt;
    for (DWORD i = 0; i < *certificates; ++i) {
        Bytes certificate = Parameter(message, CMSG_CERT_PARAM, i);
        const UniqueCertificate context(certificate.empty() ? nullptr
            : ::CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data(), static_cast<DWORD>(certificate.size())));
        if (!context)
            return std::nullopt;
        decoded.certificates.push_back(std::move(certificate));
    }
    const char* contentType = role == Role::TimeStamp ? TimeStampInfo : IndirectDataContent;
    if (Text(Parameter(message, CMSG_INNER_CONTENT_TYPE_PARAM, 0)) != contentType)
        return std::nullopt;
    decoded.signerBuffer = Parameter(message, CMSG_SIGNER_INFO_PARAM, 0);
    if (decoded.signerBuffer.size() < sizeof(CMSG_SIGNER_INFO) || !NoParameters(decoded.Signer().HashAlgorithm)
        || !NoParameters(decoded.Signer().HashEncryptionAlgorithm))
        return std::nullopt;
    return decoded;
}

class Checker {
public:
    explicit Checker(const FILETIME& asOf) noexcept : asOf_(asOf) {}

    // Why the SignedData `data` in `role` may not be taken; `chain` is the chain verified for the
    // outer signer, `stamped` the parent's signature that a token must stamp.
    std::string Check(const unsigned char* data, std::size_t size, Role role, const CERT_CHAIN_CONTEXT* chain,
        const Bytes& stamped, unsigned depth) const;

private:
    // Why the signer of a token or a nested signature does not hold; `built` receives its chain.
    std::string CheckInnerSigner(const SignedData& signedData, Role role, const Bytes& stamped, UniqueChain& built) const;
    std::string CheckAttributes(const CMSG_SIGNER_INFO& signer, Role role, unsigned depth) const;

    FILETIME asOf_;
};

std::string Checker::Check(const unsigned char* data, std::size_t size, Role role, const CERT_CHAIN_CONTEXT* chain,
    const Bytes& stamped, unsigned depth) const
{
    if (depth > MaxNesting)
        return Uncovered;
    const auto signedData = Decode(data, size, role);
    if (!signedData)
        return Uncovered;
    UniqueChain built;
    if (role != Role::Outer) {
        if (std::string reason = CheckInnerSigner(*signedData, role, stamped, built); !reason.empty())
            return reason;
        chain = built.Get();
    }
    // A certificate that no chain of a signer uses is data anyone may have put there.
    for (const Bytes& certificate : signedData->certificates)
        if (!InChain(*chain, certificate))
            return Uncovered;
    return CheckAttributes(signedData->Signer(), role, depth);
}

std::string Checker::CheckInnerSigner(const SignedData& signedData, Role role, const Bytes& stamped, UniqueChain& built) const
{
    const std::string failed = role == Role::TimeStamp ? BadTimeStamp : BrokenSignature;
    const CMSG_SIGNER_INFO& signer = signedData.Signer();
    // The signer's certificate from the message, its signature over the attributes, and the
    // attributes over the content.
    const UniqueStore store(::CertOpenStore(CERT_STORE_PROV_MSG, Encoding, 0, 0, signedData.message.Get()));
    CERT_INFO id{};
    id.Issuer = signer.Issuer;
    id.SerialNumber = signer.SerialNumber;
    const UniqueCertificate certificate(store ? ::CertGetSubjectCertificateFromStore(store.Get(), Encoding, &id) : nullptr);
    if (!certificate
        || !::CryptMsgControl(signedData.message.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, certificate.Get()->pCertInfo))
        return failed;
    const auto content = SignedContent(Parameter(signedData.message.Get(), CMSG_CONTENT_PARAM, 0), role);
    if (!content || !DigestMatches(signer, content->data(), content->size()))
        return failed;

    // Its chain, built with the message's certificates, as of the time the outer signature holds for.
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    FILETIME asOf = asOf_;
    if (!::CertGetCertificateChain(nullptr, certificate.Get(), &asOf, store.Get(), &parameters, 0, nullptr, built.Put()))
        return role == Role::TimeStamp ? BadTimeStamp : ForeignSignature;
    if (role == Role::Nested)
        return PublisherChainFailure(*built.Get()).empty() && !IsRevoked(*built.Get()) ? std::string() : ForeignSignature;
    if (!DescribeChainStatus(built.Get()->TrustStatus.dwErrorStatus).empty()
        || !HasUsage(certificate.Get(), szOID_PKIX_KP_TIMESTAMP_SIGNING) || content->size() > MaxTimeStampInfo
        || !Stamps(*content, stamped))
        return BadTimeStamp;
    return {};
}

std::string Checker::CheckAttributes(const CMSG_SIGNER_INFO& signer, Role role, unsigned depth) const
{
    const CRYPT_ATTRIBUTES& attributes = signer.UnauthAttrs;
    // A token's signer carries nothing beside its signature.
    if (role == Role::TimeStamp)
        return attributes.cAttr == 0 ? std::string() : Uncovered;
    const Bytes signature(signer.EncryptedHash.pbData, signer.EncryptedHash.pbData + signer.EncryptedHash.cbData);
    bool stamped = false, nested = false;
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        Role inner;
        if (attribute.pszObjId && std::strcmp(attribute.pszObjId, TimeStampAttribute) == 0 && !stamped
            && attribute.cValue == 1) {
            stamped = true;
            inner = Role::TimeStamp;
        } else if (attribute.pszObjId && std::strcmp(attribute.pszObjId, NestedSignatureAttribute) == 0 && !nested
            && attribute.cValue >= 1 && attribute.cValue <= MaxNestedSignatures) {
            nested = true;
            inner = Role::Nested;
        } else {
            // Legacy countersignatures among them: no rule for them can be tested here.
            return Uncovered;
        }
        for (DWORD v = 0; v < attribute.cValue; ++v)
            if (std::string reason = Check(attribute.rgValue[v].pbData, attribute.rgValue[v].cbData, inner, nullptr,
                    signature, depth + 1);
                !reason.empty())
                return reason;
    }
    return {};
}

} // namespace

std::string SignatureContentsFailure(const unsigned char* data, std::size_t size, const CERT_CHAIN_CONTEXT& publisherChain,
    const FILETIME& asOf)
{
    return Checker(asOf).Check(data, size, Role::Outer, &publisherChain, {}, 0);
}

} // namespace trust
