// Opening a named pipe by its path, refusing whatever else stands there: a
// regular file or a directory under the FIFO's name would otherwise be read
// as a message or written over with a reply. A symlink to a FIFO is followed.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// Whether a FIFO is this process's own and open to no one else: made by its
// user, with no permission for the group or others. In a shared folder
// (mode 1777, as /tmp) another user may make one first, to read what we
// send or answer in our peer's place.
inline bool private_fifo(const struct stat& fifo) {
  return fifo.st_uid == geteuid() && (fifo.st_mode & 077) == 0;
}

// Like open(2); a path that is there but is no FIFO fails with ENXIO and is
// never opened (so no device is touched), and what was opened is checked
// again, for a path swapped in between. With `own`, a FIFO that is not
// private_fifo() fails with EPERM.
inline int open_fifo(const char* path, int flags, bool own = false) {
  struct stat found;
  if (stat(path, &found) == 0 && !S_ISFIFO(found.st_mode)) {
    errno = ENXIO;
    return -1;
  }
  int fd = open(path, flags | O_CLOEXEC);
  if (fd < 0) return -1;
  if (fstat(fd, &found) < 0 || !S_ISFIFO(found.st_mode)) {
    close(fd);
    errno = ENXIO;
    return -1;
  }
  if (own && !private_fifo(found)) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}
