#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Shared pieces of the Linux stand-ins for the macOS system tools. The tools print diagnostics on
// standard error only and report their outcome by exit status; nothing here writes to stdout.
namespace vexa::tools {

// Prints "<tool>: <message>" on standard error.
void complain(const std::string& tool, const std::string& message);

// This tool's own folder (from /proc/self/exe, so copies of the tools work where they are put).
[[nodiscard]] std::filesystem::path ownDirectory();

// The trusted signing anchor: <own folder>/../Resources/code-signing-anchor.pem.
[[nodiscard]] std::filesystem::path anchorPath();

// Runs a program found on PATH with its standard output sent to our standard error (our stdout
// stays clean), inheriting only descriptors 0 to 2. Returns its exit status, or -1 when it could
// not be started or died of a signal.
[[nodiscard]] int runQuietly(const std::string& program, const std::vector<std::string>& arguments);

// A page-aligned block of memory for large reads: the kernel copies file data into a misaligned
// heap block about three times slower. Not copyable.
class AlignedBuffer {
 public:
  static constexpr std::size_t kAlignment = 4096;
  explicit AlignedBuffer(std::size_t size);
  ~AlignedBuffer();
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  [[nodiscard]] char* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  char* data_;
  std::size_t size_;
};

// The tool's one read buffer (1 MiB, page-aligned), allocated on first use. The tools are
// single-threaded and never read two files at once through it.
[[nodiscard]] AlignedBuffer& readBuffer();

// An open descriptor, closed when the object goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;

  [[nodiscard]] int get() const { return descriptor_; }
  // Gives up ownership (to close it and see the result, say).
  [[nodiscard]] int release() { return std::exchange(descriptor_, -1); }

 private:
  int descriptor_;
};

// Opens the regular file at `path` for reading. Anything else (a FIFO, device, socket or folder)
// is refused without ever blocking in open: it is checked before the open, opened non-blocking
// and close-on-exec, and checked again on the open descriptor. `extraFlags` adds to the open
// (O_NOFOLLOW refuses a final link). Throws std::system_error (EINVAL for a file of another type).
[[nodiscard]] FileDescriptor openRegularFile(const std::filesystem::path& path, int extraFlags = 0);

// Reads up to `size` bytes at the file's position into `data`, retrying on EINTR; 0 at the end.
// Throws std::system_error naming `path`.
[[nodiscard]] std::size_t readSome(const FileDescriptor& file, char* data, std::size_t size,
                                   const std::filesystem::path& path);

// Reads a whole regular file (see openRegularFile); throws std::system_error.
[[nodiscard]] std::string readFileBytes(const std::filesystem::path& path);

// The bundle's Contents/Info.plist value for `key` when it is a string.
[[nodiscard]] std::optional<std::string> infoString(const std::filesystem::path& bundle,
                                                    const std::string& key);

// One signed item of a bundle: a regular file's SHA-256 and executable flag, or a link's target.
struct SealedItem {
  bool isLink = false;
  std::string digest;  // raw 32 bytes for files
  bool executable = false;
  std::string linkTarget;
  bool operator==(const SealedItem&) const = default;
};

// What a signature seals: the signing identifier and every file and link below the bundle root
// (relative paths), except the seal itself (Contents/_CodeSignature/CodeResources and
// CodeSignature).
struct Seal {
  std::string identifier;
  std::map<std::string, SealedItem> items;
};

// Reads the bundle as it is now, hashing each file once. Throws std::runtime_error for anything
// that cannot be sealed: a device, socket or pipe, an absolute link, or a link that leads out of
// the bundle once every link on its way is followed (or meets too many links: a loop).
[[nodiscard]] Seal sealBundle(const std::filesystem::path& bundle, const std::string& identifier);

// Folders below `bundle` (not the bundle itself) that are bundles of their own (named *.app,
// *.framework, *.appex, *.xpc, *.bundle, *.plugin and holding a Contents folder), deepest first.
[[nodiscard]] std::vector<std::filesystem::path> nestedBundles(const std::filesystem::path& bundle);

// An image attached by hdiutil is an extraction whose write bits were removed to make it read-only.
// The record of the attachment, a file next to the mount point, keeps every item's own mode, so
// that copies taken from the volume get the modes the image holds (as on a real read-only volume).
struct AttachedVolume {
  std::filesystem::path mountPoint;
  std::map<std::string, unsigned> modes;  // relative path ("" for the root) to its mode bits
};

// The record file of an attachment at `mountPoint`.
[[nodiscard]] std::filesystem::path attachmentRecordPath(const std::filesystem::path& mountPoint);
// Writes the record (the image path and every item's mode). Throws std::system_error.
void writeAttachmentRecord(const AttachedVolume& volume, const std::filesystem::path& image);
// The attached volume that `path` lies in (or is the root of), if any.
[[nodiscard]] std::optional<AttachedVolume> attachedVolumeContaining(
    const std::filesystem::path& path);

struct SigningIdentity {
  std::filesystem::path certificate;           // leaf first, then any intermediates (PEM)
  std::filesystem::path privateKey;            // PEM
  std::optional<std::filesystem::path> chain;  // more intermediates (PEM)
};

// Writes Contents/_CodeSignature/CodeResources and CodeSignature (a detached CMS signature over
// CodeResources). Throws std::runtime_error.
void signBundle(const std::filesystem::path& bundle, const std::string& identifier,
                const SigningIdentity& identity);

// The outcome of checking a bundle's signature.
struct SignatureCheck {
  std::string identifier;  // the sealed identifier
  std::string leafTeam;    // the first OU of the signer's subject
};

// Checks the signature chain up to the anchor (only the anchor is trusted), the code-signing
// usage of the leaf, and that the bundle's content is exactly what was sealed (nothing added,
// missing or changed). With `deep`, nested bundles are checked the same way. Throws
// std::runtime_error with the reason.
[[nodiscard]] SignatureCheck checkSignature(const std::filesystem::path& bundle,
                                            const std::filesystem::path& anchor, bool deep);

// Evaluates a designated requirement ("anchor apple generic and identifier \"X\" and
// certificate leaf[subject.OU] = \"T\"", with "and", "or" and parentheses) against a checked
// signature. The anchor clause holds for every checked signature (the chain ended at our anchor).
// Throws std::runtime_error for a requirement it cannot read.
[[nodiscard]] bool satisfiesRequirement(const std::string& requirement,
                                        const SignatureCheck& signature);

}  // namespace vexa::tools
