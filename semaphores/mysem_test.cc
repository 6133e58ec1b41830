#include "mysem.h"

#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "harness.h"

namespace kit {
namespace {

constexpr key_t kKey = 1234;
using MysemTest = Sandbox;

TEST_F(MysemTest, InitCreatesOnceAndOpenNeverCreates) {
  EXPECT_EQ(mysem_open(kKey), -1);
  EXPECT_EQ(errno, ENOENT);
  int id = mysem_init(kKey);
  ASSERT_GE(id, 0);
  EXPECT_EQ(semaphore(kKey)->mode, 0660u);
  ASSERT_EQ(mysem_post(id), 0);
  EXPECT_EQ(mysem_init(kKey), id);
  EXPECT_EQ(mysem_open(kKey), id);
  EXPECT_EQ(semaphore(kKey)->value, 1) << "finding the set must not reset it";
}

TEST_F(MysemTest, PostsAccumulateUpToThePlatformLimit) {
  int id = mysem_init(kKey);
  for (int i = 0; i < 3; i++) ASSERT_EQ(mysem_post(id), 0);
  for (int i = 0; i < 3; i++) ASSERT_EQ(mysem_wait(id), 0);
  EXPECT_EQ(semaphore(kKey)->value, 0);
  ASSERT_EQ(semctl(id, 0, SETVAL, 32767), 0);
  EXPECT_EQ(mysem_post(id), -1);
  EXPECT_EQ(errno, ERANGE);
}

TEST_F(MysemTest, WaitOnASetRemovedMeanwhileFails) {
  int id = mysem_init(kKey);
  pid_t waiter = fork();
  ASSERT_GE(waiter, 0);
  if (waiter == 0) _exit(mysem_wait(id) == -1 && errno == EIDRM ? 0 : 1);
  ASSERT_TRUE(eventually([] { return semaphore(kKey)->waiting == 1; }));
  ASSERT_EQ(mysem_destroy(id), 0);
  int status;
  ASSERT_EQ(waitpid(waiter, &status, 0), waiter);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(semaphore(kKey));
}

}  // namespace
}  // namespace kit
