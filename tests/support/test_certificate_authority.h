#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vexa::testing {

// A certificate and its private key, both PEM.
struct IssuedCertificate {
  std::string certificatePem;
  std::string privateKeyPem;
  void writeCertificate(const std::filesystem::path& path) const;
  void writePrivateKey(const std::filesystem::path& path) const;  // written 0600
};

// A certificate authority made fresh for each test run (EC P-256 keys, SHA-256 signatures, valid
// from an hour ago for a year), used both for HTTPS on loopback and for code signing. Nothing it
// makes is trusted anywhere except where a test hands its certificate over explicitly.
//
// Not thread-safe; create one per fixture (or share one per suite from SetUpTestSuite).
class TestCertificateAuthority {
 public:
  explicit TestCertificateAuthority(const std::string& commonName = "Vexa Test Authority");
  ~TestCertificateAuthority();
  TestCertificateAuthority(TestCertificateAuthority&&) noexcept;
  TestCertificateAuthority& operator=(TestCertificateAuthority&&) noexcept;

  // The self-signed authority certificate and key.
  [[nodiscard]] const IssuedCertificate& authority() const;
  void writeCertificate(const std::filesystem::path& path) const;

  // A TLS server certificate for these DNS names and IP addresses ("localhost", "127.0.0.1").
  [[nodiscard]] IssuedCertificate issueServerCertificate(
      const std::vector<std::string>& dnsNames,
      const std::vector<std::string>& ipAddresses = {}) const;

  // A code-signing leaf certificate whose subject carries CN `commonName` and OU `team`.
  [[nodiscard]] IssuedCertificate issueCodeSigningCertificate(const std::string& commonName,
                                                              const std::string& team) const;

  // An intermediate authority signed by this one; its own issue* calls give chains of length 3.
  [[nodiscard]] TestCertificateAuthority issueIntermediate(const std::string& commonName) const;

 private:
  struct State;
  explicit TestCertificateAuthority(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vexa::testing
