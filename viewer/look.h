// What ipcwatch sees of the kit's kernel objects, and of the processes that
// use them: who waits on the semaphore and for what, who has the segment
// attached, who holds each named pipe and in which state. It only reads.
//
// Looking is paid for by change, not by the size of the machine: the
// semaphore and the segment are read with semctl and shmctl; the processes
// are walked only when their counts change, when a listed process has gone,
// when inotify reports a named pipe opened, closed, made or removed, and
// otherwise once in a long while for what no event covers.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "objects.h"

namespace look {

using kit::kFifoNames;
using kit::kSegmentKey;
using kit::kSemaphoreKey;

// A process as listed: "123 (gatewait)", with what it does where that says
// something ("to take a unit", "blocked in open").
struct Who {
  pid_t pid = 0;
  std::string name;  // "123 (gatewait)"
  std::string doing;
  int fd = -1;  // for a FIFO's holder: the descriptor it holds it by
};

// "123 (gatewait)"; "123 (ended)" for a process that has gone.
std::string name_of(pid_t pid);

struct Semaphore {
  bool present = false;
  std::string unseen;                            // why it could not be read, when it is there
  int id = -1, value = 0, rising = 0, zero = 0;  // of semaphore 0
  int count = 1;                                 // semaphores in the set
  int all_waiting = 0;                           // blocked on any of them
  pid_t last = 0;
  time_t operated = 0, changed = 0;
  uid_t owner = 0;
  mode_t mode = 0;
  std::vector<Who> waiters;  // blocked in semop on the set
};

struct Segment {
  bool present = false;
  std::string unseen;
  int id = -1;
  size_t size = 0;
  mode_t mode = 0;
  int attaches = 0;
  pid_t creator = 0, last = 0;
  std::vector<Who> attached;         // from their memory maps
  std::optional<std::string> bytes;  // its first bytes, read through one of them
};

struct Fifo {
  std::string name;
  bool present = false, is_fifo = false;
  std::string link;  // where it points, when the name is a symlink
  mode_t mode = 0;
  std::vector<Who> readers, writers;  // doing: "holding", "blocked in open"...
};

// Processes that a walk could not look at, and why.
struct Blind {
  int denied = 0;  // for lack of permission
  int failed = 0;  // for another reason, `failure` (an errno)
  int failure = 0;
};

struct World {
  Semaphore semaphore;
  Segment segment;
  Fifo fifos[2];
  Blind blind;
  // Why this look may have missed processes, where it knows: no descriptor
  // left to open their files with, or /proc hiding other users' (hidepid).
  std::string short_of;
};

// Which of the objects to look at.
struct Parts {
  bool sem = true, shm = true, fifo = true;
};

class Watcher {
 public:
  // `live`: watch for changes with inotify, for look() to be called again.
  Watcher(bool live, Parts parts);
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Brings the world up to date, walking the processes only where needed.
  const World& look();
  // A descriptor that becomes readable when a named pipe changes, or -1.
  int events() const { return inotify_; }
  int walks() const { return walks_; }              // all walks of the processes
  int periodic_walks() const { return periodic_; }  // those that no change asked for
  // From now on the kernel's events say who takes, posts and opens: the
  // set's changes and the processes started no longer ask for a walk.
  void told_by_kernel() { told_ = true; }
  // An open of a named pipe was seen entering: its holders are looked for
  // at the next look, a blocked opener among them.
  void fifo_opened() { fifo_opened_ = true; }

 private:
  void watch_fifos();
  bool fifo_events();
  void walk(bool semaphore, bool segment, bool fifos);
  void look_at(pid_t pid, int dir, bool waiters, bool segment, bool fifos, const char* wanted_map,
               const bool looked_for[2], const struct stat fifo_files[2]);
  bool listed_gone() const;
  bool started_soon();

  World world_;
  Parts parts_;
  int inotify_ = -1;
  int watched_[2] = {-1, -1};
  int walks_ = 0, periodic_ = 0;
  bool told_ = false, fifo_opened_ = false;
  time_t last_walk_ = 0;
  long last_pid_ = -1;  // the kernel's last process ID, at the last look
  std::optional<std::chrono::steady_clock::time_point> start_walk_due_;
  std::chrono::steady_clock::time_point last_start_walk_{};
  int seen_rising_ = -1, seen_zero_ = -1, seen_attaches_ = -1, seen_set_ = -2, seen_seg_ = -2;
  int seen_all_waiting_ = -1;
  std::string cwd_;
};

}  // namespace look
