// A scene on the stage: the programs it starts, what the person does to them,
// and the record of all that happened, printed as it happens.
#pragma once

#include <signal.h>
#include <sys/ipc.h>

#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "process.h"
#include "record.h"
#include "tracer.h"

namespace kit {

using namespace std::chrono_literals;

extern bool colour;  // the printed tour's colours, on a terminal that has them

class Misbehaved : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The signal that asks the tour to stop (SIGINT, SIGTERM, SIGHUP), once one
// has come; set by its handler, read by every wait.
extern volatile sig_atomic_t stop_signal;

// Thrown from a wait once a signal has asked the tour to stop.
class Interrupted : public std::runtime_error {
 public:
  explicit Interrupted(int sig) : std::runtime_error("interrupted"), signal(sig) {}
  int signal;
};

// A line a program printed, its first bytes only where it was long.
struct Heard {
  std::string text;
  bool error = false;
  size_t whole = 0;  // its length, where it was cut
};

// One program on stage: its process, and its lines as they come, of which
// only the first few hundred are kept.
struct Actor {
  Actor(int lane, std::string_view program, Options options);
  void hear(std::string_view bytes, bool error);
  void end_line(Heard& line);
  void end_lines();  // the unfinished line of each stream, as it stands
  int lane;
  Heard partial[2];          // the line under way on standard output and on error
  std::vector<Heard> heard;  // lines not yet recorded
  size_t lines = 0, lines_left_out = 0;
  Process process;
  std::optional<Look> last;  // the last look at it; none once it has ended
  bool held = false;         // seen held by a kit object since its last line
  bool told_left_out = false;
};

// A lane for the children of one program past the first few dozen: they are
// counted, not drawn one by one.
struct MoreChildren {
  int lane = -1;
  int made = 0, alive = 0;
  std::map<std::string, int> endings;  // "exit 0", "SIGKILL"... and how many ended so
};

class Scene {
 public:
  // Records into `record`; looks at the kernel object named by record.object.
  // With `tracer`, its programs are followed call by call.
  explicit Scene(Record& record, Tracer* tracer = nullptr);
  ~Scene();

  Actor& start(std::string label, std::string_view program, Options options = {});
  const std::string& label(const Actor& actor) const;

  void narrate(const std::string& what);
  void type(Actor& actor, std::string_view keys, const std::string& said);
  void send(Actor& actor, int sig, const std::string& said);

  // Records lines as they arrive until `text` has appeared `times` times.
  void expect(Actor& actor, std::string_view text, int times = 1, Duration timeout = 8s);
  // Until /proc shows it in `state` ('S' asleep, 'T' stopped).
  void expect_state(Actor& actor, char state);
  // Records whatever happens for a while.
  void watch(Duration span);
  // Records what happens until `ready` holds; false after `timeout`.
  bool wait(const std::function<bool()>& ready, Duration timeout);
  // Waits for the actor to end, records the rest of its output and its end.
  Ending finish(Actor& actor);
  // What the kernel holds now, as ipcwatch shows it.
  void snapshot(const char* part);
  // Records the lines that have arrived; with `all`, unfinished ones too.
  void sweep(bool all = false);

 private:
  void add(Event event);
  double now() const;
  void look();
  void ended(Actor& actor);
  void look_at_object();
  void absorb();
  int lane_of(pid_t pid) const;
  double moment(std::chrono::steady_clock::time_point at) const;

  Record& record_;
  Tracer* tracer_;
  void place_child(int parent, pid_t child, double at);
  void more_child_ended(MoreChildren& more, const std::string& how, double at);
  void say_what_was_left_out();

  std::vector<Traced> unplaced_;                        // of a child whose fork is not yet seen
  std::map<uint64_t, size_t> calls_;                    // a traced call's event, by its id
  std::map<int, size_t> calls_drawn_, calls_left_out_;  // by lane
  std::map<int, std::vector<bool>> handlers_;  // running on each lane, innermost last: drawn?
  std::map<int, int> children_;                // child lanes, by the program's lane
  std::map<int, MoreChildren> more_children_;  // by the program's lane
  std::map<pid_t, int> merged_;  // a live child counted on its parent's MoreChildren lane
  std::list<Actor> actors_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<Event> objects_;  // each object as last seen
};

}  // namespace kit
