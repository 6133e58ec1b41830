// The kernel objects that the kit's programs meet on, as the tour, ipcwatch
// and the benchmark look for them, and the words that both the tour's tracer
// and ipcwatch's recorder use for a semaphore operation on them. (Each
// program keeps its own key, where a reader of that program looks for it.)
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <string>

namespace kit {

constexpr key_t kSemaphoreKey = 1234;
constexpr key_t kSegmentKey = 10;
constexpr const char* kFifoNames[] = {"srvfifo", "clififo"};

// What a semaphore operation asks, as a reader says it: "+1", "−1" (with
// the minus sign), or "wait for 0".
inline std::string semaphore_change(long change) {
  return change == 0 ? "wait for 0"
                     : (change > 0 ? "+" : "\u2212") + std::to_string(std::labs(change));
}

// The semaphore of the set an operation is on, as both sources name it.
inline std::string semaphore_target(long number) { return "semaphore " + std::to_string(number); }

}  // namespace kit
