// A picture's file, written whole or not at all: the text goes to a new,
// unnamed file in its folder, which then takes the picture's name. A name
// planted as a symlink in a shared folder is replaced, never written through;
// a folder that cannot take the file, or a name that is a folder, is found
// out when the file is made, not at the end; a writer killed meanwhile
// leaves nothing behind; and a folder made anew meanwhile still gets it.
#pragma once

#include <string>

namespace kit {

class PictureFile {
 public:
  // Makes the new file beside `path`; ok() says whether that worked, and
  // error() why not.
  explicit PictureFile(std::string path);
  ~PictureFile();
  PictureFile(const PictureFile&) = delete;
  PictureFile& operator=(const PictureFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }
  // Writes `text` and gives the file its name; false, saying why, if not.
  bool commit(const std::string& text);

 private:
  bool link_in(const std::string& text);

  std::string path_, folder_, error_;
  int fd_ = -1;
};

}  // namespace kit
