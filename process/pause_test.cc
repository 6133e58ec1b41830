#include <signal.h>

#include "harness.h"

namespace kit {
namespace {

using PauseTest = Sandbox;

TEST_F(PauseTest, OnlyATerminatingSignalEndsIt) {
  Process sleeper("pause");
  ASSERT_TRUE(sleeper.wait_for("Before pause\n"));
  ASSERT_TRUE(sleeper.wait_state('S'));
  sleeper.signal(SIGSTOP);
  ASSERT_TRUE(sleeper.wait_state('T'));
  sleeper.signal(SIGCONT);
  sleeper.signal(SIGWINCH);
  sleeper.signal(SIGCHLD);
  EXPECT_TRUE(sleeper.wait_state('S'));
  EXPECT_EQ(sleeper.output(200ms), "Before pause\n");
  EXPECT_TRUE(sleeper.wait_state('S')) << "still suspended";
  Ending none = sleeper.wait_exit(100ms);
  EXPECT_FALSE(none.exited || none.signal) << "not ended, so no status";
  EXPECT_EQ(none.status, -1);

  sleeper.signal(SIGINT);
  EXPECT_EQ(sleeper.wait_exit().signal, SIGINT);
  EXPECT_EQ(sleeper.output(), "Before pause\n");
}

TEST_F(PauseTest, IntoAPipeTheLineDiesInTheBuffer) {
  Process sleeper("pause", {.io = Io::Pipes});
  ASSERT_TRUE(sleeper.wait_state('S'));
  sleeper.signal(SIGINT);
  EXPECT_EQ(sleeper.wait_exit().signal, SIGINT);
  EXPECT_EQ(sleeper.output(), "");
}

}  // namespace
}  // namespace kit
