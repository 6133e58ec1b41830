// pipechat-server: a FIFO server for pipechat. Makes "srvfifo" in the working
// directory if it is missing, reads NUL-ended messages from it, and answers
// each through "clififo" with the message upper-cased and a NUL.
//
// Run it in one terminal, then pipechat in another, in the same directory.
// It serves one client after another until interrupted.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

constexpr const char* kServerFifo = "srvfifo";
constexpr const char* kClientFifo = "clififo";
constexpr mode_t kServerFifoMode = 0600;
constexpr size_t kReplyLimit = 255;  // the client reads at most 256 bytes
constexpr useconds_t kClientFifoPoll = 10'000;

// The client makes "clififo" only after sending its first message, so wait
// for it to appear. Opening for writing blocks until the client reads.
int open_client_fifo() {
  for (;;) {
    int fd = open(kClientFifo, O_WRONLY);
    if (fd >= 0 || errno != ENOENT) return fd;
    usleep(kClientFifoPoll);
  }
}

void answer(const std::string& message) {
  std::string text = message;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  printf("received \"%s\"\n", text.c_str());

  std::string reply;
  for (unsigned char c : text) reply += static_cast<char>(toupper(c));
  if (reply.size() > kReplyLimit) reply.resize(kReplyLimit);

  int fd = open_client_fifo();
  if (fd < 0) {
    fprintf(stderr, "pipechat-server: open %s: %s\n", kClientFifo, strerror(errno));
    return;
  }
  // The reply and its NUL in one write, as the client takes it in one read.
  if (write(fd, reply.c_str(), reply.size() + 1) < 0)
    fprintf(stderr, "pipechat-server: write %s: %s\n", kClientFifo, strerror(errno));
  else
    printf("replied \"%s\"\n", reply.c_str());
  close(fd);
}

int main() {
  // A client that leaves between our open and write must not end the server.
  signal(SIGPIPE, SIG_IGN);
  if (mkfifo(kServerFifo, kServerFifoMode) < 0 && errno != EEXIST) {
    fprintf(stderr, "pipechat-server: mkfifo %s: %s\n", kServerFifo, strerror(errno));
    return 1;
  }

  for (;;) {
    puts("waiting for a client on srvfifo");
    // Blocks until a client opens the FIFO for writing.
    int fd = open(kServerFifo, O_RDONLY);
    if (fd < 0) {
      fprintf(stderr, "pipechat-server: open %s: %s\n", kServerFifo, strerror(errno));
      return 1;
    }
    // Messages arrive as a byte stream; each ends at its NUL.
    std::string pending;
    std::array<char, 512> buffer;
    ssize_t got;
    while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
      pending.append(buffer.data(), got);
      for (size_t end; (end = pending.find('\0')) != std::string::npos;) {
        answer(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
    close(fd);
    puts("client has gone");
  }
}
