// The semaphore wrapper that gatewait and gatepost share. Operations carry no
// SEM_UNDO: a post or a take outlives the process that made it.
#include "mysem.h"

#include <sys/ipc.h>
#include <sys/sem.h>

namespace {

constexpr int kSetMode = 0660;

int operate(int semid, short amount) {
  sembuf op{};
  op.sem_num = 0;
  op.sem_op = amount;
  op.sem_flg = 0;
  return semop(semid, &op, 1);
}

}  // namespace

// A new semaphore starts at 0 on Linux, so the first wait blocks until the
// first post; an existing set keeps its value.
int mysem_init(int key) { return semget(key, 1, IPC_CREAT | kSetMode); }

// Asks for no access rights: a set this user may not use is refused at the
// first operation, not here.
int mysem_open(int key) { return semget(key, 1, 0); }

int mysem_post(int semid) { return operate(semid, +1); }

int mysem_wait(int semid) { return operate(semid, -1); }

int mysem_destroy(int semid) { return semctl(semid, 0, IPC_RMID, 0); }
