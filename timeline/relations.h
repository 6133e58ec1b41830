// What passed between the programs of a traced record, worked out from the
// calls themselves: which operation let which waiter through, which write a
// read returned, who forked whom, how long a signal waited, when a handler
// ran and who held the lock. The picture draws these; nothing here comes
// from a script of what a scene should show.
#pragma once

#include <string>
#include <vector>

#include "record.h"

namespace kit {

// From one lane's moment to another's.
struct Arrow {
  // "lets-through" (a raise to the waiter it let through), "gives" (a raise
  // whose unit another took later without waiting), "message", "fork",
  // "sees" (a change of the segment to the look that saw it), "signal"
  // (a kill to the delivery it caused)
  std::string kind;
  int from_lane = -1, to_lane = -1;  // -1: the object's track
  double from = 0, to = 0;
  std::string label;
};

// A stretch of one lane's time.
struct Band {
  std::string kind;  // "holds", "handler", "pending"
  int lane = -1;
  double from = 0, to = 0;
  std::string label;
};

// The semaphore as the operations left it, from `at` on.
struct Level {
  double at = 0;
  bool present = true;
  int value = 0, waiting = 0;
};

// Two opens of one FIFO, from either end, completed together at `at`.
struct Rendezvous {
  int lanes[2] = {-1, -1};
  double at = 0;
  std::string fifo;
};

struct Relations {
  std::vector<Arrow> arrows;
  std::vector<Band> bands;
  std::vector<Level> levels;  // empty where no semaphore call was traced
  std::vector<Rendezvous> rendezvous;
};

Relations relate(const Record& record);

// Whether `call` gets a mark of its own: a call that passes something
// between programs, and the writes of a process that forked or was forked,
// where who wrote which bytes is the lesson.
bool marked(const Record& record, const Event& call);
// What a delivery did: "handled", "ends it", "ignored", or "" for the
// signals that stop and continue.
std::string delivered(const Record& record, const Event& delivery);
// Whether a traced lane printing into a pipe was ended by a signal before
// it wrote anything: what it printed died in its buffer.
bool died_in_buffer(const Record& record, int lane);

// Bytes as C writes them, in double quotes: "hello, server\n\0".
std::string in_quotes(std::string_view bytes);

}  // namespace kit
