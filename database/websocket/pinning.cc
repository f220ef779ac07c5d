#include "database/websocket/pinning.h"

#include <arpa/inet.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace dz::websocket {
namespace {

struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
using CertPtr = std::unique_ptr<X509, X509Deleter>;

CertPtr parse(const std::string& der) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
  return CertPtr(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
}

bool leafNamesHost(X509* leaf, const std::string& host) {
  in6_addr address;
  const bool ipLiteral = ::inet_pton(AF_INET, host.c_str(), &address) == 1 ||
                         ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
  return ipLiteral ? X509_check_ip_asc(leaf, host.c_str(), 0) == 1
                   : X509_check_host(leaf, host.data(), host.size(), 0, nullptr) == 1;
}

bool verifiesToPins(X509* leaf, const std::vector<CertPtr>& intermediates,
                    const std::vector<CertPtr>& pins) {
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
      sk_X509_new_null(), [](STACK_OF(X509) * stack) { sk_X509_free(stack); });
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                          X509_STORE_CTX_free);
  if (!store || !untrusted || !context) return false;
  for (const auto& pin : pins) X509_STORE_add_cert(store.get(), pin.get());
  for (const auto& cert : intermediates) sk_X509_push(untrusted.get(), cert.get());
  if (X509_STORE_CTX_init(context.get(), store.get(), leaf, untrusted.get()) != 1) return false;
  // A pinned intermediate or leaf is an anchor of its own, without its issuers.
  X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
  X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
  return X509_verify_cert(context.get()) == 1;
}

}  // namespace

bool chainMatchesPins(const std::vector<std::string>& chain,
                      const std::vector<std::string>& pinnedCertificates, const std::string& host) {
  if (chain.empty() || pinnedCertificates.empty()) return false;
  CertPtr leaf = parse(chain.front());
  if (!leaf || !leafNamesHost(leaf.get(), host)) return false;
  std::vector<CertPtr> pins;
  for (const auto& der : pinnedCertificates) {
    if (CertPtr pin = parse(der)) pins.push_back(std::move(pin));
  }
  for (const auto& pin : pins) {
    if (EVP_PKEY_eq(X509_get0_pubkey(leaf.get()), X509_get0_pubkey(pin.get())) == 1) return true;
  }
  std::vector<CertPtr> intermediates;
  for (size_t i = 1; i < chain.size(); ++i) {
    if (CertPtr cert = parse(chain[i])) intermediates.push_back(std::move(cert));
  }
  return verifiesToPins(leaf.get(), intermediates, pins);
}

}  // namespace dz::websocket
