// Runs the kit's programs as real processes, the way a person would see
// them: under a pseudo-terminal or through pipes, with their output read as
// it arrives. Shared by the tests, the guided tour and the benchmark.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kit {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;

// Enough for a program's start-up delay plus a slow sanitizer build.
constexpr Duration kPatience = 10s;

// Path of a program built by the kit; a name with a slash is a path already.
// IPC_KIT_BIN in the environment names another folder to take them from.
std::string program_path(std::string_view name);

// Polls `ready` until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& ready, Duration timeout = kPatience);

enum class Io {
  Terminal,  // stdin and stdout on a pseudo-terminal: line-buffered output
  Pipes,     // stdin and stdout on pipes: fully buffered output
};

// Starts and reaps processes on the runner's behalf: a tracer, which must
// fork what it follows itself and is the first to see each one end.
class Launcher {
 public:
  virtual ~Launcher() = default;
  // Runs `fork_stopped`, a fork whose child stops itself just before its
  // exec, and lets the child go on; its pid, or -1 when the fork failed.
  virtual pid_t launch(const std::function<pid_t()>& fork_stopped) = 0;
  // The wait status of `pid` once it has ended and been reaped.
  virtual std::optional<int> reaped(pid_t pid) = 0;
};

struct Options {
  Io io = Io::Terminal;
  std::vector<std::string> args;               // after the program's name
  bool unprivileged = false;                   // run as uid and gid 65534
  std::vector<std::pair<int, rlim_t>> limits;  // setrlimit before exec
  std::vector<int> closed;                     // of 0, 1 and 2, started closed
  Launcher* launcher = nullptr;                // starts and reaps it, where set
  // Each piece of its output as it is read (`error`: of standard error).
  std::function<void(std::string_view bytes, bool error)> heard;
  size_t keep = SIZE_MAX;  // bytes of each stream kept for output(); the rest is let go
                           // and counted in lost()
};

struct Ending {
  bool exited = false;
  int status = -1;  // exit status, when exited
  int signal = 0;   // terminating signal, when not
};

// One program of the kit, started in its own session. Standard error always
// goes to a pipe of its own. The destructor kills whatever is left of it.
class Process {
 public:
  explicit Process(std::string_view name, Options options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool type(std::string_view text);  // to standard input
  void end_input();                  // end of file on standard input
  bool signal(int sig);

  // Waits until `text` has appeared `count` times on standard output.
  bool wait_for(std::string_view text, int count = 1, Duration timeout = kPatience);
  // Waits until /proc shows the process in `state` ('S' asleep, 'T' stopped).
  bool wait_state(char state, Duration timeout = kPatience);
  // Waits until it sleeps in the system call named `call` ("semop", "write").
  bool wait_call(std::string_view call, Duration timeout = kPatience);
  // Reaps the process and reads its output to the end.
  Ending wait_exit(Duration timeout = kPatience);
  // Gathers what has arrived for `settle`, then returns all output so far.
  std::string output(Duration settle = 0ms);
  std::string errors();
  // Reads what has arrived, for Options::heard.
  void read_now() { pump(0ms); }
  // Descriptors still open for reading its output, to wait on several at once.
  std::vector<int> descriptors() const;

 private:
  void pump(Duration timeout);
  std::optional<int> reap();

  pid_t pid_ = -1;
  int pidfd_ = -1;  // the process itself, whoever is later given its id
  Launcher* launcher_ = nullptr;
  Io io_;
  int in_ = -1, out_ = -1, err_fd_ = -1;
  std::string out_text_, err_;
  std::function<void(std::string_view, bool)> heard_;
  size_t keep_;
  std::optional<Ending> ending_;
};

// A process as /proc shows it: its state letter ('R' running, 'S' or 'D'
// asleep, 'T' stopped, 'Z' ended) and, while asleep, the system call it sleeps
// in ("semop", "open", "read", "pause", "nanosleep"...), else its kernel wait
// channel, else "" where neither may be read.
struct Look {
  char state = '?';
  std::string call;
  std::string target;  // for read and write: "terminal", or the file's name
};
std::optional<Look> look_at(pid_t pid);

// How many times `needle` occurs in `text`.
int count(std::string_view text, std::string_view needle);

struct Semaphore {
  int id;
  int value;
  int waiting;  // processes blocked waiting for the value to rise
  mode_t mode;
  uid_t owner;
};
std::optional<Semaphore> semaphore(key_t key);

struct Segment {
  int id;
  size_t size;
  mode_t mode;
  std::string bytes;
};
std::optional<Segment> segment(key_t key);

// True when the process whose /proc folder is `proc_dir` ("/proc/PID/")
// sees the same System V objects as we do: one in another IPC namespace may
// have another object under the same key and id.
bool shares_our_objects(const std::string& proc_dir);

// The first `size` bytes of the segment `id` under `key`, read through the
// memory of a process that has it attached (`likely` first, then, with
// `anywhere`, any), so that the segment's record of attaches stays as it
// was. None when no such process may be read.
std::optional<std::string> peek_segment(key_t key, int id, size_t size,
                                        const std::vector<pid_t>& likely, bool anywhere = true);

}  // namespace kit
