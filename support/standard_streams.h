// Standard input, output and error held open before a program opens anything
// else. Started with one of them closed, a program would be handed that
// number for its next open, a FIFO say, and its own lines would go there.
#pragma once

#include <fcntl.h>
#include <unistd.h>

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

// Whether `count` more descriptors may be opened now: a look or a scene that
// needs that many at once would otherwise fail midway.
inline bool descriptors_to_spare(int count) {
  int opened[64];
  int got = 0;
  while (got < count && got < 64 && (opened[got] = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0)
    got++;
  for (int i = 0; i < got; i++) close(opened[i]);
  return got == count;
}

}  // namespace kit
