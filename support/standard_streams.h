// Standard input, output and error held open before a program opens anything
// else. Started with one of them closed, a program would be handed that
// number for its next open, a FIFO say, and its own lines would go there.
#pragma once

#include <fcntl.h>

#include <cerrno>

namespace kit {

// Puts /dev/null on whichever of 0, 1 and 2 is closed; false if it cannot.
inline bool standard_streams_open() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return false;
  }
  return true;
}

}  // namespace kit
