// Processes held by descriptor, so that a signal reaches the process meant
// and never another later given its id. Called directly: older C libraries
// lack the wrappers, and 2.36's header does not declare them for C++.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace kit {

// With signal_pidfd: the whole process group of the pidfd's process, found
// through the pidfd itself (Linux 6.9 on; EINVAL before).
constexpr unsigned kWholeGroup = 1U << 2;

inline int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

inline bool signal_pidfd(int pidfd, int sig, unsigned flags = 0) {
  return syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, flags) == 0;
}

}  // namespace kit
