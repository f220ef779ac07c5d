#include "tests/support/tls_server_context.h"

#include <openssl/pem.h>

namespace dz::testing {

SSL_CTX* makeServerContext(const std::string& certificatePem, const std::string& privateKeyPem,
                           int maxVersion) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (maxVersion != 0) SSL_CTX_set_max_proto_version(context, maxVersion);
  BIO* certificate =
      BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size()));
  BIO* key = BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size()));
  X509* x509 = PEM_read_bio_X509(certificate, nullptr, nullptr, nullptr);
  EVP_PKEY* pkey = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
  SSL_CTX_use_certificate(context, x509);
  SSL_CTX_use_PrivateKey(context, pkey);
  X509_free(x509);
  EVP_PKEY_free(pkey);
  BIO_free(certificate);
  BIO_free(key);
  return context;
}

}  // namespace dz::testing
