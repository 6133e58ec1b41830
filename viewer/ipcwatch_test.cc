#include <fcntl.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace kit {
namespace {

constexpr key_t kSemaphoreKey = 1234;
constexpr key_t kSegmentKey = 10;
using IpcwatchTest = Sandbox;

// One snapshot, as a script would take it: through a pipe.
std::string snapshot(std::vector<std::string> parts = {}, Options options = {}) {
  options.io = Io::Pipes;
  options.args = std::move(parts);
  Process view("ipcwatch", options);
  EXPECT_EQ(view.wait_exit().status, 0);
  return view.output();
}

bool waiting_for_semaphore(int n) {
  return eventually([n] {
    auto set = semaphore(kSemaphoreKey);
    return set && set->waiting == n;
  });
}

TEST_F(IpcwatchTest, ShowsAbsentObjectsPlainly) {
  std::string shown = snapshot();
  EXPECT_EQ(count(shown, "Semaphore set, key 1234 (0x000004d2)\n  absent\n"), 1) << shown;
  EXPECT_EQ(count(shown, "Shared segment, key 10 (0x0000000a)\n  absent\n"), 1);
  EXPECT_EQ(count(shown, "  srvfifo  absent\n  clififo  absent\n"), 1);
}

TEST_F(IpcwatchTest, ShowsTheValueAndWhoWaits) {
  int id = semget(kSemaphoreKey, 1, IPC_CREAT | 0600);
  ASSERT_EQ(semctl(id, 0, SETVAL, 3), 0);
  EXPECT_EQ(count(snapshot({"sem"}), "  value 3   waiting for it to rise 0   waiting for zero 0\n"),
            1);
  ASSERT_EQ(semctl(id, 0, IPC_RMID), 0);

  Process waiter("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(1));
  std::string shown = snapshot({"sem"});
  EXPECT_EQ(count(shown, "  value 0   waiting for it to rise 1   waiting for zero 0\n"), 1)
      << shown;
  EXPECT_EQ(count(shown, "mode 0660"), 1);
}

TEST_F(IpcwatchTest, LiveViewRedrawsASetRemovedMeanwhile) {
  Process waiter("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(1));
  Process view("ipcwatch", {.args = {"sem"}});
  ASSERT_TRUE(view.wait_for("waiting for it to rise 1"));
  ASSERT_EQ(semctl(semaphore(kSemaphoreKey)->id, 0, IPC_RMID), 0);
  EXPECT_TRUE(view.wait_for("absent", 1, 2s)) << "redrawn at once, marked as a change";
  EXPECT_EQ(count(view.output(), "\033[1;33mabsent"), 1);
  view.signal(SIGINT);
  EXPECT_EQ(view.wait_exit().status, 0);
}

TEST_F(IpcwatchTest, ShowsTheSegmentsBytesAndTheAnswerFlag) {
  Process server("slatewatch");
  ASSERT_TRUE(eventually([] {
    auto found = segment(kSegmentKey);
    return found && found->bytes.starts_with("tolvane");
  }));
  std::string shown = snapshot({"shm"});
  EXPECT_EQ(count(shown, "  text  tolvane\\0\\0"), 1) << shown;
  EXPECT_EQ(count(shown, "  hex   74 6f 6c 76 61 6e 65 00 00"), 1);
  EXPECT_EQ(count(shown, "answer flag: no answer yet"), 1);
  EXPECT_EQ(count(shown, "created by " + std::to_string(server.pid()) + " (slatewatch)"), 1);

  Process client("slatewatch-client");
  ASSERT_EQ(client.wait_exit().status, 0);
  shown = snapshot({"shm"});
  EXPECT_EQ(count(shown, "  text  Aloha\\0"), 1) << shown;
  EXPECT_EQ(count(shown, "answer flag: 'A': answered"), 1);
}

TEST_F(IpcwatchTest, ShowsWhoHasEachFifoOpen) {
  Process server("pipechat-server");
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n"));
  Process client("pipechat");
  ASSERT_TRUE(client.wait_for("Enter some message to send to server\n"));
  std::string shown = snapshot({"fifo"});
  std::string expected = "  srvfifo  present  mode 0600  reading: " + std::to_string(server.pid()) +
                         " (pipechat-server)  writing: " + std::to_string(client.pid()) +
                         " (pipechat)\n";
  EXPECT_EQ(count(shown, expected), 1) << shown;
}

TEST_F(IpcwatchTest, SaysWhatItMayNotSee) {
  require_root();
  ASSERT_EQ(mkfifo("srvfifo", 0666), 0);
  int reader = open("srvfifo", O_RDONLY | O_NONBLOCK);
  std::string shown = snapshot({"fifo"}, {.unprivileged = true});
  EXPECT_EQ(count(shown, "could not be looked at for lack of permission"), 1) << shown;
  close(reader);
}

TEST_F(IpcwatchTest, ChangesNothing) {
  int set = semget(kSemaphoreKey, 1, IPC_CREAT | 0600);
  ASSERT_EQ(semctl(set, 0, SETVAL, 3), 0);
  int seg = shmget(kSegmentKey, 20, IPC_CREAT | 0600);
  auto before_set = semaphore(kSemaphoreKey);
  auto before_seg = segment(kSegmentKey);
  semid_ds sem_before{}, sem_after{};
  shmid_ds shm_before{}, shm_after{};
  ASSERT_EQ(semctl(set, 0, IPC_STAT, &sem_before), 0);
  ASSERT_EQ(shmctl(seg, IPC_STAT, &shm_before), 0);

  snapshot();
  ASSERT_EQ(semctl(set, 0, IPC_STAT, &sem_after), 0);
  ASSERT_EQ(shmctl(seg, IPC_STAT, &shm_after), 0);
  EXPECT_EQ(semaphore(kSemaphoreKey)->value, before_set->value);
  EXPECT_EQ(sem_after.sem_ctime, sem_before.sem_ctime);
  EXPECT_EQ(sem_after.sem_otime, sem_before.sem_otime);
  EXPECT_EQ(shm_after.shm_ctime, shm_before.shm_ctime);
  EXPECT_EQ(segment(kSegmentKey)->bytes, before_seg->bytes);
}

}  // namespace
}  // namespace kit
