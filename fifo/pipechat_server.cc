// pipechat-server: a FIFO server for pipechat. Makes "srvfifo" in the working
// directory if it is missing, reads NUL-ended messages from it, and answers
// each through "clififo" with the message upper-cased and a NUL.
//
// Run it in one terminal, then pipechat in another, in the same directory.
// It serves one client after another until interrupted.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "open_fifo.h"
#include "standard_streams.h"

constexpr const char* kServerFifo = "srvfifo";
constexpr const char* kClientFifo = "clififo";
constexpr mode_t kServerFifoMode = 0600;
constexpr size_t kMessageLimit = 256;  // a message and its NUL, as the client sends them
constexpr useconds_t kClientFifoPoll = 10'000;
constexpr useconds_t kFirstLook = 50;

using Message = std::array<char, kMessageLimit>;

// Ends the server: nothing but a FIFO may be read from or written to.
[[noreturn]] void refuse(const char* path) {
  fprintf(stderr, "pipechat-server: %s is not a named pipe\n", path);
  exit(1);
}

[[noreturn]] void not_ours(const char* path) {
  fprintf(stderr,
          "pipechat-server: %s is not this server's: another user made it, or others may open "
          "it\n",
          path);
  exit(1);
}

// The client makes "clififo" only after sending its first message, so wait
// for it to appear, and then for the client to open it for reading. A
// client that has gone meanwhile hangs up its end of srvfifo (`server`),
// which a client keeps open for its whole run: then give up, with errno
// EPIPE, rather than block for ever, or hand its reply to the next client
// who opens clififo.
int open_client_fifo(int server) {
  // Looks come quickly at first, since a client opens clififo right after
  // sending, then less often, so that an exchange costs next to nothing more.
  useconds_t pause = kFirstLook;
  for (;; pause = std::min(pause * 2, kClientFifoPoll)) {
    struct stat found;
    bool there = stat(kClientFifo, &found) == 0;
    if (there && !S_ISFIFO(found.st_mode)) refuse(kClientFifo);
    if (there) {
      // Without blocking: ENXIO while no one reads it yet.
      int fd = open(kClientFifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        if (fstat(fd, &found) < 0 || !S_ISFIFO(found.st_mode)) refuse(kClientFifo);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
      }
      if (errno != ENXIO && errno != ENOENT) return -1;
    }
    pollfd hangup{server, 0, 0};
    if (poll(&hangup, 1, 0) > 0 && (hangup.revents & POLLHUP)) {
      errno = EPIPE;
      return -1;
    }
    usleep(pause);
  }
}

// Answers one message of `length` characters (its NUL not counted) from the
// client at the other end of `server`.
void answer(const Message& message, size_t length, int server) {
  if (length > 0 && message[length - 1] == '\n') length--;
  Message reply{};
  for (size_t i = 0; i < length; i++)
    reply[i] = static_cast<char>(toupper(static_cast<unsigned char>(message[i])));

  // The reply first, the report after: the client is waiting.
  int fd = open_client_fifo(server);
  if (fd < 0 && errno == EPIPE) {
    printf("received \"%.*s\"\nclient has gone before its reply: not sent\n",
           static_cast<int>(length), message.data());
    return;
  }
  if (fd < 0) {
    fprintf(stderr, "pipechat-server: open %s: %s\n", kClientFifo, strerror(errno));
    return;
  }
  // The reply and its NUL in one write, as the client takes it in one read.
  bool sent = write(fd, reply.data(), length + 1) >= 0;
  int error = errno;
  close(fd);
  printf("received \"%.*s\"\n", static_cast<int>(length), message.data());
  if (sent)
    printf("replied \"%.*s\"\n", static_cast<int>(length), reply.data());
  else
    fprintf(stderr, "pipechat-server: write %s: %s\n", kClientFifo, strerror(error));
}

int main(int argc, char** argv) {
  if (!kit::standard_streams_open()) return 1;
  if (argc > 1) {
    bool help = std::string_view(argv[1]) == "--help";
    fputs(
        "usage: pipechat-server\n"
        "  serves pipechat clients through srvfifo and clififo in this directory\n",
        help ? stdout : stderr);
    return help ? 0 : 2;
  }
  // A client that leaves between our open and write must not end the server.
  signal(SIGPIPE, SIG_IGN);
  if (mkfifo(kServerFifo, kServerFifoMode) < 0 && errno != EEXIST) {
    fprintf(stderr, "pipechat-server: mkfifo %s: %s\n", kServerFifo, strerror(errno));
    return 1;
  }
  // One that another user made, or others may open, would let them send us
  // messages in a client's place: not ours to serve.
  struct stat found;
  if (stat(kServerFifo, &found) == 0 && S_ISFIFO(found.st_mode) && !private_fifo(found))
    not_ours(kServerFifo);

  for (;;) {
    puts("waiting for a client on srvfifo");
    // Blocks until a client opens the FIFO for writing.
    int fd = open_fifo(kServerFifo, O_RDONLY, true);
    if (fd < 0 && errno == ENXIO) refuse(kServerFifo);
    if (fd < 0 && errno == EPERM) not_ours(kServerFifo);
    if (fd < 0) {
      fprintf(stderr, "pipechat-server: open %s: %s\n", kServerFifo, strerror(errno));
      return 1;
    }
    // Messages arrive as a byte stream; each ends at its NUL. A longer one
    // than the client ever sends is cut to fit.
    Message message;
    size_t length = 0;
    std::array<char, 512> buffer;
    ssize_t got;
    while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
      for (ssize_t i = 0; i < got; i++) {
        if (buffer[i] == '\0') {
          answer(message, length, fd);
          length = 0;
        } else if (length < kMessageLimit - 1) {
          message[length++] = buffer[i];
        }
      }
    }
    close(fd);
    puts("client has gone");
  }
}
