#include "platform/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/file_reading.h"
#include "platform/page_aligned_buffer.h"
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

std::string HashableFile::sha256Hex() {
  if (::lseek(fd_.get(), 0, SEEK_SET) < 0) throwErrno(path_.string());
  // Read once, front to back: let the kernel read ahead generously.
  (void)::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 computation;
  // One buffer in two halves: a reader thread fills one while this thread hashes the other, so
  // the copy out of the page cache (or the wait for the disk) overlaps the hashing instead of
  // adding to it.
  const PageAlignedBuffer buffer(Sha256::readSize);
  constexpr std::size_t half = Sha256::readSize / 2;
  struct Slot {
    // Counting, not binary: stopping may release `empty` once more than the handshake does.
    std::counting_semaphore<4> empty{1}, full{0};
    std::ptrdiff_t count = 0;
    int error = 0;
  } slots[2];
  std::atomic<bool> stopping{false};
  const int fd = fd_.get();
  const auto readInto = [&](std::size_t index) {
    Slot& slot = slots[index % 2];
    slot.count = readUninterrupted(fd, buffer.data() + (index % 2) * half, half);
    slot.error = slot.count < 0 ? errno : 0;
  };
  std::optional<std::thread> reader;
  try {
    reader.emplace([&] {
      for (std::size_t index = 0;; ++index) {
        Slot& slot = slots[index % 2];
        slot.empty.acquire();
        if (stopping.load()) return;
        readInto(index);
        const bool last = slot.count <= 0;
        slot.full.release();
        if (last) return;
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: read and hash in turn on this one.
  }
  // Whatever ends the hashing (an error included) stops and joins the reader before the buffer
  // and the descriptor can go.
  const struct ReaderStop {
    std::optional<std::thread>& reader;
    Slot (&slots)[2];
    std::atomic<bool>& stopping;
    ~ReaderStop() {
      if (!reader) return;
      stopping = true;
      for (Slot& slot : slots) slot.empty.release();
      reader->join();
    }
  } stop{reader, slots, stopping};

  for (std::size_t index = 0;; ++index) {
    Slot& slot = slots[index % 2];
    if (reader) {
      slot.full.acquire();
    } else {
      readInto(index);
    }
    if (slot.count < 0) throwErrno(path_.string(), slot.error);
    if (slot.count == 0) break;
    computation.update(std::span<const char>(buffer.data() + (index % 2) * half,
                                             static_cast<std::size_t>(slot.count)));
    if (reader) slot.empty.release();
  }
  return computation.finishHex();
}

}  // namespace vexa::platform
