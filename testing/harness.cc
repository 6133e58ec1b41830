#include "harness.h"

#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kit {

void Sandbox::SetUp() {
  // Writing to a program that has ended must fail the write, not the test.
  ::signal(SIGPIPE, SIG_IGN);
  root_ = geteuid() == 0;
  int flags = root_ ? CLONE_NEWIPC : CLONE_NEWUSER | CLONE_NEWIPC;
  if (unshare(flags) < 0)
    GTEST_SKIP() << "no private IPC namespace (" << strerror(errno)
                 << "): refusing to touch the host's semaphores and segments";

  std::string pattern = (std::filesystem::temp_directory_path() / "ipc-kit-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr) << strerror(errno);
  dir_ = pattern;
  // Open to every user: permission cases run programs as nobody here.
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  previous_dir_ = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir_.c_str()), 0);
}

void Sandbox::TearDown() {
  if (dir_.empty()) return;
  if (chdir(previous_dir_.c_str()) < 0) ADD_FAILURE() << "chdir back: " << strerror(errno);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void Sandbox::require_root() {
  if (!root_) GTEST_SKIP() << "needs root to run a program as uid 65534";
}

}  // namespace kit
