#include "recording.h"

#include <fcntl.h>
#include <linux/bpf.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "harness.h"
#include "svg.h"

namespace kit {
namespace {

constexpr key_t kSemaphoreKey = 1234;
using RecordingTest = Sandbox;

// Whether ipcwatch, run by us, records from the kernel's tracepoints.
bool kernel_recording() { return geteuid() == 0 && access("/sys/kernel/btf/vmlinux", R_OK) == 0; }

// The BPF programs that process `pid` holds, by their ids.
std::set<unsigned> programs_of(pid_t pid) {
  std::set<unsigned> ids;
  std::error_code none;
  for (auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fdinfo", none)) {
    std::ifstream info(entry.path());
    std::string line;
    unsigned id = 0;
    while (std::getline(info, line))
      if (sscanf(line.c_str(), "prog_id: %u", &id) == 1) ids.insert(id);
  }
  return ids;
}

// Whether any of the programs `ids` is still in the kernel.
bool any_loaded(const std::set<unsigned>& ids) {
  for (unsigned id : ids) {
    union bpf_attr ask {};
    ask.prog_id = id;
    int fd = static_cast<int>(syscall(SYS_bpf, BPF_PROG_GET_FD_BY_ID, &ask, sizeof ask));
    if (fd >= 0) {
      close(fd);
      return true;
    }
  }
  return false;
}

std::vector<std::string> attribute(const std::vector<Element>& all, const std::string& name) {
  std::vector<std::string> found;
  for (auto& element : all) found.push_back(element.attributes.at(name));
  return found;
}

// ipcwatch recording into `file`, until it is sent Ctrl-C.
Options recording(const std::string& file, std::vector<std::string> parts = {}) {
  std::vector<std::string> args = {"--record", file};
  args.insert(args.end(), parts.begin(), parts.end());
  return {.io = Io::Pipes, .args = args};
}

std::vector<Element> stop_and_read(Process& recorder, const std::string& file, int sig = SIGINT) {
  recorder.signal(sig);
  EXPECT_EQ(recorder.wait_exit().status, 0) << recorder.errors();
  std::stringstream all;
  all << std::ifstream(file).rdbuf();
  auto svg = parse_svg(all.str());
  EXPECT_TRUE(svg) << file << " is not well formed";
  return svg ? *svg : std::vector<Element>{};
}

TEST_F(RecordingTest, DrawsTheSemaphorePairPlayedByHand) {
  Process recorder("ipcwatch", recording("pair.svg", {"sem"}));
  ASSERT_TRUE(recorder.wait_for("semaphore: absent"));
  Process waiter("gatewait");
  ASSERT_TRUE(recorder.wait_for("semaphore: value 0, 1 waiting"));
  Process poster("gatepost");
  std::string waiter_name = "gatewait " + std::to_string(waiter.pid());
  for (int post = 1; post <= 3; post++) {
    ASSERT_TRUE(poster.wait_for("Press enter key to send semaphore\n", post));
    poster.type("\n");
    ASSERT_TRUE(waiter.wait_for("I got semaphore\n", post));
    // As a person would, after each post: long enough for a look. Traced,
    // the calls tell that it ran, and a look's state is not said again.
    ASSERT_TRUE(kernel_recording() ? recorder.wait_for("lets " + waiter_name + " through", post)
                                   : recorder.wait_for(waiter_name + ": running", post));
  }
  waiter.signal(SIGINT);
  ASSERT_TRUE(recorder.wait_for("semaphore: value 0, 0 waiting"));
  poster.type("\n");  // with no one waiting, the post stays
  ASSERT_TRUE(recorder.wait_for("semaphore: value 1, 0 waiting"));
  // until a later gatewait takes it without waiting, and waits again.
  Process late("gatewait");
  ASSERT_TRUE(late.wait_for("I got semaphore\n"));
  ASSERT_TRUE(recorder.wait_for("semaphore: value 0, 1 waiting", 2));
  auto svg = stop_and_read(recorder, "pair.svg");
  if (kernel_recording()) {
    // Each operation said as it happened, in the pictures' words.
    EXPECT_EQ(count(recorder.output(), "gatepost " + std::to_string(poster.pid()) +
                                           ": semop +1, lets " + waiter_name + " through\n"),
              3u)
        << recorder.output();
    EXPECT_EQ(count(recorder.output(), "SIGINT from process " + std::to_string(getpid()) +
                                           " ends " + waiter_name + "\n"),
              1u);
    EXPECT_EQ(count(recorder.output(), "EINTR"), 0u) << "the take it broke off never returned";
    // What it takes is what it asked: a lane that only takes never raises.
    auto takes = of_class(svg, "call", "data-lane", "gatewait");
    std::erase_if(takes, [](const Element& c) { return c.attributes.at("data-call") != "semop"; });
    EXPECT_EQ(attribute(takes, "data-text"), std::vector<std::string>(takes.size(),
                                                                      "\u2212"
                                                                      "1"));
    EXPECT_EQ(of_class(svg, "band", "data-lane", "gatewait").size(), 0u) << "it never holds";
  }

  EXPECT_EQ(of_class(svg, "lane", "data-lane", "gatewait").size(), 2u);
  EXPECT_EQ(of_class(svg, "lane", "data-lane", "gatepost").size(), 1u);
  auto states = of_class(svg, "state", "data-lane", "gatewait");
  auto asleep = std::find_if(states.begin(), states.end(), [](const Element& s) {
    return s.attributes.at("data-call") == "semop";
  });
  ASSERT_TRUE(asleep != states.end());
  EXPECT_TRUE(std::any_of(asleep, states.end(), [](const Element& s) {
    return s.attributes.at("data-state") == "running";
  })) << "let through by a post";
  auto ends = of_class(svg, "end", "data-lane", "gatewait");
  ASSERT_EQ(ends.size(), 1u) << "the later one still waits";
  EXPECT_EQ(ends[0].attributes["data-how"], "SIGINT") << "read from its zombie";

  auto values = of_class(svg, "semaphore", "data-present", "yes");
  ASSERT_FALSE(values.empty());
  bool kernel = kernel_recording();
  EXPECT_EQ(values.front().attributes["data-value"], "0");
  // Sampled, the set is first seen with its waiter; traced, at its making.
  EXPECT_EQ(values.front().attributes["data-waiting"], kernel ? "0" : "1");
  EXPECT_EQ(values.back().attributes["data-value"], "0");
  EXPECT_EQ(values.back().attributes["data-waiting"], "1");
  if (!kernel) return;

  // Each post seen, with the take it let through, and the value stepping
  // 0, 1, 0 at each; the last post, with no one waiting, leaves 1.
  auto posts = of_class(svg, "call", "data-lane", "gatepost");
  std::erase_if(posts, [](const Element& c) { return c.attributes.at("data-call") != "semop"; });
  EXPECT_EQ(attribute(posts, "data-text"), std::vector<std::string>(4, "+1"));
  auto arrows = of_class(svg, "arrow", "data-kind", "lets-through");
  ASSERT_EQ(arrows.size(), 3u);
  for (auto& arrow : arrows) {
    EXPECT_EQ(arrow.attributes["data-from-lane"], "gatepost");
    EXPECT_EQ(arrow.attributes["data-to-lane"], "gatewait");
  }
  auto given = of_class(svg, "arrow", "data-kind", "gives");
  ASSERT_EQ(given.size(), 1u) << "the post no one waited for, to the take that found it";
  EXPECT_EQ(given[0].attributes["data-from-lane"], "gatepost");
  EXPECT_EQ(given[0].attributes["data-label"], "its unit, taken by gatewait");
  std::string steps;
  for (auto& value : values)
    if (steps.empty() || steps.back() != value.attributes["data-value"][0])
      steps += value.attributes["data-value"];
  EXPECT_EQ(steps, "010101010") << "the value after each operation";
}

TEST_F(RecordingTest, DrawsATurnstilePairAndTheSetsRemoval) {
  Process recorder("ipcwatch", recording("pair.svg", {"sem"}));
  ASSERT_TRUE(recorder.wait_for("semaphore: absent"));
  // Every key given in advance; the second copy starts once the first has
  // set up, so that each is seen operating on the set.
  Process one("turnstile", {.io = Io::Pipes});
  one.type("\n\n\n\n\n\n");
  one.end_input();
  ASSERT_TRUE(recorder.wait_for("turnstile " + std::to_string(one.pid()) + ": first seen"));
  Process two("turnstile", {.io = Io::Pipes});
  two.type("\n\n\n\n\n\n");
  two.end_input();
  // Each end is told from its zombie, so it is kept until the recorder has
  // looked; one already gone says only that it ended.
  auto zombie = [](Process& turn) {
    return eventually(
        [&] {
          auto seen = look_at(turn.pid());
          return seen && seen->state == 'Z';
        },
        30s);
  };
  ASSERT_TRUE(zombie(one));
  ASSERT_TRUE(recorder.wait_for("turnstile " + std::to_string(one.pid()) + ": ended: exit 0"));
  EXPECT_EQ(one.wait_exit().status, 0);
  ASSERT_TRUE(zombie(two));
  ASSERT_TRUE(recorder.wait_for("turnstile " + std::to_string(two.pid()) + ": ended: exit 0"));
  EXPECT_EQ(two.wait_exit().status, 0);
  ASSERT_TRUE(recorder.wait_for("semaphore: absent", 2));
  auto svg = stop_and_read(recorder, "pair.svg");

  auto lanes = of_class(svg, "lane", "data-lane", "turnstile");
  EXPECT_EQ(lanes.size(), 2u);
  auto ends = of_class(svg, "end", "data-lane", "turnstile");
  EXPECT_EQ(attribute(ends, "data-how"), std::vector<std::string>(2, "exit 0"));
  auto values = of_class(svg, "semaphore");
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values.back().attributes["data-present"], "no") << "the set removed at the end";
  if (!kernel_recording()) return;

  // Who holds the lock, from the takes and releases: six turns for the
  // first, those the second had before the first removed the set, and never
  // two at once.
  auto holds = of_class(svg, "band", "data-kind", "holds");
  EXPECT_GE(holds.size(), 7u);
  std::vector<std::pair<double, double>> spans;
  for (auto& band : holds)
    spans.push_back(
        {std::stod(band.attributes["data-from"]), std::stod(band.attributes["data-to"])});
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); i++) EXPECT_LE(spans[i - 1].second, spans[i].first);
}

TEST_F(RecordingTest, ChangesNothingInTheObjects) {
  int set = semget(kSemaphoreKey, 1, IPC_CREAT | 0600);
  ASSERT_EQ(semctl(set, 0, SETVAL, 2), 0);
  int seg = shmget(10, 20, IPC_CREAT | 0600);
  Process server("slatewatch");  // attached, so that the recording reads the bytes
  ASSERT_TRUE(eventually([] { return segment(10)->bytes.starts_with("tolvane"); }));
  semid_ds sem_before{}, sem_after{};
  shmid_ds shm_before{}, shm_after{};
  ASSERT_EQ(semctl(set, 0, IPC_STAT, &sem_before), 0);
  ASSERT_EQ(shmctl(seg, IPC_STAT, &shm_before), 0);
  bool kernel = kernel_recording();
  Process recorder("ipcwatch", recording("still.svg"));
  ASSERT_TRUE(recorder.wait_for("segment: \""));
  auto programs = programs_of(recorder.pid());
  EXPECT_EQ(programs.size() >= 20, kernel) << "its own programs in the kernel";
  stop_and_read(recorder, "still.svg");
  // The kernel frees them once no one can be running them.
  EXPECT_TRUE(eventually([&] { return !any_loaded(programs); }, 10s)) << "programs left behind";
  ASSERT_EQ(semctl(set, 0, IPC_STAT, &sem_after), 0);
  ASSERT_EQ(shmctl(seg, IPC_STAT, &shm_after), 0);
  EXPECT_EQ(semctl(set, 0, GETVAL), 2);
  EXPECT_EQ(sem_after.sem_otime, sem_before.sem_otime);
  EXPECT_EQ(sem_after.sem_ctime, sem_before.sem_ctime);
  EXPECT_EQ(shm_after.shm_atime, shm_before.shm_atime);
  EXPECT_EQ(shm_after.shm_lpid, shm_before.shm_lpid);
  EXPECT_EQ(shm_after.shm_nattch, shm_before.shm_nattch);
}

TEST_F(RecordingTest, PrintsAndDrawsWhoHoldsEachNamedPipe) {
  ASSERT_EQ(mkfifo("srvfifo", 0600), 0);
  Process recorder("ipcwatch", recording("chat.svg", {"fifo"}));
  ASSERT_TRUE(recorder.wait_for("  srvfifo: reading none, writing none\n"));
  Process server("pipechat-server");
  int client = open("srvfifo", O_WRONLY);  // as pipechat would
  std::string reader = "pipechat-server " + std::to_string(server.pid());
  ASSERT_TRUE(recorder.wait_for("  srvfifo: reading " + reader + ", writing recording_test "));
  close(client);
  // A whole exchange, by a client gone before the recorder looks at it: its
  // bytes, both ways, exactly, and who read them.
  Process chat("pipechat", {.io = Io::Pipes});
  chat.type("hello\n");
  chat.end_input();
  EXPECT_EQ(chat.wait_exit().status, 0);
  std::string client_name = "pipechat " + std::to_string(chat.pid());
  bool kernel = kernel_recording();
  if (kernel) {
    EXPECT_TRUE(recorder.wait_for(client_name + " writes \"hello\\n\\0\" into srvfifo; " + reader +
                                  " reads it"));
    EXPECT_TRUE(recorder.wait_for(reader + " writes \"HELLO\\0\" into clififo; " + client_name +
                                  " reads it"));
    // And each open, as it returned.
    EXPECT_EQ(count(recorder.output(), client_name + ": opened srvfifo for writing\n"), 1)
        << recorder.output();
  }
  auto svg = stop_and_read(recorder, "chat.svg");
  auto held = of_class(svg, "fifo", "data-name", "srvfifo");
  EXPECT_TRUE(std::any_of(held.begin(), held.end(), [](const Element& box) {
    return box.attributes.at("data-text").starts_with("pipechat-server");
  }));
  if (!kernel) return;
  auto messages = of_class(svg, "arrow", "data-kind", "message");
  ASSERT_EQ(messages.size(), 2u) << recorder.output();
  EXPECT_EQ(messages[0].attributes["data-from-lane"], "pipechat");
  EXPECT_EQ(messages[0].attributes["data-to-lane"], "pipechat-server");
  EXPECT_EQ(messages[0].attributes["data-label"], "\"hello\\n\\0\" through srvfifo");
  EXPECT_EQ(messages[1].attributes["data-from-lane"], "pipechat-server");
  EXPECT_EQ(messages[1].attributes["data-label"], "\"HELLO\\0\" through clififo");
}

// The kit's programs that touch no object are followed from their exec:
// the catcher's handler and the signal held back while it runs, and fork's
// child with the bytes it writes itself.
TEST_F(RecordingTest, DrawsTheCatchersHandlerForksChildAndPause) {
  if (!kernel_recording()) GTEST_SKIP() << "the kernel's tracing is not open to the tests";
  Process recorder("ipcwatch", recording("signals.svg", {"sem"}));
  ASSERT_TRUE(recorder.wait_for("semaphore: absent"));
  // Into a pipe, pause's line waits in its buffer; a signal its default
  // ignores is discarded as it is sent; Ctrl-C ends it in its pause. First,
  // so that its end's words have the picture's room after it.
  Process pause("pause", {.io = Io::Pipes});
  std::string name = "pause " + std::to_string(pause.pid());
  ASSERT_TRUE(recorder.wait_for(name + ": asleep in pause"));
  pause.signal(SIGWINCH);
  ASSERT_TRUE(recorder.wait_for("SIGWINCH from process " + std::to_string(getpid()) +
                                " is ignored by " + name + "\n"));
  pause.signal(SIGINT);
  EXPECT_EQ(pause.wait_exit().signal, SIGINT);
  ASSERT_TRUE(recorder.wait_for(name + ": ended: SIGINT"));
  Process catcher("catcher", {.io = Io::Pipes});
  name = "catcher " + std::to_string(catcher.pid());
  ASSERT_TRUE(recorder.wait_for(name + ": asleep"));
  catcher.signal(SIGILL);
  ASSERT_TRUE(recorder.wait_for("SIGILL from process " + std::to_string(getpid()) +
                                " is handled by " + name + "\n"))
      << recorder.output();
  catcher.signal(SIGILL);  // while the first one's handler holds it back
  ASSERT_TRUE(recorder.wait_for(" to " + name + " is held back: pending\n"));
  // Delivered once the first handler returns.
  ASSERT_TRUE(recorder.wait_for(" is handled by " + name + "\n", 2, 10s));
  catcher.signal(SIGTERM);
  EXPECT_EQ(catcher.wait_exit().signal, SIGTERM);
  Process fork("fork", {.io = Io::Pipes});
  fork.type("\n");
  fork.end_input();
  EXPECT_EQ(fork.wait_exit().status, 0);
  ASSERT_TRUE(recorder.wait_for("fork " + std::to_string(fork.pid()) + ": ended: exit 0"))
      << recorder.output();
  auto svg = stop_and_read(recorder, "signals.svg");
  auto paused = of_class(svg, "call", "data-lane", "pause");
  ASSERT_EQ(paused.size(), 1u) << "nothing written before its end";
  EXPECT_EQ(paused[0].attributes["data-result"], "cut");
  auto end = of_class(svg, "end", "data-lane", "pause");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_NEAR(paused[0].number("data-until"), end[0].number("data-at"), 0.01) << "it ends in it";
  bool buffered = false;
  for (auto& e : svg) buffered |= e.text == "SIGINT: its line died in the buffer";
  EXPECT_TRUE(buffered) << recorder.output();

  auto bands = of_class(svg, "band", "data-lane", "catcher");
  EXPECT_EQ(attribute(bands, "data-kind"),
            (std::vector<std::string>{"handler", "pending", "handler"}));
  auto ends = of_class(svg, "end", "data-lane", "catcher");
  EXPECT_EQ(attribute(ends, "data-how"), std::vector<std::string>{"SIGTERM"});
  auto writes = of_class(svg, "call", "data-lane", "fork's child");
  std::erase_if(writes, [](const Element& c) { return c.attributes.at("data-call") != "write"; });
  ASSERT_EQ(writes.size(), 1u) << recorder.output();
  EXPECT_EQ(writes[0].attributes["data-text"], "\"this is first step\\n0\\n1\\n2\\n3\\n\"")
      << "its own copy of the buffered line, and its own bytes";
}

// The segment's answer involves no call: it is drawn from the look that saw
// byte 0 become 'A' to slatewatch's next wake, once both attached. The
// client, whose name the kernel keeps cut, is drawn by its whole name.
TEST_F(RecordingTest, DrawsTheLookThatSawTheSegmentsAnswer) {
  if (!kernel_recording()) GTEST_SKIP() << "the kernel's tracing is not open to the tests";
  Process recorder("ipcwatch", recording("slate.svg", {"shm"}));
  ASSERT_TRUE(recorder.wait_for("segment: absent"));
  Process server("slatewatch", {.io = Io::Pipes});
  std::string name = "slatewatch " + std::to_string(server.pid());
  ASSERT_TRUE(recorder.wait_for(name + ": shmat segment "));
  Process client("slatewatch-client", {.io = Io::Pipes});
  EXPECT_EQ(client.wait_exit().status, 0);
  EXPECT_EQ(server.wait_exit().status, 0);
  ASSERT_TRUE(recorder.wait_for(name + ": ended: exit 0")) << recorder.output();
  EXPECT_NE(recorder.output().find("slatewatch-client " + std::to_string(client.pid()) +
                                   ": shmget key 10\n"),
            std::string::npos)
      << recorder.output();
  auto svg = stop_and_read(recorder, "slate.svg");
  auto seen = of_class(svg, "arrow", "data-kind", "sees");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].attributes["data-to-lane"], "slatewatch");
  auto calls = of_class(svg, "call", "data-lane", "slatewatch-client");
  // Its two lines into a pipe: one write, at its exit.
  EXPECT_EQ(attribute(calls, "data-call"), (std::vector<std::string>{"shmget", "shmat", "write"}));
}

// Without the right to trace, the kit's programs are still found, by their
// executables, and the picture says what it could not see.
TEST_F(RecordingTest, WithoutTracingFindsTheProgramsAndSaysWhatItMissed) {
  // Each name it knows the kit's programs by is one the kit builds, but the
  // averager's sample, which a learner builds.
  for (auto& name : look::kPrograms)
    EXPECT_TRUE(name.starts_with("means") || access(program_path(name).c_str(), X_OK) == 0) << name;
  require_root();
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  // The waiter there before the recording is found by its state, not
  // drawn as a call that was never seen.
  Process waiter("gatewait", {.unprivileged = true});
  ASSERT_TRUE(waiter.wait_call("semop"));
  Process recorder(
      "ipcwatch",
      {.io = Io::Pipes, .args = {"--record", "by-hand.svg", "sem"}, .unprivileged = true});
  ASSERT_TRUE(recorder.wait_for("by sampling /proc"));
  ASSERT_TRUE(recorder.wait_for("gatewait " + std::to_string(waiter.pid()) + ": first seen"));
  Process poster("gatepost", {.unprivileged = true});
  ASSERT_TRUE(recorder.wait_for("gatepost " + std::to_string(poster.pid()) + ": first seen"));
  // Reaped here, perhaps before a look saw its zombie: its status is told
  // only where it was seen.
  poster.end_input();
  EXPECT_EQ(poster.wait_exit().status, 0);
  std::string ended = "gatepost " + std::to_string(poster.pid()) + ": ended: ";
  ASSERT_TRUE(recorder.wait_for(ended));
  std::string log = recorder.output();
  size_t how = log.find(ended) + ended.size();
  std::string said = log.substr(how, log.find('\n', how) - how);
  EXPECT_TRUE(said == "exit 0" || said == "its status not seen") << said;
  auto svg = stop_and_read(recorder, "by-hand.svg");
  EXPECT_EQ(of_class(svg, "lane", "data-lane", "gatepost").size(), 1u);
  EXPECT_TRUE(of_class(svg, "call").empty());
  std::string note;
  for (auto& line : of_class(svg, "note")) note += (note.empty() ? "" : " ") + line.text;
  EXPECT_NE(note.find("cannot be seen; \"sudo ipcwatch --record by-hand.svg\""), std::string::npos)
      << note;
}

// A set it may not read is there, but its value is unknown: neither said
// nor drawn as 0.
TEST_F(RecordingTest, ASetNotOpenToItHasNoValue) {
  require_root();
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  ASSERT_GE(semget(kSemaphoreKey, 1, IPC_CREAT | 0600), 0);
  Process recorder(
      "ipcwatch",
      {.io = Io::Pipes, .args = {"--record", "closed.svg", "sem"}, .unprivileged = true});
  ASSERT_TRUE(recorder.wait_for("semaphore: present, but not open to you (Permission denied)\n"));
  auto svg = stop_and_read(recorder, "closed.svg");
  EXPECT_EQ(count(recorder.output(), "value 0"), 0) << recorder.output();
  EXPECT_EQ(of_class(svg, "semaphore", "data-present", "yes").size(), 0u);
}

// A waiter still in its semop when the recording outgrows the history it
// keeps (shortened here) is drawn in its call from the cut, until the post
// that lets it through.
TEST_F(RecordingTest, ACallOpenAcrossTheCutIsKeptWhole) {
  if (!kernel_recording()) GTEST_SKIP() << "the kernel's tracing is not open to the tests";
  setenv("IPCWATCH_KEEP_SECONDS", "1", 1);
  Process recorder("ipcwatch", recording("cut.svg", {"sem"}));
  unsetenv("IPCWATCH_KEEP_SECONDS");
  ASSERT_TRUE(recorder.wait_for("semaphore: absent"));
  Process waiter("gatewait");
  ASSERT_TRUE(recorder.wait_for("semaphore: value 0, 1 waiting"));
  ASSERT_TRUE(waiter.wait_call("semop"));
  std::this_thread::sleep_for(1500ms);  // the recording's horizon passes
  Process poster("gatepost");
  ASSERT_TRUE(poster.wait_for("Press enter key to send semaphore\n"));
  poster.type("\n");
  ASSERT_TRUE(waiter.wait_for("I got semaphore\n"));
  ASSERT_TRUE(waiter.wait_call("semop"));
  auto svg = stop_and_read(recorder, "cut.svg");
  auto takes = of_class(svg, "call", "data-lane", "gatewait");
  std::erase_if(takes, [](const Element& c) { return c.attributes.at("data-call") != "semop"; });
  ASSERT_EQ(attribute(takes, "data-result"), (std::vector<std::string>{"0", "open"}))
      << "the one across the cut, and the one it waits in now";
  auto posts = of_class(svg, "call", "data-lane", "gatepost");
  std::erase_if(posts, [](const Element& c) { return c.attributes.at("data-call") != "semop"; });
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_GE(takes[0].number("data-until"), posts[0].number("data-at"));
  EXPECT_EQ(of_class(svg, "arrow", "data-kind", "lets-through").size(), 1u);
}

// A second recorder, here in a PID namespace of its own where the first's
// programs mean nothing, leaves the first alone: the first records whole,
// the second says what it could not name, and both leave nothing behind.
TEST_F(RecordingTest, TwoRecordersAtOnceLeaveEachOtherBe) {
  if (!kernel_recording()) GTEST_SKIP() << "the kernel's tracing is not open to the tests";
  // Started at the same moment, each attaches to the kernel's tracepoints:
  // none finds the tracing file system gone under it.
  std::vector<std::unique_ptr<Process>> at_once;
  for (int i = 0; i < 4; i++)
    at_once.push_back(std::make_unique<Process>(
        "ipcwatch", recording("at-once" + std::to_string(i) + ".svg", {"--for", "1", "sem"})));
  for (auto& recorder : at_once) {
    EXPECT_EQ(recorder->wait_exit().status, 0);
    EXPECT_NE(recorder->output().find(".svg from the kernel's tracepoints"), std::string::npos)
        << recorder->output();
  }
  Process first("ipcwatch", recording("first.svg", {"sem"}));
  ASSERT_TRUE(first.wait_for("semaphore: absent"));
  Process second("/usr/bin/unshare",
                 {.io = Io::Pipes,
                  .args = {"--pid", "--fork", "--mount-proc", program_path("ipcwatch"), "--record",
                           "second.svg", "--for", "3", "sem"}});
  ASSERT_TRUE(second.wait_for("recording into second.svg from the kernel's tracepoints"))
      << second.errors();
  auto programs = programs_of(first.pid());
  // The second recorder is unshare's child, in its PID namespace.
  pid_t child = 0;
  std::ifstream("/proc/" + std::to_string(second.pid()) + "/task/" + std::to_string(second.pid()) +
                "/children") >>
      child;
  auto its_own = programs_of(child);
  EXPECT_GE(its_own.size(), 20u) << "the second's own programs";
  programs.insert(its_own.begin(), its_own.end());
  Process waiter("gatewait");
  ASSERT_TRUE(first.wait_for("semaphore: value 0, 1 waiting"));
  Process poster("gatepost");
  ASSERT_TRUE(poster.wait_for("Press enter key to send semaphore\n"));
  poster.type("\n");
  ASSERT_TRUE(waiter.wait_for("I got semaphore\n"));
  EXPECT_EQ(second.wait_exit().status, 0) << second.errors();
  std::stringstream seconds;
  seconds << std::ifstream("second.svg").rdbuf();
  // The note as one text, however its lines are broken.
  std::string note = std::regex_replace(
      seconds.str(), std::regex("</text>\\s*<text[^>]*class=\"note\"[^>]*>"), " ");
  EXPECT_NE(note.find("came from processes outside ipcwatch's PID namespace"), std::string::npos)
      << "the second says what it could not name";
  auto svg = stop_and_read(first, "first.svg");
  EXPECT_EQ(of_class(svg, "arrow", "data-kind", "lets-through").size(), 1u)
      << "the first still records";
  EXPECT_TRUE(eventually([&] { return !any_loaded(programs); }, 10s)) << "programs left behind";
}

// The terminal closed (SIGHUP), Ctrl-\\ (SIGQUIT): the recording still ends
// with its picture. Piped into head, it ends once head has gone, picture
// and all, without waiting for something to print.
TEST_F(RecordingTest, EveryWayItIsEndedWritesThePicture) {
  for (int sig : {SIGHUP, SIGQUIT, SIGTERM, SIGUSR1, SIGALRM, SIGXCPU, SIGPWR, SIGRTMIN + 3}) {
    std::string file = "ended-by-" + std::to_string(sig) + ".svg";
    Process recorder("ipcwatch", recording(file, {"sem"}));
    ASSERT_TRUE(recorder.wait_for("recording into"));
    EXPECT_FALSE(stop_and_read(recorder, file, sig).empty()) << sig;
  }
  // Nothing is left beside the pictures, whether killed or not.
  Process killed("ipcwatch", recording("killed.svg", {"sem"}));
  ASSERT_TRUE(killed.wait_for("recording into"));
  killed.signal(SIGKILL);
  EXPECT_EQ(killed.wait_exit().signal, SIGKILL);
  size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator("."))
    files += entry.path().filename().string().starts_with(".ipc-kit-picture") ? 100 : 1;
  EXPECT_EQ(files, 8u);
  Process piped("/bin/sh", {.io = Io::Pipes,
                            .args = {"-c", program_path("ipcwatch") +
                                               " --record head.svg sem | head -n 2 >/dev/null; "
                                               "wait"}});
  // Its start and the set's absence are all it has to say here: it finds
  // that head has gone without writing to it.
  EXPECT_EQ(piped.wait_exit(5s).status, 0) << "still recording once head has gone";
  EXPECT_TRUE(eventually([] { return access("head.svg", R_OK) == 0; }, 2s));
}

// Where the tracing file system is not mounted, the recorder mounts it for
// the moment it takes to attach, and unmounts it after (here in a mount
// namespace of its own).
TEST_F(RecordingTest, MountsTheTracingFileSystemOnlyToAttach) {
  if (!kernel_recording()) GTEST_SKIP() << "the kernel's tracing is not open to the tests";
  Process recorder(
      "/usr/bin/unshare",
      {.io = Io::Pipes,
       .args = {"-m", "sh", "-c",
                "umount /sys/kernel/tracing; umount /sys/kernel/debug/tracing 2>/dev/null; " +
                    program_path("ipcwatch") +
                    " --record mounted.svg --for 1 sem; grep -c ' tracefs ' /proc/self/mounts"}});
  EXPECT_EQ(recorder.wait_exit().status, 1) << "grep found no tracefs";
  EXPECT_EQ(count(recorder.output(), "recording into mounted.svg from the kernel's tracepoints"), 1)
      << recorder.output() << recorder.errors();
  EXPECT_TRUE(recorder.output().ends_with(" drawn in mounted.svg\n0\n")) << recorder.output();
}

// Semaphores hammered elsewhere, in namespaces of their own, feed the
// kernel's events faster than they can be read; the recording still ends
// when its time is up, with its picture.
TEST_F(RecordingTest, ABusyMachineDoesNotHoldTheRecordingPastItsEnd) {
  auto hammer = [] {
    if (unshare(CLONE_NEWIPC) != 0) return;
    int set = semget(kSemaphoreKey, 1, IPC_CREAT | 0600);
    sembuf up{0, 1, 0}, down{0, -1, 0};
    for (;;) semop(set, &up, 1), semop(set, &down, 1);
  };
  Forked one(hammer), two(hammer);
  Process recorder("ipcwatch", {.io = Io::Pipes, .args = {"--record", "busy.svg", "--for", "1"}});
  EXPECT_EQ(recorder.wait_exit(5s).status, 0) << "still recording";
  EXPECT_EQ(access("busy.svg", R_OK), 0);
}

// A picture it cannot write is refused at the start, not after a session;
// one planted as a symlink is replaced, never written through.
TEST_F(RecordingTest, ThePictureIsCheckedFirstAndNeverWrittenThroughALink) {
  ASSERT_EQ(mkdir("folder.svg", 0755), 0);
  for (auto [target, why] : {std::pair{"no/such/folder.svg", "No such file or directory"},
                             {"folder.svg", "Is a directory"}}) {
    Process nowhere("ipcwatch", recording(target));
    EXPECT_EQ(nowhere.wait_exit(2s).status, 1);
    EXPECT_EQ(nowhere.errors(),
              "ipcwatch: cannot write " + std::string(target) + ": " + why + "\n");
    EXPECT_EQ(nowhere.output(), "");
  }
  // Its folder removed and made again meanwhile, the picture still lands.
  ASSERT_EQ(mkdir("again", 0755), 0);
  Process moved("ipcwatch", recording("again/moved.svg", {"sem"}));
  ASSERT_TRUE(moved.wait_for("recording into"));
  ASSERT_EQ(rmdir("again"), 0);
  ASSERT_EQ(mkdir("again", 0755), 0);
  EXPECT_FALSE(stop_and_read(moved, "again/moved.svg").empty());
  std::ofstream("victim") << "mine\n";
  ASSERT_EQ(symlink("victim", "link.svg"), 0);
  Process recorder("ipcwatch", recording("link.svg", {"sem"}));
  ASSERT_TRUE(recorder.wait_for("recording into"));
  // A name planted where the picture is first linked in is passed by.
  std::string planted = ".ipc-kit-picture-" + std::to_string(recorder.pid()) + "-0";
  std::ofstream(planted) << "theirs\n";
  EXPECT_FALSE(stop_and_read(recorder, "link.svg").empty());
  std::stringstream victim, theirs;
  victim << std::ifstream("victim").rdbuf();
  EXPECT_EQ(victim.str(), "mine\n");
  theirs << std::ifstream(planted).rdbuf();
  EXPECT_EQ(theirs.str(), "theirs\n");
}

}  // namespace
}  // namespace kit
