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
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr const char* kServerFifo = "srvfifo";
constexpr const char* kClientFifo = "clififo";
constexpr mode_t kClientFifoMode = 0600;
constexpr size_t kMessageSize = 256;  // a line of at most 255 characters and its NUL
constexpr size_t kReplySize = 256;
// A server that keeps its end open across replies costs at most this much.
constexpr int kServerCloseGraceMs = 100;

// After its reply the server still holds its end of the client FIFO for a
// moment. Were the next exchange to open the FIFO before that end is closed,
// its open would return at once and the close would read as an empty reply,
// putting every later reply one exchange behind. So wait, briefly, for the
// server to let go (the hangup); bytes beyond the one reply are dropped.
void await_server_close(int fd) {
  pollfd end{fd, POLLIN, 0};
  poll(&end, 1, kServerCloseGraceMs);
}

// Opens the client FIFO for reading, making it first if it is not there.
// Blocks until the server opens it for writing. Exits on failure.
int open_client_fifo() {
  int fd = open(kClientFifo, O_RDONLY);
  if (fd >= 0) return fd;
  if (mkfifo(kClientFifo, kClientFifoMode) < 0) {
    puts("Error in creating client FIFO");
    exit(1);
  }
  fd = open(kClientFifo, O_RDONLY);
  if (fd < 0) {
    puts("Error in opening client FIFO");
    exit(1);
  }
  puts("Created client FIFO");
  return fd;
}

int main() {
  // Blocks until the server has the FIFO open for reading. Kept open for the
  // whole run; once the server has gone, a write raises SIGPIPE and ends us.
  int server = open(kServerFifo, O_WRONLY);
  if (server < 0) {
    puts("Error in opening server FIFO");
    return 1;
  }

  std::array<char, kMessageSize> message;
  std::array<char, kReplySize> reply;
  for (;;) {
    puts("Connected to server");
    puts("Enter some message to send to server");
    // At the end of input there is no new message: send nothing more.
    if (fgets(message.data(), message.size(), stdin) == nullptr) return 0;
    // The text up to its first NUL, and that NUL.
    write(server, message.data(), strlen(message.data()) + 1);
    puts("Sent given message to server");

    int client = open_client_fifo();
    puts("waiting for response message from server");
    ssize_t got = read(client, reply.data(), reply.size());
    if (got <= 0) {
      puts("No response message from server");
    } else {
      // Only the bytes this read returned, up to the first NUL if there is one.
      auto end = static_cast<const char*>(memchr(reply.data(), '\0', got));
      int length = end ? static_cast<int>(end - reply.data()) : static_cast<int>(got);
      printf("%.*s\n", length, reply.data());
    }
    // Closed after each exchange: a read end left open would let the server's
    // next open for writing complete before we read, and they would pile up.
    await_server_close(client);
    close(client);
  }
}
