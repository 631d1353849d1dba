#include "tool_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <system_error>

extern char** environ;

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

// Hands the content of the regular file at `path` to `consume` in large chunks, in one pass.
// Only regular files: a FIFO or device planted in a bundle must not hang or flood the tool.
void streamRegularFile(const fs::path& path, int openFlags,
                       const std::function<void(const char*, std::size_t)>& consume) {
  const FileDescriptor file = openRegularFile(path, openFlags);
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint: longer read-ahead
  AlignedBuffer& buffer = readBuffer();
  while (const std::size_t count = readSome(file, buffer.data(), buffer.size(), path))
    consume(buffer.data(), count);
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

// As many links as the kernel follows on one path before it gives up with ELOOP.
constexpr int kMaxLinksOnAPath = 40;

void appendComponents(std::deque<std::string>& parts, const fs::path& path, bool atFront) {
  std::vector<std::string> components;
  for (const fs::path& component : path) components.push_back(component.string());
  if (atFront) {
    parts.insert(parts.begin(), components.begin(), components.end());
  } else {
    parts.insert(parts.end(), components.begin(), components.end());
  }
}

// Whether the link at `relative` below `root` resolves without ever leaving `root`: its target is
// followed from the link's folder component by component, and every link met on the way is
// followed in turn, as the system would. A text check is not enough: with "here -> .", the link
// "up -> here/../.." looks harmless but names the folder above the root. A component that does
// not exist is taken as written (the system would stop there). Too many links mean a loop.
bool linkStaysInside(const fs::path& root, const fs::path& relative) {
  std::vector<std::string> resolved;  // the folders below `root` reached so far, links resolved
  for (const fs::path& component : relative.parent_path()) resolved.push_back(component.string());
  std::deque<std::string> pending;
  std::error_code error;
  const fs::path first = fs::read_symlink(root / relative, error);
  if (error) return false;
  appendComponents(pending, first, false);
  int links = 1;
  while (!pending.empty()) {
    const std::string part = std::move(pending.front());
    pending.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "/") return false;
    if (part == "..") {
      if (resolved.empty()) return false;
      resolved.pop_back();
      continue;
    }
    fs::path here = root;
    for (const std::string& folder : resolved) here /= folder;
    here /= part;
    if (!fs::is_symlink(fs::symlink_status(here, error))) {
      resolved.push_back(part);
      continue;
    }
    if (++links > kMaxLinksOnAPath) return false;
    const fs::path target = fs::read_symlink(here, error);
    if (error || target.is_absolute()) return false;
    appendComponents(pending, target, true);
  }
  return true;
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

// A small recursive-descent reader for the requirement language subset the installer uses.
class RequirementReader {
 public:
  RequirementReader(std::string text, const SignatureCheck& signature)
      : text_(std::move(text)), signature_(signature) {}

  bool evaluate() {
    const bool result = orExpression();
    skipSpaces();
    if (position_ != text_.size()) fail();
    return result;
  }

 private:
  [[noreturn]] void fail() const {
    throw std::runtime_error("unreadable requirement near position " + std::to_string(position_));
  }
  void skipSpaces() {
    while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_])))
      ++position_;
  }
  bool accept(const std::string& word) {
    skipSpaces();
    if (text_.compare(position_, word.size(), word) != 0) return false;
    const std::size_t end = position_ + word.size();
    // Words must end at a word boundary; punctuation tokens need not.
    if (std::isalpha(static_cast<unsigned char>(word.back())) && end < text_.size() &&
        (std::isalnum(static_cast<unsigned char>(text_[end])) || text_[end] == '_')) {
      return false;
    }
    position_ = end;
    return true;
  }
  void expect(const std::string& word) {
    if (!accept(word)) fail();
  }
  std::string quoted() {
    skipSpaces();
    if (position_ >= text_.size() || text_[position_] != '"') fail();
    std::string value;
    for (++position_; position_ < text_.size() && text_[position_] != '"'; ++position_) {
      if (text_[position_] == '\\' && position_ + 1 < text_.size()) ++position_;
      value += text_[position_];
    }
    if (position_ >= text_.size()) fail();
    ++position_;
    return value;
  }
  bool orExpression() {
    bool result = andExpression();
    while (accept("or")) result = andExpression() || result;
    return result;
  }
  bool andExpression() {
    bool result = primary();
    while (accept("and")) result = primary() && result;
    return result;
  }
  bool primary() {
    if (accept("(")) {
      const bool result = orExpression();
      expect(")");
      return result;
    }
    if (accept("anchor")) {
      expect("apple");
      expect("generic");
      return true;  // the chain was verified to end at our anchor
    }
    if (accept("identifier")) {
      accept("=");
      return quoted() == signature_.identifier;
    }
    if (accept("certificate")) {
      expect("leaf");
      expect("[");
      expect("subject.OU");
      expect("]");
      expect("=");
      return quoted() == signature_.leafTeam;
    }
    fail();
  }

  std::string text_;
  const SignatureCheck& signature_;
  std::size_t position_ = 0;
};

}  // namespace

void complain(const std::string& tool, const std::string& message) {
  std::cerr << tool << ": " << message << '\n';
}

fs::path ownDirectory() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::current_path() : self.parent_path();
}

fs::path anchorPath() {
  return ownDirectory().parent_path() / "Resources" / "code-signing-anchor.pem";
}

int runQuietly(const std::string& program, const std::vector<std::string>& arguments) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  std::vector<std::string> storage{program};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    complain(program, std::strerror(error));
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

AlignedBuffer::AlignedBuffer(std::size_t size)
    : data_(static_cast<char*>(::operator new(size, std::align_val_t(kAlignment)))), size_(size) {}

AlignedBuffer::~AlignedBuffer() { ::operator delete(data_, std::align_val_t(kAlignment)); }

AlignedBuffer& readBuffer() {
  static AlignedBuffer buffer(std::size_t{1} << 20);
  return buffer;
}

FileDescriptor::~FileDescriptor() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

FileDescriptor openRegularFile(const fs::path& path, int extraFlags) {
  const auto notRegular = [&] {
    return std::system_error(EINVAL, std::generic_category(),
                             path.string() + " is not a regular file");
  };
  // First by name, so a device is never even opened; then on the descriptor, in case the name
  // was swapped in between.
  struct stat status {};
  const int named = (extraFlags & O_NOFOLLOW) != 0 ? ::lstat(path.c_str(), &status)
                                                   : ::stat(path.c_str(), &status);
  if (named != 0) throw std::system_error(errno, std::generic_category(), path.string());
  if (!S_ISREG(status.st_mode)) throw notRegular();
  FileDescriptor file(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extraFlags));
  if (file.get() < 0) throw std::system_error(errno, std::generic_category(), path.string());
  if (::fstat(file.get(), &status) != 0)
    throw std::system_error(errno, std::generic_category(), path.string());
  if (!S_ISREG(status.st_mode)) throw notRegular();
  return file;
}

std::size_t readSome(const FileDescriptor& file, char* data, std::size_t size,
                     const fs::path& path) {
  for (;;) {
    const ssize_t count = ::read(file.get(), data, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), path.string());
  }
}

std::string readFileBytes(const fs::path& path) {
  std::string bytes;
  streamRegularFile(path, 0, [&](const char* data, std::size_t size) { bytes.append(data, size); });
  return bytes;
}

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
      item.digest = fileDigest(it->path());
      item.executable = (status.permissions() & (fs::perms::owner_exec | fs::perms::group_exec |
                                                 fs::perms::others_exec)) != fs::perms::none;
    } else {
      throw std::runtime_error("unsupported file type: " + key);
    }
    seal.items.emplace(key, std::move(item));
  }
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

fs::path attachmentRecordPath(const fs::path& mountPoint) {
  const fs::path normal = mountPoint.lexically_normal();
  return normal.parent_path() / ("." + normal.filename().string() + ".hdiutil-attached");
}

// Record layout: the image path, then pairs of octal mode and relative path, each ended by NUL
// (paths may hold any byte but NUL).
void writeAttachmentRecord(const AttachedVolume& volume, const fs::path& image) {
  std::string record = image.string() + '\0';
  for (const auto& [path, mode] : volume.modes) {
    char octal[16];
    std::snprintf(octal, sizeof octal, "%o", mode);
    record += octal + std::string(1, '\0') + path + '\0';
  }
  const fs::path file = attachmentRecordPath(volume.mountPoint);
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream << record;
  if (!stream.flush())
    throw std::system_error(errno ? errno : EIO, std::generic_category(), file.string());
}

std::optional<AttachedVolume> attachedVolumeContaining(const fs::path& path) {
  std::error_code error;
  fs::path candidate = fs::absolute(path, error).lexically_normal();
  if (error) return std::nullopt;
  for (; candidate.has_relative_path(); candidate = candidate.parent_path()) {
    if (candidate.filename().empty()) continue;
    const fs::path record = attachmentRecordPath(candidate);
    if (!fs::is_regular_file(fs::symlink_status(record, error))) continue;
    std::string bytes;
    try {
      bytes = readFileBytes(record);
    } catch (const std::exception&) {
      return std::nullopt;
    }
    AttachedVolume volume{candidate, {}};
    std::size_t position = bytes.find('\0');
    while (position != std::string::npos && position + 1 < bytes.size()) {
      const std::size_t modeEnd = bytes.find('\0', position + 1);
      if (modeEnd == std::string::npos) break;
      const std::size_t pathEnd = bytes.find('\0', modeEnd + 1);
      if (pathEnd == std::string::npos) break;
      const unsigned mode = static_cast<unsigned>(
          std::strtoul(bytes.substr(position + 1, modeEnd - position - 1).c_str(), nullptr, 8));
      volume.modes[bytes.substr(modeEnd + 1, pathEnd - modeEnd - 1)] = mode;
      position = pathEnd;
    }
    return volume;
  }
  return std::nullopt;
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

bool satisfiesRequirement(const std::string& requirement, const SignatureCheck& signature) {
  return RequirementReader(requirement, signature).evaluate();
}

}  // namespace vexa::tools
