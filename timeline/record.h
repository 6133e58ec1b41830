// The record of one scene: each line a program printed, each key typed and
// signal sent, each change of a program's state and of the scene's kernel
// object, with the moment it happened, in the order it happened; where the
// programs were traced, also each system call that passes something between
// them, each signal delivered and each fork. The printed tour and the
// scene's picture are both made from it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kit {

enum class Happening {
  Line,       // a program printed `text` (`error`: on standard error), the first
              // bytes of `amount` where it was longer
  Key,        // the person typed into a program, narrated as `text`
  Signal,     // the person sent a program signal `value`, narrated as `text`;
              // `blocked` when the program held it back then, so that it waits
  State,      // a program's state: `state` ('R', 'S', 'T', '?' unseen), `call`, `target`
  End,        // a program ended: `text` is "exit 0", "SIGINT"...
  Semaphore,  // the set's `value` and `waiting`, or not `present`; `text` why a set
              // that is there cannot be read
  Segment,    // the segment's `text` up to its first NUL, or not `present`
  Fifo,       // the FIFO `target`: `text` who reads, `call` who writes
  Note,       // the tour's own narration, of `lane` where it has one
  Snapshot,   // a line of ipcwatch's account of the kernel's objects
  Call,       // a traced system call: `call` on `target` ("semaphore 0", "srvfifo",
              // "terminal", "pipe"), `text` what it asks as a reader says it,
              // `amount` its number (a semop's change, the value SETVAL sets);
              // from `at` to `until` (< 0: had not returned), returning `value`
              // or failing with `failed` ("EINTR"); `bytes` what it moved;
              // `cut` when the process ended inside it; `command` a semctl's
              // (IPC_RMID, SETVAL), `mode` an open's access (O_WRONLY...)
  Delivery,   // signal `value` delivered to `lane`, sent by `peer` (-1: not
              // a program of the scene's); `caught` when a handler runs
  Fork,       // `lane` made the process drawn as lane `peer`
};

struct Event {
  double at = 0;  // seconds from the scene's start
  Happening what = Happening::Note;
  int lane = -1;  // the program it happened to, where it has one
  std::string text;
  std::string narration;  // a key or signal as the printed tour tells it
  char state = 0;
  std::string call, target;
  bool present = true;
  bool error = false;
  int value = 0, waiting = 0;
  double until = -1;
  long amount = 0;
  int command = -1, mode = -1;
  std::string failed, bytes;
  int peer = -1;
  bool caught = false, cut = false, blocked = false;
};

// One program on the stage, coloured by `hue`, an index into the palette
// that the printed tour and the picture share.
struct Lane {
  std::string label;
  pid_t pid = 0;
  int hue = 0;
  int parent = -1;     // the lane it was forked from, for a child
  bool piped = false;  // its output went into a pipe, fully buffered
};

struct Record {
  std::string name, watch_for;
  std::string object;  // "semaphore", "segment", "fifos", several, or "" for none
  std::vector<Lane> lanes;
  std::vector<Event> events;
  double begin = 0;     // seconds from the start to the first moment kept
  double end = 0;       // seconds from the start to the last look
  std::string failure;  // what went wrong, for a scene that misbehaved
  std::string note;     // what the picture cannot show, or left out
  bool person = true;   // whether keys and signals were seen, and get a lane
  bool traced = false;  // whether the programs' calls were followed
};

// Keeps `event` as its object's latest value among `latest` (one per kind
// and name); true when it differs from the one kept before.
inline bool object_changed(std::vector<Event>& latest, const Event& event) {
  for (auto& last : latest) {
    if (last.what != event.what || last.target != event.target) continue;
    bool same = last.present == event.present && last.text == event.text &&
                last.call == event.call && last.value == event.value &&
                last.waiting == event.waiting;
    last = event;
    return !same;
  }
  latest.push_back(event);
  return true;
}

}  // namespace kit
