// The tour's scenes: each plays one demonstration as a person would, and
// checks as it goes that the programs behave as they should.
#include "scenes.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "objects.h"

namespace kit {
namespace {

constexpr int kTurns = 6;

void await_semaphore(Scene& scene, int value, int waiting) {
  bool reached = scene.wait(
      [&] {
        auto set = kit::semaphore(kSemaphoreKey);
        return set && set->value == value && set->waiting == waiting;
      },
      8s);
  if (!reached)
    throw Misbehaved("the semaphore never showed value " + std::to_string(value) + " with " +
                     std::to_string(waiting) + " waiting");
  scene.narrate("the semaphore now: value " + std::to_string(value) + ", " +
                std::to_string(waiting) + " waiting");
}

void semaphores(Scene& scene) {
  Actor& waiter = scene.start("gatewait", "gatewait");
  scene.expect(waiter, "semid = ");
  await_semaphore(scene, 0, 1);
  scene.snapshot("sem");
  Actor& poster = scene.start("gatepost", "gatepost");
  scene.expect(poster, "Press enter key to send semaphore\n");
  scene.type(poster, "\n", "Enter");
  scene.expect(waiter, "I got semaphore\n");
  scene.type(poster, "ab\n", "a, b and Enter (three characters)");
  scene.expect(waiter, "I got semaphore\n", 4);
  await_semaphore(scene, 0, 1);
  scene.send(waiter, SIGINT, "Ctrl-C in gatewait's terminal");
  scene.finish(waiter);
  // With no one waiting, a post stays in the semaphore.
  scene.type(poster, "\n", "Enter");
  await_semaphore(scene, 1, 0);
  scene.snapshot("sem");
  scene.type(poster, "\x04", "Ctrl-D");
  if (scene.finish(poster).status != 0) throw Misbehaved("gatepost failed at end of input");
}

void turnstile(Scene& scene) {
  Actor& a = scene.start("turnstile 1", "turnstile");
  auto line = [](const Actor& copy, const char* what) {
    return std::to_string(copy.process.pid()) + ":" + what + "\n";
  };
  auto got = [&](Actor& copy) { return line(copy, "got the semaphore"); };
  auto released = [&](Actor& copy) { return line(copy, "released the semapore"); };
  scene.expect(a, got(a), 1, 6s);
  scene.type(a, "\n", "Enter");
  scene.expect(a, released(a));
  await_semaphore(scene, 1, 0);
  // A copy set up while another holds the lock would force it free and take
  // it too; so the second copy is set up while the first one rests.
  scene.send(a, SIGSTOP, "the tour stops turnstile 1 in its one-second rest, lock free");
  scene.expect_state(a, 'T');
  Actor& b = scene.start("turnstile 2", "turnstile");
  scene.expect(b, got(b), 1, 6s);
  scene.send(a, SIGCONT, "turnstile 1 continues, and blocks on the held lock");
  await_semaphore(scene, 0, 1);
  // Stopped and continued while it waits, its take fails with EINTR; it
  // waits again rather than run a turn without the lock.
  scene.send(a, SIGSTOP, "the tour stops turnstile 1 while it waits for the lock");
  scene.expect_state(a, 'T');
  scene.send(a, SIGCONT, "turnstile 1 continues, and waits again");
  await_semaphore(scene, 0, 1);
  if (kit::count(a.process.output(), "Failed") != 0)
    throw Misbehaved("turnstile 1 gave up the wait after a stop and continue");

  Actor* holder = &b;
  Actor* other = &a;
  int turns[2] = {1, 1};
  for (int handover = 0; handover < 2 * kTurns - 2; handover++) {
    int& holder_turns = turns[holder == &a ? 0 : 1];
    int& other_turns = turns[holder == &a ? 1 : 0];
    scene.type(*holder, "\n", "Enter");
    scene.expect(*holder, released(*holder), holder_turns);
    scene.expect(*other, got(*other), ++other_turns);
    if (holder_turns < kTurns) {
      await_semaphore(scene, 0, 1);
      if (kit::count(holder->process.output(), got(*holder)) != holder_turns)
        throw Misbehaved(scene.label(*holder) + " took the lock while " + scene.label(*other) +
                         " held it");
    }
    std::swap(holder, other);
  }
  scene.type(*holder, "\n", "Enter");
  scene.expect(*other, "Semaphore deleted\n");
  scene.finish(*other);
  scene.expect(*holder, "Failed to delete the semaphore\n");
  scene.finish(*holder);
  if (kit::semaphore(kSemaphoreKey)) throw Misbehaved("the set outlived both copies");
}

void pipes(Scene& scene) {
  Actor& server = scene.start("pipechat-server", "pipechat-server");
  scene.expect(server, "waiting for a client on srvfifo\n");
  Actor& client = scene.start("pipechat", "pipechat");
  scene.expect(client, "Enter some message to send to server\n");
  scene.type(client, "hello, server\n", "\"hello, server\" and Enter");
  scene.expect(client, "HELLO, SERVER\n");
  scene.type(client, "bye\n", "\"bye\" and Enter");
  scene.expect(client, "BYE\n");
  scene.type(client, "\x04", "Ctrl-D");
  if (scene.finish(client).status != 0) throw Misbehaved("pipechat failed at end of input");
  scene.expect(server, "client has gone\n");
  scene.send(server, SIGINT, "Ctrl-C in the server's terminal");
  scene.finish(server);
}

void segment(Scene& scene) {
  Actor& server = scene.start("slatewatch", "slatewatch");
  if (!scene.wait(
          [] {
            auto found = kit::segment(kSegmentKey);
            return found && found->bytes.starts_with(std::string("tolvane\0", 8));
          },
          5s))
    throw Misbehaved("the segment never held \"tolvane\"");
  scene.snapshot("shm");
  scene.narrate("slatewatch looks at byte 0 once a second, and prints nothing meanwhile");
  scene.watch(1500ms);
  Actor& client = scene.start("slatewatch-client", "slatewatch-client");
  scene.finish(client);
  scene.snapshot("shm");
  scene.expect(server, "Aloha\n", 1, 3s);
  if (scene.finish(server).status != 0) throw Misbehaved("slatewatch did not exit with 0");
}

void fork(Scene& scene) {
  Actor& terminal = scene.start("fork", "fork");
  scene.finish(terminal);
  if (kit::count(terminal.process.output(), "this is first step\n") != 1)
    throw Misbehaved("on a terminal the first line must show once");
  scene.watch(500ms);
  Actor& piped = scene.start("fork | cat", "fork", {.io = Io::Pipes});
  scene.finish(piped);
  if (kit::count(piped.process.output(), "this is first step\n") != 2)
    throw Misbehaved("into a pipe the first line must show twice");
}

void catcher(Scene& scene) {
  constexpr std::string_view kCaught = "i Caught the signal 4\n";
  Actor& catcher = scene.start("catcher", "catcher");
  scene.expect(catcher, "I slept for 15 seconds\n", 2);
  scene.expect_state(catcher, 'S');
  scene.send(catcher, SIGILL, "kill -4 catcher");
  scene.expect(catcher, kCaught);
  scene.send(catcher, SIGILL, "kill -4 catcher, during the handler's 5 seconds");
  scene.expect(catcher, kCaught, 2, 7s);
  scene.expect(catcher, std::string(kCaught) + "I slept for 15 seconds\n", 1, 7s);
  scene.send(catcher, SIGINT, "Ctrl-C");
  if (scene.finish(catcher).signal != SIGINT) throw Misbehaved("Ctrl-C did not end catcher");
}

void pause(Scene& scene) {
  Actor& sleeper = scene.start("pause", "pause");
  scene.expect(sleeper, "Before pause\n");
  scene.expect_state(sleeper, 'S');
  scene.send(sleeper, SIGWINCH, "kill -WINCH pause (ignored by default: it sleeps on)");
  scene.watch(500ms);
  scene.send(sleeper, SIGINT, "Ctrl-C");
  if (scene.finish(sleeper).signal != SIGINT) throw Misbehaved("Ctrl-C did not end pause");
  if (kit::count(sleeper.process.output(), "After pause") != 0)
    throw Misbehaved("pause printed its second line");
  // Into a pipe its first line is still in the buffer when the signal ends it.
  Actor& piped = scene.start("pause | cat", "pause", {.io = Io::Pipes});
  if (!scene.wait(
          [&] {
            auto seen = look_at(piped.process.pid());
            return seen && seen->call == "pause";
          },
          kPatience))
    throw Misbehaved("pause | cat never paused");
  scene.send(piped, SIGINT, "Ctrl-C");
  scene.finish(piped);
  if (!piped.process.output().empty()) throw Misbehaved("pause | cat printed its line");
}

// Where the kit is installed, when the tour was started by ipc-kit from an
// install; otherwise the scene installs the build tree into a scratch prefix.
std::string installed_prefix() {
  const char* prefix = getenv("IPC_KIT_PREFIX");
  return prefix ? prefix : "";
}

bool on_path(const std::string& command) {
  std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
  for (size_t begin = 0, end; begin <= path.size(); begin = end + 1) {
    end = std::min(path.find(':', begin), path.size());
    std::string folder = path.substr(begin, end - begin);
    if (access(((folder.empty() ? "." : folder) + "/" + command).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string mean_missing() {
  if (!on_path("cc")) return "no C compiler (cc): install one to build a program against averager";
  if (!on_path("pkg-config")) return "no pkg-config: install it to find the averager library";
  std::string prefix = installed_prefix();
  if (!prefix.empty() &&
      access((prefix + "/" KIT_INSTALL_LIBDIR "/pkgconfig/averager.pc").c_str(), R_OK) != 0)
    return "the averager library's development files are not installed (libaverager-dev)";
  return "";
}

void mean(Scene& scene) {
  std::string prefix = installed_prefix();
  std::string source = prefix + "/" KIT_INSTALL_DATADIR "/ipc-kit/means.c";
  std::string install;
  if (prefix.empty()) {
    prefix = std::filesystem::current_path() / "prefix";
    source = KIT_SOURCE_DIR "/mean/consumer/means.c";
    install = "cmake --install " KIT_BUILD_DIR " --prefix " + prefix + " >/dev/null && ";
    scene.narrate(
        "installs the kit into a scratch prefix; builds means.c against it by pkg-config");
  } else {
    scene.narrate("builds means.c against the installed library, found by pkg-config");
  }
  std::string libdir = prefix + "/" KIT_INSTALL_LIBDIR;
  // A library built with the sanitizers needs them in the program too.
  std::string build = install + "export PKG_CONFIG_PATH=" + libdir + "/pkgconfig && cc " +
                      (install.empty() ? "" : KIT_CONSUMER_FLAGS) + " -o means " + source +
                      " $(pkg-config --cflags --libs averager) -Wl,-rpath," + libdir;
  Actor& compiler = scene.start("cc", "/bin/sh", {.io = Io::Pipes, .args = {"-c", build}});
  compiler.process.end_input();
  if (scene.finish(compiler).status != 0) throw Misbehaved("means.c did not build");
  Actor& means = scene.start("means", (std::filesystem::current_path() / "means").string());
  scene.finish(means);
  if (means.process.output() !=
      "mean(1, 2) = 1.5\nmean(-3, 3) = 0\nmean(1e+308, 1e+308) = 1e+308\n")
    throw Misbehaved("means printed the wrong means");
}

}  // namespace

const std::vector<Play>& scenes() {
  static const std::vector<Play> all = {
      {"semaphores",
       "gatewait blocks on the semaphore; each character typed into gatepost lets it through once.",
       semaphores, kSemaphoreKey, "semaphore"},
      {"turnstile",
       "Two copies take turns with the lock, never holding it together; the first to finish "
       "removes the set, and the other finds it gone.",
       turnstile, kSemaphoreKey, "semaphore"},
      {"pipes",
       "Each line typed into pipechat goes to the server through srvfifo; the reply comes back "
       "through clififo, which the client makes on its first exchange. The server reports each "
       "exchange after it has replied, so its lines and the client's reply may show in either "
       "order.",
       pipes, 0, "fifos"},
      {"segment",
       "slatewatch writes its text into the segment under key 10 and waits, silent, until the "
       "client puts 'A' in byte 0.",
       segment, kSegmentKey, "segment"},
      {"fork",
       "On a terminal the first line shows once; into a pipe it is still in the buffer at the "
       "split, so parent and child both write it.",
       fork, 0},
      {"catcher",
       "Signal 4 runs catcher's handler, which holds the loop for 5 seconds; a second signal 4 "
       "sent meanwhile is handled right after it.",
       catcher, 0},
      {"pause",
       "pause sleeps until a signal arrives; Ctrl-C ends it before its second line. Into a pipe "
       "not even its first line shows: it was still in the buffer.",
       pause, 0},
      {"mean", "A plain C program links the installed averager library and prints a few means.",
       mean, 0, "", mean_missing},
  };
  return all;
}

}  // namespace kit
