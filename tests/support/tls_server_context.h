// A server-side OpenSSL context for test servers that speak TLS themselves, from a PEM
// certificate and key. The caller owns the context (SSL_CTX_free).
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace dz::testing {

// `maxVersion` 0 leaves OpenSSL's newest; TLS1_2_VERSION allows renegotiation.
SSL_CTX* makeServerContext(const std::string& certificatePem, const std::string& privateKeyPem,
                           int maxVersion = 0);

}  // namespace dz::testing
