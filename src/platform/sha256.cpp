#include "platform/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
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

std::string HashableFile::sha256Hex(const std::function<void(std::int64_t hashed)>& progress) {
  // Read once, front to back: let the kernel read ahead generously.
  (void)::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 computation;
  // One buffer in two halves. Block i (the file's bytes from i * half) goes to half i % 2, read by
  // whichever thread claims it first: a reader thread runs ahead, so the copy out of the page
  // cache (or the wait for the disk) overlaps the hashing of the block before; when that thread
  // gets no processor (a busy machine), this one claims the block and reads it itself instead of
  // waiting, so it is never slower than reading and hashing in turn.
  const PageAlignedBuffer buffer(Sha256::readSize);
  constexpr std::size_t half = Sha256::readSize / 2;
  // A slot's state: the block it is for, and whether that block is unclaimed, being read or read.
  enum Phase : std::uint64_t { unclaimed = 0, reading = 1, read = 2 };
  const auto state = [](std::uint64_t block, Phase phase) { return block << 2 | phase; };
  struct Slot {
    std::atomic<std::uint64_t> state;
    std::ptrdiff_t count = 0;  // of the block read, or -1 with `error`
    int error = 0;
  } slots[2] = {{state(0, unclaimed)}, {state(1, unclaimed)}};
  // Wakes a reader that waits, whatever it waits for; set only when this thread stops.
  constexpr std::uint64_t stopped = ~std::uint64_t{0};
  std::atomic<bool> stopping{false};
  const int fd = fd_.get();

  const auto claim = [&](std::uint64_t block) {
    std::uint64_t expected = state(block, unclaimed);
    return slots[block % 2].state.compare_exchange_strong(expected, state(block, reading));
  };
  // Fills the block's half, short only at the end of the file, so that every block starts where
  // the one before ended.
  const auto readBlock = [&](std::uint64_t block) {
    Slot& slot = slots[block % 2];
    char* const data = buffer.data() + (block % 2) * half;
    std::size_t filled = 0;
    slot.error = 0;
    while (filled < half) {
      const ssize_t count =
          ::pread(fd, data + filled, half - filled, static_cast<off_t>(block * half + filled));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) slot.error = errno;
      if (count <= 0) break;
      filled += static_cast<std::size_t>(count);
    }
    slot.count = slot.error != 0 ? -1 : static_cast<std::ptrdiff_t>(filled);
    slot.state.store(state(block, read));
    slot.state.notify_all();
  };

  std::optional<std::thread> reader;
  try {
    reader.emplace([&] {
      // Block 0 is this thread's first; the reader starts one ahead.
      for (std::uint64_t block = 1;; ++block) {
        Slot& slot = slots[block % 2];
        for (;;) {
          if (stopping.load()) return;
          const std::uint64_t current = slot.state.load();
          if (current == state(block, unclaimed)) {
            if (!claim(block)) break;  // the hashing thread was quicker
            readBlock(block);
            if (slot.count <= 0) return;  // the end, or an error the hashing thread reports
            break;
          }
          if ((current >> 2) >= block) break;  // claimed by the other thread, or stopped
          slot.state.wait(current);            // the half still holds the block before: wait for it
        }
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: this one reads every block itself.
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
      for (Slot& slot : slots) {
        slot.state.store(stopped);
        slot.state.notify_all();
      }
      reader->join();
    }
  } stop{reader, slots, stopping};

  std::int64_t hashed = 0;
  for (std::uint64_t block = 0;; ++block) {
    Slot& slot = slots[block % 2];
    if (claim(block)) {
      readBlock(block);
    } else {
      for (std::uint64_t current; (current = slot.state.load()) != state(block, read);)
        slot.state.wait(current);
    }
    if (slot.count < 0) throwErrno(path_.string(), slot.error);
    if (slot.count == 0) break;
    computation.update(std::span<const char>(buffer.data() + (block % 2) * half,
                                             static_cast<std::size_t>(slot.count)));
    hashed += slot.count;
    if (progress) progress(hashed);
    slot.state.store(state(block + 2, unclaimed));
    slot.state.notify_all();
  }
  return computation.finishHex();
}

}  // namespace vexa::platform
