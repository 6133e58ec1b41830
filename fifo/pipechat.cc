// pipechat: the client side of a request-and-reply exchange over two named
// pipes in the working directory. Each line typed goes to the server through
// "srvfifo" as its text and a NUL; the server's reply comes back through
// "clififo" and is printed.
//
// Start pipechat-server in one terminal, then this in another, in the same
// directory, and type a line.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "open_fifo.h"
#include "standard_streams.h"

constexpr const char* kServerFifo = "srvfifo";
constexpr const char* kClientFifo = "clififo";
constexpr mode_t kClientFifoMode = 0600;
constexpr size_t kMessageSize = 256;  // a line of at most 255 characters and its NUL
constexpr size_t kReplySize = 256;
// A server that never lets go of its end of the client FIFO costs at most
// this much per exchange.
constexpr long kServerLetGoMs = 3000;

long now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1'000'000;
}

// A server may hold its end of the client FIFO for a while after replying.
// Were the next exchange to open the FIFO before that end is closed, its open
// would return at once and the late close would read as an empty reply,
// putting every later reply one exchange behind. So an exchange's read end is
// kept until its writer hangs up; closing it waits for that, and bytes beyond
// the one reply are dropped. Called once the next line has been read, so
// that at a keyboard the server has long let go. False when the writer was
// still there at the bound: its hang-up may come in the next exchange.
bool close_after_hangup(int fd) {
  std::array<char, kReplySize> rest;
  pollfd end{fd, POLLIN, 0};
  long deadline = now_ms() + kServerLetGoMs;
  long left;
  ssize_t got = 1;
  while ((left = deadline - now_ms()) > 0 && poll(&end, 1, static_cast<int>(left)) > 0 &&
         (got = read(fd, rest.data(), rest.size())) > 0) {
  }
  close(fd);
  return got == 0;
}

// A client FIFO that another user made, or that others may open, carries
// someone else's replies, or gives ours away: not ours to use.
[[noreturn]] void refuse_client_fifo() {
  puts("clififo is not this client's: another user made it, or others may open it");
  exit(1);
}

// Opens the client FIFO for reading, making it first if it is not there.
// Blocks until the server opens it for writing. Exits on failure, and when
// something other than a FIFO, or a FIFO not our own, stands under its name.
int open_client_fifo() {
  int fd = open_fifo(kClientFifo, O_RDONLY, true);
  if (fd < 0 && errno == EPERM) refuse_client_fifo();
  if (fd >= 0) return fd;
  if (mkfifo(kClientFifo, kClientFifoMode) < 0) {
    puts("Error in creating client FIFO");
    exit(1);
  }
  fd = open_fifo(kClientFifo, O_RDONLY, true);
  if (fd < 0 && errno == EPERM) refuse_client_fifo();
  if (fd < 0) {
    puts("Error in opening client FIFO");
    exit(1);
  }
  puts("Created client FIFO");
  return fd;
}

int main() {
  // With standard output closed, the server FIFO would take its number and
  // our own lines would be sent as messages.
  if (!kit::standard_streams_open()) return 1;
  // Before any message goes out: a client FIFO already there must be ours.
  struct stat found;
  if (stat(kClientFifo, &found) == 0 && S_ISFIFO(found.st_mode) && !private_fifo(found))
    refuse_client_fifo();
  // Blocks until the server has the FIFO open for reading. Kept open for the
  // whole run; once the server has gone, a write raises SIGPIPE and ends us.
  int server = open_fifo(kServerFifo, O_WRONLY);
  if (server < 0) {
    puts("Error in opening server FIFO");
    return 1;
  }

  std::array<char, kMessageSize> message;
  std::array<char, kReplySize> reply;
  int previous = -1;  // the last exchange's read end, until its writer hangs up
  for (;;) {
    puts("Connected to server");
    puts("Enter some message to send to server");
    // At the end of input there is no new message: send nothing more.
    if (fgets(message.data(), message.size(), stdin) == nullptr) return 0;
    // Closed before the message goes: a read end still open when the server
    // opens the FIFO for its reply would let that open through before ours.
    bool late_writer = previous >= 0 && !close_after_hangup(previous);
    // The text up to its first NUL, and that NUL. A server that has gone
    // ends the client by SIGPIPE; where a parent left that signal ignored,
    // the write fails with EPIPE instead, and the client ends all the same,
    // saying why, rather than wait for ever for a reply.
    ssize_t sent = write(server, message.data(), strlen(message.data()) + 1);
    if (sent < 0 && errno == EPIPE) {
      puts("The server has gone: the message was not sent");
      return 1;
    }
    puts("Sent given message to server");

    int client = open_client_fifo();
    puts("waiting for response message from server");
    ssize_t got = read(client, reply.data(), reply.size());
    // The last exchange's writer, still there after the bound, hangs up with
    // no bytes: that is no reply. The server's own open for this one comes
    // next, or has come already: a new read end is opened before the old one
    // closes, so that the FIFO never lacks a reader and a reply written in
    // between stays in it, and it waits for the server's write or hang-up.
    if (got == 0 && late_writer) {
      int fresh = open_fifo(kClientFifo, O_RDONLY | O_NONBLOCK, true);
      if (fresh < 0 && errno == EPERM) refuse_client_fifo();
      close(client);
      client = fresh;
      pollfd answer{client, POLLIN, 0};
      got = client < 0 || poll(&answer, 1, -1) < 0 ? -1 : read(client, reply.data(), reply.size());
      if (client >= 0) fcntl(client, F_SETFL, fcntl(client, F_GETFL) & ~O_NONBLOCK);
    }
    if (got <= 0) {
      puts("No response message from server");
    } else {
      // Only the bytes this read returned, up to the first NUL if there is one.
      auto end = static_cast<const char*>(memchr(reply.data(), '\0', got));
      int length = end ? static_cast<int>(end - reply.data()) : static_cast<int>(got);
      printf("%.*s\n", length, reply.data());
    }
    previous = client;
  }
}
