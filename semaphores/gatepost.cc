// gatepost: the posting half of the semaphore pair. Opens the existing set
// under key 1234 and posts one unit for every character read.
//
// Start gatewait first (it creates the set), then run this in another
// terminal and press Enter: the waiter prints "I got semaphore".
#include <cstdio>

#include "mysem.h"

constexpr int kKey = 1234;

int main() {
  int semid = mysem_open(kKey);
  if (semid < 0) {
    perror("Sem open failed");
    return 1;
  }
  printf("Semid = %d\n", semid);

  for (;;) {
    puts("Press enter key to send semaphore");
    // Every post stands for one character read: at the end of input there
    // is nothing more to post for.
    if (getchar() == EOF) return 0;
    // A set removed meanwhile makes the post fail; the demonstration just
    // prompts again.
    mysem_post(semid);
  }
}
