#include "platform/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/unique_fd.h"

namespace vexa::platform {

struct Sha256::Context {
  EVP_MD_CTX* digest = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(digest); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  if (context_->digest == nullptr || EVP_DigestInit_ex(context_->digest, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available.");
  }
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const char> bytes) {
  if (EVP_DigestUpdate(context_->digest, bytes.data(), bytes.size()) != 1) {
    throw std::runtime_error("The SHA-256 computation failed.");
  }
}

std::string Sha256::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_->digest, digest, &length) != 1) {
    throw std::runtime_error("The SHA-256 computation failed.");
  }
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(digits[digest[i] >> 4]);
    text.push_back(digits[digest[i] & 0x0f]);
  }
  return text;
}

std::string Sha256::ofFile(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) throw std::system_error(errno, std::generic_category(), path.string());
  // Read once, front to back: let the kernel read ahead generously.
  (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 computation;
  const auto buffer = std::make_unique_for_overwrite<char[]>(readSize);
  for (;;) {
    const ssize_t count = ::read(fd.get(), buffer.get(), readSize);
    if (count < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), path.string());
    }
    if (count == 0) break;
    computation.update(std::span<const char>(buffer.get(), static_cast<std::size_t>(count)));
  }
  return computation.finishHex();
}

std::int64_t itemSize(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) throw std::system_error(errno, std::generic_category(), path.string());
  return static_cast<std::int64_t>(status.st_size);
}

}  // namespace vexa::platform
