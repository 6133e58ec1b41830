// What every test of the kit shares: a private IPC namespace and working
// directory per test, on top of the process runner.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace kit
