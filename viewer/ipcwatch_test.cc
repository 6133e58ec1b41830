#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <sstream>
#include <thread>

#include "harness.h"

namespace kit {
namespace {

constexpr key_t kSemaphoreKey = 1234;
constexpr key_t kSegmentKey = 10;
using IpcwatchTest = Sandbox;

// One snapshot, as a script would take it: through a pipe.
std::string snapshot(std::vector<std::string> parts = {}, Options options = {}) {
  options.io = Io::Pipes;
  options.args = std::move(parts);
  Process view("ipcwatch", options);
  EXPECT_EQ(view.wait_exit().status, 0);
  return view.output();
}

bool waiting_for_semaphore(int n) {
  return eventually([n] {
    auto set = semaphore(kSemaphoreKey);
    return set && set->waiting == n;
  });
}

TEST_F(IpcwatchTest, ShowsAbsentObjectsPlainly) {
  std::string shown = snapshot();
  EXPECT_EQ(count(shown, "Semaphore set, key 1234 (0x000004d2)\n  absent\n"), 1) << shown;
  EXPECT_EQ(count(shown, "Shared segment, key 10 (0x0000000a)\n  absent\n"), 1);
  EXPECT_EQ(count(shown, "  srvfifo  absent\n  clififo  absent\n"), 1);
  EXPECT_EQ(count(shown, "could not"), 0) << "root sees every process";
}

TEST_F(IpcwatchTest, ShowsTheValueAndWhoWaits) {
  int id = semget(kSemaphoreKey, 1, IPC_CREAT | 0600);
  ASSERT_EQ(semctl(id, 0, SETVAL, 3), 0);
  EXPECT_EQ(count(snapshot({"sem"}), "  value 3   waiting for it to rise 0   waiting for zero 0\n"),
            1);
  ASSERT_EQ(semctl(id, 0, IPC_RMID), 0);

  Process waiter("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(1));
  std::string shown = snapshot({"sem"});
  EXPECT_EQ(count(shown, "  value 0   waiting for it to rise 1   waiting for zero 0\n"), 1)
      << shown;
  EXPECT_EQ(count(shown, "mode 0660"), 1);
}

TEST_F(IpcwatchTest, LiveViewRedrawsASetRemovedMeanwhile) {
  Process waiter("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(1));
  Process view("ipcwatch", {.args = {"sem"}});
  ASSERT_TRUE(view.wait_for("waiting for it to rise 1"));
  ASSERT_EQ(semctl(semaphore(kSemaphoreKey)->id, 0, IPC_RMID), 0);
  EXPECT_TRUE(view.wait_for("absent", 1, 2s)) << "redrawn at once, marked as a change";
  EXPECT_EQ(count(view.output(), "\033[1;33mabsent"), 1);
  view.signal(SIGINT);
  EXPECT_EQ(view.wait_exit().status, 0);
  EXPECT_TRUE(view.output().starts_with("\033[?25l")) << "no cursor blinking over the values";
  EXPECT_TRUE(view.output().ends_with("\033[?25h\n")) << "and the cursor back at the end";
}

// What a terminal shows once it has been given `output`, row by row, for
// the controls the live view writes: home, clear to the line's end and to
// the screen's end; colours and the cursor's look change no text.
std::vector<std::string> screen(const std::string& output) {
  std::vector<std::string> rows(1);
  size_t row = 0, col = 0;
  for (size_t i = 0; i < output.size(); i++) {
    char c = output[i];
    if (c == '\033' && output.compare(i, 2, "\033[") == 0) {
      size_t end = output.find_first_of("HJKhlm", i + 2);
      if (end == std::string::npos) break;
      if (output[end] == 'H') row = col = 0;
      if (output[end] == 'K' || output[end] == 'J')
        rows[row].resize(std::min(rows[row].size(), col));
      if (output[end] == 'J') rows.resize(row + 1);
      i = end;
    } else if (c == '\r') {
      col = 0;
    } else if (c == '\n') {  // the test's terminal does no output processing
      col = 0;
      if (++row == rows.size()) rows.emplace_back();
    } else {
      if (rows[row].size() <= col) rows[row].resize(col + 1, ' ');
      rows[row][col++] = c;
    }
  }
  return rows;
}

// Each redraw replaces the last one whole: a screen that shrank keeps no
// line or tail of what it showed before, and the mark of a change fades.
TEST_F(IpcwatchTest, LiveViewShowsOnlyWhatIsThereNow) {
  auto waiter = std::make_unique<Process>("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(1));
  Process view("ipcwatch", {.args = {"sem"}});
  ASSERT_TRUE(view.wait_for("waits "));
  waiter.reset();
  ASSERT_EQ(semctl(semaphore(kSemaphoreKey)->id, 0, IPC_RMID), 0);
  ASSERT_TRUE(view.wait_for("absent"));
  std::string now = snapshot({"sem"});
  view.output(2500ms);  // past the mark's two seconds
  view.signal(SIGINT);
  ASSERT_EQ(view.wait_exit().status, 0);
  std::string shown = view.output();
  auto rows = screen(shown);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_TRUE(rows[0].starts_with("ipcwatch  the kit's kernel objects, live  ")) << rows[0];
  std::string body;
  for (size_t i = 1; i < rows.size(); i++) body += rows[i] + "\n";
  EXPECT_EQ(body, "\n" + now + "\n\n") << shown;  // and the line the view ends on
  EXPECT_NE(shown.substr(shown.size() - 60).find("  absent"), std::string::npos)
      << "the last redraw, unmarked";
}

TEST_F(IpcwatchTest, ShowsTheSegmentsBytesAndTheAnswerFlag) {
  Process server("slatewatch");
  ASSERT_TRUE(eventually([] {
    auto found = segment(kSegmentKey);
    return found && found->bytes.starts_with("tolvane");
  }));
  std::string shown = snapshot({"shm"});
  EXPECT_EQ(count(shown, "  text  tolvane\\0\\0"), 1) << shown;
  EXPECT_EQ(count(shown, "  hex   74 6f 6c 76 61 6e 65 00 00"), 1);
  EXPECT_EQ(count(shown, "answer flag: no answer yet"), 1);
  EXPECT_EQ(count(shown, "  created by " + std::to_string(server.pid()) +
                             " (slatewatch); last attach or detach by "),
            1);

  Process client("slatewatch-client");
  ASSERT_EQ(client.wait_exit().status, 0);
  // Held attached here, so that its bytes can be read once slatewatch is
  // gone; then attached and detached by another, now gone too, so that
  // only a walk of all processes finds who holds it.
  ASSERT_EQ(server.wait_exit().status, 0);
  int id = segment(kSegmentKey)->id;
  void* held = shmat(id, nullptr, SHM_RDONLY);
  pid_t passer = fork();
  if (passer == 0) _exit(shmdt(shmat(id, nullptr, SHM_RDONLY)));
  ASSERT_EQ(waitpid(passer, nullptr, 0), passer);
  shown = snapshot({"shm"});
  shmdt(held);
  EXPECT_EQ(count(shown, "  text  Aloha\\0"), 1) << shown;
  EXPECT_EQ(count(shown, "answer flag: 'A': answered"), 1);
}

TEST_F(IpcwatchTest, ShowsWhoHasEachFifoOpen) {
  Process server("pipechat-server");
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n"));
  Process client("pipechat");
  ASSERT_TRUE(client.wait_for("Enter some message to send to server\n"));
  std::string shown = snapshot({"fifo"});
  std::string expected =
      "  srvfifo  present  mode 0600  reading: " + std::to_string(server.pid()) +
      " (pipechat-server) blocked in read  writing: " + std::to_string(client.pid()) +
      " (pipechat) holding\n";
  EXPECT_EQ(count(shown, expected), 1) << shown;
  // A program caught running, in no call at all, only holds what it has
  // open, even as its standard input.
  Process busy("/bin/sh",
               {.io = Io::Pipes, .args = {"-c", "exec 0<>srvfifo; while :; do :; done"}});
  EXPECT_TRUE(eventually([&] {
    std::string name;  // the shell's own, once it runs
    std::ifstream("/proc/" + std::to_string(busy.pid()) + "/comm") >> name;
    std::string held = std::to_string(busy.pid()) + " (" + name + ") holding";
    return count(shown = snapshot({"fifo"}), held) == 2;
  })) << shown;
  // A writer into a FIFO that no one reads, once its buffer is full.
  ASSERT_EQ(mkfifo("clififo", 0600), 0);
  Process filler("/bin/sh", {.io = Io::Pipes,
                             .args = {"-c", "exec 3<>clififo; exec head -c 100000 /dev/zero >&3"}});
  // Each end of it held twice: by its descriptor 3, and by 1, which it writes.
  std::string head = std::to_string(filler.pid()) + " (head) ";
  std::string both = head + "blocked in write, " + head + "holding";
  EXPECT_TRUE(eventually([&] {
    return count(shown = snapshot({"fifo"}), "  clififo  present  mode 0600  reading: " + both +
                                                 "  writing: " + both + "\n") == 1;
  })) << shown;
}

std::string waits(const Process& waiter) {
  return "  waits  " + std::to_string(waiter.pid()) + " (gatewait), in semop to take a unit\n";
}

// What a live view shows now: its last full frame, as text without colours.
std::string last_frame(Process& view) {
  std::string all = view.output();
  auto start = all.rfind("\033[H");
  auto end = all.find("\033[J", start);
  if (start == std::string::npos || end == std::string::npos) return "";
  std::string shown;
  for (size_t i = start; i < end; i++) {
    if (all[i] != '\033') {
      shown += all[i];
      continue;
    }
    while (i < end && !isalpha(static_cast<unsigned char>(all[i + 1]))) i++;
    i++;
  }
  return shown;
}

// The lines a live view's frame shows under the part whose heading starts
// with `heading`, that start with `start`.
std::vector<std::string> lines_under(const std::string& frame, std::string_view heading,
                                     std::string_view start) {
  std::vector<std::string> found;
  std::istringstream rows(frame);
  bool within = false;
  for (std::string row; std::getline(rows, row);) {
    if (row.empty()) within = false;
    if (row.starts_with(heading)) within = true;
    if (within && row.starts_with(start)) found.push_back(row);
  }
  return found;
}

TEST_F(IpcwatchTest, NamesWhoWaitsOnTheSemaphore) {
  Process first("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(1));
  EXPECT_EQ(count(snapshot({"sem"}), waits(first)), 1);
  Process second("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(2));
  Process view("ipcwatch");
  ASSERT_TRUE(eventually([&] {
    std::string frame = last_frame(view);
    return count(frame, waits(first)) == 1 && count(frame, waits(second)) == 1;
  }));
  second.signal(SIGKILL);
  EXPECT_TRUE(eventually(
      [&] {
        std::string frame = last_frame(view);
        return count(frame, waits(first)) == 1 && count(frame, waits(second)) == 0;
      },
      2s))
      << last_frame(view);
  if (geteuid() != 0 || access("/sys/kernel/btf/vmlinux", R_OK) != 0) return;
  // Where the kernel's events may be read, each object's last operations,
  // in a recording's words, under that object only.
  Process poster("gatepost", {.io = Io::Pipes});
  poster.type("\n");
  std::string waiter = "gatewait " + std::to_string(first.pid());
  EXPECT_TRUE(eventually(
      [&] {
        std::string frame = last_frame(view);
        return count(frame, ": semop +1, lets " + waiter + " through") == 1 &&
               count(frame, waiter +
                                ": semop \u2212"
                                "1") == 1;
      },
      2s))
      << last_frame(view);
  Process server("pipechat-server");
  ASSERT_TRUE(server.wait_for("waiting for a client on srvfifo\n"));
  Process chat("pipechat", {.io = Io::Pipes});
  chat.type("hi\n");
  chat.end_input();
  EXPECT_EQ(chat.wait_exit().status, 0);
  std::string reply = "pipechat-server " + std::to_string(server.pid()) +
                      " writes \"HI\\0\" into clififo; pipechat " + std::to_string(chat.pid()) +
                      " reads it";
  std::string frame;
  EXPECT_TRUE(eventually(
      [&] {
        frame = last_frame(view);
        return count(frame, reply) == 1;
      },
      2s))
      << frame;
  auto pipes = lines_under(frame, "Named pipes", "  lately ");
  EXPECT_EQ(pipes.size(), 3u) << frame;
  for (auto& said : pipes)
    EXPECT_TRUE(said.find("srvfifo") != std::string::npos ||
                said.find("clififo") != std::string::npos)
        << said;
  auto semaphore = lines_under(frame, "Semaphore set", "  lately ");
  EXPECT_EQ(semaphore.size(), 3u) << frame;  // gatepost's get, its post, the take let through
  for (auto& said : semaphore) EXPECT_NE(said.find(": sem"), std::string::npos) << said;
}

// A process may give itself any name: one that carries terminal controls
// reaches the watcher's terminal with them made visible, in a snapshot, the
// live view and a recording's log alike.
TEST_F(IpcwatchTest, NamesThatCarryControlsAreShownHarmless) {
  int set = semget(kSemaphoreKey, 1, IPC_CREAT | 0600);
  ASSERT_GE(set, 0);
  const std::vector<std::pair<std::string, std::string>> names = {
      {"\x1b]0;pwned\x07", "?]0;pwned?"},
      {"\x1b[2J", "?[2J"},
      {"c1\xc2\x9b"
       "2J",
       "c1?2J"},
      // A control, then a character of three bytes: each shown whole.
      {"c1\xc2\x85\xe2\x82\xac", "c1?\xe2\x82\xac"},
      {"bad\xff", "bad?"},
      {"del\x7f", "del?"},
      {"caf\xc3\xa9", "caf\xc3\xa9"}};
  std::list<Forked> waiters;
  for (auto& [name, shown] : names)
    waiters.emplace_back([&, name = name] {
      prctl(PR_SET_NAME, name.c_str());
      sembuf take{0, -1, 0};
      semop(set, &take, 1);
    });
  ASSERT_TRUE(waiting_for_semaphore(static_cast<int>(names.size())));
  Process recorder("ipcwatch", {.io = Io::Pipes, .args = {"--record", "names.svg", "sem"}});
  ASSERT_TRUE(recorder.wait_for("semop"));
  Process live("ipcwatch", {.args = {"sem"}});
  ASSERT_TRUE(eventually([&] { return count(last_frame(live), "?]0;pwned?") == 1; }));
  std::string once = snapshot({"sem"});
  for (auto& [name, shown] : names) {
    EXPECT_EQ(count(once, "(" + shown + ")"), 1) << once;
    EXPECT_EQ(count(recorder.output(), "(" + shown + ")") + count(recorder.output(), shown + " "),
              count(recorder.output(), shown))
        << recorder.output();
  }
  for (std::string raw : {"\x1b", "\x07", "\x7f", "\xc2\x9b", "\xff"}) {
    EXPECT_EQ(count(once, raw), 0);
    EXPECT_EQ(count(recorder.output(), raw), 0) << recorder.output();
  }
  EXPECT_EQ(count(live.output(), "\x1b]0;"), 0) << "the live view's title untouched";
}

// In a set of many, made by a program outside the kit, each waiter says
// which semaphore it waits on, and the counts shown say whose they are.
TEST_F(IpcwatchTest, SaysWhichSemaphoreOfManyEachWaiterWaitsOn) {
  int set = semget(kSemaphoreKey, 250, IPC_CREAT | 0600);
  ASSERT_GE(set, 0);
  Forked waiter([&] {
    sembuf take{100, -1, 0};
    semop(set, &take, 1);
  });
  ASSERT_TRUE(eventually([&] { return semctl(set, 100, GETNCNT) == 1; }));
  std::string shown = snapshot({"sem"});
  EXPECT_EQ(count(shown, "  semaphore 0 of 250: value 0   waiting for it to rise 0"), 1) << shown;
  EXPECT_EQ(count(shown, "in semop to take a unit on semaphore 100\n"), 1) << shown;
}

TEST_F(IpcwatchTest, NamesWhoHasTheSegmentAttached) {
  int id = shmget(kSegmentKey, 20, IPC_CREAT | 0600);
  void* at = shmat(id, nullptr, 0);
  std::string us = "  attached by " + std::to_string(getpid()) + " (";
  EXPECT_EQ(count(snapshot({"shm"}), us), 1);
  shmdt(at);
  EXPECT_EQ(count(snapshot({"shm"}), us), 0);
}

TEST_F(IpcwatchTest, ShowsAClientBlockedInItsOpenOfClififo) {
  ASSERT_EQ(mkfifo("srvfifo", 0600), 0);
  int server = open("srvfifo", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  Process client("pipechat");
  client.type("hi\n");
  ASSERT_TRUE(client.wait_call("open"));
  std::string shown = snapshot({"fifo"});
  EXPECT_EQ(count(shown, "clififo  present  mode 0600  reading: " + std::to_string(client.pid()) +
                             " (pipechat) blocked in open  writing: none"),
            1)
      << shown;
  close(server);
}

// srvfifo as a symlink to a named pipe works for the chat: the view says
// where it points, and who holds the pipe behind it.
TEST_F(IpcwatchTest, FollowsASymlinkedFifoAsTheProgramsDo) {
  ASSERT_EQ(mkfifo("real", 0600), 0);
  ASSERT_EQ(symlink("real", "srvfifo"), 0);
  int reader = open("srvfifo", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  std::string shown = snapshot({"fifo"});
  EXPECT_EQ(count(shown, "  srvfifo  present (a symlink to real)  mode 0600  reading: " +
                             std::to_string(getpid()) + " ("),
            1)
      << shown;
  ASSERT_EQ(symlink("\x1b[2Jnowhere", "clififo"), 0);
  shown = snapshot({"fifo"});
  EXPECT_EQ(count(shown, "  clififo  not a named pipe (a symlink to ?[2Jnowhere)"), 1) << shown;
  close(reader);
}

// A process in another mount namespace, blocked opening a clififo of its
// own under the same path, is no reader of ours.
TEST_F(IpcwatchTest, AnOpenInAnotherMountNamespaceIsNotOurs) {
  require_root();
  ASSERT_EQ(mkfifo("clififo", 0600), 0);
  std::string here = dir_;
  Forked elsewhere([&] {
    if (unshare(CLONE_NEWNS) < 0 || mount("", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
        mount("tmpfs", here.c_str(), "tmpfs", 0, nullptr) < 0 || chdir(here.c_str()) < 0 ||
        mkfifo("clififo", 0600) < 0)
      _exit(1);
    open("clififo", O_RDONLY);  // blocks: no writer there
  });
  int ours = open("clififo", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_TRUE(eventually([&] {
    auto look = look_at(elsewhere.pid());
    return look && look->call == "open";
  }));
  std::string shown = snapshot({"fifo"});
  EXPECT_EQ(count(shown, "blocked in open"), 0) << shown;
  EXPECT_EQ(count(shown, "reading: " + std::to_string(getpid()) + " ("), 1) << shown;
  close(ours);
}

// A server blocked in its open of a srvfifo that was already there raises
// no event; it shows all the same, soon after it started.
TEST_F(IpcwatchTest, AServerBlockedInItsOpenShowsSoon) {
  ASSERT_EQ(mkfifo("srvfifo", 0600), 0);
  Process view("ipcwatch", {.args = {"fifo"}});
  ASSERT_TRUE(eventually([&] { return count(last_frame(view), "reading: none") == 1; }));
  std::this_thread::sleep_for(100ms);  // past the view's first walk
  Process server("pipechat-server");
  ASSERT_TRUE(server.wait_call("open"));
  std::string blocked = std::to_string(server.pid()) + " (pipechat-server) blocked in open";
  EXPECT_TRUE(eventually([&] { return count(last_frame(view), blocked) == 1; }, 3s))
      << last_frame(view);
}

TEST_F(IpcwatchTest, AFifoOpenedLaterShowsWithoutAPeriodicWalk) {
  ASSERT_EQ(mkfifo("srvfifo", 0600), 0);
  setenv("IPCWATCH_COUNT_WALKS", "1", 1);
  Process view("ipcwatch", {.args = {"fifo"}});
  unsetenv("IPCWATCH_COUNT_WALKS");
  ASSERT_TRUE(eventually([&] { return count(last_frame(view), "reading: none") == 1; }));
  int reader = open("srvfifo", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  std::string us = "reading: " + std::to_string(getpid()) + " (";
  EXPECT_TRUE(eventually([&] { return count(last_frame(view), us) == 1; }, 2s));
  // One made after the view started is watched as well: its opens show.
  ASSERT_EQ(mkfifo("clififo", 0600), 0);
  int later = open("clififo", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_TRUE(eventually([&] { return count(last_frame(view), us) == 2; }, 2s));
  int writer = open("clififo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  std::string writing = "writing: " + std::to_string(getpid()) + " (";
  EXPECT_TRUE(eventually([&] { return count(last_frame(view), writing) == 1; }, 2s));
  view.signal(SIGINT);
  EXPECT_EQ(view.wait_exit().status, 0);
  EXPECT_EQ(count(view.errors(), ", 1 of them periodic"), 1) << view.errors();
  close(reader);
  close(later);
  close(writer);
}

TEST_F(IpcwatchTest, SaysWhatItMayNotSee) {
  require_root();
  ASSERT_EQ(mkfifo("srvfifo", 0666), 0);
  int reader = open("srvfifo", O_RDONLY | O_NONBLOCK);
  ASSERT_GE(shmget(kSegmentKey, 20, IPC_CREAT | 0600), 0);
  std::string shown = snapshot({"fifo", "shm"}, {.unprivileged = true});
  EXPECT_EQ(count(shown, "could not be looked at for lack of permission"), 1) << shown;
  EXPECT_EQ(count(shown, "present, but not open to you (Permission denied)\n"), 1) << shown;
  close(reader);

  // Under hidepid, a root waiter on a set open to all is not named, and is
  // said to be hidden, never ended.
  int set = semget(kSemaphoreKey, 1, IPC_CREAT | 0666);
  ASSERT_GE(set, 0);
  sembuf post{0, 1, 0};
  ASSERT_EQ(semop(set, &post, 1), 0);
  Process waiter("gatewait");  // takes that unit, the last operation, then waits
  ASSERT_TRUE(waiter.wait_for("I got semaphore\n"));
  ASSERT_TRUE(waiter.wait_call("semop"));
  Process hidden("/usr/bin/unshare",
                 {.io = Io::Pipes,
                  .args = {"-m", "sh", "-c",
                           "mount -t proc -o hidepid=invisible proc /proc && exec setpriv "
                           "--reuid 65534 --regid 65534 --clear-groups " +
                               program_path("ipcwatch") + " --once sem"}});
  EXPECT_EQ(hidden.wait_exit().status, 0) << hidden.errors();
  std::string unseen = hidden.output();
  EXPECT_EQ(count(unseen, "  waits  1 not named: other users' processes are hidden from you"), 1)
      << unseen;
  EXPECT_EQ(count(unseen, std::to_string(waiter.pid()) + " (hidden from you)"), 1) << unseen;
  EXPECT_EQ(count(unseen, "(ended)"), 0) << unseen;
}

// What a view must leave as it was: values, times, and who attached last.
struct Traces {
  semid_ds set{};
  shmid_ds segment{};
  int value;
  std::string bytes;
  bool operator==(const Traces& o) const {
    return value == o.value && bytes == o.bytes && set.sem_ctime == o.set.sem_ctime &&
           set.sem_otime == o.set.sem_otime && segment.shm_ctime == o.segment.shm_ctime &&
           segment.shm_atime == o.segment.shm_atime && segment.shm_dtime == o.segment.shm_dtime &&
           segment.shm_lpid == o.segment.shm_lpid && segment.shm_nattch == o.segment.shm_nattch;
  }
};

Traces traces(int set, int seg) {
  Traces now;
  EXPECT_EQ(semctl(set, 0, IPC_STAT, &now.set), 0);
  EXPECT_EQ(shmctl(seg, IPC_STAT, &now.segment), 0);
  now.value = semctl(set, 0, GETVAL);
  return now;
}

TEST_F(IpcwatchTest, ChangesNothingAndLeavesNoTrace) {
  int set = semget(kSemaphoreKey, 1, IPC_CREAT | 0600);
  ASSERT_EQ(semctl(set, 0, SETVAL, 3), 0);
  int seg = shmget(kSegmentKey, 20, IPC_CREAT | 0600);
  {
    Process server("slatewatch");  // attached while the views look
    ASSERT_TRUE(eventually([] { return segment(kSegmentKey)->bytes.starts_with("tolvane"); }));
    Traces before = traces(set, seg);
    std::string shown = snapshot();
    EXPECT_EQ(count(shown, "  text  tolvane\\0"), 1) << shown;
    snapshot();
    EXPECT_TRUE(traces(set, seg) == before);
  }
  ASSERT_TRUE(eventually([&] { return traces(set, seg).segment.shm_nattch == 0; }));
  Traces before = traces(set, seg);
  EXPECT_EQ(count(snapshot(), "bytes: not shown: no process has it attached"), 1);
  snapshot();
  EXPECT_TRUE(traces(set, seg) == before);
}

TEST_F(IpcwatchTest, AnObjectGoneBetweenTwoLooksIsAbsent) {
  std::atomic<bool> done = false;
  std::thread churn([&] {
    while (!done) {
      semctl(semget(kSemaphoreKey, 1, IPC_CREAT | 0600), 0, IPC_RMID);
      shmctl(shmget(kSegmentKey, 20, IPC_CREAT | 0600), IPC_RMID, nullptr);
    }
  });
  int wrong = 0;
  for (int i = 0; i < 300; i++) {
    std::string shown = snapshot({"sem", "shm"});
    wrong += count(shown, "-1") + count(shown, "not open to you");
  }
  done = true;
  churn.join();
  EXPECT_EQ(wrong, 0);
}

// Short of descriptors, a snapshot and a recording say so, rather than
// blame permissions or leave a waiter out without a word.
TEST_F(IpcwatchTest, SaysWhatALackOfDescriptorsHid) {
  Process server("slatewatch");
  ASSERT_TRUE(eventually([] {
    auto found = segment(kSegmentKey);
    return found && found->bytes.starts_with("tolvane");
  }));
  Process waiter("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(1));
  for (rlim_t limit : {5, 6}) {
    std::string shown = snapshot({}, {.limits = {{RLIMIT_NOFILE, limit}}});
    EXPECT_EQ(count(shown,
                    "Not every process was seen: no file descriptor left to look at the "
                    "processes with (the limit is " +
                        std::to_string(limit)),
              1)
        << shown;
    EXPECT_EQ(count(shown, "may be looked at by you"), 0) << shown;
  }
#ifdef KIT_SANITIZED
  GTEST_SKIP() << "the sanitizers' own checks need the descriptors a recording is denied here";
#endif
  Process recorder("ipcwatch", {.io = Io::Pipes,
                                .args = {"--record", "short.svg", "--for", "1", "sem"},
                                .limits = {{RLIMIT_NOFILE, 7}}});
  EXPECT_EQ(recorder.wait_exit().status, 0) << recorder.errors();
  std::ifstream file("short.svg");
  std::string svg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(count(svg, "Some looks did not see every process: no file descriptor left"), 1);
}

TEST_F(IpcwatchTest, SaysSoWhenItRunsOutOfDescriptors) {
  ASSERT_EQ(mkfifo("srvfifo", 0600), 0);
  int reader = open("srvfifo", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  for (rlim_t limit : {5, 6}) {
    std::string shown = snapshot({"fifo"}, {.limits = {{RLIMIT_NOFILE, limit}}});
    EXPECT_GE(count(shown, "Too many open files"), 1) << "limit " << limit << ":\n" << shown;
    EXPECT_EQ(count(shown, "(ended)"), 0) << shown;
  }
  close(reader);
}

// Left running, it keeps no descriptor of what it looked at: here five
// waiters come and go, each named, so each is looked at in its memory.
TEST_F(IpcwatchTest, LiveViewKeepsItsDescriptorsFew) {
  Process first("gatewait");
  ASSERT_TRUE(waiting_for_semaphore(1));
  Process view("ipcwatch", {.args = {"sem"}});
  ASSERT_TRUE(view.wait_for("waiting for it to rise 1"));
  auto descriptors = [&] {
    auto folder = "/proc/" + std::to_string(view.pid()) + "/fd";
    return std::distance(std::filesystem::directory_iterator(folder),
                         std::filesystem::directory_iterator());
  };
  // Counted from its second screen, drawn once what the kernel's events
  // need is open.
  Process second("gatewait");
  ASSERT_TRUE(view.wait_for(std::to_string(second.pid()) + " (gatewait), in semop"));
  auto before = descriptors();
  for (int i = 0; i < 5; i++) {
    Process waiter("gatewait");
    ASSERT_TRUE(view.wait_for(std::to_string(waiter.pid()) + " (gatewait), in semop"));
  }
  // Those it opens for a look are closed again once the look is done.
  EXPECT_TRUE(eventually([&] { return descriptors() == before; })) << descriptors();
}

}  // namespace
}  // namespace kit
