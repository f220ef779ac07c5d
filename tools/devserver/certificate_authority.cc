#include "tools/devserver/certificate_authority.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <fstream>

#include "platform/crypto.h"
#include "platform/exception.h"

namespace dz::devserver {
namespace {

constexpr char kCertificateFailure[] = "CertificateFailure";
constexpr long kValiditySeconds = 30L * 24 * 3600;
// Clocks of peers on one machine agree, but allow for a certificate made this very second.
constexpr long kBackdateSeconds = 3600;

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using CertPtr = std::unique_ptr<X509, CertDeleter>;

void check(bool ok, const char* what) {
  if (!ok) throw Exception(kCertificateFailure, what);
}

KeyPtr makeKey() {
  KeyPtr key(EVP_EC_gen("P-256"));
  check(key != nullptr, "cannot make a key");
  return key;
}

void setName(X509_NAME* name, const std::string& commonName) {
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0) == 1,
        "cannot set a name");
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  check(extension != nullptr, "cannot make an extension");
  const int added = X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  check(added == 1, "cannot add an extension");
}

CertPtr makeCertificate(const std::string& commonName, EVP_PKEY* publicKey) {
  CertPtr cert(X509_new());
  check(cert != nullptr, "cannot make a certificate");
  X509_set_version(cert.get(), 2);
  // Random serials keep certificates of successive runs apart.
  const uint64_t serial =
      (uint64_t{platform::secureRandomUInt32()} << 31) ^ platform::secureRandomUInt32();
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds);
  check(X509_set_pubkey(cert.get(), publicKey) == 1, "cannot set the key");
  setName(X509_get_subject_name(cert.get()), commonName);
  return cert;
}

// Runs `write` into a memory BIO and returns what it wrote.
template <typename Write>
std::string pemText(Write write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  check(bio && write(bio.get()) == 1, "cannot write PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

std::string toPem(X509* cert) {
  return pemText([cert](BIO* bio) { return PEM_write_bio_X509(bio, cert); });
}

std::string toPem(EVP_PKEY* key) {
  return pemText([key](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  });
}

std::string toDer(X509* cert) {
  unsigned char* data = nullptr;
  const int size = i2d_X509(cert, &data);
  check(size > 0, "cannot encode a certificate");
  std::string der(reinterpret_cast<char*>(data), static_cast<size_t>(size));
  OPENSSL_free(data);
  return der;
}

IssuedCertificate describe(X509* cert, EVP_PKEY* key) {
  return IssuedCertificate{toPem(cert), toPem(key), toDer(cert)};
}

void writeFile(const std::filesystem::path& path, const std::string& text, bool ownerOnly) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  check(out.good(), "cannot write a PEM file");
  if (ownerOnly) {
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
}

}  // namespace

struct CertificateAuthority::Keys {
  KeyPtr key;
  CertPtr cert;
};

CertificateAuthority::~CertificateAuthority() = default;

std::shared_ptr<CertificateAuthority> CertificateAuthority::create(const std::string& commonName) {
  std::shared_ptr<CertificateAuthority> authority(new CertificateAuthority());
  auto keys = std::make_unique<Keys>();
  keys->key = makeKey();
  keys->cert = makeCertificate(commonName, keys->key.get());
  X509* cert = keys->cert.get();
  check(X509_set_issuer_name(cert, X509_get_subject_name(cert)) == 1, "cannot set the issuer");
  addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(cert, cert, NID_subject_key_identifier, "hash");
  check(X509_sign(cert, keys->key.get(), EVP_sha256()) > 0, "cannot sign");
  authority->own_ = describe(cert, keys->key.get());
  authority->keys_ = std::move(keys);
  return authority;
}

IssuedCertificate CertificateAuthority::issue(const std::vector<std::string>& dnsNames,
                                              const std::vector<std::string>& ipAddresses) const {
  check(!dnsNames.empty() || !ipAddresses.empty(), "a certificate needs a name");
  KeyPtr key = makeKey();
  CertPtr cert =
      makeCertificate(dnsNames.empty() ? ipAddresses.front() : dnsNames.front(), key.get());
  X509* issuer = keys_->cert.get();
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer)) == 1,
        "cannot set the issuer");
  std::string names;
  for (const auto& name : dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + name;
  for (const auto& address : ipAddresses) names += (names.empty() ? "IP:" : ",IP:") + address;
  addExtension(cert.get(), issuer, NID_subject_alt_name, names);
  addExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
  addExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always");
  check(X509_sign(cert.get(), keys_->key.get(), EVP_sha256()) > 0, "cannot sign");
  return describe(cert.get(), key.get());
}

std::filesystem::path CertificateAuthority::writeCertificate(
    const std::filesystem::path& folder) const {
  std::filesystem::create_directories(folder);
  const auto path = folder / "ca.pem";
  writeFile(path, own_.certificatePem, false);
  return path;
}

void IssuedCertificate::writePem(const std::filesystem::path& folder,
                                 const std::string& name) const {
  std::filesystem::create_directories(folder);
  writeFile(folder / (name + ".pem"), certificatePem, false);
  writeFile(folder / (name + "-key.pem"), privateKeyPem, true);
}

}  // namespace dz::devserver
