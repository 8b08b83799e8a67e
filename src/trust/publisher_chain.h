#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace trust {

// The common name the signer's certificate must carry (UTF-8): the build's publisher.
const char* InstallerPublisher() noexcept;

// The build's key pins, as given: base64 SHA-256 digests of SubjectPublicKeyInfo, separated by ';'.
const char* InstallerKeyPins() noexcept;

// Why a chain status may not be taken, for the user (UTF-8); empty when the chain has no error
// but unknown revocation. Some systems (Wine among them) let WinVerifyTrust answer success for a
// chain that ends at an untrusted root or at no root at all, so every caller reads the status.
std::string DescribeChainStatus(DWORD status);

// Whether the certificate's own extended-key-usage extension names `usage` (an OID). A
// certificate without the extension is valid for no usage here.
bool HasUsage(PCCERT_CONTEXT certificate, const char* usage);

// Why `chain`, built and verified for a signer, is not the publisher's, for the user (UTF-8):
// empty when it has no error but unknown revocation, its leaf is for code signing and issued to
// InstallerPublisher(), and one of its certificates' keys is pinned by InstallerKeyPins().
// Revocation is not asked here (IsRevoked()).
std::string PublisherChainFailure(const CERT_CHAIN_CONTEXT& chain);

// Whether a revocation server that answers in time has revoked a certificate of `chain` below
// its root. All servers of the chain get one time limit together; one that does not answer does
// not revoke anything: installers run behind proxies that block them.
bool IsRevoked(const CERT_CHAIN_CONTEXT& chain);

} // namespace trust
