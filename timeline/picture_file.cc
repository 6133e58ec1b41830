#include "picture_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kit {

PictureFile::PictureFile(std::string path) : path_(std::move(path)) {
  size_t slash = path_.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  scratch_ = folder + (slash == std::string::npos ? "/" : "") + ".ipc-kit-picture-XXXXXX";
  fd_ = mkstemp(scratch_.data());
  if (fd_ < 0) {
    error_ = strerror(errno);
    return;
  }
  // Readable by others, as a picture written by an ordinary open would be.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd_, 0666 & ~mask);
}

PictureFile::~PictureFile() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(scratch_.c_str());
}

bool PictureFile::commit(const std::string& text) {
  if (fd_ < 0) return false;
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = strerror(n < 0 ? errno : ENOSPC);
      return false;
    }
    done += n;
  }
  int written = close(fd_);
  fd_ = -1;
  if (written < 0 || rename(scratch_.c_str(), path_.c_str()) < 0) {
    error_ = strerror(errno);
    unlink(scratch_.c_str());
    return false;
  }
  return true;
}

}  // namespace kit
