// slatewatch: the server side of a one-shot exchange through a System V
// shared-memory segment. Writes "tolvane" into the 20-byte segment under key
// 10, looks once a second for a client's answer ('A' in the first byte),
// prints the answer and exits.
//
// Start it in one terminal, then slatewatch-client in another. The segment
// stays in the system afterwards, holding the answer: ipcrm -M 10.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

constexpr key_t kKey = 10;
constexpr size_t kSize = 20;
constexpr int kMode = 0666;
constexpr std::string_view kText = "tolvane";
constexpr char kAnswerFlag = 'A';
constexpr unsigned kLookInterval = 1;

int main() {
  int id = shmget(kKey, kSize, IPC_CREAT | kMode);
  if (id < 0) {
    printf("shmget");
    exit(1);
  }
  auto slate = static_cast<char*>(shmat(id, nullptr, 0));
  if (slate == reinterpret_cast<char*>(-1)) {
    printf("shmat");
    exit(1);
  }

  memcpy(slate, kText.data(), kText.size());
  slate[kText.size()] = '\0';

  // The client puts its whole answer in place before the flag; the acquiring
  // look makes sure we read that answer, not what was there before.
  std::atomic_ref<char> flag(slate[0]);
  while (flag.load(std::memory_order_acquire) != kAnswerFlag) sleep(kLookInterval);

  // Up to the first NUL, and never beyond the segment.
  for (size_t i = 0; i < kSize && slate[i] != '\0'; i++) putchar(slate[i]);
  putchar('\n');
  return 0;
}
