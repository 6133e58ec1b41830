#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness.h"

namespace kit {
namespace {

const std::string kPrompt = "Connected to server\nEnter some message to send to server\n";
const std::string kSent = "Sent given message to server\n";
const std::string kCreated = "Created client FIFO\n";
const std::string kWaiting = "waiting for response message from server\n";

std::string bytes(const char* text, size_t size) { return std::string(text, size); }

// A server written for the tests: it sees the exact bytes on the wire and
// replies whatever a test asks, however awkward.
class TestServer {
 public:
  TestServer() {
    EXPECT_EQ(mkfifo("srvfifo", 0600), 0);
    // A reader that is already there lets the client's open go through.
    fd_ = open("srvfifo", O_RDONLY | O_NONBLOCK);
  }
  ~TestServer() { close(fd_); }

  // The next message: its bytes up to and including the NUL.
  std::string message() {
    std::string got;
    eventually([&] {
      char c;
      while (read(fd_, &c, 1) == 1) {
        got += c;
        if (c == '\0') return true;
      }
      return false;
    });
    return got;
  }

  // Opens "clififo" once the client reads it, writes `reply`, and closes
  // after `hold`: a slow server keeps its end a while.
  void reply(std::string_view reply, Duration hold = 0ms) {
    int fd = -1;
    ASSERT_TRUE(eventually([&] { return (fd = open("clififo", O_WRONLY | O_NONBLOCK)) >= 0; }));
    EXPECT_EQ(write(fd, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    std::this_thread::sleep_for(hold);
    close(fd);
  }

  // True when the client has closed its end without sending another byte.
  bool ended_quietly() {
    char c;
    ssize_t got = -1;
    eventually([&] { return (got = read(fd_, &c, 1)) >= 0; });
    return got == 0;
  }

 private:
  int fd_;
};

// Sends one message to a server, as a client would.
void send(std::string_view message) {
  int fd = open("srvfifo", O_WRONLY);
  EXPECT_EQ(write(fd, message.data(), message.size()), static_cast<ssize_t>(message.size()));
  close(fd);
}

using PipechatTest = Sandbox;

TEST_F(PipechatTest, WithoutTheServerFifoItStopsBeforePrompting) {
  Process client("pipechat");
  EXPECT_EQ(client.wait_exit().status, 1);
  EXPECT_EQ(client.output(), "Error in opening server FIFO\n");
}

TEST_F(PipechatTest, ClientFifoThatCanBeNeitherOpenedNorMadeEndsIt) {
  TestServer server;
  ASSERT_EQ(symlink("nowhere", "clififo"), 0);
  Process client("pipechat");
  client.type("hi\n");
  EXPECT_EQ(client.wait_exit().status, 1);
  EXPECT_EQ(client.output(), kPrompt + kSent + "Error in creating client FIFO\n");
}

TEST_F(PipechatTest, TalksToTheShippedServer) {
  Process server("pipechat-server");
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n"));
  Process client("pipechat");
  client.type("hello there\n");
  ASSERT_TRUE(client.wait_for("HELLO THERE\n"));
  struct stat fifo;
  ASSERT_EQ(stat("clififo", &fifo), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
  EXPECT_EQ(fifo.st_mode & 0777, 0600 & ~mask);

  client.type("bye\n");
  ASSERT_TRUE(client.wait_for("BYE\n"));
  client.end_input();
  Ending ending = client.wait_exit();
  EXPECT_TRUE(ending.exited);
  EXPECT_EQ(ending.status, 0);
  EXPECT_EQ(client.output(), kPrompt + kSent + kCreated + kWaiting + "HELLO THERE\n" +  //
                                 kPrompt + kSent + kWaiting + "BYE\n" + kPrompt);
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n", 2));
  EXPECT_EQ(server.output(),
            "waiting for a client on srvfifo\n"
            "received \"hello there\"\nreplied \"HELLO THERE\"\n"
            "received \"bye\"\nreplied \"BYE\"\n"
            "client has gone\nwaiting for a client on srvfifo\n");
}

// Started with SIGPIPE ignored, as a parent may leave it, the client learns
// that the server has gone from the failed write, and ends saying so.
TEST_F(PipechatTest, WithSigpipeIgnoredAServerGoneEndsItSayingWhy) {
  Process server("pipechat-server");
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n"));
  Process client("/bin/sh", {.args = {"-c", "trap '' PIPE; exec " + program_path("pipechat")}});
  ASSERT_TRUE(client.wait_for(kPrompt));
  server.signal(SIGKILL);
  server.wait_exit();
  client.type("anyone?\n");
  Ending ending = client.wait_exit(5s);
  EXPECT_EQ(ending.status, 1);
  EXPECT_EQ(client.output(), kPrompt + "The server has gone: the message was not sent\n");
}

TEST_F(PipechatTest, SendsEachLineAsItsTextAndOneNul) {
  TestServer server;
  Process client("pipechat", {.io = Io::Pipes});
  client.type("\n" + std::string(300, 'x') + "\n" + bytes("ab\0cd\n", 6));
  client.end_input();
  EXPECT_EQ(server.message(), bytes("\n\0", 2));
  server.reply(bytes("ok\0", 3));
  EXPECT_EQ(server.message(), std::string(255, 'x') + '\0');
  server.reply(bytes("ok\0", 3));
  EXPECT_EQ(server.message(), std::string(45, 'x') + bytes("\n\0", 2));
  server.reply(bytes("ok\0", 3));
  EXPECT_EQ(server.message(), bytes("ab\0", 3));
  server.reply(bytes("ok\0", 3));
  EXPECT_EQ(client.wait_exit().status, 0);
  EXPECT_TRUE(server.ended_quietly()) << "nothing is sent at the end of input";
  EXPECT_EQ(count(client.output(), kSent + kCreated), 1);
  EXPECT_EQ(count(client.output(), kWaiting + "ok\n"), 4);
}

TEST_F(PipechatTest, PrintsOnlyTheBytesOfEachReply) {
  TestServer server;
  Process client("pipechat", {.io = Io::Pipes});
  client.type("1\n2\n3\n4\n");
  client.end_input();
  std::string replies[] = {std::string(256, 'y'), bytes("ok\0", 3), "", bytes("ab\0zzzz", 7)};
  for (auto& reply : replies) {
    server.message();
    server.reply(reply);
  }
  EXPECT_EQ(client.wait_exit().status, 0);
  EXPECT_EQ(client.output(), kPrompt + kSent + kCreated + kWaiting + std::string(256, 'y') + "\n" +
                                 kPrompt + kSent + kWaiting + "ok\n" +  //
                                 kPrompt + kSent + kWaiting + "No response message from server\n" +
                                 kPrompt + kSent + kWaiting + "ab\n" + kPrompt);
}

TEST_F(PipechatTest, ServerThatKeepsClififoOpenIsAnsweredInStep) {
  TestServer server;
  Process client("pipechat");
  client.type("one\n");
  server.message();
  int writer = -1;
  ASSERT_TRUE(eventually([&] { return (writer = open("clififo", O_WRONLY | O_NONBLOCK)) >= 0; }));
  ASSERT_EQ(write(writer, "first", 6), 6);
  ASSERT_TRUE(client.wait_for("first\n"));
  client.type("two\n");
  server.message();
  // The client's new read end must be open before the reply can go in.
  ASSERT_TRUE(client.wait_for(kWaiting, 2));
  ASSERT_EQ(write(writer, "second", 7), 7);
  EXPECT_TRUE(client.wait_for("second\n"));
  EXPECT_EQ(count(client.output(), "No response"), 0);
  close(writer);
}

// A server that keeps its end of clififo longer than the client waits for
// it: that end's late hang-up is no reply, and the real one is still read.
TEST_F(PipechatTest, ServerThatClosesAfterTheBoundLosesNoReply) {
  TestServer server;
  Process client("pipechat");
  client.type("a\nb\n");
  client.end_input();
  server.message();
  int writer = -1;
  ASSERT_TRUE(eventually([&] { return (writer = open("clififo", O_WRONLY | O_NONBLOCK)) >= 0; }));
  ASSERT_EQ(write(writer, "A", 2), 2);
  // Hung up only once the client, past its bound, has sent the next line and
  // waits for that line's reply.
  ASSERT_TRUE(client.wait_for(kWaiting, 2));
  close(writer);
  server.message();
  // However slow the server is to answer, the client waits for it.
  ASSERT_TRUE(client.wait_call("poll"));
  std::this_thread::sleep_for(50ms);  // a server slow to answer
  server.reply(std::string("B") + '\0');
  EXPECT_EQ(client.wait_exit().status, 0);
  EXPECT_EQ(client.output(), kPrompt + kSent + kCreated + kWaiting + "A\n" +  //
                                 kPrompt + kSent + kWaiting + "B\n" + kPrompt);
}

TEST_F(PipechatTest, ServerThatClosesLateIsAnsweredInStep) {
  for (Io io : {Io::Pipes, Io::Terminal}) {
    TestServer server;
    Process client("pipechat", {.io = io});
    client.type("a\nb\nc\nd\n");
    client.end_input();
    for (auto [reply, hold] :
         {std::pair<const char*, Duration>{"A", 300ms}, {"B", 300ms}, {"C", 2s}, {"D", 0s}}) {
      server.message();
      server.reply(std::string(reply) + '\0', hold);
    }
    EXPECT_EQ(client.wait_exit().status, 0);
    EXPECT_EQ(client.output(), kPrompt + kSent + kCreated + kWaiting + "A\n" +  //
                                   kPrompt + kSent + kWaiting + "B\n" +         //
                                   kPrompt + kSent + kWaiting + "C\n" +         //
                                   kPrompt + kSent + kWaiting + "D\n" + kPrompt);
    std::filesystem::remove_all("srvfifo");
    std::filesystem::remove_all("clififo");
  }
}

TEST_F(PipechatTest, ServerThatWritesAndClosesAtOnceNeverHangsIt) {
  constexpr int kExchanges = 300;
  TestServer server;
  Process client("pipechat", {.io = Io::Pipes, .limits = {{RLIMIT_NOFILE, 32}}});
  std::string lines;
  for (int i = 0; i < kExchanges; i++) lines += "m\n";
  client.type(lines);
  client.end_input();
  for (int i = 0; i < kExchanges; i++) {
    ASSERT_EQ(server.message(), bytes("m\n\0", 3)) << "exchange " << i;
    server.reply(bytes("r\0", 2));
    ASSERT_FALSE(HasFatalFailure()) << "exchange " << i;
    client.output();  // keep its output pipe from filling
  }
  EXPECT_EQ(client.wait_exit().status, 0);
  EXPECT_EQ(count(client.output(), kWaiting + "r\n"), kExchanges);
}

// Into a pipe, what client and server print stays in their buffers until
// they exit: a signal that ends them loses it, however far they have got.
TEST_F(PipechatTest, IntoAPipeItsLinesDieInTheBufferWithIt) {
  TestServer server;
  Process client("pipechat", {.io = Io::Pipes});
  ASSERT_TRUE(client.wait_call("read"));  // waiting for a line
  client.type("hi\n");
  EXPECT_EQ(server.message(), bytes("hi\n", 4));
  server.reply(bytes("HI", 3));
  client.type("again\n");
  EXPECT_EQ(server.message(), bytes("again\n", 7));
  server.reply("");  // no response this time
  client.type("more\n");
  EXPECT_EQ(server.message(), bytes("more\n", 6)) << "both exchanges are over";
  client.signal(SIGINT);
  EXPECT_EQ(client.wait_exit().signal, SIGINT);
  EXPECT_EQ(client.output(), "");
}

TEST_F(PipechatTest, IntoAPipeTheServersLinesDieInTheBufferWithIt) {
  Process server("pipechat-server", {.io = Io::Pipes});
  ASSERT_TRUE(server.wait_call("open"));
  Process client("pipechat", {.io = Io::Pipes});
  client.type("hi\n");
  client.end_input();
  ASSERT_EQ(client.wait_exit().status, 0);
  ASSERT_EQ(count(client.output(), "HI\n"), 1);
  ASSERT_TRUE(server.wait_call("open")) << "waiting for the next client";
  server.signal(SIGINT);
  EXPECT_EQ(server.wait_exit().signal, SIGINT);
  EXPECT_EQ(server.output(), "");
}

TEST_F(PipechatTest, AClientFifoItMayNotOpenEndsIt) {
  require_root();
  TestServer server;
  ASSERT_EQ(chmod("srvfifo", 0666), 0);
  mode_t mask = umask(0777);  // the FIFO it makes is then open to no one
  Process client("pipechat", {.unprivileged = true});
  umask(mask);
  client.type("hi\n");
  EXPECT_EQ(client.wait_exit().status, 1);
  EXPECT_EQ(client.output(), kPrompt + kSent + "Error in opening client FIFO\n");
}

// Started with 0 to 2 closed, the server holds /dev/null there as a shell's
// </dev/null >/dev/null 2>&1 would: for reading on 0, for writing on 1 and 2.
TEST_F(PipechatTest, WithoutStandardStreamsTheServerHoldsDevNullTheRightWayRound) {
  Process server("pipechat-server", {.closed = {0, 1, 2}});
  ASSERT_TRUE(server.wait_call("open"));
  std::string fds = "/proc/" + std::to_string(server.pid()) + "/fd";
  for (int fd : {0, 1, 2}) {
    EXPECT_EQ(std::filesystem::read_symlink(fds + "/" + std::to_string(fd)), "/dev/null") << fd;
    std::ifstream info(fds + "info/" + std::to_string(fd));
    std::string field;
    int flags = -1;
    while (info >> field)
      if (field == "flags:") info >> std::oct >> flags;
    EXPECT_EQ(flags & O_ACCMODE, fd == 0 ? O_RDONLY : O_WRONLY) << fd;
  }
}

TEST_F(PipechatTest, WithStandardOutputClosedOnlyTheMessagesGoOut) {
  TestServer server;
  Process client("pipechat", {.io = Io::Pipes, .closed = {1}});
  client.type("hi\n");
  client.end_input();
  EXPECT_EQ(server.message(), bytes("hi\n\0", 4));
  server.reply(bytes("HI\0", 3));
  EXPECT_EQ(client.wait_exit().status, 0);
  EXPECT_TRUE(server.ended_quietly()) << "its own lines went into srvfifo";
  EXPECT_EQ(client.output(), "") << "nor anywhere else";
}

// Whatever may stand under a FIFO's name by accident or by attack.
enum class Impostor { File, Symlink, Directory };
constexpr Impostor kImpostors[] = {Impostor::File, Impostor::Symlink, Impostor::Directory};
const std::string kImportant = "IMPORTANT DATA";

int opens = -1;  // inotify, for whoever opens the impostor: never the programs

// Puts an impostor under `name`; the file whose bytes must survive is "kept"
// (a regular file under the name, or a symlink's target).
void plant(const char* name, Impostor kind) {
  opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (kind == Impostor::Directory) {
    ASSERT_EQ(mkdir(name, 0700), 0);
    ASSERT_EQ(mkdir("kept", 0700), 0);
    ASSERT_GE(inotify_add_watch(opens, name, IN_OPEN), 0);
    return;
  }
  std::ofstream("kept") << kImportant;
  // A regular file under the name is "kept" itself, under a second name.
  ASSERT_EQ(kind == Impostor::Symlink ? symlink("kept", name) : link("kept", name), 0);
  ASSERT_GE(inotify_add_watch(opens, "kept", IN_OPEN), 0);
}

// The impostor was never opened, and its bytes are as planted; then it is
// cleared for the next one.
void expect_untouched_and_clear(const char* name) {
  std::array<char, 256> events;
  EXPECT_LT(read(opens, events.data(), events.size()), 0) << name << " was opened";
  close(opens);
  struct stat kept;
  ASSERT_EQ(stat("kept", &kept), 0);
  if (!S_ISDIR(kept.st_mode)) {
    std::stringstream bytes;
    bytes << std::ifstream("kept").rdbuf();
    EXPECT_EQ(bytes.str(), kImportant) << name;
  }
  for (const char* path : {name, "kept", "srvfifo", "clififo"}) std::filesystem::remove_all(path);
}

TEST_F(PipechatTest, ClientReadsAndWritesNothingButFifos) {
  for (Impostor kind : kImpostors) {
    plant("srvfifo", kind);
    Process early("pipechat");
    EXPECT_EQ(early.wait_exit().status, 1);
    EXPECT_EQ(early.output(), "Error in opening server FIFO\n");
    expect_untouched_and_clear("srvfifo");

    TestServer server;
    plant("clififo", kind);
    Process late("pipechat");
    late.type("hello\n");
    EXPECT_EQ(late.wait_exit().status, 1);
    EXPECT_EQ(late.output(), kPrompt + kSent + "Error in creating client FIFO\n");
    expect_untouched_and_clear("clififo");
  }
}

TEST_F(PipechatTest, ServerReadsAndWritesNothingButFifos) {
  for (Impostor kind : kImpostors) {
    plant("srvfifo", kind);
    Process early("pipechat-server");
    EXPECT_EQ(early.wait_exit().status, 1);
    EXPECT_EQ(early.errors(), "pipechat-server: srvfifo is not a named pipe\n");
    expect_untouched_and_clear("srvfifo");

    plant("clififo", kind);
    Process late("pipechat-server");
    ASSERT_TRUE(late.wait_for("waiting for a client on srvfifo\n"));
    send(bytes("hello\0", 6));
    EXPECT_EQ(late.wait_exit().status, 1);
    EXPECT_EQ(late.errors(), "pipechat-server: clififo is not a named pipe\n");
    expect_untouched_and_clear("clififo");
  }
}

// A srvfifo that another user made, even one closed to others, or one that
// others may open, is not the server's: it would serve messages injected in
// a client's place.
TEST_F(PipechatTest, ServerRefusesASrvfifoNotItsOwn) {
  require_root();
  const std::string refused =
      "pipechat-server: srvfifo is not this server's: another user made it, or others may open "
      "it\n";
  ASSERT_EQ(mkfifo("srvfifo", 0600), 0);  // root's alone
  Process theirs("pipechat-server", {.unprivileged = true});
  EXPECT_EQ(theirs.wait_exit().status, 1);
  EXPECT_EQ(theirs.errors(), refused);
  ASSERT_EQ(chmod("srvfifo", 0666), 0);  // ours, but open to all
  Process open_to_all("pipechat-server");
  EXPECT_EQ(open_to_all.wait_exit().status, 1);
  EXPECT_EQ(open_to_all.errors(), refused);
  // And where it may make none, it says why.
  ASSERT_EQ(unlink("srvfifo"), 0);
  ASSERT_EQ(chmod(".", 0755), 0);
  Process barred("pipechat-server", {.unprivileged = true});
  EXPECT_EQ(barred.wait_exit().status, 1);
  EXPECT_EQ(barred.errors(), "pipechat-server: mkfifo srvfifo: Permission denied\n");
  chmod(".", 0777);
}

// In a shared folder another user may make clififo before the client does,
// to answer in the server's place or read its replies: the client refuses
// any that is not its own, before it sends anything.
TEST_F(PipechatTest, RefusesAClientFifoNotItsOwn) {
  require_root();
  const std::string refused =
      "clififo is not this client's: another user made it, or others may open it\n";
  for (auto [owner, mode] : {std::pair{65534u, 0600}, {0u, 0666}, {65534u, 0666}}) {
    TestServer server;
    unlink("clififo");
    ASSERT_EQ(mkfifo("clififo", 0600), 0);
    ASSERT_EQ(chmod("clififo", mode), 0);
    ASSERT_EQ(chown("clififo", owner, owner), 0);
    Process client("pipechat");
    client.type("secret\n");
    EXPECT_EQ(client.wait_exit().status, 1) << owner << " " << mode;
    EXPECT_EQ(client.output(), refused);
    EXPECT_TRUE(server.ended_quietly()) << "nothing sent";
    unlink("srvfifo");
  }
}

TEST_F(PipechatTest, ServerSleepsWhileTheClientFifoIsMissing) {
  Process server("pipechat-server");
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n"));
  // A client keeps its end of srvfifo open while it waits for the reply.
  int client = open("srvfifo", O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(write(client, "hi", 3), 3);
  EXPECT_TRUE(server.wait_call("nanosleep")) << "it looks for clififo now and then, asleep between";
  ASSERT_EQ(mkfifo("clififo", 0600), 0);
  int reply = open("clififo", O_RDONLY);
  std::array<char, 8> got{};
  EXPECT_EQ(read(reply, got.data(), got.size()), 3);
  EXPECT_STREQ(got.data(), "HI");
  close(reply);
  // srvfifo gone before the next client: the server says why it stops.
  ASSERT_EQ(unlink("srvfifo"), 0);
  close(client);
  EXPECT_EQ(server.wait_exit().status, 1);
  EXPECT_EQ(server.errors(), "pipechat-server: open srvfifo: No such file or directory\n");
}

// A client that sends and goes before it reads its reply: the server drops
// that reply, rather than wait on clififo for ever or give it to the next
// client, even with clififo removed meanwhile.
TEST_F(PipechatTest, ServerNeverGivesAGoneClientsReplyToTheNext) {
  Process server("pipechat-server");
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n"));
  ASSERT_EQ(mkfifo("clififo", 0600), 0);
  send(bytes("secret of a\0", 12));  // and gone
  ASSERT_TRUE(server.wait_for("client has gone before its reply: not sent\n")) << server.output();
  // Back to waiting first: a client that opens srvfifo before the server has
  // seen the last one close joins that one's session.
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n", 2));
  Process client("pipechat");
  client.type("hello\n");
  ASSERT_TRUE(client.wait_for("HELLO\n")) << client.output();
  EXPECT_EQ(count(client.output(), "SECRET"), 0);
  client.end_input();
  client.wait_exit();
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n", 3));
  send(bytes("again\0", 6));
  unlink("clififo");  // the README's clean-up, while the server waits
  EXPECT_TRUE(server.wait_for("client has gone before its reply: not sent\n", 2))
      << server.output();
  EXPECT_TRUE(server.wait_for("waiting for a client on srvfifo\n", 4));
}

}  // namespace
}  // namespace kit
