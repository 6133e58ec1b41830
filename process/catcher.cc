// catcher: a signal handler installed by the user. Prints a line once a
// second; signal 4 (SIGILL) runs mysighandler, which announces it and holds
// the process for 5 seconds before the loop goes on.
//
// Run it, then from another terminal: kill -4 PID (or kill -ILL PID).
// Ctrl-C ends it.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

constexpr int kCaught = SIGILL;
constexpr unsigned kHold = 5;
constexpr unsigned kPause = 1;

// Set by the handler: the loop's sleep counts as cut short.
volatile sig_atomic_t caught = 0;

// Runs only while the loop sleeps (see main), never inside the loop's own
// printing, so it may use the same output stream.
void mysighandler(int signum) {
  printf("i Caught the signal %d\n", signum);
  sleep(kHold);
  caught = 1;
}

int main() {
  // signal() keeps the handler installed, restarts interrupted calls, and
  // holds back a second signal 4 until the handler returns.
  signal(kCaught, mysighandler);

  sigset_t held;
  sigemptyset(&held);
  sigaddset(&held, kCaught);
  sigprocmask(SIG_BLOCK, &held, nullptr);
  for (;;) {
    puts("I slept for 15 seconds");
    // Open to signal 4 only while asleep: a delivery cuts the sleep short
    // and is not made up for. One held back during the print is delivered
    // as the mask opens, before the sleep begins; it too cuts it short.
    caught = 0;
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
    if (!caught) sleep(kPause);
    sigprocmask(SIG_BLOCK, &held, nullptr);
  }
}
