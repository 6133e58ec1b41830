// tour: plays every demonstration of the kit end to end, the way a person
// would see it in two or three terminals: each program's lines labelled with
// its name, in the order they happened, and what the person types or sends.
//
//   tour            every scene
//   tour NAME...    those scenes only
//   tour --list     the scenes' names
//   tour --real-keys ...   use the host's keys, so that ipcs or ipcwatch in
//                          another terminal sees the scenes' objects
//
// Scenes run in a private IPC namespace where the system allows it, so they
// never meet the host's semaphores or segments; elsewhere they use the real
// keys, refuse to start while a key is in use, and remove what they made.
// Each scene checks what it shows: the tour exits 1 naming any scene whose
// programs misbehaved.
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "process.h"

namespace {

using namespace std::chrono_literals;
using kit::Duration;
using kit::Io;
using kit::Options;
using kit::Process;

constexpr key_t kSemaphoreKey = 1234;
constexpr key_t kSegmentKey = 10;
constexpr int kTurns = 6;

bool colour = false;
bool private_keys = false;

const char* paint(const char* code) { return colour ? code : ""; }
constexpr const char* kPalette[] = {"\033[36m", "\033[33m", "\033[35m", "\033[32m", "\033[34m"};
constexpr const char* kDim = "\033[2m";
constexpr const char* kBold = "\033[1m";
constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";

// One program on stage: its process and how much of its output is shown.
struct Actor {
  Actor(std::string label, std::string_view program, Options options, const char* hue)
      : label(std::move(label)), process(program, std::move(options)), hue(hue) {}
  std::string label;
  Process process;
  const char* hue;
  size_t shown_out = 0, shown_err = 0;
};

class Misbehaved : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A scene: its actors, and the running account of what they print.
class Scene {
 public:
  Actor& start(std::string label, std::string_view program, Options options = {}) {
    const char* hue = kPalette[actors_.size() % std::size(kPalette)];
    auto& actor = actors_.emplace_back(std::move(label), program, std::move(options), hue);
    narrate("starts " + actor.label, actor);
    return actor;
  }

  void narrate(const std::string& what, const Actor& actor) {
    show();
    acted_on_ = &actor;
    printf("  %s%s-- %s%s\n", paint(kDim), paint(actor.hue), what.c_str(), paint(kReset));
  }
  void narrate(const std::string& what) {
    show();
    printf("  %s-- %s%s\n", paint(kDim), what.c_str(), paint(kReset));
  }

  void type(Actor& actor, std::string_view keys, const std::string& said) {
    narrate("types " + said + " into " + actor.label, actor);
    if (!actor.process.type(keys)) throw Misbehaved(actor.label + " does not take input");
  }

  void send(Actor& actor, int sig, const std::string& said) {
    narrate(said, actor);
    if (!actor.process.signal(sig)) throw Misbehaved(actor.label + " is gone");
  }

  // Shows lines as they arrive until `text` has appeared `times` times.
  void expect(Actor& actor, std::string_view text, int times = 1, Duration timeout = 8s) {
    if (!wait([&] { return kit::count(actor.process.output(), text) >= times; }, timeout))
      throw Misbehaved(actor.label + " never printed \"" + printable(text) + "\"" +
                       (times > 1 ? " " + std::to_string(times) + " times" : ""));
  }

  void expect_asleep(Actor& actor) {
    if (!actor.process.wait_state('S')) throw Misbehaved(actor.label + " does not sleep");
  }

  // Shows whatever arrives for a while.
  void watch(Duration span) {
    auto until = std::chrono::steady_clock::now() + span;
    wait([&] { return std::chrono::steady_clock::now() >= until; }, span + 1s);
  }

  // Shows lines as they arrive until `ready` holds; false after `timeout`.
  bool wait(const std::function<bool()>& ready, Duration timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      show();
      if (ready()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      // Woken by the first line that arrives, so lines print in the order
      // they came, as far as one look can tell.
      std::vector<pollfd> watched;
      for (auto& actor : actors_)
        for (int fd : actor.process.descriptors()) watched.push_back({fd, POLLIN, 0});
      poll(watched.data(), watched.size(), 5);
    }
  }

  // Waits for the actor to end, shows the rest of its output and how it ended.
  kit::Ending finish(Actor& actor) {
    kit::Ending ending = actor.process.wait_exit();
    show(true);
    if (ending.exited)
      narrate(actor.label + " exits with status " + std::to_string(ending.status), actor);
    else if (ending.signal)
      narrate(actor.label + " is ended by SIG" + sigabbrev_np(ending.signal), actor);
    else
      throw Misbehaved(actor.label + " does not end");
    return ending;
  }

  // What the kernel holds now, as ipcwatch shows it.
  void snapshot(const char* part) {
    show();
    Process view("ipcwatch", {.io = Io::Pipes, .args = {"--once", part}});
    if (view.wait_exit().status != 0) throw Misbehaved("ipcwatch failed");
    size_t shown = 0;
    print_lines("ipcwatch", kDim, view.output(), shown, ":", true);
  }

  // Prints every complete line that has arrived; at the end, partial ones too.
  // Lines that arrived together print the last actor acted on first: it
  // moves first, and the others answer it.
  void show(bool all = false) {
    std::vector<Actor*> order;
    for (auto& actor : actors_) order.push_back(&actor);
    std::stable_partition(order.begin(), order.end(), [&](Actor* a) { return a == acted_on_; });
    for (Actor* actor : order) {
      std::string out = actor->process.output();
      std::string err = actor->process.errors();
      print_lines(actor->label, actor->hue, out, actor->shown_out, "|", all);
      print_lines(actor->label, actor->hue, err, actor->shown_err, "!", all);
    }
    fflush(stdout);  // the tour's own narration, not a demonstrated program
  }

 private:
  static std::string printable(std::string_view text) {
    std::string shown;
    for (char c : text) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
    return shown;
  }

  void print_lines(const std::string& label, const char* hue, const std::string& text,
                   size_t& shown, const char* bar, bool all) {
    while (shown < text.size()) {
      size_t end = text.find('\n', shown);
      if (end == std::string::npos && !all) return;
      size_t stop = end == std::string::npos ? text.size() : end;
      printf("  %s%-18s%s%s %s\n", paint(hue), label.c_str(), bar, paint(kReset),
             text.substr(shown, stop - shown).c_str());
      shown = stop + (end == std::string::npos ? 0 : 1);
    }
  }

  std::list<Actor> actors_;
  const Actor* acted_on_ = nullptr;
};

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

// Removes what a scene left under its key. With the real keys, a scene
// starts only when its key is free, so whatever is there it made.
void remove_objects(key_t key) {
  if (key == kSemaphoreKey)
    if (int id = semget(key, 0, 0); id >= 0) semctl(id, 0, IPC_RMID);
  if (key == kSegmentKey)
    if (int id = shmget(key, 0, 0); id >= 0) shmctl(id, IPC_RMID, nullptr);
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
  auto line = [](Actor& copy, const char* what) {
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
  if (!a.process.wait_state('T')) throw Misbehaved("turnstile 1 does not stop");
  Actor& b = scene.start("turnstile 2", "turnstile");
  scene.expect(b, got(b), 1, 6s);
  scene.send(a, SIGCONT, "turnstile 1 continues, and blocks on the held lock");
  await_semaphore(scene, 0, 1);

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
        throw Misbehaved(holder->label + " took the lock while " + other->label + " held it");
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
  Actor& piped = scene.start("fork | cat", "fork", {.io = Io::Pipes});
  scene.finish(piped);
  if (kit::count(piped.process.output(), "this is first step\n") != 2)
    throw Misbehaved("into a pipe the first line must show twice");
}

void catcher(Scene& scene) {
  constexpr std::string_view kCaught = "i Caught the signal 4\n";
  Actor& catcher = scene.start("catcher", "catcher");
  scene.expect(catcher, "I slept for 15 seconds\n", 2);
  scene.expect_asleep(catcher);
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
  scene.expect_asleep(sleeper);
  scene.send(sleeper, SIGWINCH, "kill -WINCH pause (ignored by default: it sleeps on)");
  scene.watch(500ms);
  scene.send(sleeper, SIGINT, "Ctrl-C");
  if (scene.finish(sleeper).signal != SIGINT) throw Misbehaved("Ctrl-C did not end pause");
  if (kit::count(sleeper.process.output(), "After pause") != 0)
    throw Misbehaved("pause printed its second line");
}

void mean(Scene& scene) {
  std::string prefix = std::filesystem::current_path() / "prefix";
  std::string libdir = prefix + "/" KIT_INSTALL_LIBDIR;
  std::string build = "cmake --install " KIT_BUILD_DIR " --prefix " + prefix +
                      " >/dev/null && PKG_CONFIG_PATH=" + libdir + "/pkgconfig cc -o means " +
                      KIT_SOURCE_DIR "/mean/consumer/means.c -Wl,-rpath," + libdir +
                      " $(PKG_CONFIG_PATH=" + libdir +
                      "/pkgconfig pkg-config --cflags --libs averager)";
  scene.narrate("installs the kit into a scratch prefix; builds means.c against it by pkg-config");
  Actor& compiler = scene.start("cc", "/bin/sh", {.io = Io::Pipes, .args = {"-c", build}});
  compiler.process.end_input();
  if (scene.finish(compiler).status != 0) throw Misbehaved("means.c did not build");
  Actor& means = scene.start("means", (std::filesystem::current_path() / "means").string());
  scene.finish(means);
  if (means.process.output() !=
      "mean(1, 2) = 1.5\nmean(-3, 3) = 0\nmean(1e+308, 1e+308) = 1e+308\n")
    throw Misbehaved("means printed the wrong means");
}

struct Play {
  const char* name;
  const char* watch_for;
  void (*play)(Scene&);
  key_t key;  // the key the scene needs free, or 0
};

constexpr Play kScenes[] = {
    {"semaphores",
     "gatewait blocks on the semaphore; each character typed into gatepost lets it through once.",
     semaphores, kSemaphoreKey},
    {"turnstile",
     "Two copies take turns with the lock, never holding it together; the first to finish "
     "removes the set, and the other finds it gone.",
     turnstile, kSemaphoreKey},
    {"pipes",
     "Each line typed into pipechat goes to the server through srvfifo; the reply comes back "
     "through clififo, which the client makes on its first exchange.",
     pipes, 0},
    {"segment",
     "slatewatch writes its text into the segment under key 10 and waits, silent, until the "
     "client puts 'A' in byte 0.",
     segment, kSegmentKey},
    {"fork",
     "On a terminal the first line shows once; into a pipe it is still in the buffer at the "
     "split, so parent and child both write it.",
     fork, 0},
    {"catcher",
     "Signal 4 runs catcher's handler, which holds the loop for 5 seconds; a second signal 4 "
     "sent meanwhile is handled right after it.",
     catcher, 0},
    {"pause", "pause sleeps until a signal arrives; Ctrl-C ends it before its second line.", pause,
     0},
    {"mean", "A plain C program links the installed averager library and prints a few means.", mean,
     0},
};

// In use under the real keys? Then the scene must not start.
std::string key_in_use(key_t key) {
  if (private_keys || key == 0) return "";
  if (key == kSemaphoreKey && semget(key, 0, 0) >= 0)
    return "a semaphore set under key 1234 exists (ipcs -s; ipcrm -S 1234 if it is left over)";
  if (key == kSegmentKey && shmget(key, 0, 0) >= 0)
    return "a segment under key 10 exists (ipcs -m; ipcrm -M 10 if it is left over)";
  return "";
}

enum class Outcome { played, skipped, misbehaved };

// Plays one scene in a fresh scratch directory.
Outcome play(const Play& scene_play) {
  printf("\n%s== %s ==%s\n%s\n\n", paint(kBold), scene_play.name, paint(kReset),
         scene_play.watch_for);
  if (auto busy = key_in_use(scene_play.key); !busy.empty()) {
    printf("  %sskipped: %s%s\n", paint(kRed), busy.c_str(), paint(kReset));
    return Outcome::skipped;
  }
  std::string dir = (std::filesystem::temp_directory_path() / "ipc-kit-tour-XXXXXX").string();
  if (!mkdtemp(dir.data())) {
    perror("tour: mkdtemp");
    return Outcome::misbehaved;
  }
  auto home = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  bool good = true;
  try {
    Scene scene;
    scene_play.play(scene);
    scene.show(true);
  } catch (const std::exception& error) {
    printf("  %s!! %s misbehaved: %s%s\n", paint(kRed), scene_play.name, error.what(),
           paint(kReset));
    good = false;
  }
  remove_objects(scene_play.key);
  std::filesystem::current_path(home);
  std::filesystem::remove_all(dir);
  return good ? Outcome::played : Outcome::misbehaved;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const Play*> chosen;
  bool real_keys = false;
  for (int i = 1; i < argc; i++) {
    std::string_view name = argv[i];
    if (name == "--real-keys") {
      real_keys = true;
      continue;
    }
    if (name == "--list") {
      for (auto& scene : kScenes) printf("%-11s %s\n", scene.name, scene.watch_for);
      return 0;
    }
    auto found = std::find_if(std::begin(kScenes), std::end(kScenes),
                              [&](const Play& scene) { return name == scene.name; });
    if (found == std::end(kScenes)) {
      fprintf(stderr,
              "usage: tour [--list | [--real-keys] SCENE...]\n"
              "tour: no scene named '%s'\n",
              argv[i]);
      return 2;
    }
    chosen.push_back(found);
  }
  if (chosen.empty())
    for (auto& scene : kScenes) chosen.push_back(&scene);

  const char* term = getenv("TERM");
  colour = isatty(1) && !getenv("NO_COLOR") && term && std::string_view(term) != "dumb";
  // A program that has ended must not end the tour through its pipe.
  signal(SIGPIPE, SIG_IGN);
  private_keys =
      !real_keys && (unshare(CLONE_NEWIPC) == 0 || unshare(CLONE_NEWUSER | CLONE_NEWIPC) == 0);
  printf("%s\n", private_keys ? "Scenes run in a private IPC namespace: your own objects are safe."
                              : "Scenes use the host's real keys; they remove what they make.");

  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> bad;
  int skipped = 0;
  for (const Play* scene : chosen) {
    Outcome outcome = play(*scene);
    if (outcome == Outcome::misbehaved) bad.push_back(scene->name);
    if (outcome == Outcome::skipped) skipped++;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  if (bad.empty()) {
    size_t played = chosen.size() - skipped;
    printf("\ntour: %zu scene%s played in %.1f s", played, played == 1 ? "" : "s", seconds);
    if (skipped)
      printf(", %d skipped because its key was in use\n", skipped);
    else
      putchar('\n');
    return 0;
  }
  std::string names;
  for (auto& name : bad) names += (names.empty() ? "" : ", ") + name;
  printf("\ntour: misbehaved: %s\n", names.c_str());
  return 1;
}
