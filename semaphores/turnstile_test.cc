#include <signal.h>
#include <sys/sem.h>

#include "harness.h"
#include "mysem.h"

namespace kit {
namespace {

constexpr key_t kKey = 1234;
constexpr int kTurns = 6;
using TurnstileTest = Sandbox;

// A copy's lines name it by its process identifier.
struct Copy {
  explicit Copy(Options options = {}) : process("turnstile", options) {}
  std::string line(std::string_view what) const {
    return std::to_string(process.pid()) + ":" + std::string(what) + "\n";
  }
  bool got(int times) { return process.wait_for(line("got the semaphore"), times); }
  bool released(int times) { return process.wait_for(line("released the semapore"), times); }
  int turns_taken() { return count(process.output(), line("got the semaphore")); }
  Process process;
};

bool semaphore_is(int value, int waiting) {
  return eventually([=] {
    auto set = semaphore(kKey);
    return set && set->value == value && set->waiting == waiting;
  });
}

TEST_F(TurnstileTest, OneCopyForcesTheLockFreeTakesSixTurnsAndRemovesTheSet) {
  int id = mysem_init(kKey);
  ASSERT_EQ(semctl(id, 0, SETVAL, 5), 0);
  Copy copy;
  std::string expected;
  for (int turn = 1; turn <= kTurns; turn++) {
    ASSERT_TRUE(copy.got(turn));
    EXPECT_TRUE(semaphore_is(0, 0)) << "set-up forces 1, the take leaves 0";
    copy.process.type("\n");
    ASSERT_TRUE(copy.released(turn));
    expected += copy.line("got the semaphore") + copy.line("released the semapore");
  }
  Ending ending = copy.process.wait_exit();
  EXPECT_TRUE(ending.exited);
  EXPECT_EQ(copy.process.output(), expected + "Semaphore deleted\n");
  EXPECT_FALSE(semaphore(kKey));
}

// The second copy is set up while the first sleeps between turns (held
// there by a stop), so the lock is free and from then on they alternate.
TEST_F(TurnstileTest, CopiesSetUpWhileTheLockIsFreeNeverHoldItTogether) {
  Copy a;
  ASSERT_TRUE(a.got(1));
  a.process.type("\n");
  ASSERT_TRUE(a.released(1));
  ASSERT_TRUE(semaphore_is(1, 0));
  a.process.signal(SIGSTOP);
  ASSERT_TRUE(a.process.wait_state('T'));
  Copy b;
  ASSERT_TRUE(b.got(1));
  a.process.signal(SIGCONT);
  ASSERT_TRUE(semaphore_is(0, 1));

  // A stop and continue interrupts the blocked take; it must not succeed.
  a.process.signal(SIGSTOP);
  ASSERT_TRUE(a.process.wait_state('T'));
  a.process.signal(SIGCONT);
  ASSERT_TRUE(semaphore_is(0, 1));
  EXPECT_EQ(count(a.process.output(200ms), "Failed"), 0);
  EXPECT_EQ(a.turns_taken(), 1);

  Copy* holder = &b;
  Copy* other = &a;
  for (int handover = 0; handover < 2 * kTurns - 2; handover++) {
    int holder_turns = holder->turns_taken(), other_turns = other->turns_taken();
    holder->process.type("\n");
    ASSERT_TRUE(holder->released(holder_turns));
    ASSERT_TRUE(other->got(other_turns + 1));
    if (holder_turns < kTurns) {
      // The holder comes back from its pause and must wait for the other.
      ASSERT_TRUE(semaphore_is(0, 1));
      EXPECT_EQ(holder->turns_taken(), holder_turns);
    }
    std::swap(holder, other);
  }
  EXPECT_EQ(a.turns_taken(), kTurns);
  EXPECT_EQ(b.turns_taken(), kTurns);
  EXPECT_EQ(count(a.process.output() + b.process.output(), "Failed to get"), 0);
}

TEST_F(TurnstileTest, AfterAnotherCopyRemovesTheSetTurnsReportFailures) {
  Copy survivor;
  ASSERT_TRUE(survivor.got(1));
  // This copy's set-up forces the lock free again, so it runs beside the
  // holder; with its input at an end its turns do not wait for a key.
  Copy remover({.io = Io::Pipes});
  remover.process.end_input();
  Ending ending = remover.process.wait_exit(20s);
  ASSERT_TRUE(ending.exited);
  EXPECT_EQ(count(remover.process.output(), "got the semaphore"), kTurns);
  EXPECT_EQ(count(remover.process.output(), "Semaphore deleted\n"), 1);

  survivor.process.type("\n\n\n\n\n\n");
  ASSERT_TRUE(survivor.process.wait_exit(20s).exited);
  std::string turn = survivor.line("got the semaphore") + survivor.line("released the semapore") +
                     "Failed to release semaphore\n";
  std::string expected = turn;
  for (int i = 1; i < kTurns; i++) expected += "Failed to get the sempahore\n" + turn;
  EXPECT_EQ(survivor.process.output(), expected + "Failed to delete the semaphore\n");
}

// Interrupted holding the lock or resting between turns, a copy leaves the
// lock free: the kernel undoes exactly what it still held.
TEST_F(TurnstileTest, CopyInterruptedLeavesTheLockFree) {
  Copy holding;
  ASSERT_TRUE(holding.got(1));
  ASSERT_TRUE(semaphore_is(0, 0));
  holding.process.signal(SIGINT);
  EXPECT_EQ(holding.process.wait_exit().signal, SIGINT);
  EXPECT_TRUE(semaphore_is(1, 0));

  Copy resting;
  ASSERT_TRUE(resting.got(1));
  resting.process.type("\n");
  ASSERT_TRUE(resting.released(1));
  ASSERT_TRUE(resting.process.wait_call("nanosleep"));
  resting.process.signal(SIGINT);
  EXPECT_EQ(resting.process.wait_exit().signal, SIGINT);
  EXPECT_TRUE(semaphore_is(1, 0)) << "free, not freed twice";
}

TEST_F(TurnstileTest, IntoAPipeItsLinesDieInTheBufferWithIt) {
  Copy copy({.io = Io::Pipes});
  ASSERT_TRUE(copy.process.wait_call("read")) << "holding the lock, waiting for Enter";
  EXPECT_EQ(semaphore(kKey)->mode, 0666u) << "the set it made is open to all";
  copy.process.type("\n");
  ASSERT_TRUE(copy.process.wait_call("nanosleep")) << "released, resting";
  ASSERT_TRUE(copy.process.wait_call("read")) << "its second turn";
  copy.process.signal(SIGINT);
  EXPECT_EQ(copy.process.wait_exit().signal, SIGINT);
  EXPECT_EQ(copy.process.output(), "");
}

}  // namespace
}  // namespace kit
