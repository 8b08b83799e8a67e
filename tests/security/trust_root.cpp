// Adds a PEM certificate to the machine's trusted roots (LocalMachine ROOT) of the Wine prefix it
// runs in, so that signatures made under a per-run test root verify there as a real publisher's
// do on Windows. Takes effect for every process started afterwards.
//   trust_root ROOT.pem...           adds each (an equal certificate already there is replaced)
//   trust_root --check ROOT.pem...   exit code 0 when the store holds each, 1 when it does not
// Other exit codes: 2 usage, 3 the file holds no certificate, 4 the store failed.
#include "sys/scope_guard.h"
#include "sys/unique_resource.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using UniqueCertificate = sys::UniqueResource<PCCERT_CONTEXT, &::CertFreeCertificateContext>;

// The DER bytes of the first certificate in a PEM file; empty when there is none.
std::vector<BYTE> ReadPemCertificate(const wchar_t* path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (pem.empty()
        || !::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                   &size, nullptr, nullptr))
        return {};
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                &size, nullptr, nullptr))
        return {};
    der.resize(size);
    return der;
}

std::wstring SubjectOf(PCCERT_CONTEXT certificate)
{
    wchar_t name[256] = {};
    ::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return name;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool check = argc >= 3 && std::wstring(argv[1]) == L"--check";
    if (argc < 2 || (check && argc < 3)) {
        std::fprintf(stderr, "usage: trust_root [--check] ROOT.pem...\n");
        return 2;
    }
    const HCERTSTORE store =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!store) {
        std::fprintf(stderr, "trust_root: cannot open the machine's ROOT store (%lu)\n", ::GetLastError());
        return 4;
    }
    const auto closeStore = sys::ScopeGuard([&] { ::CertCloseStore(store, 0); });

    int result = 0;
    for (int i = check ? 2 : 1; i < argc; ++i) {
        const wchar_t* path = argv[i];
        const std::vector<BYTE> der = ReadPemCertificate(path);
        const UniqueCertificate certificate(
            der.empty() ? nullptr
                        : ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
        if (!certificate) {
            std::fprintf(stderr, "trust_root: no certificate in %ls\n", path);
            return 3;
        }
        if (check) {
            const UniqueCertificate found(::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                                       certificate.Get(), nullptr));
            std::printf("%ls: %s\n", SubjectOf(certificate.Get()).c_str(), found ? "trusted" : "not trusted");
            if (!found)
                result = 1;
            continue;
        }
        if (!::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
            std::fprintf(stderr, "trust_root: cannot add %ls to the machine's ROOT store (%lu)\n", path, ::GetLastError());
            return 4;
        }
        std::printf("%ls: added to the machine's trusted roots\n", SubjectOf(certificate.Get()).c_str());
    }
    return result;
}
