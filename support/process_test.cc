#include <signal.h>

#include <cstdio>

#include "harness.h"

namespace kit {
namespace {

using RunnerTest = Sandbox;

// A program runs on a terminal unless asked otherwise, and a wait that runs
// out says that nothing ended: no status, no signal.
TEST_F(RunnerTest, SaysHowAProgramEndedAndOnlyOnceItHas) {
  Process tty("/usr/bin/tty");
  EXPECT_EQ(tty.wait_exit().status, 0);
  EXPECT_EQ(tty.output().rfind("/dev/pts/", 0), 0u) << tty.output();
  Process sleeper("/bin/sleep", {.io = Io::Pipes, .args = {"10"}});
  Ending waited = sleeper.wait_exit(100ms);
  EXPECT_FALSE(waited.exited);
  EXPECT_EQ(waited.status, -1);
  EXPECT_EQ(waited.signal, 0);
  sleeper.signal(SIGTERM);
  Ending ended = sleeper.wait_exit();
  EXPECT_FALSE(ended.exited);
  EXPECT_EQ(ended.status, -1);
  EXPECT_EQ(ended.signal, SIGTERM);
}

// A program starts with every signal at its default and none blocked,
// whatever its starter ignores (the tour ignores SIGPIPE) or blocks.
TEST_F(RunnerTest, AProgramInheritsNoIgnoredOrBlockedSignal) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  Process grep("/bin/grep", {.io = Io::Pipes, .args = {"^Sig[IB]", "/proc/self/status"}});
  EXPECT_EQ(grep.wait_exit().status, 0);
  // Of the standard signals: the C library keeps 32 and 33 for itself, and
  // a build may start us with them ignored.
  unsigned long long blk = ~0ULL, ign = ~0ULL;
  ASSERT_EQ(sscanf(grep.output().c_str(), "SigBlk: %llx SigIgn: %llx", &blk, &ign), 2)
      << grep.output();
  EXPECT_EQ(blk & 0x7fffffff, 0u) << grep.output();
  EXPECT_EQ(ign & 0x7fffffff, 0u) << grep.output();
}

}  // namespace
}  // namespace kit
