// gatewait: the waiting half of the semaphore pair. Creates (or finds) the
// one-semaphore set under key 1234 and takes a unit from it for ever,
// printing a line each time it is let through.
//
// Run it in one terminal, then gatepost in another; each character typed
// into gatepost lets this program print "I got semaphore" once.
#include <cerrno>
#include <cstdio>

#include "mysem.h"

constexpr int kKey = 1234;

int main() {
  int semid = mysem_init(kKey);
  if (semid < 0) {
    perror("sem open failed\n");
    return 1;
  }
  printf("semid = %d\n", semid);

  for (;;) {
    if (mysem_wait(semid) == 0) {
      puts("I got semaphore");
      continue;
    }
    // A stop and continue from the shell fails the wait with EINTR even
    // without a handler; the unit was not taken, so wait again.
    if (errno == EINTR) continue;
    // The set is gone (removed by turnstile, say): nothing left to wait on.
    perror("gatewait: semaphore wait failed");
    return 1;
  }
}
