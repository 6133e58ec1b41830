// What ipcwatch saw, kept as a timeline: a lane for each process that
// touched the kit's objects, its states as /proc showed them, and the
// objects' values, in the record that the tour's pictures are drawn from.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "look.h"
#include "process.h"
#include "record.h"

namespace look {

// The most history a recording keeps; older moments are dropped, and the
// picture says so.
constexpr double kKeptSeconds = 600;

class Recorder {
 public:
  explicit Recorder(kit::Record& record) : record_(record) {}

  // Takes in one look at the world, `at` seconds from the start; returns
  // what changed, as lines for the terminal.
  std::vector<std::string> take(const World& world, double at);

 private:
  void add(kit::Event event, std::vector<std::string>& said);
  void join(pid_t pid, double at, std::vector<std::string>& said);
  void follow(int lane, double at, std::vector<std::string>& said);
  void forget_before(double cut);

  struct Seen {
    kit::Look look;
    unsigned long runs = 0;  // times it has been put on a processor
    bool ended = false;
  };
  kit::Record& record_;
  std::map<pid_t, int> lanes_;
  std::vector<Seen> seen_;
  std::vector<kit::Event> objects_;  // each object as last recorded
};

}  // namespace look
