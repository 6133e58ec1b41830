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

// One program on stage: its process, and how much of its output is recorded.
struct Actor {
  Actor(int lane, std::string_view program, Options options)
      : lane(lane), process(program, std::move(options)) {}
  int lane;
  Process process;
  size_t seen_out = 0, seen_err = 0;
  std::optional<Look> last;  // the last look at it; none once it has ended
  bool held = false;         // seen held by a kit object since its last line
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
  std::vector<Traced> unplaced_;      // of a child whose fork is not yet seen
  std::map<uint64_t, size_t> calls_;  // a traced call's event, by its id
  std::list<Actor> actors_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<Event> objects_;  // each object as last seen
};

}  // namespace kit
