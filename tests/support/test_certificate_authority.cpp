#include "tests/support/test_certificate_authority.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "tests/support/temporary_directory.h"

namespace vexa::testing {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(std::string("test authority: ") + what);
}

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

// The PEM text of a certificate, or of a private key.
std::string pem(X509* certificate, EVP_PKEY* key = nullptr) {
  std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> bio(BIO_new(BIO_s_mem()));
  if (!bio || (key ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                   : PEM_write_bio_X509(bio.get(), certificate)) != 1)
    fail("encoding");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

// A fresh key and the certificate made for it.
struct Issued {
  KeyPtr key;
  CertPtr certificate;
  IssuedCertificate pem;
};

using Extensions = std::vector<std::pair<int, std::string>>;

// Makes a key and a certificate for it with subject O=Vexa Tests, OU `team` (if any), CN
// `commonName`, signed by `issuer`, or self-signed when that is null.
Issued issue(const std::string& commonName, const std::string& team, const Issued* issuer,
             const Extensions& extensions) {
  Issued made{KeyPtr(EVP_EC_gen("P-256")), CertPtr(X509_new()), {}};
  X509* certificate = made.certificate.get();
  if (!made.key || !certificate) fail("allocation");
  X509_set_version(certificate, 2);
  BIGNUM* serial = BN_new();
  BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);  // positive, up to 16 bytes
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate));
  BN_free(serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 365L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(certificate);
  for (const auto& [field, value] :
       {std::pair<const char*, std::string>{"O", "Vexa Tests"}, {"OU", team}, {"CN", commonName}}) {
    if (!value.empty())
      X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  }
  X509* signer = issuer != nullptr ? issuer->certificate.get() : certificate;
  X509_set_issuer_name(certificate, X509_get_subject_name(signer));
  X509_set_pubkey(certificate, made.key.get());
  Extensions all = {{NID_subject_key_identifier, "hash"}};
  if (issuer != nullptr) all.emplace_back(NID_authority_key_identifier, "keyid:always");
  all.insert(all.end(), extensions.begin(), extensions.end());
  for (const auto& [nid, value] : all) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, signer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (extension == nullptr) fail("extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
  }
  if (X509_sign(certificate, (issuer != nullptr ? issuer->key : made.key).get(), EVP_sha256()) == 0)
    fail("signing");
  made.pem = {pem(certificate), pem(nullptr, made.key.get())};
  return made;
}

}  // namespace

struct TestCertificateAuthority::State : Issued {
  explicit State(Issued issued) : Issued(std::move(issued)) {}
};

void IssuedCertificate::writeCertificate(const std::filesystem::path& path) const {
  writeFile(path, certificatePem);
}

void IssuedCertificate::writePrivateKey(const std::filesystem::path& path) const {
  writeFile(path, privateKeyPem);
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName)
    : state_(std::make_unique<State>(issue(commonName, "", nullptr,
                                           {{NID_basic_constraints, "critical,CA:TRUE"},
                                            {NID_key_usage, "critical,keyCertSign,cRLSign"}}))) {}

TestCertificateAuthority::TestCertificateAuthority(std::unique_ptr<State> state)
    : state_(std::move(state)) {}
TestCertificateAuthority::~TestCertificateAuthority() = default;
TestCertificateAuthority::TestCertificateAuthority(TestCertificateAuthority&&) noexcept = default;
TestCertificateAuthority& TestCertificateAuthority::operator=(TestCertificateAuthority&&) noexcept =
    default;

const IssuedCertificate& TestCertificateAuthority::authority() const { return state_->pem; }

void TestCertificateAuthority::writeCertificate(const std::filesystem::path& path) const {
  state_->pem.writeCertificate(path);
}

IssuedCertificate TestCertificateAuthority::issueServerCertificate(
    const std::vector<std::string>& dnsNames, const std::vector<std::string>& ipAddresses) const {
  std::string alternativeNames;
  for (const std::string& name : dnsNames) alternativeNames += ",DNS:" + name;
  for (const std::string& ip : ipAddresses) alternativeNames += ",IP:" + ip;
  if (alternativeNames.empty()) fail("a server certificate needs at least one name");
  return issue(dnsNames.empty() ? ipAddresses.front() : dnsNames.front(), "", state_.get(),
               {{NID_basic_constraints, "critical,CA:FALSE"},
                {NID_key_usage, "critical,digitalSignature,keyAgreement"},
                {NID_ext_key_usage, "serverAuth"},
                {NID_subject_alt_name, alternativeNames.substr(1)}})
      .pem;
}

IssuedCertificate TestCertificateAuthority::issueCodeSigningCertificate(
    const std::string& commonName, const std::string& team) const {
  return issue(commonName, team, state_.get(),
               {{NID_basic_constraints, "critical,CA:FALSE"},
                {NID_key_usage, "critical,digitalSignature"},
                {NID_ext_key_usage, "codeSigning"}})
      .pem;
}

TestCertificateAuthority TestCertificateAuthority::issueIntermediate(
    const std::string& commonName) const {
  return TestCertificateAuthority(
      std::make_unique<State>(issue(commonName, "", state_.get(),
                                    {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                                     {NID_key_usage, "critical,keyCertSign,cRLSign"}})));
}

}  // namespace vexa::testing
