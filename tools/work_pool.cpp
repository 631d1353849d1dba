#include "work_pool.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa::tools {

unsigned processorCount() {
  // The affinity mask, not the machine's count: a tool confined to fewer processors (taskset,
  // a container's cpuset) gains nothing from more threads.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

void runInParallel(std::size_t count, const std::function<void(std::size_t)>& work,
                   unsigned workers) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::size_t failedIndex = count;
  std::exception_ptr failure;
  const auto drain = [&] {
    for (std::size_t index; !failed.load(std::memory_order_relaxed) && (index = next++) < count;) {
      try {
        work(index);
      } catch (...) {
        const std::lock_guard lock(mutex);
        if (index < failedIndex) {
          failedIndex = index;
          failure = std::current_exception();
        }
        failed = true;
      }
    }
  };
  const std::size_t helpers = std::min<std::size_t>(std::max(1u, workers), count) - (count > 0);
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  try {
    for (std::size_t i = 0; i < helpers; ++i) threads.emplace_back(drain);
  } catch (...) {
    // No more threads to be had: the ones running and this one do the work.
  }
  drain();
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vexa::tools
