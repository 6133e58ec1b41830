#include "recording.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "visible.h"

namespace look {
namespace {

using kit::Event;
using kit::Happening;

// The command of "123 (gatewait)".
std::string command(const std::string& name) {
  auto open = name.find('(');
  return open == std::string::npos ? name : name.substr(open + 1, name.size() - open - 2);
}

// The kernel keeps 15 bytes of a process's name: one of the kit's programs
// cut so ("slatewatch-clie") is named whole where its executable says so.
std::string whole_name(pid_t pid, const std::string& name) {
  constexpr size_t kKept = 15;
  if (name.size() != kKept) return name;
  std::array<char, 4096> exe{};
  ssize_t size =
      readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe.data(), exe.size() - 1);
  if (size <= 0) return name;
  std::string_view file(exe.data(), static_cast<size_t>(size));
  file.remove_prefix(file.rfind('/') + 1);
  for (auto& program : kPrograms)
    if (program.size() > kKept && program.starts_with(name) && file == program) return program;
  return name;
}

// Whether the process's output goes into a pipe, where its lines wait in
// its buffer until it is full or the process exits.
bool into_pipe(pid_t pid) {
  std::array<char, 64> out{};
  ssize_t size =
      readlink(("/proc/" + std::to_string(pid) + "/fd/1").c_str(), out.data(), out.size() - 1);
  return size > 0 && std::string_view(out.data(), static_cast<size_t>(size)).starts_with("pipe:");
}

// How many times the process has been put on a processor: a change while
// it stays asleep in one call means it woke, ran and slept again between
// two looks.
unsigned long runs_of(pid_t pid) {
  FILE* file = fopen(("/proc/" + std::to_string(pid) + "/schedstat").c_str(), "re");
  unsigned long runs = 0;
  if (file) {
    if (fscanf(file, "%*u %*u %lu", &runs) != 1) runs = 0;
    fclose(file);
  }
  return runs;
}

// How a process that is ending ended, where its zombie still says so.
std::string ending_of(pid_t pid) {
  FILE* file = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
  if (!file) return "ended";
  std::array<char, 1024> line{};
  bool read = fgets(line.data(), line.size(), file) != nullptr;
  fclose(file);
  const char* after = read ? strrchr(line.data(), ')') : nullptr;
  if (!after) return "ended";
  // The exit code is the 52nd field, the 50th after the command's ')'.
  int field = 2, status = -1;
  for (const char* at = after + 1; *at; at++)
    if (*at == ' ' && ++field == 52) status = atoi(at + 1);
  if (status < 0) return "ended";
  if (WIFSIGNALED(status)) return std::string("SIG") + sigabbrev_np(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

std::string holders(const std::vector<Who>& listed) {
  std::string all;
  for (auto& who : listed)
    all += (all.empty() ? "" : ", ") + command(who.name) + " " + std::to_string(who.pid);
  return all;
}

// A log line's moment, as every line of the log begins.
std::array<char, 32> stamp(double at) {
  std::array<char, 32> when{};
  // As "%8.2f s  " would, without printf's cost at every line of a busy
  // log: in whole hundredths, where the moment lies clearly off a tie.
  double hundredths = at * 100;
  double below = std::floor(hundredths);
  if (at >= 0 && at < 1e9 && std::fabs(hundredths - below - 0.5) > 1e-6) {
    auto whole = static_cast<long long>(hundredths - below < 0.5 ? below : below + 1);
    std::array<char, 20> digits{};
    auto end = std::to_chars(digits.data(), digits.data() + digits.size(), whole / 100).ptr;
    *end++ = '.';
    *end++ = static_cast<char>('0' + whole % 100 / 10);
    *end++ = static_cast<char>('0' + whole % 10);
    size_t size = static_cast<size_t>(end - digits.data()), pad = size < 8 ? 8 - size : 0;
    memset(when.data(), ' ', pad);
    memcpy(when.data() + pad, digits.data(), size);
    memcpy(when.data() + pad + size, " s  ", 5);
    return when;
  }
  snprintf(when.data(), when.size(), "%8.2f s  ", at);
  return when;
}

// "gatewait 123", as the log names a lane.
std::string lane_name(const kit::Record& record, int lane) {
  return record.lanes[lane].label + " " + std::to_string(record.lanes[lane].pid);
}

std::string said(const Event& event, const kit::Record& record) {
  auto when = stamp(event.at);
  std::string who = event.lane >= 0 ? lane_name(record, event.lane) + ": " : "";
  switch (event.what) {
    case Happening::State:
      return when.data() + who +
             (event.state == 'R'   ? "running"
              : event.state == 'T' ? "stopped"
              : event.state == '?' ? "not visible to you"
                                   : "asleep" + (event.call.empty() ? "" : " in " + event.call) +
                                         (event.target.empty() ? "" : " (" + event.target + ")"));
    case Happening::End:
      return when.data() + who +
             "ended: " + (event.text == "ended" ? "its status not seen" : event.text);
    case Happening::Note:
      return when.data() + who + event.text;
    case Happening::Semaphore:
      return when.data() + std::string("semaphore: ") +
             (!event.present        ? "absent"
              : !event.text.empty() ? event.text
                                    : "value " + std::to_string(event.value) + ", " +
                                          std::to_string(event.waiting) + " waiting");
    case Happening::Segment:
      return when.data() + std::string("segment: ") +
             (event.present ? "\"" + event.text + "\"" : "absent");
    case Happening::Fifo:
      return when.data() + event.target + ": " +
             (event.present ? "reading " + (event.text.empty() ? "none" : event.text) +
                                  ", writing " + (event.call.empty() ? "none" : event.call)
                            : "absent");
    default:
      return when.data() + event.text;
  }
}

}  // namespace

Recorder::Recorder(kit::Record& record, double kept_seconds)
    : record_(record), kept_seconds_(kept_seconds) {
  // Room for a busy session's first minutes: the record is not moved at
  // each growth while its calls come by the thousand.
  record_.events.reserve(kRoomAhead);
}

void Recorder::hold_room() {
#ifdef MADV_POPULATE_WRITE
  auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  auto from = reinterpret_cast<uintptr_t>(record_.events.data());
  uintptr_t to = (from + record_.events.capacity() * sizeof(Event)) & ~(page - 1);
  from = (from + page - 1) & ~(page - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#endif
}

void Recorder::add(Event event, Log& lines) {
  lines.push_back({event.at, said(event, record_)});
  record_.events.push_back(std::move(event));
}

std::string Recorder::who(int lane) const { return lane_name(record_, lane); }

void Recorder::tell(double at, int lane, const std::string& what, Log& lines) {
  tell(at, lane, {what}, lines);
}

void Recorder::tell(double at, int lane, std::initializer_list<std::string_view> what, Log& lines) {
  // Made in one piece: a busy log says several lines a hand-off.
  auto when = stamp(at);
  std::string line;
  size_t size = 64;
  for (auto piece : what) size += piece.size();
  line.reserve(size);
  line += when.data();
  if (lane >= 0) {
    line += record_.lanes[lane].label;
    line += ' ';
    std::array<char, 16> pid{};
    line.append(pid.data(),
                std::to_chars(pid.data(), pid.data() + pid.size(), record_.lanes[lane].pid).ptr);
    line += ": ";
  }
  // What a program wrote may hold terminal controls: shown harmless, as
  // its name is.
  for (auto piece : what) kit::append_visible(line, piece);
  lines.push_back({at, std::move(line)});
}

// A process seen touching the objects for the first time gets a lane; one
// the kernel reported may have ended since, and its state is looked at with
// the others' at the next look.
void Recorder::join(pid_t pid, double at, Log& lines, bool sampled, const std::string& named) {
  if (pid <= 0 || lanes_.count(pid)) return;
  if (sampled && kill(pid, 0) < 0 && errno != EPERM) return;
  int lane = static_cast<int>(record_.lanes.size());
  lanes_[pid] = lane;
  joined_[pid] = at;
  // Gone already, it is still named as the kernel named it.
  std::string label = whole_name(pid, command(name_of(pid)));
  // The kernel's name for it where /proc has none left, or its whole name
  // where /proc's is cut (a zombie's executable can no longer be read).
  if (!named.empty() &&
      (label == "ended" || (named.size() > label.size() && kit::visible(named).starts_with(label))))
    label = kit::visible(named);
  record_.lanes.push_back({label, pid, lane % 5, -1, into_pipe(pid)});
  seen_.push_back({});
  add({.at = at, .what = Happening::Note, .lane = lane, .text = "first seen"}, lines);
  seen_.back().look.state = 0;  // so that its first state is recorded
  if (sampled) follow(lane, at, lines);
}

// A lane's end, when the kernel reports it: at its very moment, and how,
// from its exit_group or the signal that ended it. One already drawn from a
// look, after the fact, is put right.
void Recorder::ended(pid_t pid, double at, Log& lines) {
  int lane = lane_of(pid);
  if (lane < 0 || record_.lanes[lane].pid != pid) return;
  auto how = ending_.find(pid);
  std::string text = how != ending_.end() ? how->second : "ended";
  if (seen_[lane].gone >= 0) seen_[lane].ended = false, seen_[lane].gone = -1;
  if (seen_[lane].ended) {
    for (auto event = record_.events.rbegin(); event != record_.events.rend(); ++event)
      if (event->what == Happening::End && event->lane == lane) {
        if (event->text == "ended") event->text = text;
        event->at = std::min(event->at, at);
        break;
      }
    return;
  }
  seen_[lane].ended = true;
  add({.at = at, .what = Happening::End, .lane = lane, .text = text}, lines);
}

void Recorder::follow(int lane, double at, Log& lines) {
  Seen& seen = seen_[lane];
  if (seen.ended) return;
  pid_t pid = record_.lanes[lane].pid;
  auto look = kit::look_at(pid);
  if (!look || look->state == 'Z' || look->state == 'X') {
    seen.ended = true;
    std::string how = look ? ending_of(pid) : "ended";
    if (auto known = ending_.find(pid); how == "ended" && known != ending_.end())
      how = known->second;
    // The kernel's report of its end, with how and when, is on its way.
    if (how == "ended" && record_.traced) {
      seen.gone = at;
      return;
    }
    add({.at = at, .what = Happening::End, .lane = lane, .text = how}, lines);
    return;
  }
  if (look->state == 'D') look->state = 'S';
  if (look->state != 'S') look->call.clear(), look->target.clear();
  // Asleep, in a call that may not be read: the view cannot see what in.
  if (look->state == 'S' && look->call.empty()) look->state = '?';
  unsigned long runs = runs_of(pid);
  bool same = look->state == seen.look.state && look->call == seen.look.call &&
              look->target == seen.look.target;
  // Drawn, but said only where the kernel's calls do not already say it.
  bool quiet = false;
  auto keep = [&](Event state) {
    if (quiet)
      record_.events.push_back(std::move(state));
    else
      add(std::move(state), lines);
  };
  if (same && look->state == 'S' && runs != seen.runs && seen.runs != 0) {
    // Woken and asleep again between two looks: it ran in between (its
    // calls' returns and entries, where they are traced).
    quiet = record_.traced;
    keep({.at = at - 0.01, .what = Happening::State, .lane = lane, .state = 'R'});
    same = false;
  }
  seen.runs = runs;
  if (same) return;
  seen.look = *look;
  keep({.at = at,
        .what = Happening::State,
        .lane = lane,
        .state = look->state,
        .call = look->call,
        .target = look->target});
}

Log Recorder::take(const World& world, double at) {
  Log lines;
  if (!begun_) {
    begun_ = true;
    // Traced, the takes already waiting when the recording starts are calls
    // that entered before it: each as its memory tells it.
    for (auto& who : world.semaphore.waiters) {
      if (!record_.traced) break;
      join(who.pid, at, lines);
      waiting_before(who.pid, world.semaphore.id, at);
    }
  }
  for (auto& who : world.semaphore.waiters) join(who.pid, at, lines);
  if (world.semaphore.present) join(world.semaphore.last, at, lines);
  for (auto& who : world.segment.attached) join(who.pid, at, lines);
  if (world.segment.present) join(world.segment.last, at, lines);
  for (auto& fifo : world.fifos)
    for (auto* listed : {&fifo.readers, &fifo.writers})
      for (auto& who : *listed) join(who.pid, at, lines);
  for (size_t lane = 0; lane < seen_.size(); lane++) follow(static_cast<int>(lane), at, lines);

  std::vector<Event> now;
  std::string_view objects = record_.object;
  if (objects.find("semaphore") != std::string_view::npos)
    // A set that is there but not open to us has no value to show.
    now.push_back({.what = Happening::Semaphore,
                   .text = world.semaphore.unseen,
                   .present = world.semaphore.present,
                   .value = world.semaphore.value,
                   .waiting = world.semaphore.rising});
  if (objects.find("segment") != std::string_view::npos) {
    const Segment& segment = world.segment;
    now.push_back({.what = Happening::Segment,
                   .text = !segment.bytes ? "(bytes not visible)" : segment.bytes->c_str(),
                   .present = segment.present});
  }
  if (objects.find("fifos") != std::string_view::npos)
    for (auto& fifo : world.fifos)
      now.push_back({.what = Happening::Fifo,
                     .text = holders(fifo.readers),
                     .call = holders(fifo.writers),
                     .target = fifo.name,
                     .present = fifo.is_fifo});
  for (auto& event : now) {
    event.at = at;
    if (kit::object_changed(objects_, event)) add(event, lines);
  }
  record_.end = at;
  if (at - record_.begin > kept_seconds_) forget_before(at - kept_seconds_);
  return lines;
}

// Drops what happened before `cut`, keeping what held at that moment and
// what was still going on: a call that had not returned, a signal not yet
// delivered, each then drawn from the cut on. What
// points into the record is moved with it.
void Recorder::forget_before(double cut) {
  constexpr size_t kGone = ~size_t{0};
  std::set<size_t> open;
  for (auto& [pid, calls] : in_call_)
    for (auto& in : calls) open.insert(in.event);
  for (auto& [pid, sent] : sent_) open.insert(sent.event);
  std::map<std::pair<int, std::string>, Event> holding;
  std::vector<Event> kept;
  std::vector<size_t> moved(record_.events.size(), kGone);
  for (size_t index = 0; index < record_.events.size(); index++) {
    Event& event = record_.events[index];
    bool going_on = event.what == Happening::Call && (event.until < 0 || event.until >= cut);
    if (event.at >= cut || going_on || open.count(index)) {
      event.at = std::max(event.at, cut);
      moved[index] = kept.size();
      kept.push_back(std::move(event));
      continue;
    }
    bool state = event.what == Happening::State || event.what == Happening::End;
    bool object =
        event.lane < 0 && (event.what == Happening::Semaphore || event.what == Happening::Segment ||
                           event.what == Happening::Fifo);
    if (state || object) holding[{event.lane, event.target + (object ? "object" : "")}] = event;
  }
  std::vector<Event> events;
  for (auto& [key, event] : holding) {
    if (event.what == Happening::End) continue;  // ended before the cut: nothing to draw
    event.at = cut;
    events.push_back(event);
  }
  for (size_t& index : moved)
    if (index != kGone) index += events.size();
  events.insert(events.end(), std::make_move_iterator(kept.begin()),
                std::make_move_iterator(kept.end()));
  record_.events = std::move(events);
  for (auto& [pid, calls] : in_call_)
    for (auto& in : calls) in.event = moved[in.event];
  interrupted_.clear();
  for (auto& [pid, sent] : sent_) sent.event = moved[sent.event];
  record_.begin = cut;
  char said[200];
  snprintf(said, sizeof said,
           "Only the last %.0f %s kept: what happened in the first %.0f s of the "
           "recording was dropped.",
           kept_seconds_ >= 60 ? kept_seconds_ / 60 : kept_seconds_,
           kept_seconds_ >= 60 ? "minutes are" : "s are", cut);
  std::string note = record_.note;
  auto old = note.find(" Only the last");
  if (old != std::string::npos) note.erase(old);
  record_.note = note + " " + said;
}

}  // namespace look
