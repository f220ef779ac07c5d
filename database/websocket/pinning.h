// Certificate pinning: whether a server's certificate chain is acceptable when the caller trusts
// only certain certificates. Free function; thread-safe.
#pragma once

#include <string>
#include <vector>

namespace dz::websocket {

// True when the leaf (chain[0]) is valid for `host` and either carries the public key of a
// pinned certificate or verifies up to a pinned certificate as its only trust anchors. Extra
// certificates a server appends to its chain count only as intermediates: a pinned certificate
// appended to a chain signed by someone else does not make it pass. All certificates are DER.
bool chainMatchesPins(const std::vector<std::string>& chain,
                      const std::vector<std::string>& pinnedCertificates, const std::string& host);

}  // namespace dz::websocket
