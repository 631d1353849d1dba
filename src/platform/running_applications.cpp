#include "platform/running_applications.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/file_reading.h"
#include "platform/property_list.h"
#include "platform/unique_fd.h"

namespace vexa::platform {
namespace {

namespace fs = std::filesystem;

// Straight system calls: glibc 2.36 declares its pidfd wrappers without C linkage for C++.
int openProcess(int pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)); }
int sendSignal(int process, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, process, signal, nullptr, 0U));
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

// The two fields of /proc/<pid>/stat that decide whether an instance is still the one we saw.
struct ProcessState {
  char state = 0;               // field 3: R, S, D, T, Z (zombie), X (dead), ...
  std::uint64_t startTime = 0;  // field 22
};

bool hasEnded(const ProcessState& process) { return process.state == 'Z' || process.state == 'X'; }

// Parses a stat line. The command name (field 2) is in parentheses and may itself hold spaces and
// parentheses, so the fields are counted from the last ')'.
std::optional<ProcessState> parseStat(std::string_view stat) {
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(nameEnd + 1);
  ProcessState process;
  // Field 3 is the first after the name, field 22 the twentieth.
  for (int index = 0; index <= 19; ++index) {
    const std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(begin);
    const std::string_view field = rest.substr(0, rest.find(' '));
    rest.remove_prefix(field.size());
    if (index == 0) process.state = field.front();
    if (index == 19) {
      const auto [end, error] =
          std::from_chars(field.data(), field.data() + field.size(), process.startTime);
      if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
    }
  }
  return process;
}

// Reads the stat file `name`: relative to `directory` (a /proc/<pid> folder), or an absolute path.
std::optional<ProcessState> readState(int directory, const char* name) {
  UniqueFd file(::openat(directory, name, O_RDONLY | O_CLOEXEC));
  if (!file) return std::nullopt;
  // One read: the kernel produces the whole line at once and it is far below this size.
  char buffer[4096];
  const std::ptrdiff_t count = readUninterrupted(file.get(), buffer, sizeof buffer);
  if (count <= 0) return std::nullopt;
  return parseStat(std::string_view(buffer, static_cast<std::size_t>(count)));
}

std::optional<std::string> readExecutableLink(int processDirectory) {
  char buffer[PATH_MAX + 32];
  const ssize_t length = ::readlinkat(processDirectory, "exe", buffer, sizeof buffer);
  // Kernel threads have no executable; a full buffer may have been cut short.
  if (length <= 0 || static_cast<std::size_t>(length) == sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(length));
}

// The bundle folder `<X>.app` when `executable` is `<X>.app/Contents/MacOS/<name>`.
// Only the folders count, not the executable's name: the kernel appends " (deleted)" to an
// executable replaced since the start, and the bundle still at that place still identifies it.
std::optional<fs::path> bundleOfExecutable(const std::string& executable) {
  const fs::path path(executable);
  if (!path.is_absolute() || !path.has_filename()) return std::nullopt;
  const fs::path macOS = path.parent_path();
  const fs::path contents = macOS.parent_path();
  const fs::path bundle = contents.parent_path();
  const std::string bundleName = bundle.filename().string();
  if (macOS.filename() != "MacOS" || contents.filename() != "Contents" || bundleName.size() <= 4 ||
      !bundleName.ends_with(".app")) {
    return std::nullopt;
  }
  return bundle;
}

bool bundleHasIdentifier(const fs::path& bundle, std::string_view bundleIdentifier) {
  try {
    const auto info =
        asDictionary(parsePropertyList(readWholeFile(bundle / "Contents" / "Info.plist")));
    if (!info) return false;
    const auto identifier = info->find("CFBundleIdentifier");
    return identifier != info->end() && identifier->second.isText() &&
           identifier->second.text() == bundleIdentifier;
  } catch (const std::system_error&) {
    return false;
  } catch (const PropertyListError&) {
    return false;
  }
}

// Bundle folder -> whether its identifier matches, for one scan: several processes of one bundle
// (the application and its helpers) read its Info.plist once.
using BundleMatches = std::map<std::string, bool, std::less<>>;

std::optional<RunningApplicationInstance> inspect(int proc, const char* name, int pid,
                                                  std::string_view bundleIdentifier,
                                                  BundleMatches& matches) {
  // Everything is read through the process's own folder: should the process end and its pid be
  // reused meanwhile, the reads fail instead of describing the newcomer.
  UniqueFd directory(::openat(proc, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return std::nullopt;
  const std::optional<std::string> executable = readExecutableLink(directory.get());
  if (!executable) return std::nullopt;
  const std::optional<fs::path> bundle = bundleOfExecutable(*executable);
  if (!bundle) return std::nullopt;
  auto [match, inserted] = matches.try_emplace(bundle->string(), false);
  if (inserted) match->second = bundleHasIdentifier(*bundle, bundleIdentifier);
  if (!match->second) return std::nullopt;
  const std::optional<ProcessState> state = readState(directory.get(), "stat");
  if (!state || hasEnded(*state)) return std::nullopt;
  return RunningApplicationInstance{pid, state->startTime};
}

}  // namespace

std::vector<RunningApplicationInstance> runningApplications(std::string_view bundleIdentifier) {
  std::unique_ptr<DIR, DirectoryCloser> proc(::opendir("/proc"));
  if (!proc) throw std::system_error(errno, std::generic_category(), "/proc");
  std::vector<RunningApplicationInstance> instances;
  BundleMatches matches;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(proc.get());
    // A list cut short would report a running product as gone.
    if (entry == nullptr && errno != 0)
      throw std::system_error(errno, std::generic_category(), "/proc");
    if (entry == nullptr) break;
    const std::string_view name(entry->d_name);
    int pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end != name.data() + name.size() || pid <= 0) continue;
    if (auto instance =
            inspect(::dirfd(proc.get()), entry->d_name, pid, bundleIdentifier, matches)) {
      instances.push_back(*instance);
    }
  }
  std::sort(instances.begin(), instances.end(),
            [](const RunningApplicationInstance& a, const RunningApplicationInstance& b) {
              return a.pid < b.pid;
            });
  return instances;
}

bool isTerminated(const RunningApplicationInstance& instance) {
  if (instance.pid <= 0) return true;
  const std::string stat = "/proc/" + std::to_string(instance.pid) + "/stat";
  const std::optional<ProcessState> state = readState(AT_FDCWD, stat.c_str());
  return !state || hasEnded(*state) || state->startTime != instance.startTime;
}

void requestTermination(const RunningApplicationInstance& instance) {
  if (instance.pid <= 0) return;
  // The pidfd pins whatever process holds the pid now; the start time read afterwards proves it is
  // the instance. Should the pid be reused after this check, the pidfd still names the old process
  // and the signal fails with ESRCH instead of reaching the newcomer. pidfds are close-on-exec.
  UniqueFd process(openProcess(instance.pid));
  if (!process) {
    if (errno == ESRCH) return;
    throw std::system_error(errno, std::generic_category(), "pidfd_open");
  }
  if (isTerminated(instance)) return;
  if (sendSignal(process.get(), SIGTERM) != 0 && errno != ESRCH && errno != EPERM) {
    throw std::system_error(errno, std::generic_category(), "pidfd_send_signal");
  }
}

}  // namespace vexa::platform
