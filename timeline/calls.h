// The calls the kit draws, in one vocabulary for both of the sources that
// see them: the tour's tracer, call by call, and ipcwatch's recorder, from
// the kernel's tracepoints. Each decodes what a call asked into a `Traced`;
// the words a reader sees and the record's events are made from it here,
// the same for both, so that a post reads "+1" in a tour picture and in a
// recording alike.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "record.h"

namespace kit {

// One thing a traced process did, stamped on the steady clock when it was
// seen. A thread's doings are its process's: `pid` is the process.
struct Traced {
  enum Kind {
    Call,      // a system call entered (`until` unset) or finished
    Delivery,  // signal `signal` delivered, sent by `peer` (0: the kernel or unknown)
    Stop,      // it stopped (group-stop), on `signal`
    Continue,  // it was continued
    Fork,      // it made the process `peer`
    Escape,    // it made the process `peer` untraced (CLONE_UNTRACED): not followed
    Exit,      // it ended: `status` as wait() gives it
  };
  Kind kind = Call;
  pid_t pid = 0;
  std::chrono::steady_clock::time_point at;                    // entered, delivered, stopped...
  std::optional<std::chrono::steady_clock::time_point> until;  // a call's return
  uint64_t id = 0;     // a call's, the same at its entry and its end
  std::string call;    // as call_name() says it: "semop", "write", "open"...
  std::string target;  // what it acts on: "terminal", "pipe", a FIFO's name, "semaphore 0"
  std::string bytes;   // moved by a read or write (the first 256), or a path
  std::array<int64_t, 3>
      detail{};        // semop: sem_num, sem_op, sem_flg; semctl: cmd, value; kill: pid, sig;
                       // open: flags; semget: key, nsems, flags
  int64_t result = 0;  // the call's return value, or -errno
  bool cut = false;    // the call never returned: the process ended in it
  int signal = 0;
  pid_t peer = 0;
  bool caught = false;  // a delivery that runs a handler
  int status = 0;
};

// The bytes a read or write moves, kept of each.
constexpr size_t kBytesKept = 256;

// A call the kit's lessons rest on, by the name a reader knows it
// (semtimedop is "semop", openat "open", clone "fork"); nullptr for the rest.
const char* call_name(long nr);

// "SIGINT"; and an end as wait() gives it: "exit 0", "SIGINT".
std::string signal_name(int sig);
std::string ending_of(int status);

// What a call asks, as a reader says it: "+1", "SETVAL 1", "srvfifo for
// writing", "\"hello\\n\""; "" for a call not drawn.
std::string what_it_asks(const Traced& call);

// The record's event for a call as it enters, on `lane` at `at`, with its
// details typed: the change, the command, the access mode, the bytes.
Event call_event(const Traced& call, double at, int lane);
// The same call finished at `until`: its result, its failure, a read's bytes.
void call_returned(Event& event, const Traced& call, double until);

}  // namespace kit
