#include <signal.h>
#include <sys/sem.h>

#include "harness.h"
#include "mysem.h"

namespace kit {
namespace {

constexpr key_t kKey = 1234;
using GatewaitTest = Sandbox;

bool waiters_are(int n) {
  return eventually([n] {
    auto set = semaphore(kKey);
    return set && set->waiting == n;
  });
}

TEST_F(GatewaitTest, CreatesTheSetAndIsLetThroughOncePerCharacterPosted) {
  Process waiter("gatewait");
  ASSERT_TRUE(waiters_are(1));
  auto set = semaphore(kKey);
  EXPECT_EQ(set->value, 0);
  EXPECT_EQ(set->mode, 0660u);
  std::string id = std::to_string(set->id);
  EXPECT_EQ(waiter.output(), "semid = " + id + "\n");

  Process poster("gatepost");
  ASSERT_TRUE(poster.wait_for("Press enter key to send semaphore\n"));
  EXPECT_EQ(poster.output(), "Semid = " + id + "\nPress enter key to send semaphore\n");
  poster.type("\n");
  ASSERT_TRUE(waiter.wait_for("I got semaphore\n"));
  poster.type("ab\n");
  ASSERT_TRUE(waiter.wait_for("I got semaphore\n", 4));
  ASSERT_TRUE(poster.wait_for("Press enter key to send semaphore\n", 5));
  ASSERT_TRUE(waiters_are(1));
  EXPECT_EQ(count(waiter.output(100ms), "I got semaphore\n"), 4);
}

TEST_F(GatewaitTest, PostsMadeBeforeItStartedLetItThroughAtOnce) {
  int id = mysem_init(kKey);
  for (int i = 0; i < 3; i++) ASSERT_EQ(mysem_post(id), 0);
  Process waiter("gatewait");
  ASSERT_TRUE(waiters_are(1));
  EXPECT_EQ(waiter.output(), "semid = " + std::to_string(id) + "\n" +
                                 "I got semaphore\nI got semaphore\nI got semaphore\n");
}

TEST_F(GatewaitTest, OnePostReleasesOneOfTwoWaiters) {
  Process first("gatewait"), second("gatewait");
  ASSERT_TRUE(waiters_are(2));
  ASSERT_EQ(mysem_post(semaphore(kKey)->id), 0);
  auto lines = [&] {
    std::string both = first.output();
    return count(both + second.output(), "I got semaphore");
  };
  ASSERT_TRUE(eventually([&] { return lines() == 1; }));
  ASSERT_TRUE(waiters_are(2)) << "the one let through waits again";
  EXPECT_EQ(semaphore(kKey)->value, 0);
  EXPECT_EQ(lines(), 1);
}

TEST_F(GatewaitTest, StopAndContinueLeaveItWaiting) {
  Process waiter("gatewait");
  ASSERT_TRUE(waiters_are(1));
  waiter.signal(SIGSTOP);
  ASSERT_TRUE(waiter.wait_state('T'));
  waiter.signal(SIGCONT);
  ASSERT_TRUE(waiter.wait_state('S'));
  ASSERT_TRUE(waiters_are(1));
  EXPECT_EQ(count(waiter.output(100ms), "I got semaphore"), 0);
  ASSERT_EQ(mysem_post(semaphore(kKey)->id), 0);
  EXPECT_TRUE(waiter.wait_for("I got semaphore\n"));
  EXPECT_EQ(waiter.errors(), "");
}

TEST_F(GatewaitTest, RemovedSetEndsItWithoutAFalseLine) {
  Process waiter("gatewait");
  ASSERT_TRUE(waiters_are(1));
  ASSERT_EQ(mysem_destroy(semaphore(kKey)->id), 0);
  Ending ending = waiter.wait_exit();
  EXPECT_TRUE(ending.exited);
  EXPECT_EQ(ending.status, 1);
  EXPECT_EQ(count(waiter.output(), "I got semaphore"), 0);
  EXPECT_EQ(waiter.errors(), "gatewait: semaphore wait failed: Identifier removed\n");
}

TEST_F(GatewaitTest, SetWithoutAccessIsReportedAtStartUp) {
  require_root();
  ASSERT_GE(semget(kKey, 1, IPC_CREAT | 0600), 0);
  Process waiter("gatewait", {.unprivileged = true});
  Ending ending = waiter.wait_exit();
  EXPECT_EQ(ending.status, 1);
  EXPECT_EQ(waiter.output(), "");
  EXPECT_EQ(waiter.errors(), "sem open failed\n: Permission denied\n");
}

TEST_F(GatewaitTest, IntoAPipeItsLinesDieInTheBufferWithIt) {
  Process waiter("gatewait", {.io = Io::Pipes});
  ASSERT_TRUE(waiters_are(1));
  int id = semaphore(kKey)->id;
  ASSERT_EQ(mysem_post(id), 0);
  ASSERT_TRUE(eventually([&] { return semctl(id, 0, GETPID) == waiter.pid(); })) << "taken";
  ASSERT_TRUE(waiters_are(1));
  waiter.signal(SIGINT);
  EXPECT_EQ(waiter.wait_exit().signal, SIGINT);
  EXPECT_EQ(waiter.output(), "");
}

}  // namespace
}  // namespace kit
