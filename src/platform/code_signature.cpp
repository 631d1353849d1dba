#include "platform/code_signature.h"

#include <openssl/cms.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

#include "platform/file_reading.h"

namespace vexa::platform {
namespace {

struct CmsFree {
  void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
struct CertificatesFree {
  void operator()(STACK_OF(X509) * certificates) const {
    sk_X509_pop_free(certificates, X509_free);
  }
};

// A signature file is a few kilobytes; anything near this is not one.
constexpr std::size_t kMaxSignatureBytes = 1 << 20;

}  // namespace

std::optional<std::string> signingTeam(const std::filesystem::path& bundle) {
  const std::filesystem::path file = bundle / "Contents" / "_CodeSignature" / "CodeSignature";
  std::error_code ignored;
  if (!std::filesystem::exists(std::filesystem::symlink_status(file, ignored))) return std::nullopt;
  const std::string bytes = readWholeFile(file, {.limit = kMaxSignatureBytes});
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::unique_ptr<CMS_ContentInfo, CmsFree> cms(
      d2i_CMS_ContentInfo(nullptr, &data, static_cast<long>(bytes.size())));
  if (!cms) throw std::runtime_error("the code signature is not a readable signature");
  const std::unique_ptr<STACK_OF(X509), CertificatesFree> certificates(CMS_get1_certs(cms.get()));
  for (int index = 0; certificates && index < sk_X509_num(certificates.get()); ++index) {
    X509* certificate = sk_X509_value(certificates.get(), index);
    if (X509_check_ca(certificate) != 0) continue;
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int entry = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
    if (entry < 0) break;
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, entry));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) break;
    std::string team(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return team;
  }
  throw std::runtime_error("the code signature names no signing team");
}

}  // namespace vexa::platform
