#pragma once

#include <filesystem>
#include <memory>
#include <vector>

// The certificate authorities a URL session trusts beyond the system store, read once from PEM
// files when the session is made and added to every TLS context its transfers create. Main thread
// only, like the session; not changed after loading. Loading fails with std::system_error for a
// file that cannot be read and UrlError(tls) for one without a certificate.
namespace vexa::platform {

class TlsAuthorities {
 public:
  // None: only the system store is trusted.
  TlsAuthorities() = default;
  // Every certificate in each file. A missing file, or one without a certificate, is an error:
  // silently trusting less than configured would only surface later as a puzzling TLS failure.
  explicit TlsAuthorities(const std::vector<std::filesystem::path>& files);

  [[nodiscard]] bool empty() const { return certificates_.empty(); }
  // Adds every authority to the certificate store of `sslContext`, the OpenSSL SSL_CTX libcurl
  // hands to its CURLOPT_SSL_CTX_FUNCTION.
  void addTo(void* sslContext) const;

 private:
  struct CertificateFree {
    void operator()(void* certificate) const;
  };
  // X509 certificates.
  std::vector<std::unique_ptr<void, CertificateFree>> certificates_;
};

}  // namespace vexa::platform
