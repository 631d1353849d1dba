#include "platform/tls_authorities.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "platform/url_session.h"

namespace vexa::platform {

void TlsAuthorities::CertificateFree::operator()(void* certificate) const {
  X509_free(static_cast<X509*>(certificate));
}

TlsAuthorities::TlsAuthorities(const std::vector<std::filesystem::path>& files) {
  for (const auto& file : files) {
    std::FILE* stream = std::fopen(file.c_str(), "rbe");
    if (stream == nullptr) {
      throw std::system_error(errno, std::generic_category(),
                              "Cannot read the certificate authority file " + file.string());
    }
    const std::size_t before = certificates_.size();
    while (X509* certificate = PEM_read_X509(stream, nullptr, nullptr, nullptr)) {
      certificates_.emplace_back(certificate);
    }
    std::fclose(stream);
    if (certificates_.size() == before) {
      throw UrlError(UrlError::Code::tls,
                     "No certificate in the certificate authority file " + file.string());
    }
  }
}

void TlsAuthorities::addTo(void* sslContext) const {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  for (const auto& certificate : certificates_) {
    // A certificate already in the store is not an error worth failing the connection for.
    X509_STORE_add_cert(store, static_cast<X509*>(certificate.get()));
  }
}

}  // namespace vexa::platform
