// turnstile: mutual exclusion with a System V semaphore used as a lock
// (1 free, 0 held). Start two or more copies in separate terminals; each
// takes the lock six times, holds it until Enter is pressed in its own
// terminal, and the first to finish removes the set under key 1234.
//
// The lock operations carry SEM_UNDO, so a copy killed while holding the
// lock gives it back. Each copy's set-up forces the value to 1, whatever
// another copy holds at that moment: start the copies while the lock is free.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

// The platform leaves this union to the caller.
union semun {
  int val;
  struct semid_ds *buf;
  unsigned short *array;
};

constexpr key_t kKey = 1234;
constexpr int kSetMode = 0666;
constexpr int kTurns = 6;
constexpr unsigned kStartDelay = 3;
constexpr unsigned kPause = 1;

int sem_id;
struct sembuf sem_op;
union semun sem_union;

int get_semaphore() {
  sem_op.sem_num = 0;
  sem_op.sem_op = -1;
  sem_op.sem_flg = SEM_UNDO;
  int rc;
  // A stop and continue interrupts a blocked take with EINTR; the unit was
  // not taken, so wait again rather than run the turn without the lock.
  do {
    rc = semop(sem_id, &sem_op, 1);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    puts("Failed to get the sempahore");
    return -1;
  }
  return 0;
}

int release_semaphore() {
  sem_op.sem_num = 0;
  sem_op.sem_op = 1;
  sem_op.sem_flg = SEM_UNDO;
  if (semop(sem_id, &sem_op, 1) < 0) {
    puts("Failed to release semaphore");
    return -1;
  }
  return 0;
}

int main() {
  sleep(kStartDelay);

  // Not examined: a failed creation shows up in every later step.
  sem_id = semget(kKey, 1, IPC_CREAT | kSetMode);
  sem_union.val = 1;
  if (semctl(sem_id, 0, SETVAL, sem_union) < 0) puts("error");

  for (int turn = 0; turn < kTurns; turn++) {
    get_semaphore();
    printf("%d:got the semaphore\n", getpid());
    getchar();
    printf("%d:released the semapore\n", getpid());
    release_semaphore();
    sleep(kPause);
  }

  if (semctl(sem_id, 0, IPC_RMID, sem_union) < 0)
    puts("Failed to delete the semaphore");
  else
    puts("Semaphore deleted");
  return 0;
}
