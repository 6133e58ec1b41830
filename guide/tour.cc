// tour: plays every demonstration of the kit end to end, the way a person
// would see it in two or three terminals: each program's lines labelled with
// its name, in the order they happened, and what the person types or sends.
//
//   tour            every scene
//   tour NAME...    those scenes only
//   tour --list     the scenes' names
//   tour --real-keys ...   use the host's keys, so that ipcs or ipcwatch in
//                          another terminal sees the scenes' objects
//   tour --draw DIR ...    also draw each scene played as DIR/NAME.svg, a
//                          timeline, and DIR/index.html showing them all
//   tour --allow-skip ...  a scene skipped (its key in use, a tool missing)
//                          does not fail the tour
//   tour --sampled ...     look at the programs through /proc only, without
//                          following their calls
//
// Scenes run in a private IPC namespace where the system allows it, so they
// never meet the host's semaphores or segments; elsewhere they use the real
// keys, refuse to start while a key is in use, and remove what they made.
// Each scene checks what it shows: the tour exits 1 naming any scene whose
// programs misbehaved, and 3 when a scene was skipped.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "drawing.h"
#include "objects.h"
#include "picture_file.h"
#include "scenes.h"
#include "standard_streams.h"

namespace {

using kit::Play;
using kit::Record;

using kit::kSegmentKey;
using kit::kSemaphoreKey;
constexpr const char* kBold = "\033[1m";
constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";

bool private_keys = false;

const char* paint(const char* code) { return kit::colour ? code : ""; }

// Removes what a scene left under its key. With the real keys, a scene
// starts only when its key is free, so whatever is there it made.
void remove_objects(key_t key) {
  if (key == kSemaphoreKey)
    if (int id = semget(key, 0, 0); id >= 0) semctl(id, 0, IPC_RMID);
  if (key == kSegmentKey)
    if (int id = shmget(key, 0, 0); id >= 0) shmctl(id, IPC_RMID, nullptr);
}

// In use under the real keys? Then the scene must not start.
std::string key_in_use(key_t key) {
  if (private_keys || key == 0) return "";
  if (key == kSemaphoreKey && semget(key, 0, 0) >= 0)
    return "a semaphore set under key 1234 exists (ipcs -s; ipcrm -S 1234 if it is left over)";
  if (key == kSegmentKey && shmget(key, 0, 0) >= 0)
    return "a segment under key 10 exists (ipcs -m; ipcrm -M 10 if it is left over)";
  return "";
}

enum class Outcome { played, skipped, misbehaved, interrupted, exhausted };

void ask_to_stop(int sig) { kit::stop_signal = sig; }

// Held open all along and let go only to clean up, so that a scene that ran
// out of descriptors still leaves nothing behind.
int spare_descriptor = -1;

// What a scene needs at once besides: a terminal and pipes per program, and
// the tracer's two. With fewer, the tour says so before it starts.
constexpr int kDescriptorsAtLeast = 8;

// Why a scene could not go on for want of descriptors, as one line.
std::string no_descriptors() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  return "no file descriptor left (the limit is " + std::to_string(limit.rlim_cur) +
         "; raise it with ulimit -n)";
}

bool out_of_descriptors(const std::system_error& error) {
  return error.code().value() == EMFILE || error.code().value() == ENFILE;
}

// Each scene's scratch folder is locked by its tour all along, and marked
// once locked; a marked folder whose lock is free was left by a tour that
// was killed, and whatever started in it has died with that tour.
constexpr const char* kScratchPrefix = "ipc-kit-tour-";
constexpr const char* kMadeMark = ".made-by-the-tour";

int lock_scratch(const std::string& dir) {
  int lock = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (lock < 0) return -1;
  int mark = -1;
  if (flock(lock, LOCK_EX) < 0 ||
      (mark = openat(lock, kMadeMark, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)) < 0) {
    close(lock);
    return -1;
  }
  close(mark);
  return lock;
}

void remove_abandoned_scratch() {
  std::error_code failed;
  auto temp = std::filesystem::temp_directory_path(failed);
  if (failed) return;
  for (auto& entry : std::filesystem::directory_iterator(temp, failed)) {
    if (!entry.path().filename().string().starts_with(kScratchPrefix)) continue;
    struct stat info;
    // Our own folders only, never through a link.
    if (lstat(entry.path().c_str(), &info) < 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != geteuid())
      continue;
    int lock = open(entry.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (lock < 0) continue;
    bool abandoned =
        flock(lock, LOCK_EX | LOCK_NB) == 0 && faccessat(lock, kMadeMark, F_OK, 0) == 0;
    if (abandoned) std::filesystem::remove_all(entry.path(), failed);
    close(lock);
  }
}

// Plays one scene in a fresh scratch directory, recording it into `record`.
Outcome play(const Play& scene_play, Record& record, kit::Tracer* tracer) {
  record.name = scene_play.name;
  record.watch_for = scene_play.watch_for;
  record.object = scene_play.object;
  printf("\n%s== %s ==%s\n%s\n\n", paint(kBold), scene_play.name, paint(kReset),
         scene_play.watch_for);
  std::string busy = key_in_use(scene_play.key);
  if (busy.empty() && scene_play.missing) busy = scene_play.missing();
  if (!busy.empty()) {
    printf("  %sskipped: %s%s\n", paint(kRed), busy.c_str(), paint(kReset));
    return Outcome::skipped;
  }
  std::error_code failed;
  std::string dir =
      (std::filesystem::temp_directory_path(failed) / (kScratchPrefix + std::string("XXXXXX")))
          .string();
  auto home = std::filesystem::current_path(failed);
  int lock = -1;
  if (!mkdtemp(dir.data()) || (lock = lock_scratch(dir)) < 0) {
    int error = errno;
    fprintf(stderr, "tour: cannot make a scratch folder %s: %s\n", dir.c_str(), strerror(error));
    if (lock < 0) rmdir(dir.c_str());
    return error == EMFILE || error == ENFILE ? Outcome::exhausted : Outcome::misbehaved;
  }
  Outcome outcome = Outcome::played;
  std::filesystem::current_path(dir, failed);
  try {
    // The scene's programs are ended as it goes, however it ends.
    kit::Scene scene(record, tracer);
    scene_play.play(scene);
    scene.sweep(true);
  } catch (const kit::Interrupted& stop) {
    record.failure = std::string("interrupted by SIG") + sigabbrev_np(stop.signal);
    outcome = Outcome::interrupted;
  } catch (const std::system_error& error) {
    bool exhausted = out_of_descriptors(error);
    record.failure = exhausted ? no_descriptors() : error.what();
    outcome = exhausted ? Outcome::exhausted : Outcome::misbehaved;
  } catch (const std::exception& error) {
    record.failure = error.what();
    outcome = Outcome::misbehaved;
  }
  if (outcome == Outcome::misbehaved) {
    fflush(stdout);
    fprintf(stderr, "  %s!! %s misbehaved: %s%s\n", paint(kRed), scene_play.name,
            record.failure.c_str(), paint(kReset));
  }
  remove_objects(scene_play.key);
  std::filesystem::current_path(home, failed);
  close(spare_descriptor);
  std::filesystem::remove_all(dir, failed);
  close(lock);
  spare_descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (failed)
    fprintf(stderr, "tour: cannot remove %s: %s\n", dir.c_str(), failed.message().c_str());
  return outcome;
}

bool write_file(const std::filesystem::path& path, const std::string& text) {
  kit::PictureFile file(path.string());
  if (file.commit(text)) return true;
  fprintf(stderr, "tour: cannot write %s: %s\n", path.c_str(), file.error().c_str());
  return false;
}

constexpr const char* kUsage =
    "usage: tour [--list | --version | [--real-keys] [--allow-skip] [--sampled] [--draw DIR] "
    "[SCENE...]]\n";

}  // namespace

int main(int argc, char** argv) {
  const auto& all = kit::scenes();
  std::vector<const Play*> chosen;
  bool real_keys = false;
  bool allow_skip = false;
  bool sampled = false;
  std::filesystem::path drawings;
  for (int i = 1; i < argc; i++) {
    std::string_view name = argv[i];
    if (name == "--real-keys") {
      real_keys = true;
      continue;
    }
    if (name == "--allow-skip") {
      allow_skip = true;
      continue;
    }
    if (name == "--sampled") {
      sampled = true;
      continue;
    }
    if (name == "--draw" && i + 1 < argc) {
      drawings = argv[++i];
      continue;
    }
    if (name == "--list") {
      for (auto& scene : all) printf("%-11s %s\n", scene.name, scene.watch_for);
      return 0;
    }
    if (name == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (name == "--version") {
      puts("tour " KIT_VERSION);
      return 0;
    }
    auto found =
        std::find_if(all.begin(), all.end(), [&](const Play& scene) { return name == scene.name; });
    if (found == all.end()) {
      fputs(kUsage, stderr);
      if (name.starts_with("-"))
        fprintf(stderr, "tour: unknown option '%s'\n", argv[i]);
      else
        fprintf(stderr, "tour: no scene named '%s' (tour --list names them)\n", argv[i]);
      return 2;
    }
    chosen.push_back(&*found);
  }
  if (chosen.empty())
    for (auto& scene : all) chosen.push_back(&scene);
  std::error_code failed;
  if (!drawings.empty() && !std::filesystem::create_directories(drawings, failed) && failed) {
    fprintf(stderr, "tour: cannot make %s: %s\n", drawings.c_str(), failed.message().c_str());
    return 1;
  }

  // Asked to stop (Ctrl-C, kill, the terminal closed), the tour ends the
  // scene it plays, removes what it made and draws what was played.
  struct sigaction stop {};
  stop.sa_handler = ask_to_stop;
  sigemptyset(&stop.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &stop, nullptr);

  const char* term = getenv("TERM");
  kit::colour = isatty(1) && !getenv("NO_COLOR") && term && std::string_view(term) != "dumb";
  // A program that has ended must not end the tour through its pipe.
  signal(SIGPIPE, SIG_IGN);
  private_keys =
      !real_keys && (unshare(CLONE_NEWIPC) == 0 || unshare(CLONE_NEWUSER | CLONE_NEWIPC) == 0);
  printf("%s\n", private_keys ? "Scenes run in a private IPC namespace: your own objects are safe."
                              : "Scenes use the host's real keys; they remove what they make.");

  spare_descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (spare_descriptor < 0 || !kit::descriptors_to_spare(kDescriptorsAtLeast)) {
    fprintf(stderr, "tour: %s\n", no_descriptors().c_str());
    return 1;
  }
  std::optional<kit::Tracer> tracer;
  if (!sampled) {
#ifdef __SANITIZE_ADDRESS__
    // LeakSanitizer refuses to run under a tracer and would fail every
    // traced program at its exit; the untraced tests keep it.
    std::string options = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (options + (options.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
#endif
    try {
      tracer.emplace();
    } catch (const std::system_error& error) {
      if (out_of_descriptors(error)) {
        fprintf(stderr, "tour: %s\n", no_descriptors().c_str());
        return 1;
      }
      fprintf(stderr, "tour: cannot trace (%s): the scenes are sampled\n", error.what());
    }
  }

  remove_abandoned_scratch();
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> bad;
  std::list<Record> drawn;
  int skipped = 0;
  bool written = true;
  Outcome last = Outcome::played;
  for (const Play* scene : chosen) {
    if (kit::stop_signal) break;
    Record& record = drawn.emplace_back();
    Outcome outcome = last = play(*scene, record, tracer ? &*tracer : nullptr);
    if (outcome == Outcome::misbehaved) bad.push_back(scene->name);
    if (outcome == Outcome::skipped) {
      skipped++;
      drawn.pop_back();
      continue;
    }
    if (!drawings.empty())
      written &= write_file(drawings / (record.name + ".svg"), kit::draw_scene(record));
    if (outcome == Outcome::interrupted || outcome == Outcome::exhausted) break;
  }
  if (!drawings.empty()) written &= write_file(drawings / "index.html", kit::draw_index(drawn));
  fflush(stdout);
  if (last == Outcome::exhausted) {
    fprintf(stderr, "tour: %s\n", no_descriptors().c_str());
    return 1;
  }
  if (int sig = kit::stop_signal) {
    // Ended as the signal would have ended it, once all is cleaned up.
    fprintf(stderr, "\ntour: interrupted by SIG%s\n", sigabbrev_np(sig));
    tracer.reset();
    signal(sig, SIG_DFL);
    raise(sig);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  if (bad.empty() && written) {
    size_t played = chosen.size() - skipped;
    printf("\ntour: %zu scene%s played in %.1f s", played, played == 1 ? "" : "s", seconds);
    if (skipped)
      printf(", %d skipped (said why above)\n", skipped);
    else
      putchar('\n');
    if (!drawings.empty()) printf("tour: pictures in %s/index.html\n", drawings.c_str());
    return skipped && !allow_skip ? 3 : 0;
  }
  std::string names;
  for (auto& name : bad) names += (names.empty() ? "" : ", ") + name;
  fflush(stdout);
  if (!bad.empty()) fprintf(stderr, "\ntour: misbehaved: %s\n", names.c_str());
  return 1;
}
