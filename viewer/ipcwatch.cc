// ipcwatch: a live view of the kit's kernel objects, to keep open in a
// terminal beside the demonstrations. It shows the semaphore set under key
// 1234 (value, who waits, who operated last), the segment under key 10 (its
// bytes, the answer flag) and the named pipes "srvfifo" and "clififo" in the
// working directory (who has each open, for reading and for writing).
//
//   ipcwatch                   redraw on a terminal until Ctrl-C
//   ipcwatch --once [PART...]  print one snapshot (also when not a terminal);
//                              PART is sem, shm or fifo
//
// It names who waits on the semaphore and for what, who has the segment
// attached, and what each holder of a named pipe is doing with it. It only
// reads, and leaves no trace: the segment's bytes are read through the
// memory of a process that has it attached, never by attaching it, which
// the kernel would record as the segment's last attach. Its looks cost in
// proportion to change (see look.h).
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drawing.h"
#include "look.h"
#include "picture_file.h"
#include "recording.h"
#include "standard_streams.h"
#include "visible.h"

namespace {

using look::name_of;

constexpr int kLookMs = 100;             // a change shows within this, and the drawing's time
constexpr int kHighlightMs = 2000;       // how long a change stays marked
constexpr double kLiveKeptSeconds = 60;  // of the live view's own account of operations
constexpr int kGatherUs = 10000;         // a burst of the kernel's events is taken in at once

// A piece of a line; pieces with a key are values, marked when they change.
struct Piece {
  std::string key, text;
};
using Line = std::vector<Piece>;

Line line(std::initializer_list<Piece> pieces) { return Line(pieces); }
Piece text(std::string s) { return {"", std::move(s)}; }

std::string format(const char* fmt, auto... args) {
  std::array<char, 256> buffer;
  snprintf(buffer.data(), buffer.size(), fmt, args...);
  return buffer.data();
}

std::string user_name(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry ? entry->pw_name : std::to_string(uid);
}

std::string clock_time(time_t when) {
  if (when == 0) return "never";
  std::array<char, 16> shown;
  strftime(shown.data(), shown.size(), "%H:%M:%S", localtime(&when));
  return shown.data();
}

void semaphore_part(const look::Semaphore& set, const std::string& short_of,
                    std::vector<Line>& screen) {
  screen.push_back(line({text("Semaphore set, key 1234 (0x000004d2)")}));
  if (!set.present || !set.unseen.empty()) {
    screen.push_back(line({text("  "), {"sem", set.present ? set.unseen : "absent"}}));
    return;
  }
  screen.push_back(line({text("  id "),
                         {"sem.id", std::to_string(set.id)},
                         text("  owner "),
                         {"sem.owner", user_name(set.owner)},
                         text("  mode "),
                         {"sem.mode", format("%04o", set.mode)}}));
  std::string which = set.count > 1 ? "semaphore 0 of " + std::to_string(set.count) + ": " : "";
  screen.push_back(line({text("  " + which + "value "),
                         {"sem.value", std::to_string(set.value)},
                         text("   waiting for it to rise "),
                         {"sem.ncnt", std::to_string(set.rising)},
                         text("   waiting for zero "),
                         {"sem.zcnt", std::to_string(set.zero)}}));
  for (auto& waiter : set.waiters)
    screen.push_back(line({text("  waits  "),
                           {"sem.waiter." + std::to_string(waiter.pid),
                            waiter.name + ", in semop " + waiter.doing}}));
  // Waiting, but not to be found: why, rather than a count with no names.
  int unnamed = set.rising + set.zero - static_cast<int>(set.waiters.size());
  if (unnamed > 0)
    screen.push_back(line({text("  waits  "),
                           {"sem.unnamed", std::to_string(unnamed) + " not named: " +
                                               (short_of.empty() ? "not found among the processes "
                                                                   "you may look at"
                                                                 : short_of)}}));
  screen.push_back(line({text("  last operation by "),
                         {"sem.pid", name_of(set.last)},
                         text(" at "),
                         {"sem.otime", clock_time(set.operated)},
                         text("; last change "),
                         {"sem.ctime", clock_time(set.changed)}}));
}

void segment_part(const look::Segment& segment, const std::string& short_of,
                  std::vector<Line>& screen) {
  screen.push_back(line({text("Shared segment, key 10 (0x0000000a)")}));
  if (!segment.present || !segment.unseen.empty()) {
    screen.push_back(line({text("  "), {"shm", segment.present ? segment.unseen : "absent"}}));
    return;
  }
  screen.push_back(line({text("  id "),
                         {"shm.id", std::to_string(segment.id)},
                         text("  size "),
                         {"shm.size", std::to_string(segment.size)},
                         text("  mode "),
                         {"shm.mode", format("%04o", segment.mode)},
                         text("  attached "),
                         {"shm.nattch", std::to_string(segment.attaches)}}));
  screen.push_back(line({text("  created by "),
                         {"shm.cpid", name_of(segment.creator)},
                         text("; last attach or detach by "),
                         {"shm.lpid", name_of(segment.last)}}));
  for (auto& holder : segment.attached)
    screen.push_back(line(
        {text("  attached by "), {"shm.attached." + std::to_string(holder.pid), holder.name}}));
  if (!segment.bytes) {
    std::string why = !short_of.empty() && segment.attaches > 0 ? "not shown: " + short_of
                      : segment.attaches > 0
                          ? "not shown: no process that has it attached may be looked at by you"
                          : "not shown: no process has it attached, and attaching it to read "
                            "them would change its last attach";
    screen.push_back(line({text("  bytes: "), {"shm.bytes", why}}));
    return;
  }
  std::string shown, hex;
  for (unsigned char c : *segment.bytes) {
    shown += c == 0 ? "\\0" : isprint(c) ? std::string(1, static_cast<char>(c)) : "?";
    hex += format("%02x ", c);
  }
  screen.push_back(line({text("  text  "), {"shm.text", shown}}));
  screen.push_back(line({text("  hex   "), {"shm.hex", hex}}));
  const std::string& bytes = *segment.bytes;
  std::string flag = bytes.empty()     ? "none"
                     : bytes[0] == 'A' ? "'A': answered"
                                       : "no answer yet ('A' wanted)";
  screen.push_back(line({text("  byte 0, the answer flag: "), {"shm.flag", flag}}));
}

std::string listed(const std::vector<look::Who>& holders) {
  if (holders.empty()) return "none";
  std::string all;
  for (auto& who : holders) all += (all.empty() ? "" : ", ") + who.name + " " + who.doing;
  return all;
}

void fifo_part(const look::World& world, std::vector<Line>& screen) {
  std::array<char, 4096> cwd{};
  if (!getcwd(cwd.data(), cwd.size())) strcpy(cwd.data(), ".");
  screen.push_back(line({text("Named pipes in " + kit::visible(cwd.data()))}));
  for (auto& fifo : world.fifos) {
    std::string key = "fifo." + fifo.name;
    std::string name = format("  %-8s ", fifo.name.c_str());
    // Where a symlink points, shown harmless: anyone may have made it.
    std::string link = fifo.link.empty() ? "" : " (a symlink to " + kit::visible(fifo.link) + ")";
    if (!fifo.present || !fifo.is_fifo) {
      screen.push_back(
          line({text(name), {key, fifo.present ? "not a named pipe" + link : "absent"}}));
      continue;
    }
    screen.push_back(line({text(name),
                           {key, "present" + link},
                           text("  mode "),
                           {key + ".mode", format("%04o", fifo.mode)},
                           text("  reading: "),
                           {key + ".readers", listed(fifo.readers)},
                           text("  writing: "),
                           {key + ".writers", listed(fifo.writers)}}));
  }
  if (world.blind.denied > 0)
    screen.push_back(
        line({text(format("  (%d processes could not be looked at for lack of "
                          "permission: run as root to see them all)",
                          world.blind.denied))}));
  if (world.blind.failed > 0)
    screen.push_back(line(
        {text(format("  (could not look at every process: %s)", strerror(world.blind.failure)))}));
}

// The last operations on each object ("semaphore", "fifos"), in the words
// a recording's log says them.
constexpr size_t kLately = 3;
using Lately = std::map<std::string, std::vector<std::string>>;

void keep_lately(Lately& lately, look::Log said) {
  std::stable_sort(said.begin(), said.end(),
                   [](const look::Said& a, const look::Said& b) { return a.at < b.at; });
  for (auto& line : said) {
    const std::string& text = line.text;
    bool semaphore = text.find(": semop ") != std::string::npos ||
                     text.find(": semctl ") != std::string::npos ||
                     text.find(": semget ") != std::string::npos;
    bool fifo =
        text.find("srvfifo") != std::string::npos || text.find("clififo") != std::string::npos;
    if (!semaphore && !fifo) continue;
    auto& kept = lately[semaphore ? "semaphore" : "fifos"];
    kept.push_back(text);
    if (kept.size() > kLately) kept.erase(kept.begin());
  }
}

void lately_part(const Lately* lately, const std::string& object, std::vector<Line>& screen) {
  if (!lately || !lately->count(object)) return;
  int at = 0;
  for (auto& said : lately->at(object))
    screen.push_back(line({text("  lately "), {object + "-lately-" + std::to_string(at++), said}}));
}

std::vector<Line> snapshot(const look::World& world, const look::Parts& parts,
                           const Lately* lately = nullptr) {
  std::vector<Line> screen;
  auto gap = [&] {
    if (!screen.empty()) screen.push_back({});
  };
  if (parts.sem) {
    gap();
    semaphore_part(world.semaphore, world.short_of, screen);
    if (world.semaphore.present) lately_part(lately, "semaphore", screen);
  }
  if (parts.shm) {
    gap();
    segment_part(world.segment, world.short_of, screen);
  }
  if (parts.fifo) {
    gap();
    fifo_part(world, screen);
    if (std::any_of(std::begin(world.fifos), std::end(world.fifos),
                    [](const look::Fifo& fifo) { return fifo.is_fifo; }))
      lately_part(lately, "fifos", screen);
  }
  // Said under everything shown, for whoever reads any part of it.
  if (!world.short_of.empty()) {
    gap();
    screen.push_back(line({text("Not every process was seen: "), {"short", world.short_of}}));
  }
  return screen;
}

std::map<std::string, std::string> values(const std::vector<Line>& screen) {
  std::map<std::string, std::string> found;
  for (auto& each : screen)
    for (auto& piece : each)
      if (!piece.key.empty()) found[piece.key] = piece.text;
  return found;
}

void print_plain(const std::vector<Line>& screen) {
  for (auto& each : screen) {
    for (auto& piece : each) fputs(piece.text.c_str(), stdout);
    putchar('\n');
  }
}

volatile sig_atomic_t stop = 0;
void on_stop(int) { stop = 1; }

// Redraws when something changes and when the clock's second turns; what
// changed stays marked for a moment. Between looks it sleeps, woken early
// by a named pipe's event.
int watch(const look::Parts& parts, bool colour) {
  struct sigaction ending {};
  ending.sa_handler = on_stop;
  sigaction(SIGINT, &ending, nullptr);
  sigaction(SIGTERM, &ending, nullptr);

  using Clock = std::chrono::steady_clock;
  look::Watcher watcher(true, parts);
  std::map<std::string, std::string> before;
  std::map<std::string, Clock::time_point> changed;
  time_t drawn_second = 0;
  auto fading = Clock::time_point{};  // the last moment a mark is still shown
  bool marked = false;                 // the screen shows a mark now
  fputs("\033[?25l", stdout);         // no cursor blinking over the values
  // Where the kernel's events may be read, each object's last operations,
  // from the recorder's own account of them, kept for a minute. They are
  // read from just after the first screen, which loading them would delay.
  std::unique_ptr<look::KernelTrace> trace;
  bool tried = false;
  kit::Record heard;
  heard.traced = true;
  std::optional<look::Recorder> recorder;
  auto start = Clock::now();
  double start_at = 0;
  Lately lately;
  while (!stop) {
    const look::World& world = watcher.look();
    if (trace) {
      recorder->take(world, std::chrono::duration<double>(Clock::now() - start).count());
      keep_lately(lately, recorder->take(trace->take(), start_at, *trace));
    }
    auto screen = snapshot(world, parts, trace ? &lately : nullptr);
    auto now_values = values(screen);
    auto now = Clock::now();
    time_t wall = time(nullptr);
    bool differs = now_values != before;
    for (auto& [key, value] : now_values)
      if (!before.empty() && before[key] != value) {
        changed[key] = now;
        fading = now + std::chrono::milliseconds(kHighlightMs);
      }
    // Once its time is over, a mark goes at the next look, however late
    // a busy machine makes that look.
    if (differs || wall != drawn_second || (marked && now >= fading)) {
      printf(
          "\033[H\033[1mipcwatch\033[0m  the kit's kernel objects, live  %s  Ctrl-C ends"
          "\033[K\n\033[K\n",
          clock_time(wall).c_str());
      marked = false;
      for (auto& each : screen) {
        for (auto& piece : each) {
          bool fresh = colour && changed.count(piece.key) &&
                       now - changed[piece.key] < std::chrono::milliseconds(kHighlightMs);
          marked |= fresh;
          printf(fresh ? "\033[1;33m%s\033[0m" : "%s", piece.text.c_str());
        }
        fputs("\033[K\n", stdout);
      }
      fputs("\033[J", stdout);
      fflush(stdout);  // a terminal view: show each redraw as it is made
      drawn_second = wall;
      before = std::move(now_values);
    }
    if (!tried) {
      tried = true;
      std::string refused;
      trace = look::KernelTrace::start(look::kPrograms, refused);
      start = Clock::now();
      start_at = std::chrono::duration<double>(start.time_since_epoch()).count();
      if (trace) recorder.emplace(heard, kLiveKeptSeconds);
    }
    pollfd events[2] = {{watcher.events(), POLLIN, 0}, {trace ? trace->fd() : -1, POLLIN, 0}};
    poll(events, 2, kLookMs);
  }
  fputs("\033[?25h\n", stdout);
  if (getenv("IPCWATCH_COUNT_WALKS"))
    fprintf(stderr, "ipcwatch: %d walks of the processes, %d of them periodic\n", watcher.walks(),
            watcher.periodic_walks());
  return 0;
}

// How long a line of the log waits for one of an earlier moment: the
// kernel's events are taken in within a gathering, and each line is out
// well within 100 ms of what it tells.
constexpr double kLogHeld = 0.05;

// Watches as the live view does, and keeps what it sees; when it ends
// (Ctrl-C or Ctrl-\, SIGTERM, the terminal closed, whoever read its log
// gone, or after `seconds`), draws it as a timeline into `path`.
int record(const look::Parts& parts, const std::string& path, double seconds) {
  // Every signal that would end it unasked, not only Ctrl-C: a recording
  // ends with its picture however it is told to. (The faults of its own,
  // such as SIGSEGV, still end it at once.)
  struct sigaction ending {};
  ending.sa_handler = on_stop;
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                  SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR, SIGSTKFLT, SIGIO})
    sigaction(sig, &ending, nullptr);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) sigaction(sig, &ending, nullptr);

  std::array<char, 4096> cwd{};
  if (!getcwd(cwd.data(), cwd.size())) strcpy(cwd.data(), ".");
  kit::Record kept;
  kept.name = "ipcwatch recording";
  kept.watch_for = "What the kernel showed of the kit's objects in " + kit::visible(cwd.data()) +
                   ", recorded by ipcwatch from " + clock_time(time(nullptr)) + ".";
  kept.person = false;
  kept.object = std::string(parts.sem ? "semaphore " : "") + (parts.shm ? "segment " : "") +
                (parts.fifo ? "fifos" : "");
  // Made first, so that a folder that cannot take the picture is known
  // before a whole session is recorded.
  kit::PictureFile file(path);
  if (!file.ok()) {
    fprintf(stderr, "ipcwatch: cannot write %s: %s\n", path.c_str(), file.error().c_str());
    return 1;
  }
  std::string refused;
  auto trace = look::KernelTrace::start(look::kPrograms, refused);
  kept.traced = trace != nullptr;
  kept.note =
      trace
          ? "Recorded from the kernel's tracepoints: every operation on the kit's objects as "
            "its caller asked it, the bytes each read and write moved, who woke whom, each "
            "signal and fork, each end with its status; states read from /proc. What the "
            "programs print is seen as their writes into the terminal, and the keys typed as "
            "the reads that took them, the first 256 bytes of each."
          : "Sampled from /proc, as the kernel's tracing is not open to ipcwatch here (" + refused +
                "): the operations that pass between the programs, such as a post and "
                "the take it lets through, cannot be seen; \"sudo ipcwatch --record " +
                kit::visible(path) +
                "\" records them. The lines the programs print, and the keys typed, "
                "are not visible to ipcwatch.";
  look::Watcher watcher(true, parts);
  if (trace) watcher.told_by_kernel();
  // The tests shorten the history kept, to see a recording past it.
  const char* kept_seconds = getenv("IPCWATCH_KEEP_SECONDS");
  look::Recorder recorder(kept, kept_seconds ? atof(kept_seconds) : look::kKeptSeconds);
  if (trace) recorder.hold_room();
  auto start = std::chrono::steady_clock::now();
  double start_at = std::chrono::duration<double>(start.time_since_epoch()).count();
  struct stat out {};
  bool into_pipe = fstat(1, &out) == 0 && (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode));
  printf("ipcwatch: recording into %s %s; Ctrl-C ends\n", path.c_str(),
         trace ? "from the kernel's tracepoints" : "by sampling /proc");
  double looked = -1;
  const look::World* seen = nullptr;
  // The log in the order of its moments: a line waits a moment for those of
  // earlier moments that the kernel has not yet handed over.
  look::Log pending;
  size_t told = 0;  // of them, printed already
  auto hear = [&](look::Log said) {
    for (auto& line : said)
      if (!line.text.empty()) pending.push_back(std::move(line));
  };
  auto print_until = [&](double moment) {
    auto earlier = [](const look::Said& a, const look::Said& b) { return a.at < b.at; };
    auto from = pending.begin() + static_cast<long>(told);
    if (!std::is_sorted(from, pending.end(), earlier))
      std::stable_sort(from, pending.end(), earlier);
    auto last =
        std::find_if(from, pending.end(), [&](const look::Said& line) { return line.at > moment; });
    for (auto line = from; line != last; ++line)
      if (!line->text.empty()) {
        fwrite(line->text.data(), 1, line->text.size(), stdout);
        putchar('\n');
      }
    told = static_cast<size_t>(last - pending.begin());
    // Those printed are let go once they are the most, not at every turn,
    // which would move all those still waiting each time.
    if (told > pending.size() / 2) {
      pending.erase(pending.begin(), last);
      told = 0;
    }
  };
  for (;;) {
    double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The kernel's events at once, the looks at /proc at their own pace.
    if (!seen || at - looked >= kLookMs / 1000.0 || stop) {
      looked = at;
      seen = &watcher.look();
      hear(recorder.take(*seen, at));
    }
    const look::World& world = *seen;
    if (trace) {
      auto events = trace->take();
      for (auto& event : events)
        if (event.kind == look::KernelEvent::Enter && event.name == "open") watcher.fifo_opened();
      recorder.take(events, start_at, *trace, pending);
    } else
      hear(recorder.find_programs(at));
    print_until(at - kLogHeld);
    // What a look missed, and why, stays in the picture's note.
    if (!world.short_of.empty() && kept.note.find(world.short_of) == std::string::npos)
      kept.note += " Some looks did not see every process: " + world.short_of + ".";
    // Each change as it is seen, for whoever watches the log.
    fflush(stdout);
    if (stop || (seconds > 0 && at >= seconds)) break;
    // A log piped into a reader that has gone ends the recording at once,
    // though nothing is printed to find that out.
    pollfd events[3] = {
        {1, 0, 0}, {watcher.events(), POLLIN, 0}, {trace ? trace->fd() : -1, POLLIN, 0}};
    int first = into_pipe ? 0 : 1;
    // Until the next look, or the next line due, whichever comes first.
    int wait = kLookMs;
    if (told < pending.size())
      wait = std::clamp(static_cast<int>(std::ceil((pending[told].at + kLogHeld - at) * 1000)), 1,
                        kLookMs);
    if (poll(events + first, 3 - first, wait) > 0 && into_pipe &&
        (events[0].revents & (POLLERR | POLLHUP)))
      break;
    // Woken by the kernel's first event of a burst: the rest of it is
    // taken in with it.
    if (trace && (events[2].revents & POLLIN)) usleep(kGatherUs);
  }
  if (trace) {
    hear(recorder.take(trace->take(), start_at, *trace));
    recorder.finish();
    if (size_t unnamed = recorder.unnamed())
      kept.note += " " + std::to_string(unnamed) +
                   " operations on the set came from processes outside ipcwatch's PID "
                   "namespace, which have no number in it: they are not drawn.";
    if (trace->lost() > 0)
      kept.note += " The kernel's buffer overflowed while the machine was busy: " +
                   std::to_string(trace->lost()) +
                   " of its events were lost, and what they held is missing here.";
  }
  print_until(std::numeric_limits<double>::infinity());
  trace.reset();  // the BPF programs detached before the picture is written
  if (!file.commit(kit::draw_scene(kept))) {
    fprintf(stderr, "ipcwatch: cannot write %s: %s\n", path.c_str(), file.error().c_str());
    return 1;
  }
  printf("ipcwatch: %zu %s over %.1f s drawn in %s\n", kept.lanes.size(),
         kept.lanes.size() == 1 ? "process" : "processes", kept.end - kept.begin, path.c_str());
  return 0;
}

constexpr const char* kUsage =
    "usage: ipcwatch [--once] [sem|shm|fifo]...\n"
    "       ipcwatch --record FILE.svg [--for SECONDS] [sem|shm|fifo]...\n"
    "       ipcwatch --version\n";

}  // namespace

int main(int argc, char** argv) {
  if (!kit::standard_streams_open()) return 1;
  bool once = !isatty(STDOUT_FILENO);
  look::Parts parts;
  bool chosen = false;
  std::string recording;
  double seconds = 0;
  for (int i = 1; i < argc; i++) {
    std::string_view arg = argv[i];
    if (arg == "--once") {
      once = true;
      continue;
    }
    if (arg == "--record" && i + 1 < argc) {
      recording = argv[++i];
      continue;
    }
    if (arg == "--for" && i + 1 < argc) {
      char* end;
      seconds = strtod(argv[++i], &end);
      if (*end == '\0' && seconds > 0) continue;
      fputs(kUsage, stderr);
      return 2;
    }
    if (arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      puts("ipcwatch " KIT_VERSION);
      return 0;
    }
    if (!chosen) {
      parts = {false, false, false};
      chosen = true;
    }
    if (arg == "sem")
      parts.sem = true;
    else if (arg == "shm")
      parts.shm = true;
    else if (arg == "fifo")
      parts.fifo = true;
    else {
      fputs(kUsage, stderr);
      return 2;
    }
  }
  if (!recording.empty()) return record(parts, recording, seconds);
  const char* term = getenv("TERM");
  bool colour = !getenv("NO_COLOR") && !(term && std::string_view(term) == "dumb");
  // A terminal that cannot move its cursor gets snapshots, not a live view.
  if (term && std::string_view(term) == "dumb") once = true;
  if (!once) return watch(parts, colour);
  look::Watcher watcher(false, parts);
  print_plain(snapshot(watcher.look(), parts));
  return 0;
}
