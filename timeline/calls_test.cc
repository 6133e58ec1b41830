#include "calls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/syscall.h>

namespace kit {
namespace {

// Both sources name a call alike, whichever of its system calls it was.
TEST(CallsTest, NamesEachCallAsAReaderKnowsIt) {
  EXPECT_STREQ(call_name(SYS_semtimedop), "semop");
  EXPECT_STREQ(call_name(SYS_semop), "semop");
  EXPECT_STREQ(call_name(SYS_openat), "open");
  EXPECT_STREQ(call_name(SYS_clone), "fork");
  EXPECT_STREQ(call_name(SYS_rt_sigreturn), "rt_sigreturn");
  EXPECT_EQ(call_name(SYS_getpid), nullptr);
  EXPECT_EQ(ending_of(0x0100), "exit 1");
  EXPECT_EQ(ending_of(SIGINT), "SIGINT");
}

// A call decoded by either source becomes the same event: its words and
// its typed details, then its result in place.
TEST(CallsTest, BuildsTheRecordsEventsFromDecodedCalls) {
  Traced take{.call = "semop", .target = "semaphore 0", .detail = {0, -1, 0}};
  Event event = call_event(take, 1.5, 2);
  EXPECT_EQ(event.what, Happening::Call);
  EXPECT_EQ(event.lane, 2);
  EXPECT_EQ(event.text, "\u2212" "1");
  EXPECT_EQ(event.amount, -1);
  EXPECT_EQ(event.until, -1) << "not yet returned";
  take.result = -EINTR;
  call_returned(event, take, 2.0);
  EXPECT_EQ(event.until, 2.0);
  EXPECT_EQ(event.failed, "EINTR");
  EXPECT_EQ(event.value, -1);

  Traced setval{.call = "semctl", .detail = {SETVAL, 7, 0}};
  event = call_event(setval, 0, 0);
  EXPECT_EQ(event.text, "SETVAL 7");
  EXPECT_EQ(event.command, SETVAL);
  EXPECT_EQ(event.amount, 7);
  EXPECT_EQ(call_event({.call = "semctl", .detail = {IPC_RMID, 0, 0}}, 0, 0).command, IPC_RMID);
  EXPECT_EQ(what_it_asks({.call = "semctl", .detail = {GETVAL, 0, 0}}), "") << "not drawn";

  Traced open{.call = "open", .target = "srvfifo", .detail = {O_WRONLY | O_CLOEXEC, 0, 0}};
  event = call_event(open, 0, 0);
  EXPECT_EQ(event.text, "srvfifo for writing");
  EXPECT_EQ(event.mode, O_WRONLY);
  EXPECT_EQ(call_event({.call = "open", .target = "clififo", .detail = {O_RDWR, 0, 0}}, 0, 0).text,
            "clififo both ways");

  // A read's bytes are known once it returns; a write's as it enters.
  Traced read{.call = "read", .target = "srvfifo"};
  event = call_event(read, 0, 0);
  read.bytes = std::string("hi\n\0", 4);
  read.result = 4;
  call_returned(event, read, 1);
  EXPECT_EQ(event.bytes, read.bytes);
  EXPECT_EQ(event.text, "\"hi\\n\\0\"");
  EXPECT_EQ(event.value, 4);
  EXPECT_EQ(call_event({.call = "kill", .detail = {42, SIGUSR1, 0}}, 0, 0).text, "SIGUSR1 to 42");
  // A call its process ended in never returned to it.
  Traced cut{.call = "semop", .result = -EINTR, .cut = true};
  call_returned(event, cut, 3);
  EXPECT_TRUE(event.cut);
  EXPECT_EQ(event.failed, "") << "it never saw the failure";
}

}  // namespace
}  // namespace kit
