#include <signal.h>

#include "harness.h"

namespace kit {
namespace {

constexpr std::string_view kLoop = "I slept for 15 seconds\n";
constexpr std::string_view kCaught = "i Caught the signal 4\n";
using CatcherTest = Sandbox;
using Clock = std::chrono::steady_clock;

// Seconds from now until `text` has appeared `times` times.
double seconds_until(Process& process, std::string_view text, int times) {
  auto start = Clock::now();
  EXPECT_TRUE(process.wait_for(text, times, 15s)) << "waiting for " << text;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Signal 4 once the loop sleeps: a delivery there cuts the sleep short, so
// the next line follows the handler's hold at once.
void signal_when_asleep(Process& catcher) {
  ASSERT_TRUE(catcher.wait_state('S'));
  catcher.signal(SIGILL);
}

// Every line whole, and nothing but the loop's and the handler's lines.
void expect_whole_lines(const std::string& output) {
  EXPECT_EQ(count(output, kLoop) * kLoop.size() + count(output, kCaught) * kCaught.size(),
            output.size())
      << output;
}

TEST_F(CatcherTest, EachSignalHoldsTheLoopForFiveSeconds) {
  Process catcher("catcher");
  ASSERT_TRUE(catcher.wait_for(kLoop, 2));
  signal_when_asleep(catcher);
  ASSERT_TRUE(catcher.wait_for(kCaught));
  double held = seconds_until(catcher, kLoop, 3);
  EXPECT_GT(held, 4.5);
  EXPECT_LT(held, 5.8);

  // Long after, the handler is still installed and behaves the same.
  ASSERT_TRUE(catcher.wait_for(kLoop, 5));
  signal_when_asleep(catcher);
  ASSERT_TRUE(catcher.wait_for(kCaught, 2));
  held = seconds_until(catcher, kLoop, 6);
  EXPECT_GT(held, 4.5);
  EXPECT_LT(held, 5.8);

  catcher.signal(SIGINT);
  EXPECT_EQ(catcher.wait_exit().signal, SIGINT);
  std::string output = catcher.output();
  expect_whole_lines(output);
  EXPECT_EQ(count(output, std::string(kLoop) + std::string(kCaught) + std::string(kLoop)), 2);
}

TEST_F(CatcherTest, ASecondSignalDuringTheHoldIsHandledAfterIt) {
  Process catcher("catcher");
  ASSERT_TRUE(catcher.wait_for(kLoop));
  signal_when_asleep(catcher);
  ASSERT_TRUE(catcher.wait_for(kCaught));
  catcher.signal(SIGILL);
  catcher.signal(SIGILL);  // merges with the one held back
  double apart = seconds_until(catcher, kCaught, 2);
  EXPECT_GT(apart, 4.5);
  EXPECT_LT(apart, 5.8);
  ASSERT_TRUE(catcher.wait_for(std::string(kCaught) + std::string(kLoop), 1, 7s));
  EXPECT_EQ(count(catcher.output(), kCaught), 2);
  expect_whole_lines(catcher.output());
}

TEST_F(CatcherTest, ASignalHeldBackDuringAPrintCutsTheNextSleepShort) {
  Process catcher("catcher");
  ASSERT_TRUE(catcher.wait_for(kLoop));
  catcher.type("\x13");  // Ctrl-S: the terminal holds the next line back
  ASSERT_TRUE(catcher.wait_call("write"));
  catcher.signal(SIGILL);
  catcher.type("\x11");  // Ctrl-Q
  ASSERT_TRUE(catcher.wait_for(std::string(kLoop) + std::string(kCaught)));
  double held = seconds_until(catcher, kLoop, 3);
  EXPECT_GT(held, 4.5);
  EXPECT_LT(held, 5.8) << "the hold stood for the sleep";
}

TEST_F(CatcherTest, IntoAPipeItsLinesDieInTheBufferWithIt) {
  Process catcher("catcher", {.io = Io::Pipes});
  ASSERT_TRUE(catcher.wait_state('S'));
  catcher.signal(SIGILL);
  catcher.signal(SIGINT);
  EXPECT_EQ(catcher.wait_exit().signal, SIGINT);
  EXPECT_EQ(catcher.output(), "");
}

}  // namespace
}  // namespace kit
