#include "seal.h"

#include <fcntl.h>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "file_descriptor.h"
#include "link_resolver.h"
#include "work_pool.h"

namespace vexa::tools {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSealFolder = "Contents/_CodeSignature";
constexpr const char* kResourcesName = "Contents/_CodeSignature/CodeResources";
constexpr const char* kSignatureName = "Contents/_CodeSignature/CodeSignature";

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* value) const { Free(value); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
void freeCertificateStack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
using StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertificateStack>>;
void freePlist(void* node) { plist_free(static_cast<plist_t>(node)); }
using PlistPtr = std::unique_ptr<void, Deleter<void, freePlist>>;

[[noreturn]] void failWithOpenSsl(const std::string& what) {
  std::string detail;
  if (unsigned long code = ERR_get_error(); code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    detail = std::string(": ") + text;
  }
  ERR_clear_error();
  throw std::runtime_error(what + detail);
}

std::string fileDigest(const fs::path& path) {
  std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    failWithOpenSsl("SHA-256");
  // A sealed item is hashed as itself: a link in its place is never followed.
  streamRegularFile(path, O_NOFOLLOW, [&](const char* data, std::size_t size) {
    EVP_DigestUpdate(context.get(), data, size);
  });
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  return std::string(reinterpret_cast<char*>(digest), length);
}

bool isBundleName(const fs::path& name) {
  static const char* suffixes[] = {".app", ".framework", ".appex", ".xpc", ".bundle", ".plugin"};
  const std::string extension = name.extension().string();
  return std::any_of(std::begin(suffixes), std::end(suffixes),
                     [&](const char* s) { return extension == s; });
}

X509Ptr readCertificate(BIO* bio) {
  return X509Ptr(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
}

std::string serialize(const Seal& seal) {
  PlistPtr root(plist_new_dict());
  plist_dict_set_item(static_cast<plist_t>(root.get()), "identifier",
                      plist_new_string(seal.identifier.c_str()));
  plist_t files = plist_new_dict();
  for (const auto& [path, item] : seal.items) {
    plist_t entry = plist_new_dict();
    if (item.isLink) {
      plist_dict_set_item(entry, "symlink", plist_new_string(item.linkTarget.c_str()));
    } else {
      plist_dict_set_item(entry, "hash", plist_new_data(item.digest.data(), item.digest.size()));
      plist_dict_set_item(entry, "executable", plist_new_bool(item.executable ? 1 : 0));
    }
    plist_dict_set_item(files, path.c_str(), entry);
  }
  plist_dict_set_item(static_cast<plist_t>(root.get()), "files", files);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

std::string stringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
    throw std::runtime_error("malformed seal");
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string value = text != nullptr ? text : "";
  std::free(text);
  return value;
}

Seal deserialize(const std::string& bytes) {
  plist_t parsed = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &parsed);
  PlistPtr root(parsed);
  if (!root || plist_get_node_type(parsed) != PLIST_DICT)
    throw std::runtime_error("malformed seal");
  Seal seal;
  seal.identifier = stringValue(plist_dict_get_item(parsed, "identifier"));
  plist_t files = plist_dict_get_item(parsed, "files");
  if (files == nullptr || plist_get_node_type(files) != PLIST_DICT)
    throw std::runtime_error("malformed seal");
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(files, &iterator);
  for (;;) {
    char* key = nullptr;
    plist_t entry = nullptr;
    plist_dict_next_item(files, iterator, &key, &entry);
    if (entry == nullptr) {
      std::free(key);
      break;
    }
    std::string path = key;
    std::free(key);
    if (plist_get_node_type(entry) != PLIST_DICT) {
      std::free(iterator);
      throw std::runtime_error("malformed seal");
    }
    SealedItem item;
    if (plist_t link = plist_dict_get_item(entry, "symlink")) {
      item.isLink = true;
      item.linkTarget = stringValue(link);
    } else {
      plist_t hash = plist_dict_get_item(entry, "hash");
      plist_t executable = plist_dict_get_item(entry, "executable");
      if (hash == nullptr || plist_get_node_type(hash) != PLIST_DATA || executable == nullptr ||
          plist_get_node_type(executable) != PLIST_BOOLEAN) {
        std::free(iterator);
        throw std::runtime_error("malformed seal");
      }
      char* data = nullptr;
      uint64_t length = 0;
      plist_get_data_val(hash, &data, &length);
      item.digest.assign(data, length);
      std::free(data);
      uint8_t flag = 0;
      plist_get_bool_val(executable, &flag);
      item.executable = flag != 0;
    }
    seal.items.emplace(std::move(path), std::move(item));
  }
  std::free(iterator);
  return seal;
}

std::string firstTeam(X509* leaf) {
  X509_NAME* subject = X509_get_subject_name(leaf);
  const int index = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
  if (index < 0) return {};
  ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string team(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return team;
}

// Checks the signature of `bundle` and compares what it seals with `current` (the bundle as it
// is now, from sealBundle or cut out of an enclosing bundle's seal).
SignatureCheck checkOne(const fs::path& bundle, const fs::path& anchor,
                        const std::function<std::map<std::string, SealedItem>()>& current) {
  const std::string resources = readFileBytes(bundle / kResourcesName);
  const std::string signature = readFileBytes(bundle / kSignatureName);

  BioPtr signatureBio(BIO_new_mem_buf(signature.data(), static_cast<int>(signature.size())));
  CmsPtr cms(d2i_CMS_bio(signatureBio.get(), nullptr));
  if (!cms) failWithOpenSsl("signature unreadable");

  StorePtr store(X509_STORE_new());
  if (!store || X509_STORE_load_file(store.get(), anchor.c_str()) != 1) {
    failWithOpenSsl("cannot load the anchor " + anchor.string());
  }
  // The chain must end at the anchor; the leaf's usage is checked below (code signing, not mail).
  X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
  BioPtr content(BIO_new_mem_buf(resources.data(), static_cast<int>(resources.size())));
  if (CMS_verify(cms.get(), nullptr, store.get(), content.get(), nullptr,
                 CMS_BINARY | CMS_DETACHED) != 1) {
    failWithOpenSsl("signature invalid");
  }
  StackPtr signers(CMS_get0_signers(cms.get()));
  if (!signers || sk_X509_num(signers.get()) != 1)
    throw std::runtime_error("expected exactly one signer");
  // CMS_get0_signers does not take references; release the stack without freeing them.
  X509* leaf = sk_X509_value(signers.get(), 0);
  const bool usageListed = (X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) != 0;
  if (usageListed && (X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN) == 0) {
    sk_X509_free(signers.release());
    throw std::runtime_error("the signing certificate is not for code signing");
  }
  SignatureCheck check{{}, firstTeam(leaf)};
  sk_X509_free(signers.release());

  const Seal sealed = deserialize(resources);
  check.identifier = sealed.identifier;
  const std::map<std::string, SealedItem> items = current();
  for (const auto& [path, item] : sealed.items) {
    auto found = items.find(path);
    if (found == items.end()) throw std::runtime_error("file missing: " + path);
    if (!(found->second == item)) throw std::runtime_error("file modified: " + path);
  }
  for (const auto& [path, item] : items) {
    if (!sealed.items.count(path)) throw std::runtime_error("file added: " + path);
  }
  return check;
}

}  // namespace

std::optional<std::string> infoString(const fs::path& bundle, const std::string& key) {
  std::string bytes;
  try {
    bytes = readFileBytes(bundle / "Contents" / "Info.plist");
  } catch (const std::exception&) {
    return std::nullopt;
  }
  plist_t parsed = nullptr;
  if (!bytes.empty()) plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &parsed);
  PlistPtr root(parsed);
  if (!root || plist_get_node_type(parsed) != PLIST_DICT) return std::nullopt;
  plist_t value = plist_dict_get_item(parsed, key.c_str());
  if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
  return stringValue(value);
}

Seal sealBundle(const fs::path& bundle, const std::string& identifier) {
  Seal seal{identifier, {}};
  // The walk only lists; the files are hashed afterwards on every processor, each by exactly one
  // worker, largest first so that one big file does not end up last on a single thread.
  struct PendingFile {
    SealedItem* item;
    fs::path path;
    std::uintmax_t size;
  };
  std::vector<PendingFile> files;
  std::error_code error;
  fs::recursive_directory_iterator it(bundle, error), end;
  if (error) throw std::system_error(error, bundle.string());
  for (; it != end; it.increment(error)) {
    if (error) throw std::system_error(error, bundle.string());
    const fs::path relative = it->path().lexically_relative(bundle);
    const std::string key = relative.generic_string();
    if (key == kResourcesName || key == kSignatureName) continue;
    const fs::file_status status = it->symlink_status();
    if (fs::is_directory(status)) continue;
    SealedItem item;
    if (fs::is_symlink(status)) {
      item.isLink = true;
      item.linkTarget = fs::read_symlink(it->path()).string();
      if (!linkStaysInside(bundle, relative)) {
        throw std::runtime_error("link leaves the bundle: " + key + " -> " + item.linkTarget);
      }
    } else if (fs::is_regular_file(status)) {
      item.executable = (status.permissions() & (fs::perms::owner_exec | fs::perms::group_exec |
                                                 fs::perms::others_exec)) != fs::perms::none;
    } else {
      throw std::runtime_error("unsupported file type: " + key);
    }
    // std::map never moves its elements, so the pointer stays valid while items are added.
    const auto placed = seal.items.emplace(key, std::move(item)).first;
    if (!placed->second.isLink) {
      std::error_code sizeError;
      const std::uintmax_t size = it->file_size(sizeError);
      files.push_back({&placed->second, it->path(), sizeError ? 0 : size});
    }
  }
  std::stable_sort(files.begin(), files.end(),
                   [](const PendingFile& a, const PendingFile& b) { return a.size > b.size; });
  runInParallel(files.size(), [&](std::size_t index) {
    files[index].item->digest = fileDigest(files[index].path);
  });
  return seal;
}

std::vector<fs::path> nestedBundles(const fs::path& bundle) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::recursive_directory_iterator it(bundle, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored) &&
        isBundleName(it->path().filename()) && fs::is_directory(it->path() / "Contents", ignored)) {
      found.push_back(it->path());
    }
  }
  // Deepest first, so inner bundles are sealed before the bundles that contain them.
  std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
    return std::distance(a.begin(), a.end()) > std::distance(b.begin(), b.end());
  });
  return found;
}

void signBundle(const fs::path& bundle, const std::string& identifier,
                const SigningIdentity& identity) {
  BioPtr certificateBio(BIO_new_file(identity.certificate.c_str(), "r"));
  if (!certificateBio) failWithOpenSsl("cannot read " + identity.certificate.string());
  X509Ptr leaf = readCertificate(certificateBio.get());
  if (!leaf) failWithOpenSsl("no certificate in " + identity.certificate.string());
  StackPtr chain(sk_X509_new_null());
  auto appendAll = [&](BIO* bio) {
    while (X509Ptr more = readCertificate(bio)) sk_X509_push(chain.get(), more.release());
    ERR_clear_error();  // the end of the file reads as an error
  };
  appendAll(certificateBio.get());
  if (identity.chain) {
    BioPtr chainBio(BIO_new_file(identity.chain->c_str(), "r"));
    if (!chainBio) failWithOpenSsl("cannot read " + identity.chain->string());
    appendAll(chainBio.get());
  }
  BioPtr keyBio(BIO_new_file(identity.privateKey.c_str(), "r"));
  KeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) failWithOpenSsl("cannot read the key " + identity.privateKey.string());

  fs::create_directories(bundle / kSealFolder);
  fs::remove(bundle / kResourcesName);
  fs::remove(bundle / kSignatureName);
  const std::string resources = serialize(sealBundle(bundle, identifier));
  BioPtr content(BIO_new_mem_buf(resources.data(), static_cast<int>(resources.size())));
  CmsPtr cms(
      CMS_sign(leaf.get(), key.get(), chain.get(), content.get(), CMS_BINARY | CMS_DETACHED));
  if (!cms) failWithOpenSsl("signing failed");
  BioPtr out(BIO_new(BIO_s_mem()));
  if (i2d_CMS_bio(out.get(), cms.get()) != 1) failWithOpenSsl("cannot encode the signature");
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  std::ofstream(bundle / kResourcesName, std::ios::binary) << resources;
  std::ofstream(bundle / kSignatureName, std::ios::binary).write(data, length);
}

SignatureCheck checkSignature(const fs::path& bundle, const fs::path& anchor, bool deep) {
  // The whole bundle is read once; nested bundles are checked against their part of that reading
  // rather than hashed again (frameworks hold most of an application's bytes).
  Seal whole;
  SignatureCheck check = checkOne(bundle, anchor, [&] {
    whole = sealBundle(bundle, {});
    return whole.items;
  });
  if (deep) {
    for (const fs::path& nested : nestedBundles(bundle)) {
      const std::string prefix = nested.lexically_relative(bundle).generic_string() + "/";
      try {
        (void)checkOne(nested, anchor, [&] {
          std::map<std::string, SealedItem> items;
          for (auto it = whole.items.lower_bound(prefix);
               it != whole.items.end() && it->first.starts_with(prefix); ++it) {
            std::string key = it->first.substr(prefix.size());
            if (key == kResourcesName || key == kSignatureName) continue;
            // A nested bundle's links must stay inside that bundle, as when it is sealed alone.
            if (it->second.isLink && !linkStaysInside(nested, key))
              throw std::runtime_error("link leaves the bundle: " + key);
            items.emplace(std::move(key), it->second);
          }
          return items;
        });
      } catch (const std::exception& error) {
        throw std::runtime_error("nested code " + nested.lexically_relative(bundle).string() +
                                 ": " + error.what());
      }
    }
  }
  return check;
}

}  // namespace vexa::tools
