#include "asked.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kit {
namespace {

uint64_t address(const void* p) { return reinterpret_cast<uint64_t>(p); }

// Canned entries of the calls the pictures draw, read from this process's
// own memory and descriptors as the tracer reads a tracee's.
TEST(AskedTest, ReadsWhatEachCallAskedAndLeavesOutTheRest) {
  pid_t self = getpid();
  Traced seen;
  sembuf take{0, -1, SEM_UNDO};
  ASSERT_TRUE(read_entry(self, SYS_semtimedop, {7, address(&take), 1, 0, 0, 0}, seen));
  EXPECT_EQ(seen.target, "semaphore 0");
  EXPECT_EQ(seen.detail, (std::array<int64_t, 3>{0, -1, SEM_UNDO}));
  seen = {};
  // The flag of the 64-bit layout is no part of the command.
  ASSERT_TRUE(read_entry(self, SYS_semctl, {7, 0, SETVAL | 0x100, 5, 0, 0}, seen));
  EXPECT_EQ(seen.detail, (std::array<int64_t, 3>{SETVAL, 5, 0}));

  char folder[] = "/tmp/asked-test-XXXXXX";
  ASSERT_TRUE(mkdtemp(folder));
  std::string fifo = std::string(folder) + "/srvfifo", file = std::string(folder) + "/notes";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  int plain = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(reader, 0);
  ASSERT_GE(plain, 0);
  std::string bytes("hello\n\0", 7);
  seen = {};
  ASSERT_TRUE(
      read_entry(self, SYS_write, {uint64_t(ends[1]), address(bytes.data()), 7, 0, 0, 0}, seen));
  EXPECT_EQ(seen.target, "pipe");
  EXPECT_EQ(seen.bytes, bytes);
  seen = {};
  ASSERT_TRUE(read_entry(self, SYS_read, {uint64_t(reader), 0, 100, 0, 0, 0}, seen));
  EXPECT_EQ(seen.target, "srvfifo");
  EXPECT_TRUE(seen.bytes.empty());  // a read's bytes are known at its return
  seen = {};
  EXPECT_FALSE(
      read_entry(self, SYS_write, {uint64_t(plain), address(bytes.data()), 7, 0, 0, 0}, seen));
  seen = {};
  ASSERT_TRUE(read_entry(self, SYS_openat,
                         {uint64_t(AT_FDCWD), address(fifo.c_str()), O_WRONLY, 0, 0, 0}, seen));
  EXPECT_EQ(seen.target, "srvfifo");
  EXPECT_EQ(seen.bytes, fifo);
  EXPECT_EQ(seen.detail[0], O_WRONLY);
  seen = {};
  EXPECT_FALSE(read_entry(self, SYS_openat,
                          {uint64_t(AT_FDCWD), address(file.c_str()), O_RDONLY, 0, 0, 0}, seen));
  // A FIFO of a name not the kit's, found where the caller sees it.
  std::string other = std::string(folder) + "/other";
  ASSERT_EQ(mkfifo(other.c_str(), 0600), 0);
  seen = {};
  EXPECT_TRUE(read_entry(self, SYS_openat,
                         {uint64_t(AT_FDCWD), address(other.c_str()), O_RDONLY, 0, 0, 0}, seen));
  EXPECT_EQ(seen.target, "other");
  unlink(other.c_str());
  seen = {};
  ASSERT_TRUE(read_entry(self, SYS_mknodat,
                         {uint64_t(AT_FDCWD), address(fifo.c_str()), S_IFIFO | 0640, 0, 0, 0},
                         seen));
  EXPECT_EQ(seen.detail[0], 0640);
  seen = {};
  EXPECT_FALSE(read_entry(self, SYS_mknodat,
                          {uint64_t(AT_FDCWD), address(file.c_str()), S_IFREG | 0640, 0, 0, 0},
                          seen));
  seen = {};
  EXPECT_FALSE(read_entry(self, SYS_clone, {CLONE_THREAD | CLONE_VM, 0, 0, 0, 0, 0}, seen));
#ifdef SYS_clone3
  // A thread as glibc makes one, its flags in the caller's memory; a fork.
  uint64_t flags[2] = {CLONE_THREAD | CLONE_VM, 0};
  seen = {};
  EXPECT_FALSE(read_entry(self, SYS_clone3, {address(&flags[0]), 88, 0, 0, 0, 0}, seen));
  seen = {};
  EXPECT_TRUE(read_entry(self, SYS_clone3, {address(&flags[1]), 88, 0, 0, 0, 0}, seen));
#endif
  // Memory that is not there reads as nothing, never as a fault.
  EXPECT_EQ(peek(self, 8, 16), "");
  for (int fd : {reader, plain, ends[0], ends[1]}) close(fd);
  unlink(fifo.c_str());
  unlink(file.c_str());
  rmdir(folder);
}

}  // namespace
}  // namespace kit
