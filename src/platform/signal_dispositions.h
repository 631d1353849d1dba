#pragma once

namespace vexa::platform {

// Puts the signal state a process inherits through exec into the state the installer relies on.
// A parent may start us with signals ignored or blocked, and both survive exec. Most harmful is an
// ignored SIGCHLD: the kernel then reaps every child at once, no exit status of a system tool could
// be read, and a failed check would be indistinguishable from a passed one. So:
//   - SIGCHLD, SIGTERM, SIGINT, SIGHUP and SIGQUIT get their default action (quit requests are
//     routed to the window later, by whoever installs handlers for them);
//   - SIGPIPE is ignored: transfers run with CURLOPT_NOSIGNAL, so a peer closing a TLS connection
//     must surface as EPIPE, not end the process; children get the default back when spawned;
//   - no signal is blocked.
// Call it first thing in main, before any thread exists (the mask is the calling thread's).
// Throws std::system_error when the system refuses a change (not expected for these signals).
void resetSignalDispositions();

}  // namespace vexa::platform
