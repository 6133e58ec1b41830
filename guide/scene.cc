#include "scene.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "objects.h"
#include "relations.h"
#include "visible.h"

namespace kit {

bool colour = false;
volatile sig_atomic_t stop_signal = 0;

namespace {

constexpr size_t kSegmentShown = 20;
// A person's pause before each key or signal: long enough to see who blocks
// and who runs, in the terminal and in the pictures.
constexpr Duration kBeat = 250ms;
constexpr size_t kPasses = 16;
// What is kept of a program whatever it prints, and of the children it
// makes, so that the record stays small however long the program goes on.
constexpr size_t kOutputKept = 1 << 20;  // bytes of each stream
constexpr size_t kLinesKept = 200;       // lines of each program
constexpr size_t kLineShown = 300;       // bytes of each line
constexpr size_t kCallsKept = 100;       // calls drawn on each lane
constexpr int kChildLanes = 24;          // lanes for one program's children

// The terminal's colours for the lanes, in the picture's order of hues.
constexpr const char* kPalette[] = {"\033[36m", "\033[33m", "\033[35m", "\033[32m", "\033[34m"};
constexpr const char* kDim = "\033[2m";
constexpr const char* kReset = "\033[0m";

const char* paint(const char* code) { return colour ? code : ""; }

// A program's line as it printed it, less whatever would act on the terminal:
// a program run through IPC_KIT_BIN may print anything. A line cut short says
// how long it was.
void print_line(const char* hue, const std::string& label, const char* bar, const std::string& text,
                long whole = 0) {
  std::string rest = whole ? std::string(paint(kDim)) + "\u2026 (" + std::to_string(whole) +
                                 " bytes in all)" + paint(kReset)
                           : "";
  printf("  %s%-18s%s%s %s%s\n", paint(hue), label.c_str(), bar, paint(kReset),
         visible(text).c_str(), rest.c_str());
}

// The first `size` bytes of `text`, or fewer so as not to split a character.
std::string_view first_bytes(std::string_view text, size_t size) {
  if (text.size() <= size) return text;
  while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) size--;
  return text.substr(0, size);
}

void print_note(const char* hue, const std::string& text) {
  printf("  %s%s-- %s%s\n", paint(kDim), paint(hue), text.c_str(), paint(kReset));
}

// Asleep until another process acts on a kit object: in a semaphore wait,
// a FIFO's open, or a read or write of a FIFO (not of its terminal).
bool held_by_an_object(const std::optional<Look>& look) {
  if (!look || look->state != 'S') return false;
  return look->call == "semop" || look->call == "open" ||
         ((look->call == "read" || look->call == "write") && look->target != "terminal");
}

std::string printable(std::string_view bytes) {
  std::string shown;
  for (char c : bytes) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  return shown;
}

std::string how_it_ended(const Ending& ending) {
  return ending.exited ? "exit " + std::to_string(ending.status)
                       : std::string("SIG") + sigabbrev_np(ending.signal);
}

// Whether `pid` holds `sig` back now (blocked by its mask, as while its
// handler for it runs), so that the signal waits to be delivered.
bool blocks(pid_t pid, int sig) {
  FILE* status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "re");
  if (!status) return false;
  std::array<char, 256> line;
  unsigned long long mask = 0;
  while (fgets(line.data(), line.size(), status))
    if (sscanf(line.data(), "SigBlk: %llx", &mask) == 1) break;
  fclose(status);
  return (mask >> (sig - 1)) & 1;
}

std::string signal_label(int sig) {
  if (sig == SIGINT) return "Ctrl-C";
  if (sig == SIGILL) return "kill -4";
  return std::string("kill -") + sigabbrev_np(sig);
}

}  // namespace

Actor::Actor(int lane, std::string_view program, Options options)
    : lane(lane), process([&] {
        options.keep = kOutputKept;
        options.heard = [this](std::string_view bytes, bool error) { hear(bytes, error); };
        return Process(program, std::move(options));
      }()) {}

void Actor::hear(std::string_view bytes, bool error) {
  Heard& line = partial[error];
  line.error = error;
  if (lines >= kLinesKept) {
    // Only counted from here on, at the speed of a search for newlines.
    size_t ends = std::count(bytes.begin(), bytes.end(), '\n');
    lines_left_out += ends;
    line.whole = ends ? bytes.size() - bytes.rfind('\n') - 1 : line.whole + bytes.size();
    line.text.clear();
    return;
  }
  while (!bytes.empty()) {
    size_t end = bytes.find('\n');
    std::string_view part = bytes.substr(0, end);
    if (line.text.size() < kLineShown)
      line.text += part.substr(0, kLineShown + 4 - std::min(kLineShown + 4, line.text.size()));
    line.whole += part.size();
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
    end_line(line);
  }
}

void Actor::end_line(Heard& line) {
  if (lines < kLinesKept) {
    lines++;
    std::string_view shown = first_bytes(line.text, kLineShown);
    heard.push_back({std::string(shown), line.error, shown.size() < line.whole ? line.whole : 0});
  } else {
    lines_left_out++;
  }
  line = {};
}

void Actor::end_lines() {
  for (Heard& line : partial)
    if (line.whole) end_line(line);
}

Scene::Scene(Record& record, Tracer* tracer) : record_(record), tracer_(tracer) {
  record_.traced = tracer != nullptr;
  record_.note = tracer ? "Traced call by call from each program's exec, and sampled from /proc "
                          "for the states and the object."
                        : "Sampled from /proc every few milliseconds (--sampled): the states "
                          "only; what passes between the programs is not drawn.";
  look_at_object();
}

Scene::~Scene() {
  record_.end = now();
  say_what_was_left_out();
}

void Scene::say_what_was_left_out() {
  std::string said;
  auto say = [&](const std::string& sentence) { said += (said.empty() ? "" : " ") + sentence; };
  for (auto& actor : actors_) {
    const std::string& who = label(actor);
    if (actor.lines_left_out)
      say(who + " printed " + std::to_string(actor.lines_left_out) + " lines more than the " +
          std::to_string(kLinesKept) + " shown.");
  }
  for (auto [lane, left_out] : calls_left_out_)
    say(std::to_string(left_out) + " calls and signals of " + record_.lanes[lane].label +
        " are not drawn: each lane shows its first " + std::to_string(kCallsKept) + ".");
  for (auto& [lane, more] : more_children_)
    say(record_.lanes[more.lane].label + " share one lane: past " + std::to_string(kChildLanes) +
        " children, their calls are not drawn.");
  if (!said.empty()) record_.note += (record_.note.empty() ? "" : " ") + said;
}

double Scene::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Scene::add(Event event) {
  event.at = now();
  const char* hue = event.lane >= 0 ? kPalette[record_.lanes[event.lane].hue] : "";
  const std::string& label = event.lane >= 0 ? record_.lanes[event.lane].label : event.text;
  switch (event.what) {
    case Happening::Line:
      print_line(hue, label, event.error ? "!" : "|", event.text, event.amount);
      break;
    case Happening::Key:
    case Happening::Signal:
      print_note(hue, event.narration);
      break;
    case Happening::Note:
      print_note(hue, event.text);
      break;
    case Happening::Snapshot:
      print_line(kDim, "ipcwatch", ":", event.text);
      break;
    default:
      break;
  }
  // The tour's own narration goes out as it happens; the programs' lines
  // are theirs, and this is only our account of them.
  fflush(stdout);
  record_.events.push_back(std::move(event));
}

Actor& Scene::start(std::string label, std::string_view program, Options options) {
  absorb();
  options.launcher = tracer_;
  int lane = static_cast<int>(record_.lanes.size());
  bool piped = options.io == Io::Pipes;
  auto& actor = actors_.emplace_back(lane, program, std::move(options));
  record_.lanes.push_back(
      {label, actor.process.pid(), lane % static_cast<int>(std::size(kPalette)), -1, piped});
  add({.what = Happening::Note, .lane = lane, .text = "starts " + label});
  actor.last = Look{'R', "", ""};
  add({.what = Happening::State, .lane = lane, .state = 'R'});
  if (tracer_ && !tracer_->traced(actor.process.pid())) {
    // Refused (another tracer holds us, or a policy forbids it): sampled.
    record_.traced = false;
    record_.note = "Sampled from /proc, not traced (" + tracer_->refusal() +
                   "): the operations between the programs are not drawn.";
  }
  return actor;
}

const std::string& Scene::label(const Actor& actor) const {
  return record_.lanes[actor.lane].label;
}

void Scene::narrate(const std::string& what) { add({.what = Happening::Note, .text = what}); }

void Scene::type(Actor& actor, std::string_view keys, const std::string& said) {
  watch(kBeat);
  add({.what = Happening::Key,
       .lane = actor.lane,
       .text = said,
       .narration = "types " + said + " into " + label(actor)});
  if (!actor.process.type(keys)) throw Misbehaved(label(actor) + " does not take input");
}

void Scene::send(Actor& actor, int sig, const std::string& said) {
  watch(kBeat);
  add({.what = Happening::Signal,
       .lane = actor.lane,
       .text = signal_label(sig),
       .narration = said,
       .value = sig,
       .blocked = blocks(actor.process.pid(), sig)});
  if (!actor.process.signal(sig)) throw Misbehaved(label(actor) + " is gone");
}

void Scene::expect(Actor& actor, std::string_view text, int times, Duration timeout) {
  if (!wait([&] { return count(actor.process.output(), text) >= times; }, timeout))
    throw Misbehaved(label(actor) + " never printed \"" + printable(text) + "\"" +
                     (times > 1 ? " " + std::to_string(times) + " times" : ""));
}

void Scene::expect_state(Actor& actor, char state) {
  if (!wait([&] { return actor.last && actor.last->state == state; }, kPatience))
    throw Misbehaved(label(actor) + (state == 'T' ? " does not stop" : " does not sleep"));
}

void Scene::watch(Duration span) {
  auto until = std::chrono::steady_clock::now() + span;
  wait([&] { return std::chrono::steady_clock::now() >= until; }, span + 1s);
}

bool Scene::wait(const std::function<bool()>& ready, Duration timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (stop_signal) throw Interrupted(stop_signal);
    sweep();
    look();
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Woken by the first output that arrives, and every few milliseconds
    // to look at the programs' states and the object.
    std::vector<pollfd> watched;
    for (auto& actor : actors_)
      for (int fd : actor.process.descriptors()) watched.push_back({fd, POLLIN, 0});
    poll(watched.data(), watched.size(), 5);
  }
}

Ending Scene::finish(Actor& actor) {
  if (!wait([&] { return !actor.last; }, kPatience))
    throw Misbehaved(label(actor) + " does not end");
  // A child it forked may end after it, its buffer written out last: its
  // calls and its end reach us from the tracer a moment later.
  auto descendants_ended = [&] {
    absorb();
    for (size_t lane = 0; lane < record_.lanes.size(); lane++) {
      int up = record_.lanes[lane].parent;
      while (up >= 0 && up != actor.lane) up = record_.lanes[up].parent;
      if (up != actor.lane) continue;
      bool ended = std::any_of(record_.events.begin(), record_.events.end(), [&](const Event& e) {
        return e.what == Happening::End && e.lane == static_cast<int>(lane);
      });
      if (!ended) return false;
    }
    return true;
  };
  if (tracer_) eventually(descendants_ended, 2s);
  sweep(true);
  Ending ending = actor.process.wait_exit(0ms);
  add({.what = Happening::Note,
       .lane = actor.lane,
       .text = label(actor) + (ending.exited ? " exits with status " + std::to_string(ending.status)
                                             : " is ended by " + how_it_ended(ending))});
  return ending;
}

// An actor that has ended: its last lines, then its end, as it happened.
void Scene::ended(Actor& actor) {
  Ending ending = actor.process.wait_exit(0ms);
  if (!ending.exited && !ending.signal) return;  // not yet reaped
  actor.process.wait_exit();  // reads to the end: a child it forked may still write
  sweep();
  actor.last.reset();
  add({.what = Happening::End, .lane = actor.lane, .text = how_it_ended(ending)});
}

void Scene::snapshot(const char* part) {
  sweep();
  Process view("ipcwatch", {.io = Io::Pipes, .args = {"--once", part}});
  if (view.wait_exit().status != 0) throw Misbehaved("ipcwatch failed");
  std::string shown = view.output();
  for (size_t at = 0, end; at < shown.size(); at = end + 1) {
    end = shown.find('\n', at);
    if (end == std::string::npos) end = shown.size();
    add({.what = Happening::Snapshot, .text = shown.substr(at, end - at)});
  }
}

void Scene::sweep(bool all) {
  std::vector<std::pair<Actor*, Heard>> batch;
  // Over the programs until a pass finds nothing new: a line read from one
  // program may have been let through by another's line, written after that
  // one was read; the next pass brings that line into the same batch, however
  // late in a pass it came. The bound only keeps a chatty program from
  // holding the sweep.
  for (size_t pass = 0, found = 0; pass < kPasses && (pass == 0 || batch.size() > found); pass++) {
    found = batch.size();
    for (auto& actor : actors_) {
      // Reading a terminal's other side first pushes out what the program has
      // written to it, so each sweep sees all that was written before it.
      actor.process.read_now();
      if (all) actor.end_lines();
      for (auto& line : actor.heard) batch.push_back({&actor, std::move(line)});
      actor.heard.clear();
    }
  }
  // Lines found in one sweep arrived together, whatever their programs'
  // order. A program seen held by a kit object since its last line can only
  // have been let through by another's operation on it, so its lines come
  // after the others'; otherwise they keep the order the programs started
  // in, which is as true as any for lines printed concurrently.
  std::stable_sort(batch.begin(), batch.end(), [](const auto& a, const auto& b) {
    return std::pair{a.first->held, a.first->lane} < std::pair{b.first->held, b.first->lane};
  });
  for (auto& [actor, line] : batch) actor->held = false;
  for (auto& [actor, line] : batch) {
    // A program that printed ran, however briefly the looks missed it.
    if (actor->last && actor->last->state != 'R') {
      actor->last = Look{'R', "", ""};
      add({.what = Happening::State, .lane = actor->lane, .state = 'R'});
    }
    add({.what = Happening::Line,
         .lane = actor->lane,
         .text = line.text,
         .error = line.error,
         .amount = static_cast<long>(line.whole)});
  }
  for (auto& actor : actors_)
    if (actor.lines_left_out && !actor.told_left_out) {
      actor.told_left_out = true;
      add({.what = Happening::Note,
           .lane = actor.lane,
           .text = "the rest of " + label(actor) + "'s lines are counted, not shown"});
    }
}

void Scene::look() {
  absorb();
  for (auto& actor : actors_) {
    if (!actor.last) continue;
    auto seen = look_at(actor.process.pid());
    if (!seen || seen->state == 'Z' || seen->state == 'X') {
      ended(actor);
      continue;
    }
    // Traced, a program shows 't' both stopped and at each of the tracer's
    // stops; only the tracer knows which, and it reports stops itself.
    if (seen->state == 't') {
      if (!tracer_ || !tracer_->stopped(actor.process.pid())) continue;
      seen->state = 'T';
    }
    if (seen->state == 'D') seen->state = 'S';
    if (seen->state != 'S') seen->call.clear(), seen->target.clear();
    actor.held = actor.held || held_by_an_object(seen);
    if (seen->state == actor.last->state && seen->call == actor.last->call &&
        seen->target == actor.last->target)
      continue;
    actor.last = seen;
    add({.what = Happening::State,
         .lane = actor.lane,
         .state = seen->state,
         .call = seen->call,
         .target = seen->target});
  }
  look_at_object();
}

double Scene::moment(std::chrono::steady_clock::time_point at) const {
  return std::chrono::duration<double>(at - start_).count();
}

int Scene::lane_of(pid_t pid) const {
  for (size_t lane = 0; lane < record_.lanes.size(); lane++)
    if (record_.lanes[lane].pid == pid) return static_cast<int>(lane);
  auto merged = merged_.find(pid);
  return merged == merged_.end() ? -1 : merged->second;
}

// A child on a lane of its own, or past the first few dozen that a program
// and its children made, counted on one lane that stands for the rest.
void Scene::place_child(int parent, pid_t child, double at) {
  const Lane& from = record_.lanes[parent];
  int root = parent;
  while (record_.lanes[root].parent >= 0) root = record_.lanes[root].parent;
  if (children_[root] < kChildLanes) {
    children_[root]++;
    int lane = static_cast<int>(record_.lanes.size());
    record_.lanes.push_back({from.label + "'s child", child, from.hue, parent, from.piped});
    record_.events.push_back({.at = at, .what = Happening::Fork, .lane = parent, .peer = lane});
    record_.events.push_back({.at = at, .what = Happening::State, .lane = lane, .state = 'R'});
    return;
  }
  MoreChildren& more = more_children_[root];
  if (more.lane < 0) {
    more.lane = static_cast<int>(record_.lanes.size());
    record_.lanes.push_back({"", 0, from.hue, root, from.piped});
    record_.events.push_back(
        {.at = at, .what = Happening::Fork, .lane = parent, .peer = more.lane});
    record_.events.push_back({.at = at, .what = Happening::State, .lane = more.lane, .state = 'R'});
  }
  more.made++;
  more.alive++;
  merged_[child] = more.lane;
  more_child_ended(more, "", at);
}

// Names the lane of the children counted together by how many there are and
// how they ended; its end is drawn once the last has ended.
void Scene::more_child_ended(MoreChildren& more, const std::string& how, double at) {
  if (!how.empty()) {
    more.alive--;
    more.endings[how]++;
  }
  std::string label = std::to_string(more.made) + " more children of " +
                      record_.lanes[record_.lanes[more.lane].parent].label;
  if (more.endings.size() == 1 && more.alive == 0) {
    label += ", each " + more.endings.begin()->first;
  } else if (!more.endings.empty()) {
    std::string ends;
    for (auto& [ending, times] : more.endings)
      ends += (ends.empty() ? "" : ", ") + std::to_string(times) + " " + ending;
    label += " (ended: " + ends + ")";
  }
  record_.lanes[more.lane].label = label;
  if (!how.empty() && more.alive == 0)
    record_.events.push_back({.at = at,
                              .what = Happening::End,
                              .lane = more.lane,
                              .text = more.endings.size() == 1 ? how : "ended"});
}

// Takes in what the tracer saw since the last look: each call as an event of
// its own, finished in place when it returns.
void Scene::absorb() {
  if (!tracer_) return;
  std::vector<Traced> news = std::exchange(unplaced_, {});
  for (auto& traced : tracer_->take()) news.push_back(std::move(traced));
  // Forks first: a child may report before its parent's fork does.
  std::stable_partition(news.begin(), news.end(),
                        [](const Traced& t) { return t.kind == Traced::Fork; });
  for (auto& traced : news) {
    int lane = lane_of(traced.pid);
    if (lane < 0) {
      // A child whose fork is still to come; dropped once the scene is over.
      if (unplaced_.size() < 4096) unplaced_.push_back(std::move(traced));
      continue;
    }
    double at = moment(traced.at);
    Event event{.at = at, .lane = lane};
    auto merged = merged_.find(traced.pid);
    if (merged != merged_.end()) {
      // Counted with the rest of its parent's children: only its end matters.
      if (traced.kind == Traced::Fork) {
        place_child(merged->second, traced.peer, at);
      } else if (traced.kind == Traced::Exit) {
        for (auto& [parent, more] : more_children_)
          if (more.lane == merged->second) more_child_ended(more, ending_of(traced.status), at);
        merged_.erase(merged);
      }
      continue;
    }
    switch (traced.kind) {
      case Traced::Call: {
        auto known = calls_.find(traced.id);
        if (known == calls_.end()) {
          std::string asked = what_it_asks(traced);
          if (asked.empty()) break;
          // A handler's return goes with its delivery, drawn or not.
          bool ends_a_handler = false, handler_drawn = false;
          if (traced.call == "rt_sigreturn" && !traced.until && !handlers_[lane].empty()) {
            ends_a_handler = true;
            handler_drawn = handlers_[lane].back();
            handlers_[lane].pop_back();
          }
          if (ends_a_handler ? !handler_drawn : calls_drawn_[lane] >= kCallsKept) {
            if (!traced.until) calls_left_out_[lane]++;
            break;
          }
          calls_drawn_[lane]++;
          event = call_event(traced, at, lane);
          calls_[traced.id] = record_.events.size();
          record_.events.push_back(std::move(event));
          if (!traced.until) break;
          known = calls_.find(traced.id);
        }
        if (!traced.until) break;
        Event& call = record_.events[known->second];
        call_returned(call, traced, moment(*traced.until));
        calls_.erase(known);
        break;
      }
      case Traced::Delivery: {
        bool drawn = calls_drawn_[lane] < kCallsKept;
        if (traced.caught) handlers_[lane].push_back(drawn);
        if (!drawn) {
          calls_left_out_[lane]++;
          break;
        }
        calls_drawn_[lane]++;
        int sender = lane_of(traced.peer);
        record_.events.push_back({.at = at,
                                  .what = Happening::Delivery,
                                  .lane = lane,
                                  .text = signal_name(traced.signal),
                                  .value = traced.signal,
                                  .peer = sender,
                                  .caught = traced.caught});
        break;
      }
      case Traced::Stop:
      case Traced::Continue: {
        char state = traced.kind == Traced::Stop ? 'T' : 'R';
        // A look may have caught the stop already, on its way in.
        auto actor = std::find_if(actors_.begin(), actors_.end(),
                                  [&](const Actor& a) { return a.lane == lane; });
        if (actor != actors_.end() && actor->last && actor->last->state == state) break;
        record_.events.push_back(
            {.at = at, .what = Happening::State, .lane = lane, .state = state});
        if (actor != actors_.end() && actor->last) actor->last = Look{state, "", ""};
        break;
      }
      case Traced::Fork:
        place_child(lane, traced.peer, at);
        break;
      case Traced::Escape: {
        std::string said = record_.lanes[lane].label + " made process " +
                           std::to_string(traced.peer) +
                           " out of the tracer's reach (CLONE_UNTRACED): what it did is not drawn.";
        record_.note += (record_.note.empty() ? "" : " ") + said;
        add({.what = Happening::Note, .lane = lane, .text = said});
        break;
      }
      case Traced::Exit: {
        // A program's own end comes from its runner; a child's from here.
        bool actor = std::any_of(actors_.begin(), actors_.end(),
                                 [&](const Actor& a) { return a.lane == lane; });
        if (actor) break;
        record_.events.push_back(
            {.at = at, .what = Happening::End, .lane = lane, .text = ending_of(traced.status)});
        break;
      }
    }
  }
}

namespace {

// Who of the scene's programs has `fifo` open, for reading and for writing.
std::pair<std::string, std::string> holders(const struct stat& fifo, const std::list<Actor>& actors,
                                            const Record& record) {
  std::string readers, writers;
  for (auto& actor : actors) {
    if (!actor.last) continue;
    std::string fds = "/proc/" + std::to_string(actor.process.pid()) + "/fd";
    std::error_code ignored;
    for (auto& entry : std::filesystem::directory_iterator(fds, ignored)) {
      struct stat target;
      if (stat(entry.path().c_str(), &target) < 0 || target.st_ino != fifo.st_ino ||
          target.st_dev != fifo.st_dev)
        continue;
      int flags = 0;
      std::string info = "/proc/" + std::to_string(actor.process.pid()) + "/fdinfo/" +
                         entry.path().filename().string();
      if (FILE* file = fopen(info.c_str(), "re")) {
        std::array<char, 128> field;
        while (fgets(field.data(), field.size(), file))
          if (sscanf(field.data(), "flags: %o", &flags) == 1) break;
        fclose(file);
      }
      auto& holders = (flags & O_ACCMODE) == O_WRONLY ? writers : readers;
      holders += (holders.empty() ? "" : ", ") + record.lanes[actor.lane].label;
    }
  }
  return {readers, writers};
}

}  // namespace

void Scene::look_at_object() {
  std::vector<Event> seen;
  if (record_.object == "semaphore") {
    auto set = semaphore(kSemaphoreKey);
    seen.push_back({.what = Happening::Semaphore,
                    .present = set.has_value(),
                    .value = set ? set->value : 0,
                    .waiting = set ? set->waiting : 0});
  } else if (record_.object == "segment") {
    Event shown{.what = Happening::Segment, .present = false};
    shmid_ds info{};
    if (int id = shmget(kSegmentKey, 0, 0); id >= 0 && shmctl(id, IPC_STAT, &info) == 0) {
      shown.present = true;
      size_t size = std::min<size_t>(info.shm_segsz, kSegmentShown);
      auto bytes = peek_segment(kSegmentKey, id, size, {info.shm_lpid, info.shm_cpid});
      shown.text = bytes ? std::string(bytes->c_str()) : "(attached to no one)";
    }
    seen.push_back(shown);
  } else if (record_.object == "fifos") {
    for (const char* name : kFifoNames) {
      Event fifo{.what = Happening::Fifo, .target = name};
      struct stat info;
      fifo.present = stat(name, &info) == 0 && S_ISFIFO(info.st_mode);
      if (fifo.present) std::tie(fifo.text, fifo.call) = holders(info, actors_, record_);
      seen.push_back(fifo);
    }
  }
  for (auto& event : seen)
    if (object_changed(objects_, event)) add(event);
}

}  // namespace kit
