#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "pidfd.h"

namespace kit {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uid_t kNobody = 65534;
constexpr size_t kReadAtOnce = 1 << 20;

Duration left_until(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
  return left < 0ms ? 0ms : left;
}

[[noreturn]] void die_in_child(const char* what) {
  // Standard error is the test's pipe by now; the test shows it on failure.
  dprintf(2, "harness: %s: %s\n", what, strerror(errno));
  _exit(127);
}

// A terminal as a person has it, less the echo of what the test types and
// the carriage return added to each line end, which only clutter assertions.
void make_plain_terminal(int fd) {
  termios mode{};
  if (tcgetattr(fd, &mode) < 0) throw std::runtime_error("tcgetattr");
  mode.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL);
  mode.c_oflag &= ~ONLCR;
  if (tcsetattr(fd, TCSANOW, &mode) < 0) throw std::runtime_error("tcsetattr");
}

// In the child between fork and exec: the program starts with default
// signal dispositions, whatever the test runner ignores or blocks.
void reset_signals() {
  for (int sig = 1; sig < NSIG; sig++) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

std::string program_path(std::string_view name) {
  if (name.find('/') != std::string_view::npos) return std::string(name);
  const char* folder = getenv("IPC_KIT_BIN");
  return std::string(folder && *folder ? folder : KIT_BIN_DIR) + "/" + std::string(name);
}

bool eventually(const std::function<bool()>& ready, Duration timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (ready()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
}

int count(std::string_view text, std::string_view needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size()))
    n++;
  return n;
}

Process::Process(std::string_view name, Options options)
    : launcher_(options.launcher), io_(options.io), heard_(options.heard), keep_(options.keep) {
  std::string path = program_path(name);
  int child_in = -1, child_out = -1, errs[2] = {-1, -1};
  // What failed, with errno (EMFILE: no descriptor left), and nothing kept open.
  auto fail = [&](const char* what) {
    int error = errno;
    for (int fd : {errs[0], errs[1], out_, in_, child_in, child_out == child_in ? -1 : child_out})
      if (fd >= 0) close(fd);
    out_ = in_ = -1;
    throw std::system_error(error, std::generic_category(), what);
  };
  if (pipe2(errs, O_CLOEXEC) < 0) fail("pipe");
  if (io_ == Io::Terminal) {
    out_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (out_ < 0 || grantpt(out_) < 0 || unlockpt(out_) < 0) fail("posix_openpt");
    // Set up before the program runs, so nothing typed early is echoed.
    child_in = child_out = open(ptsname(out_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (child_in < 0) fail("open terminal");
    make_plain_terminal(child_in);
    in_ = fcntl(out_, F_DUPFD_CLOEXEC, 0);
    if (in_ < 0) fail("dup terminal");
  } else {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) < 0) fail("pipe");
    child_in = in[0], in_ = in[1];
    if (pipe2(out, O_CLOEXEC) < 0) fail("pipe");
    out_ = out[0], child_out = out[1];
  }

  int start_error = 0;
  auto start = [&]() -> pid_t {
    pid_t parent = getpid();
    pid_t child = fork();
    if (child > 0) {
      // Taken before anyone can reap it: signals go through it, never by an
      // id that may since have been given to another process.
      pidfd_ = open_pidfd(child);
      if (pidfd_ >= 0) return child;
      start_error = errno;
      kill(child, SIGKILL);
      waitpid(child, nullptr, __WALL);
      return -1;
    }
    if (child < 0) start_error = errno;
    if (child != 0) return child;
    // Own session, so the test can end the program and any child it made
    // with one signal to the group. The terminal is not made controlling:
    // its hangup would otherwise kill a forked child when the parent ends.
    setsid();
    if (dup2(child_in, 0) < 0 || dup2(child_out, 1) < 0 || dup2(errs[1], 2) < 0)
      die_in_child("dup2");
    reset_signals();
    // Only 0, 1 and 2 go on to the program; the rest would be closed by its
    // exec, and held until then they could leave no descriptor for it.
    close_range(3, ~0U, 0);
    // Opened while still root: nobody may not be able to reach the build tree.
    int program = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (program < 0) die_in_child(path.c_str());
    if (options.unprivileged) {
      if (setgroups(0, nullptr) < 0 || setgid(kNobody) < 0 || setuid(kNobody) < 0)
        die_in_child("dropping privileges");
    }
    // It dies with whoever started it, however that ends, even stopped:
    // set after the switch of user, which would clear it, and given up
    // where the starter is gone already.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != parent) die_in_child("prctl");
    // After the switch of user: a process limit set before it would make
    // the exec itself fail.
    for (auto [resource, value] : options.limits) {
      rlimit limit{value, value};
      if (setrlimit(resource, &limit) < 0) die_in_child("setrlimit");
    }
    for (int fd : options.closed) close(fd);
    std::vector<char*> argv{path.data()};
    for (auto& arg : options.args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // Held here until a tracer has seized it, so that it is followed from
    // its exec on.
    if (options.launcher) raise(SIGSTOP);
    fexecve(program, argv.data(), environ);
    // A script's interpreter is handed /dev/fd/N, closed by that very exec:
    // it is run by its name instead.
    if (errno == ENOENT) execv(path.c_str(), argv.data());
    die_in_child(path.c_str());
  };
  pid_ = launcher_ ? launcher_->launch(start) : start();
  if (pid_ < 0) {
    errno = start_error;
    fail("fork");
  }

  close(errs[1]);
  close(child_in);
  if (child_out != child_in) close(child_out);
  err_fd_ = errs[0];
  fcntl(out_, F_SETFL, O_NONBLOCK);
  fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
  if (pid_ > 0) {
    // The program and whatever it left in its session. Where the kernel
    // cannot signal a group through a pidfd, its id still names the group
    // only while the program is unreaped.
    if (!signal_pidfd(pidfd_, SIGKILL, kWholeGroup) && errno == EINVAL && !ending_ &&
        !(launcher_ && launcher_->reaped(pid_)))
      kill(-pid_, SIGKILL);
    if (!ending_) {
      signal_pidfd(pidfd_, SIGKILL);
      if (launcher_)
        eventually([&] { return reap().has_value(); });
      else
        waitpid(pid_, nullptr, 0);
    }
  }
  for (int fd : {in_, out_, err_fd_, pidfd_})
    if (fd >= 0) close(fd);
}

bool Process::type(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(in_, text.data(), text.size());
    if (n < 0) return false;
    text.remove_prefix(n);
  }
  return true;
}

void Process::end_input() {
  if (io_ == Io::Terminal) {
    type("\x04");  // the terminal's end-of-file character, at a line start
  } else {
    close(in_);
    in_ = -1;
  }
}

bool Process::signal(int sig) { return signal_pidfd(pidfd_, sig); }

void Process::pump(Duration timeout) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_ < 0 && err_fd_ < 0) {
    std::this_thread::sleep_for(timeout);
    return;
  }
  // With no time to wait, read at once: reading a terminal's other side
  // first pushes out what the program has written to it, where a poll may
  // not, so a read sees everything written before it.
  if (timeout > 0ms && poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return;
  for (auto [fd, text] : {std::pair{&out_, &out_text_}, std::pair{&err_fd_, &err_}}) {
    if (*fd < 0) continue;
    std::array<char, 4096> buffer;
    // A program that never stops printing must not hold the reader here.
    for (size_t taken = 0; taken < kReadAtOnce;) {
      ssize_t n = read(*fd, buffer.data(), buffer.size());
      if (n > 0) {
        size_t kept = std::min(static_cast<size_t>(n), keep_ - std::min(keep_, text->size()));
        text->append(buffer.data(), kept);
        taken += n;
        if (heard_) heard_({buffer.data(), static_cast<size_t>(n)}, text == &err_);
        continue;
      }
      // A terminal reports EIO once every holder of its other side is gone.
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(*fd);
        *fd = -1;
      }
      break;
    }
  }
}

std::optional<int> Process::reap() {
  if (launcher_) return launcher_->reaped(pid_);
  int status;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
  return status;
}

bool Process::wait_for(std::string_view text, int times, Duration timeout) {
  auto deadline = Clock::now() + timeout;
  while (count(out_text_, text) < times) {
    if (Clock::now() >= deadline) return false;
    pump(std::min(left_until(deadline), Duration(50)));
  }
  return true;
}

bool Process::wait_state(char state, Duration timeout) {
  return eventually(
      [&] {
        auto look = look_at(pid_);
        return look && look->state == state;
      },
      timeout);
}

bool Process::wait_call(std::string_view call, Duration timeout) {
  return eventually(
      [&] {
        auto look = look_at(pid_);
        return look && look->call == call;
      },
      timeout);
}

Ending Process::wait_exit(Duration timeout) {
  auto deadline = Clock::now() + timeout;
  while (!ending_) {
    if (auto status = reap()) {
      Ending ending;
      ending.exited = WIFEXITED(*status);
      ending.status = ending.exited ? WEXITSTATUS(*status) : -1;
      ending.signal = WIFSIGNALED(*status) ? WTERMSIG(*status) : 0;
      ending_ = ending;
      break;
    }
    if (Clock::now() >= deadline) return Ending{};
    pump(10ms);
  }
  // Read to the end: a child it forked may still be writing.
  while ((out_ >= 0 || err_fd_ >= 0) && Clock::now() < deadline) pump(left_until(deadline));
  return *ending_;
}

std::string Process::output(Duration settle) {
  auto deadline = Clock::now() + settle;
  do {
    pump(left_until(deadline));
  } while (Clock::now() < deadline);
  return out_text_;
}

std::vector<int> Process::descriptors() const {
  std::vector<int> open;
  for (int fd : {out_, err_fd_})
    if (fd >= 0) open.push_back(fd);
  return open;
}

std::string Process::errors() {
  pump(0ms);
  return err_;
}

namespace {

// The calls the kit's programs block in, by the names a reader knows them.
const char* call_name(long number) {
  switch (number) {
    case SYS_read:
      return "read";
    case SYS_write:
      return "write";
    case SYS_openat:
      return "open";
    case SYS_semop:
    case SYS_semtimedop:
      return "semop";
    case SYS_nanosleep:
    case SYS_clock_nanosleep:
      return "nanosleep";
    case SYS_ppoll:
      return "poll";
    case SYS_wait4:
      return "wait";
    case SYS_rt_sigsuspend:
      return "sigsuspend";
#ifdef SYS_pause
    case SYS_pause:
      return "pause";
#endif
#ifdef SYS_open
    case SYS_open:
      return "open";
#endif
#ifdef SYS_poll
    case SYS_poll:
      return "poll";
#endif
    default:
      return nullptr;
  }
}

std::string first_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

}  // namespace

std::optional<Look> look_at(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/";
  std::string stat = first_line(dir + "stat");
  auto end_of_name = stat.rfind(')');
  if (end_of_name == std::string::npos || end_of_name + 2 >= stat.size()) return std::nullopt;
  Look look{stat[end_of_name + 2], ""};
  if (look.state != 'S' && look.state != 'D') return look;
  // "NR args... sp pc" while in a call; "-1 ..." or "running" otherwise.
  std::string call = first_line(dir + "syscall");
  // Woken between the two reads: it runs now.
  if (call == "running") return Look{'R', "", ""};
  char* end = nullptr;
  long number = strtol(call.c_str(), &end, 10);
  if (end != call.c_str() && number >= 0) {
    const char* name = call_name(number);
    look.call = name ? name : "syscall " + std::to_string(number);
    if (number == SYS_read || number == SYS_write) {
      // The first argument, the descriptor, tells a terminal from a FIFO.
      long fd = strtol(end, nullptr, 16);
      std::array<char, 256> path{};
      if (readlink((dir + "fd/" + std::to_string(fd)).c_str(), path.data(), path.size() - 1) > 0) {
        std::string_view file = path.data();
        look.target = file.starts_with("/dev/pts/") || file.starts_with("/dev/tty")
                          ? "terminal"
                          : std::string(file.substr(file.rfind('/') + 1));
      }
    }
  } else if (call.empty()) {  // the call may not be read: where it waits, then
    look.call = first_line(dir + "wchan");
    if (look.call == "0") look.call.clear();
  }
  return look;
}

std::optional<Semaphore> semaphore(key_t key) {
  int id = semget(key, 0, 0);
  if (id < 0) return std::nullopt;
  semid_ds info{};
  if (semctl(id, 0, IPC_STAT, &info) < 0) return std::nullopt;
  return Semaphore{id, semctl(id, 0, GETVAL), semctl(id, 0, GETNCNT),
                   static_cast<mode_t>(info.sem_perm.mode & 0777), info.sem_perm.uid};
}

std::optional<Segment> segment(key_t key) {
  int id = shmget(key, 0, 0);
  if (id < 0) return std::nullopt;
  shmid_ds info{};
  if (shmctl(id, IPC_STAT, &info) < 0) return std::nullopt;
  Segment found{id, info.shm_segsz, static_cast<mode_t>(info.shm_perm.mode & 0777), {}};
  void* at = shmat(id, nullptr, SHM_RDONLY);
  if (at != reinterpret_cast<void*>(-1)) {
    found.bytes.assign(static_cast<const char*>(at), found.size);
    shmdt(at);
  }
  return found;
}

bool shares_our_objects(const std::string& proc_dir) {
  struct stat ours, theirs;
  return stat("/proc/self/ns/ipc", &ours) == 0 &&
         stat((proc_dir + "ns/ipc").c_str(), &theirs) == 0 && theirs.st_ino == ours.st_ino &&
         theirs.st_dev == ours.st_dev;
}

namespace {

// Where `pid` has the segment mapped (its maps name it by key, with its id
// as the inode), read through its memory.
std::optional<std::string> read_through(pid_t pid, key_t key, int id, size_t size) {
  std::string dir = "/proc/" + std::to_string(pid) + "/";
  if (!shares_our_objects(dir)) return std::nullopt;
  FILE* maps = fopen((dir + "maps").c_str(), "re");
  if (!maps) return std::nullopt;
  std::array<char, 64> wanted;
  snprintf(wanted.data(), wanted.size(), "/SYSV%08x", static_cast<unsigned>(key));
  std::array<char, 512> entry;
  unsigned long start = 0;
  bool found = false;
  while (!found && fgets(entry.data(), entry.size(), maps)) {
    unsigned long end, inode;
    std::array<char, 256> path{};
    if (sscanf(entry.data(), "%lx-%lx %*s %*s %*s %lu %255s", &start, &end, &inode, path.data()) ==
        4)
      found = inode == static_cast<unsigned long>(id) && strcmp(path.data(), wanted.data()) == 0;
  }
  fclose(maps);
  if (!found) return std::nullopt;
  int mem = open((dir + "mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) return std::nullopt;
  std::string bytes(size, '\0');
  ssize_t got = pread(mem, bytes.data(), size, static_cast<off_t>(start));
  close(mem);
  if (got != static_cast<ssize_t>(size)) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<std::string> peek_segment(key_t key, int id, size_t size,
                                        const std::vector<pid_t>& likely, bool anywhere) {
  for (pid_t pid : likely)
    if (pid > 0)
      if (auto bytes = read_through(pid, key, id, size)) return bytes;
  if (!anywhere) return std::nullopt;
  DIR* proc = opendir("/proc");
  if (!proc) return std::nullopt;
  std::optional<std::string> bytes;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid > 0 && pid != getpid() && (bytes = read_through(pid, key, id, size))) break;
  }
  closedir(proc);
  return bytes;
}

}  // namespace kit
