#include "relations.h"

#include <gtest/gtest.h>
#include <sys/sem.h>

#include <algorithm>

namespace kit {
namespace {

// A traced record of a waiter (lane 0) and a poster (lane 1), the set at 0.
struct Traced : Record {
  Traced() {
    traced = true;
    end = 10;
    lanes = {{"gatewait", 10, 0}, {"gatepost", 11, 1}};
    events.push_back({.at = 0, .what = Happening::Semaphore, .value = 0});
  }
  Traced& semop(int lane, long change, double at, double until, std::string failed = "") {
    events.push_back({.at = at,
                      .what = Happening::Call,
                      .lane = lane,
                      .text = change > 0 ? "+1" : "-1",
                      .call = "semop",
                      .until = until,
                      .amount = change,
                      .failed = failed});
    return *this;
  }
  Traced& call(int lane, std::string name, double at, std::string target = "",
               std::string bytes = "", double until = -2) {
    events.push_back({.at = at,
                      .what = Happening::Call,
                      .lane = lane,
                      .call = name,
                      .target = target,
                      .until = until == -2 ? at : until,
                      .bytes = bytes});
    return *this;
  }
  int highest() const {
    int most = 0;
    for (auto& level : relate(*this).levels) most = std::max(most, level.value);
    return most;
  }
};

// The value as the kernel holds it: a post to a waiter gives it the unit in
// the post's own call, so a burst of three posts to one waiter peaks at 2.
TEST(RelationsTest, PostsLetTheWaiterThroughAsTheKernelDoes) {
  Traced burst;
  burst.semop(0, -1, 0.1, 0.5).semop(1, 1, 0.49, 0.4901).semop(1, 1, 0.4902, 0.4903);
  burst.semop(1, 1, 0.4904, 0.4905).semop(0, -1, 0.51, 0.5101).semop(0, -1, 0.52, 0.5201);
  auto found = relate(burst);
  ASSERT_EQ(found.arrows.size(), 3u);
  EXPECT_EQ(found.arrows[0].label, "lets gatewait through");
  EXPECT_EQ(found.arrows[0].from, 0.49);
  EXPECT_EQ(found.arrows[0].to, 0.5);
  // The other two posts' units were there when gatewait came back for them.
  EXPECT_EQ(found.arrows[1].kind, "gives");
  EXPECT_EQ(found.arrows[1].from, 0.4902);
  EXPECT_EQ(found.arrows[1].to, 0.5101);
  EXPECT_EQ(found.arrows[2].from, 0.4904);
  EXPECT_EQ(burst.highest(), 2);
  EXPECT_EQ(found.levels.back().value, 0);
  // The unit of the hand-off lives inside the post: a step up and down at 0.49.
  auto at_post = std::count_if(found.levels.begin(), found.levels.end(),
                               [](const Level& l) { return l.at == 0.49; });
  EXPECT_EQ(at_post, 2);

  Traced kept;  // no one waits: the post stays
  kept.semop(1, 1, 0.2, 0.2001);
  EXPECT_TRUE(relate(kept).arrows.empty());
  EXPECT_EQ(relate(kept).levels.back().value, 1);

  Traced interrupted;  // a wait cut short leaves the queue; the post stays
  interrupted.semop(0, -1, 0.1, 0.3, "EINTR").semop(1, 1, 0.4, 0.4001);
  EXPECT_TRUE(relate(interrupted).arrows.empty());
  EXPECT_EQ(relate(interrupted).levels.back().value, 1);
  EXPECT_EQ(relate(interrupted).levels.back().waiting, 0);

  Traced forced;  // another's set-up forces the value and lets the waiter in
  forced.semop(0, -1, 0.1, 0.6);
  forced.events.push_back({.at = 0.6,
                           .what = Happening::Call,
                           .lane = 1,
                           .text = "SETVAL 1",
                           .call = "semctl",
                           .until = 0.6001,
                           .amount = 1,
                           .command = SETVAL});
  ASSERT_EQ(relate(forced).arrows.size(), 1u);
  EXPECT_EQ(relate(forced).arrows[0].from_lane, 1);
}

// A lock is held from a take to the same program's release; a program that
// only takes (a waiter consuming posts) holds nothing.
TEST(RelationsTest, TheLockIsHeldFromTakeToRelease) {
  Traced turns;
  turns.semop(0, -1, 0.1, 0.1).semop(0, 1, 0.3, 0.3).semop(1, -1, 0.2, 0.3).semop(1, -1, 0.5, 0.5);
  auto bands = relate(turns).bands;
  ASSERT_EQ(bands.size(), 1u);
  EXPECT_EQ(bands[0].lane, 0);
  EXPECT_EQ(bands[0].from, 0.1);
  EXPECT_EQ(bands[0].to, 0.3);
  Traced zero;  // a wait for zero takes nothing, so holds nothing
  zero.semop(0, 0, 0.1, 0.1).semop(0, 1, 0.2, 0.2);
  EXPECT_TRUE(relate(zero).bands.empty());
}

// Bytes written to a FIFO join the read that returned them, in order; a
// terminal's are no message.
TEST(RelationsTest, MessagesGoFromTheWriteToTheReadThatTookThem) {
  Traced chat;
  chat.call(1, "write", 0.1, "srvfifo", std::string("hi\n\0", 4));
  chat.call(1, "write", 0.2, "terminal", "Sent\n");
  chat.call(0, "read", 0.05, "srvfifo", std::string("hi\n\0", 4), 0.1001);
  chat.call(0, "write", 0.3, "clififo", std::string("HI\0", 3));
  chat.call(1, "read", 0.25, "clififo", std::string("HI\0", 3), 0.3001);
  auto arrows = relate(chat).arrows;
  ASSERT_EQ(arrows.size(), 2u);
  EXPECT_EQ(arrows[0].label, "\"hi\\n\\0\" through srvfifo");
  EXPECT_EQ(arrows[0].from_lane, 1);
  EXPECT_EQ(arrows[1].label, "\"HI\\0\" through clififo");
  EXPECT_EQ(arrows[1].to, 0.3001);
}

// A signal held back waits until delivered; a handler runs until its own
// rt_sigreturn, one that it interrupted nesting inside it.
TEST(RelationsTest, SignalsWaitWhileHeldBackAndHandlersRunToTheirReturn) {
  Traced caught;
  auto& events = caught.events;
  events.push_back({.at = 1, .what = Happening::Signal, .lane = 0, .value = 4});
  events.push_back({.at = 1.001,
                    .what = Happening::Delivery,
                    .lane = 0,
                    .text = "SIGILL",
                    .value = 4,
                    .caught = true});
  events.push_back({.at = 2, .what = Happening::Signal, .lane = 0, .value = 4, .blocked = true});
  events.push_back({.at = 3,
                    .what = Happening::Delivery,
                    .lane = 0,
                    .text = "SIGUSR1",
                    .value = 10,
                    .caught = true});
  caught.call(0, "rt_sigreturn", 4);
  caught.call(0, "rt_sigreturn", 6);
  events.push_back({.at = 6.001,
                    .what = Happening::Delivery,
                    .lane = 0,
                    .text = "SIGILL",
                    .value = 4,
                    .caught = true});
  // A signal that the first lane's kill sent to the second.
  caught.call(0, "kill", 7);
  events.push_back({.at = 7.001,
                    .what = Happening::Delivery,
                    .lane = 1,
                    .text = "SIGINT",
                    .value = 2,
                    .peer = 0});
  auto related = relate(caught);
  ASSERT_EQ(related.arrows.size(), 1u);
  EXPECT_EQ(related.arrows[0].kind, "signal");
  EXPECT_EQ(related.arrows[0].from_lane, 0);
  EXPECT_EQ(related.arrows[0].to_lane, 1);
  auto bands = related.bands;
  std::vector<std::string> drawn;
  for (auto& band : bands)
    drawn.push_back(band.kind + " " + std::to_string(band.from).substr(0, 5) + "-" +
                    std::to_string(band.to).substr(0, 5));
  std::sort(drawn.begin(), drawn.end());
  EXPECT_EQ(drawn, (std::vector<std::string>{"handler 1.001-6.000", "handler 3.000-4.000",
                                             "handler 6.001-10.00", "pending 2.000-6.001"}));
}

// What the drawing marks and says is decided here: a write gets a mark
// where a process family shares the output or it goes into a pipe; a
// delivery is handled, ends the program or is ignored; a piped program
// ended by a signal before writing lost what it printed.
TEST(RelationsTest, DecidesWhatEachMarkSays) {
  Traced family;
  family.lanes = {{"fork", 10, 0}, {"fork's child", 11, 0, 0}, {"gatewait", 12, 1}};
  family.call(0, "write", 0.1, "terminal", "this is first step\n");
  family.call(1, "write", 0.2, "terminal", "0\n");
  family.call(2, "write", 0.3, "terminal", "I got semaphore\n");
  family.call(2, "write", 0.4, "pipe", "x");
  family.call(2, "read", 0.5, "terminal", "\n");
  // A fork is its arrow, a sleep the bar's state: neither gets a mark.
  family.call(0, "fork", 0.6).call(0, "nanosleep", 0.7).call(2, "semctl", 0.8, "semaphore 0");
  std::vector<bool> marks;
  for (size_t i = 1; i < family.events.size(); i++)
    marks.push_back(marked(family, family.events[i]));
  EXPECT_EQ(marks, (std::vector<bool>{true, true, false, true, false, false, false, true}));

  Traced ends;
  ends.lanes[1].piped = true;
  auto& events = ends.events;
  events.push_back({.at = 1, .what = Happening::Delivery, .lane = 0, .text = "SIGINT"});
  events.push_back({.at = 1, .what = Happening::End, .lane = 0, .text = "SIGINT"});
  events.push_back({.at = 2, .what = Happening::Delivery, .lane = 1, .text = "SIGTERM"});
  events.push_back(
      {.at = 3, .what = Happening::Delivery, .lane = 1, .text = "SIGILL", .caught = true});
  events.push_back({.at = 4, .what = Happening::Delivery, .lane = 1, .text = "SIGSTOP"});
  events.push_back({.at = 5, .what = Happening::End, .lane = 1, .text = "SIGKILL"});
  std::vector<std::string> said;
  for (auto& event : events)
    if (event.what == Happening::Delivery) said.push_back(delivered(ends, event));
  EXPECT_EQ(said, (std::vector<std::string>{"ends it", "ignored", "handled", ""}));
  EXPECT_TRUE(died_in_buffer(ends, 1));
  EXPECT_FALSE(died_in_buffer(ends, 0));  // on a terminal: printed as it went
  ends.call(1, "write", 4.5, "pipe", "I got semaphore\n");
  EXPECT_FALSE(died_in_buffer(ends, 1));
}

}  // namespace
}  // namespace kit
