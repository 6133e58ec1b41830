// What every test of the kit shares: a private IPC namespace and working
// directory per test, on top of the process runner.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "process.h"

namespace kit {

// Fixture: each test gets a fresh IPC namespace and an empty temporary
// working directory, so tests run in parallel and never meet the host's
// objects under the kit's keys.
class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Skips the test where uid 65534 cannot be switched to.
  void require_root();

  std::string dir_;

 private:
  bool root_ = false;
  std::string previous_dir_;
};

// A copy of the test process running `body` and then exiting; killed and
// reaped when it goes out of scope, however the test ends, since it holds
// the test's output open.
class Forked {
 public:
  template <typename Body>
  explicit Forked(Body body) : pid_(fork()) {
    if (pid_ == 0) {
      body();
      _exit(0);
    }
  }
  ~Forked() {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  }
  Forked(const Forked&) = delete;
  Forked& operator=(const Forked&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

}  // namespace kit
