// slatewatch-client: the segment client for slatewatch. Attaches the 20-byte
// segment under key 10, shows the text that slatewatch left there, and writes
// an answer beginning with 'A' (by default "Aloha", or the first argument).
//
// Start slatewatch in one terminal, then this in another.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

constexpr key_t kKey = 10;
constexpr size_t kSize = 20;
constexpr char kAnswerFlag = 'A';
constexpr std::string_view kDefaultAnswer = "Aloha";

int main(int argc, char** argv) {
  std::string_view answer = argc > 1 ? argv[1] : kDefaultAnswer;
  bool help = answer == "--help";
  if (help || argc > 2 || answer.empty() || answer[0] != kAnswerFlag || answer.size() >= kSize) {
    fprintf(help ? stdout : stderr,
            "usage: slatewatch-client [ANSWER]\n"
            "  ANSWER begins with 'A' and has at most %zu characters\n",
            kSize - 1);
    return help ? 0 : 2;
  }

  int id = shmget(kKey, kSize, 0);
  if (id < 0) {
    fprintf(stderr,
            "slatewatch-client: no segment of %zu bytes under key %d (%s): "
            "start slatewatch first\n",
            kSize, kKey, strerror(errno));
    return 1;
  }
  auto slate = static_cast<char*>(shmat(id, nullptr, 0));
  if (slate == reinterpret_cast<char*>(-1)) {
    fprintf(stderr, "slatewatch-client: shmat: %s\n", strerror(errno));
    return 1;
  }
  printf("read: %.*s\n", static_cast<int>(strnlen(slate, kSize)), slate);

  // Everything after the flag first, the flag last: slatewatch reads the
  // answer as soon as it sees 'A' in byte 0.
  memcpy(slate + 1, answer.data() + 1, answer.size() - 1);
  slate[answer.size()] = '\0';
  std::atomic_ref<char>(slate[0]).store(kAnswerFlag, std::memory_order_release);
  printf("answered: %.*s\n", static_cast<int>(answer.size()), answer.data());
  return 0;
}
