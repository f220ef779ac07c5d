// CertificateAuthority: a throw-away certificate authority for servers on this machine. It makes
// its own key and self-signed certificate, issues server certificates for given DNS names and IP
// addresses, and writes both as PEM files so clients can trust the authority through a CA file.
// Immutable after creation; thread-safe. Failures of OpenSSL throw dz::Exception.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace dz::devserver {

struct IssuedCertificate {
  std::string certificatePem;
  std::string privateKeyPem;
  std::string certificateDer;

  // Writes "<name>.pem" (certificate) and "<name>-key.pem" (key, owner-only) into `folder`.
  void writePem(const std::filesystem::path& folder, const std::string& name) const;
};

class CertificateAuthority {
 public:
  // A new authority (EC P-256 key) with `commonName` as its subject.
  static std::shared_ptr<CertificateAuthority> create(const std::string& commonName);

  CertificateAuthority(const CertificateAuthority&) = delete;
  CertificateAuthority& operator=(const CertificateAuthority&) = delete;
  ~CertificateAuthority();

  // A server certificate signed by this authority, valid for the names and addresses given
  // (subject alternative names; the first DNS name, else the first address, is the common name).
  IssuedCertificate issue(const std::vector<std::string>& dnsNames,
                          const std::vector<std::string>& ipAddresses = {}) const;

  const IssuedCertificate& certificate() const { return own_; }
  // Writes the authority's certificate as "<folder>/ca.pem" and returns that path.
  std::filesystem::path writeCertificate(const std::filesystem::path& folder) const;

 private:
  CertificateAuthority() = default;
  struct Keys;
  std::unique_ptr<Keys> keys_;
  IssuedCertificate own_;
};

}  // namespace dz::devserver
