#include "platform/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <system_error>

#include "platform/file_reading.h"
#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace vexa::platform {

struct Sha256::Context {
  EVP_MD_CTX* digest = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(digest); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  if (context_->digest == nullptr ||
      EVP_DigestInit_ex(context_->digest, EVP_sha256(), nullptr) != 1) {
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

namespace {

// One read buffer aligned to the page size, released with the alignment it was made with.
class PageAlignedBuffer {
 public:
  explicit PageAlignedBuffer(std::size_t size)
      : alignment_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))),
        data_(static_cast<char*>(::operator new[](size, std::align_val_t{alignment_}))) {}
  ~PageAlignedBuffer() { ::operator delete[](data_, std::align_val_t{alignment_}); }
  PageAlignedBuffer(const PageAlignedBuffer&) = delete;
  PageAlignedBuffer& operator=(const PageAlignedBuffer&) = delete;

  [[nodiscard]] char* data() const { return data_; }

 private:
  const std::size_t alignment_;
  char* const data_;
};

}  // namespace

std::optional<HashableFile> HashableFile::open(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) {
    // A final link gives ELOOP and a socket ENXIO: the item is there but is not a regular file.
    // Any other error, or an item that is gone by now, is the system's to report.
    const int error = errno;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) return std::nullopt;
    throwErrno(path.string(), error);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) throwErrno(path.string());
  if (!S_ISREG(status.st_mode)) return std::nullopt;
  return HashableFile(std::move(fd), path, static_cast<std::int64_t>(status.st_size));
}

std::string HashableFile::sha256Hex(const std::function<void(std::int64_t hashed)>& progress) {
  if (::lseek(fd_.get(), 0, SEEK_SET) < 0) throwErrno(path_.string());
  // Read once, front to back: let the kernel read ahead generously.
  (void)::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 computation;
  const PageAlignedBuffer buffer(Sha256::readSize);
  std::int64_t hashed = 0;
  for (;;) {
    const std::ptrdiff_t count = readUninterrupted(fd_.get(), buffer.data(), Sha256::readSize);
    if (count < 0) throwErrno(path_.string());
    if (count == 0) break;
    computation.update(std::span<const char>(buffer.data(), static_cast<std::size_t>(count)));
    hashed += count;
    if (progress) progress(hashed);
  }
  return computation.finishHex();
}

}  // namespace vexa::platform
