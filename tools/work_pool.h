#pragma once

#include <cstddef>
#include <functional>

namespace vexa::tools {

// How many workers runInParallel uses by default: one per processor this tool may run on.
[[nodiscard]] unsigned processorCount();

// Calls work(i) once for every i in [0, count), on up to `workers` threads (the calling thread is
// one of them), taking indices in increasing order: put the longest items first for the best
// balance. Returns when every call has ended. When calls throw, the remaining indices are skipped
// and the exception of the lowest index that failed is rethrown, so the failure reported does not
// depend on the timing of the threads (the lowest index is always attempted before any higher one
// is given out, so it cannot have been skipped).
void runInParallel(std::size_t count, const std::function<void(std::size_t)>& work,
                   unsigned workers = processorCount());

}  // namespace vexa::tools
