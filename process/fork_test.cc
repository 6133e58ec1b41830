#include <sstream>

#include "harness.h"

namespace kit {
namespace {

using ForkTest = Sandbox;

// The lines of one run that are not the parent's or the first.
std::string child_lines(const std::string& output) {
  std::istringstream lines(output);
  std::string line, numbers;
  while (std::getline(lines, line))
    if (line != "hello" && line != "this is first step") numbers += line + "\n";
  return numbers;
}

TEST_F(ForkTest, OnATerminalTheFirstLineShowsOnce) {
  Process split("fork");
  EXPECT_TRUE(split.wait_exit().exited);
  std::string output = split.output();
  EXPECT_TRUE(output.starts_with("this is first step\n")) << output;
  EXPECT_EQ(count(output, "this is first step\n"), 1);
  EXPECT_EQ(count(output, "hello\n"), 4);
  EXPECT_EQ(child_lines(output), "0\n1\n2\n3\n");
}

TEST_F(ForkTest, IntoAPipeTheBufferedFirstLineShowsTwice) {
  Process split("fork", {.io = Io::Pipes});
  EXPECT_TRUE(split.wait_exit().exited);
  std::string output = split.output();
  EXPECT_EQ(count(output, "this is first step\n"), 2);
  EXPECT_EQ(count(output, "this is first step\nhello\nhello\nhello\nhello\n"), 1);
  EXPECT_EQ(count(output, "this is first step\n0\n1\n2\n3\n"), 1);
}

TEST_F(ForkTest, FailedSplitTakesTheParentsBranch) {
  require_root();
  Process split("fork", {.unprivileged = true, .limits = {{RLIMIT_NPROC, 0}}});
  EXPECT_TRUE(split.wait_exit().exited);
  EXPECT_EQ(split.output(), "this is first step\nhello\nhello\nhello\nhello\n");
}

}  // namespace
}  // namespace kit
