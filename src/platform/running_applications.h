#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vexa::platform {

// One running process of an application bundle. A pid alone is not an identity (pids are reused),
// so an instance is the pid together with the process's start time, in clock ticks after boot as
// /proc reports it. Plain value.
struct RunningApplicationInstance {
  int pid = 0;
  std::uint64_t startTime = 0;

  bool operator==(const RunningApplicationInstance&) const = default;
};

// The live processes of the application with exactly `bundleIdentifier`, in pid order: processes
// whose executable is `<X>.app/Contents/MacOS/<name>` and whose `<X>.app/Contents/Info.plist` has
// that CFBundleIdentifier. Processes of every user are considered; those whose executable cannot be
// read (another user's, without the right to inspect it) simply stay unseen. A zombie is not live.
// An executable replaced or removed after start is judged by the bundle still at its former place;
// when that bundle is gone too, the process cannot be identified and is not listed.
// /proc moves while it is read: an entry that vanishes or cannot be read is "not that process".
// Throws std::system_error only when /proc itself cannot be listed. Any thread; keeps no state.
[[nodiscard]] std::vector<RunningApplicationInstance> runningApplications(
    std::string_view bundleIdentifier);

// Whether `instance` has ended: its pid is gone, is a zombie, or now belongs to a process with
// another start time. Never fails; an unreadable entry counts as ended.
[[nodiscard]] bool isTerminated(const RunningApplicationInstance& instance);

// Asks `instance` politely to quit (SIGTERM); it may decline. The process is pinned with a pidfd
// and its start time checked again before the signal, so a reused pid never receives it. An
// instance that has already ended, or that the installer may not signal (EPERM), is left alone.
// Throws std::system_error when the process cannot be opened for another reason (descriptor limit,
// a kernel without pidfds). Any thread.
void requestTermination(const RunningApplicationInstance& instance);

}  // namespace vexa::platform
