#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <string>

namespace trust {

// Why the Authenticode signature `data` (one DER PKCS #7 SignedData, as the certificate table
// holds it) carries more than signatures and their chains, for the user (UTF-8); empty when it
// carries nothing else. `publisherChain` is the chain that the trust provider built and verified
// for its signer as of `asOf`, against which its certificates are matched.
//
// Every SignedData in it, the outer one, each time-stamp token and each nested signature, has one
// signer, no CRLs, no attribute certificates, at most 16 certificates, and digest and signature
// algorithms without parameters (or NULL ones); every certificate it carries is an element of the
// chain built and verified for its signer. The signers of the outer message and of nested
// signatures carry no unauthenticated attributes but one RFC 3161 time stamp and up to 4 nested
// signatures. A token's signature verifies, its messageDigest is its content's hash, its chain is
// trusted for time stamping, it stamps its parent's signature and its content is at most 1 KiB.
// A nested signature verifies the same way and is the publisher's (PublisherChainFailure(), as of
// `asOf`, and not revoked). Nested signatures nest at most 4 deep.
std::string SignatureContentsFailure(const unsigned char* data, std::size_t size, const CERT_CHAIN_CONTEXT& publisherChain,
    const FILETIME& asOf);

} // namespace trust
