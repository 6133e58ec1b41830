#include "picture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kit {
namespace {

// Readable by others, as a picture written by an ordinary open would be.
mode_t picture_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool write_all(int fd, const std::string& text, std::string& error) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = strerror(n < 0 ? errno : ENOSPC);
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace

PictureFile::PictureFile(std::string path) : path_(std::move(path)) {
  size_t slash = path_.rfind('/');
  folder_ = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  struct stat there;
  if (stat(path_.c_str(), &there) == 0 && S_ISDIR(there.st_mode)) {
    error_ = strerror(EISDIR);
    return;
  }
  fd_ = open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, picture_mode());
  // A file system without unnamed files: a named one, linked in the same way.
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    std::string scratch =
        folder_ + (slash == std::string::npos ? "/" : "") + ".ipc-kit-picture-XXXXXX";
    fd_ = mkostemp(scratch.data(), O_CLOEXEC);
    if (fd_ >= 0) {
      unlink(scratch.c_str());
      fchmod(fd_, picture_mode());
    }
  }
  if (fd_ < 0) error_ = strerror(errno);
}

PictureFile::~PictureFile() {
  if (fd_ >= 0) close(fd_);
}

bool PictureFile::commit(const std::string& text) {
  if (fd_ < 0) return false;
  bool done = write_all(fd_, text, error_) && link_in(text);
  close(fd_);
  fd_ = -1;
  return done;
}

// Gives the written file a name beside the picture's, then the picture's
// own. Where it cannot be linked there (its folder was made anew on
// another file system), the text is written into a new file there instead.
bool PictureFile::link_in(const std::string& text) {
  std::string self = "/proc/self/fd/" + std::to_string(fd_);
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string scratch = folder_ + (folder_.ends_with('/') ? "" : "/") + ".ipc-kit-picture-" +
                          std::to_string(getpid()) + "-" + std::to_string(attempt);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, scratch.c_str(), AT_SYMLINK_FOLLOW) < 0) {
      if (errno == EEXIST) continue;
      if (errno != EXDEV && errno != ENOENT) break;
      int fresh = open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, picture_mode());
      if (fresh < 0) break;
      bool written = write_all(fresh, text, error_);
      if (close(fresh) < 0 && written) written = false, error_ = strerror(errno);
      if (!written) {
        unlink(scratch.c_str());
        return false;
      }
    }
    if (rename(scratch.c_str(), path_.c_str()) == 0) return true;
    error_ = strerror(errno);
    unlink(scratch.c_str());
    return false;
  }
  error_ = strerror(errno);
  return false;
}

}  // namespace kit
