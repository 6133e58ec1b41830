// bench: how fast each hand-off of the kit is, and what each program costs
// to start, side by side with the floor that the kernel and a plain C
// program set, measured in the same run.
//
//   bench           the full run (about a minute)
//   bench --quick   a few repetitions of each, to check that it runs
//
// It runs in a private IPC namespace and a scratch directory, like the
// tests, so that it never meets the host's objects under the kit's keys.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "averager.h"
#include "mysem.h"
#include "process.h"
#include "tracer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
using namespace std::chrono_literals;

bool quick = false;
int reps(int full) { return quick ? std::max(2, full / 50) : full; }

struct Stats {
  double median, p99, max;
};
Stats stats(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, size_t(q * samples.size()))];
  };
  return {at(0.5), at(0.99), samples.back()};
}

std::string human(double seconds) {
  std::array<char, 32> shown;
  if (seconds < 1e-6)
    snprintf(shown.data(), shown.size(), "%.2f ns", seconds * 1e9);
  else if (seconds < 1e-3)
    snprintf(shown.data(), shown.size(), "%.1f us", seconds * 1e6);
  else if (seconds < 10)
    snprintf(shown.data(), shown.size(), "%.2f ms", seconds * 1e3);
  else
    snprintf(shown.data(), shown.size(), "%.2f s", seconds);
  return shown.data();
}

void row(const std::string& measure, Stats got, const std::string& floor_name, Stats floor) {
  printf("| %-46s | %10s | %10s | %-38s | %10s | %5.2f |\n", measure.c_str(),
         human(got.median).c_str(), human(got.p99).c_str(), floor_name.c_str(),
         human(floor.median).c_str(), got.median / floor.median);
}

[[noreturn]] void die(const char* what) {
  perror(what);
  exit(1);
}

// --- Programs on a pseudo-terminal ------------------------------------------

std::string bin(std::string_view name) { return kit::program_path(name); }

struct Terminal {
  pid_t pid;
  int master;
  std::string pending;
};

// Starts a program on a terminal of its own, with no echo and plain line ends.
Terminal launch(const std::string& path, const char* arg = nullptr) {
  Terminal t{};
  t.pid = forkpty(&t.master, nullptr, nullptr, nullptr);
  if (t.pid < 0) die("forkpty");
  if (t.pid == 0) {
    termios mode;
    tcgetattr(0, &mode);
    mode.c_lflag &= ~(ECHO | ECHOCTL);
    mode.c_oflag &= ~ONLCR;
    tcsetattr(0, TCSANOW, &mode);
    execl(path.c_str(), path.c_str(), arg, static_cast<char*>(nullptr));
    _exit(127);
  }
  return t;
}

// Reads until `text` has come; what follows it stays pending.
bool read_until(Terminal& t, std::string_view text, int timeout_ms = 5000) {
  for (;;) {
    if (auto at = t.pending.find(text); at != std::string::npos) {
      t.pending.erase(0, at + text.size());
      return true;
    }
    pollfd ready{t.master, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0) return false;
    std::array<char, 4096> buffer;
    ssize_t n = read(t.master, buffer.data(), buffer.size());
    if (n <= 0) return false;
    t.pending.append(buffer.data(), n);
  }
}

void drain(Terminal& t) {
  std::array<char, 4096> buffer;
  pollfd ready{t.master, POLLIN, 0};
  while (poll(&ready, 1, 0) > 0 && read(t.master, buffer.data(), buffer.size()) > 0) {
  }
  t.pending.clear();
}

// Ends the program and returns its peak resident memory, in KiB.
long finish(Terminal& t) {
  kill(t.pid, SIGKILL);
  int status;
  rusage usage{};
  wait4(t.pid, &status, 0, &usage);
  close(t.master);
  return usage.ru_maxrss;
}

void type(Terminal& t, std::string_view keys) {
  if (write(t.master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) die("write");
}

// --- Hand-offs --------------------------------------------------------------

// For a helper that would otherwise run on, blocked or spinning, after the
// bench is stopped or dies.
void dies_with_parent() {
  pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
}

// One process posts, another waits and answers; half a round trip each time.
Stats semaphore_ping_pong(bool through_mysem) {
  int ping, pong;
  if (through_mysem) {
    ping = mysem_init(0x4b01), pong = mysem_init(0x4b02);
  } else {
    ping = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600),
    pong = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
  }
  auto op = [](int id, short amount) {
    sembuf one{0, amount, 0};
    return semop(id, &one, 1);
  };
  auto post = [&](int id) { return through_mysem ? mysem_post(id) : op(id, 1); };
  auto wait = [&](int id) { return through_mysem ? mysem_wait(id) : op(id, -1); };
  int n = reps(20000);
  pid_t echo = fork();
  if (echo == 0) {
    dies_with_parent();
    for (int i = 0; i < n; i++) wait(ping), post(pong);
    _exit(0);
  }
  std::vector<double> samples;
  for (int i = 0; i < n; i++) {
    auto start = Clock::now();
    post(ping);
    wait(pong);
    samples.push_back(Seconds(Clock::now() - start).count() / 2);
  }
  waitpid(echo, nullptr, 0);
  semctl(ping, 0, IPC_RMID), semctl(pong, 0, IPC_RMID);
  return stats(samples);
}

// A byte written on one side of a terminal and read on the other, there and back.
Stats terminal_one_way() {
  Terminal echo = launch("/bin/cat");
  std::vector<double> samples;
  for (int i = 0; i < reps(5000); i++) {
    auto start = Clock::now();
    type(echo, "x\n");
    if (!read_until(echo, "x\n")) die("cat on a terminal");
    samples.push_back(Seconds(Clock::now() - start).count() / 2);
  }
  finish(echo);
  return stats(samples);
}

std::vector<double> hand_off_samples(int hand_offs) {
  Terminal waiter = launch(bin("gatewait"));
  if (!read_until(waiter, "semid = ")) die("gatewait");
  Terminal poster = launch(bin("gatepost"));
  if (!read_until(poster, "Press enter key to send semaphore\n")) die("gatepost");
  std::vector<double> samples;
  for (int i = 0; i < reps(hand_offs); i++) {
    auto start = Clock::now();
    type(poster, "\n");
    if (!read_until(waiter, "I got semaphore\n")) die("gatewait's line");
    samples.push_back(Seconds(Clock::now() - start).count());
    if (!read_until(poster, "Press enter key to send semaphore\n")) die("gatepost's prompt");
  }
  finish(poster), finish(waiter);
  semctl(semget(1234, 0, 0), 0, IPC_RMID);
  return samples;
}

Stats gatepost_to_gatewait(int hand_offs = 3000) { return stats(hand_off_samples(hand_offs)); }

// The same hand-off with both programs run by the kit's runner, followed
// call by call by `tracer`, or not: what tracing costs a learner's key.
Stats gatepost_to_gatewait_run(kit::Launcher* tracer) {
  kit::Process waiter("gatewait", {.launcher = tracer});
  if (!waiter.wait_for("semid = ")) die("gatewait");
  kit::Process poster("gatepost", {.launcher = tracer});
  if (!poster.wait_for("Press enter key to send semaphore\n")) die("gatepost");
  std::vector<double> samples;
  for (int i = 1; i <= reps(2000); i++) {
    auto start = Clock::now();
    poster.type("\n");
    if (!waiter.wait_for("I got semaphore\n", i)) die("gatewait's line");
    samples.push_back(Seconds(Clock::now() - start).count());
    if (!poster.wait_for("Press enter key to send semaphore\n", i + 1)) die("gatepost's prompt");
  }
  semctl(semget(1234, 0, 0), 0, IPC_RMID);
  return stats(samples);
}

// The whole tour's wall time, traced or sampled.
Stats tour_time(bool sampled) {
  std::vector<std::string> args;
  if (sampled) args.push_back("--sampled");
  if (quick) args.push_back("pause");
  auto start = Clock::now();
  kit::Process tour("tour", {.io = kit::Io::Pipes, .args = args});
  if (tour.wait_exit(kit::Duration(180000)).status != 0) die("the tour failed");
  double took = Seconds(Clock::now() - start).count();
  return {took, took, took};
}

// The tour's peak memory, in KiB, while the fork it plays writes `mebibytes`
// into a pipe: what it keeps of a program does not grow with its output.
long tour_peak_while_flooded(int mebibytes) {
  std::filesystem::create_directory("loud");
  std::filesystem::create_symlink(bin("bench-loud-fork"), "loud/fork");
  std::string tour = bin("tour");
  pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    setenv("IPC_KIT_BIN", (std::filesystem::current_path() / "loud").c_str(), 1);
    setenv("LOUD_MIB", std::to_string(mebibytes).c_str(), 1);
    int nowhere = open("/dev/null", O_WRONLY);
    int said = open("loud/said", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(nowhere, 1);
    dup2(said, 2);
    execl(tour.c_str(), "tour", "fork", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  // The scene's last check fails by design, and only once the fork has ended
  // having written it all: the tour keeps only the start of what it printed.
  std::ifstream said("loud/said");
  std::string failure((std::istreambuf_iterator<char>(said)), std::istreambuf_iterator<char>());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 1 ||
      failure.find("fork misbehaved: into a pipe the first line must show twice") ==
          std::string::npos)
    die("the flooded tour did not end as it should");
  std::filesystem::remove_all("loud");
  return usage.ru_maxrss;
}

// A request through one FIFO and its reply through another, between two
// processes that keep both open.
Stats fifo_ping_pong() {
  mkfifo("ping", 0600), mkfifo("pong", 0600);
  int n = reps(20000);
  pid_t echo = fork();
  if (echo == 0) {
    int in = open("ping", O_RDONLY), out = open("pong", O_WRONLY);
    std::array<char, 256> message;
    for (ssize_t got; (got = read(in, message.data(), message.size())) > 0;)
      if (write(out, message.data(), got) != got) _exit(1);
    _exit(0);
  }
  int out = open("ping", O_WRONLY), in = open("pong", O_RDONLY);
  std::vector<double> samples;
  std::array<char, 256> reply;
  for (int i = 0; i < n; i++) {
    auto start = Clock::now();
    if (write(out, "ping", 5) != 5 || read(in, reply.data(), reply.size()) <= 0) die("fifo");
    samples.push_back(Seconds(Clock::now() - start).count());
  }
  close(out), close(in);
  waitpid(echo, nullptr, 0);
  unlink("ping"), unlink("pong");
  return stats(samples);
}

Stats pipechat_exchange() {
  Terminal server = launch(bin("pipechat-server"));
  if (!read_until(server, "waiting for a client on srvfifo\n")) die("pipechat-server");
  Terminal client = launch(bin("pipechat"));
  constexpr std::string_view kPrompt = "Enter some message to send to server\n";
  if (!read_until(client, kPrompt)) die("pipechat");
  std::vector<double> samples;
  for (int i = 0; i < reps(1000); i++) {
    auto start = Clock::now();
    type(client, "ping\n");
    if (!read_until(client, "PING\n")) die("pipechat's reply");
    samples.push_back(Seconds(Clock::now() - start).count());
    if (!read_until(client, kPrompt)) die("pipechat's prompt");
    drain(server);
  }
  finish(client), finish(server);
  unlink("srvfifo"), unlink("clififo");
  return stats(samples);
}

// From the answer's flag to slatewatch's printed line, at a random moment of
// its one-second look.
Stats slatewatch_answer() {
  std::vector<double> samples;
  for (int i = 0; i < (quick ? 2 : 12); i++) {
    Terminal server = launch(bin("slatewatch"));
    char* slate = nullptr;
    for (int tries = 0; tries < 500 && !slate; tries++) {
      int id = shmget(10, 20, 0);
      auto at = id < 0 ? reinterpret_cast<char*>(-1) : static_cast<char*>(shmat(id, nullptr, 0));
      if (at != reinterpret_cast<char*>(-1) && strncmp(at, "tolvane", 7) == 0)
        slate = at;
      else
        usleep(2000);
    }
    if (!slate) die("slatewatch's segment");
    usleep(137'000 * (i % 7) + 10'000);  // land at different points of the look
    memcpy(slate + 1, "nswer", 6);
    auto start = Clock::now();
    slate[0] = 'A';
    if (!read_until(server, "Answer\n", 3000)) die("slatewatch's line");
    samples.push_back(Seconds(Clock::now() - start).count());
    shmdt(slate);
    finish(server);
  }
  return stats(samples);
}

// --- Start-up ---------------------------------------------------------------

struct Startup {
  Stats time;
  long peak_kib;  // median of the peak resident sizes
};

// Exec to first line, and peak memory, of a program and of the C floor, run
// alternately so that both meet the same state of the machine.
std::pair<Startup, Startup> startup(const std::string& program, const std::string& floor) {
  std::vector<double> times[2];
  std::vector<double> peaks[2];
  for (int i = 0; i < reps(200); i++) {
    for (int which : {0, 1}) {
      auto start = Clock::now();
      Terminal run = launch(which == 0 ? program : floor);
      if (!read_until(run, "\n")) die(program.c_str());
      times[which].push_back(Seconds(Clock::now() - start).count());
      peaks[which].push_back(finish(run));
    }
  }
  return {{stats(times[0]), long(stats(peaks[0]).median)},
          {stats(times[1]), long(stats(peaks[1]).median)}};
}

// --- ipcwatch among many idle processes ---------------------------------------

// Idle processes, each asleep in pause(), as on a busy machine.
std::vector<pid_t> crowd(int size) {
  std::vector<pid_t> pids;
  for (int i = 0; i < size; i++) {
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
      dies_with_parent();
      for (;;) pause();
    }
    pids.push_back(pid);
  }
  return pids;
}

void disperse(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) kill(pid, SIGKILL);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
}

// Processor time a process has used so far, in seconds: to the nanosecond
// from the scheduler's own count, where the kernel keeps it, as a burst of
// hand-offs lasts a few clock ticks only.
double cpu_seconds(pid_t pid) {
  if (FILE* sched = fopen(("/proc/" + std::to_string(pid) + "/schedstat").c_str(), "re")) {
    unsigned long long ran = 0;
    int read = fscanf(sched, "%llu", &ran);
    fclose(sched);
    if (read == 1) return ran / 1e9;
  }
  FILE* stat = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
  if (!stat) return 0;
  unsigned long user = 0, system = 0;
  int read = fscanf(stat, "%*d (%*[^)]) %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system);
  fclose(stat);
  if (read != 2) return 0;
  return double(user + system) / sysconf(_SC_CLK_TCK);
}

// Share of one core that a program on a terminal uses over `span`, after
// its first screen; its screens are read and dropped meanwhile.
double cpu_share(const std::string& path, const char* arg, Seconds span) {
  Terminal t = launch(path, arg);
  if (!read_until(t, "\n", 10000)) die(path.c_str());
  auto start = Clock::now();
  double before = cpu_seconds(t.pid);
  while (Clock::now() - start < span) {
    pollfd ready{t.master, POLLIN, 0};
    poll(&ready, 1, 100);
    drain(t);
  }
  double used = cpu_seconds(t.pid) - before;
  double share = used / Seconds(Clock::now() - start).count();
  finish(t);
  return share;
}

// From a change to the live view's screen showing it; `settle` undoes the
// change and waits for the screen to show that, before the next one.
Stats reaction(const std::function<void(int)>& change, const std::function<std::string(int)>& shown,
               const std::function<void(Terminal&)>& settle = nullptr) {
  Terminal view = launch(bin("ipcwatch"));
  if (!read_until(view, "Named pipes", 10000)) die("ipcwatch");
  std::vector<double> samples;
  for (int i = 1; i <= reps(40); i++) {
    if (settle) settle(view);
    usleep(30'000 + (i * 7'919) % 70'000);  // at any moment of its look cycle
    drain(view);
    auto start = Clock::now();
    change(i);
    if (!read_until(view, shown(i), 5000)) die("ipcwatch never showed the change");
    samples.push_back(Seconds(Clock::now() - start).count());
  }
  finish(view);
  return stats(samples);
}

// Exec to exit of a program whose output goes nowhere.
double run_to_end(const std::string& path, const char* arg) {
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    int nowhere = open("/dev/null", O_WRONLY);
    dup2(nowhere, 1);
    execl(path.c_str(), path.c_str(), arg, static_cast<char*>(nullptr));
    _exit(127);
  }
  waitpid(pid, nullptr, 0);
  return Seconds(Clock::now() - start).count();
}

// ipcwatch's one snapshot and the C scan, run alternately.
std::pair<Stats, Stats> snapshots() {
  std::vector<double> times[2];
  for (int i = 0; i < reps(20); i++) {
    times[0].push_back(run_to_end(bin("ipcwatch"), "--once"));
    times[1].push_back(run_to_end(bin("bench-floor-scan"), nullptr));
  }
  return {stats(times[0]), stats(times[1])};
}

// 1000 hand-offs, one run recorded and one not: the recorder's processor
// time over the recorded ones, and what recording adds to each.
// ipcwatch recording into `file`, measured from its first look on, its log
// read and dropped meanwhile; ended as Ctrl-C would, so that it draws its
// picture.
struct Recording {
  pid_t pid = -1;
  int log = -1;
  std::thread reader;
  std::atomic<int> posts_told{0};  // lines of its log that tell a post
  explicit Recording(const char* file) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0) die("pipe");
    pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
      dup2(ends[1], 1);
      execl(bin("ipcwatch").c_str(), "ipcwatch", "--record", file, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ends[1]);
    log = ends[0];
    // Its first line says it started; those of its first look follow.
    std::string seen;
    std::array<char, 4096> chunk;
    while (std::count(seen.begin(), seen.end(), '\n') < 2) {
      ssize_t got = read(log, chunk.data(), chunk.size());
      if (got <= 0) die("ipcwatch --record");
      seen.append(chunk.data(), got);
    }
    reader = std::thread([this] {
      std::array<char, 4096> chunk;
      std::string part;  // a line not yet whole
      ssize_t got;
      while ((got = read(log, chunk.data(), chunk.size())) > 0) {
        part.append(chunk.data(), got);
        for (size_t end; (end = part.find('\n')) != std::string::npos; part.erase(0, end + 1))
          if (std::string_view(part).substr(0, end).ends_with(": semop +1")) posts_told++;
      }
    });
  }
  ~Recording() {
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
    reader.join();
    close(log);
  }
  double share_over(Seconds span) {
    double before = cpu_seconds(pid);
    std::this_thread::sleep_for(span);
    return (cpu_seconds(pid) - before) / span.count();
  }
};

// Two processes ping-ponging a semaphore in an IPC namespace of their own,
// until killed: what the recorder must not pay for.
pid_t ping_pong_elsewhere() {
  pid_t player = fork();
  if (player < 0) die("fork");
  if (player == 0) {
    dies_with_parent();
    // A group of their own, ended together.
    setpgid(0, 0);
    if (unshare(CLONE_NEWIPC) < 0) _exit(1);
    for (;;) semaphore_ping_pong(false);
  }
  return player;
}

// How many of the kernel's events the recording into `file` says it lost.
long lost_in(const char* file) {
  std::ifstream picture(file);
  std::string all((std::istreambuf_iterator<char>(picture)), std::istreambuf_iterator<char>());
  size_t at = all.find("The kernel's buffer overflowed");
  if (at == std::string::npos) return 0;
  return atol(all.c_str() + all.find(": ", at) + 2);
}

// 1000 hand-offs recorded into `file`: the recorder's share of a core over
// them, and each one's time added to `samples`. The recorder is gone, its
// picture drawn, when it returns.
double recorded_burst(const char* file, std::vector<double>& samples) {
  Recording recorder(file);
  double before = cpu_seconds(recorder.pid);
  auto start = Clock::now();
  auto taken = hand_off_samples(1000);
  double share = (cpu_seconds(recorder.pid) - before) / Seconds(Clock::now() - start).count();
  samples.insert(samples.end(), taken.begin(), taken.end());
  return share;
}

void recorded_hand_offs() {
  // A burst lasts a tenth of a second, over which the recorder's share
  // varies by a fifth from one burst to the next: each figure is of five.
  const int rounds = quick ? 1 : 5;
  std::vector<double> bare, recorded, shares;
  for (int i = 0; i < rounds; i++) {
    auto alone = hand_off_samples(1000);
    bare.insert(bare.end(), alone.begin(), alone.end());
    shares.push_back(recorded_burst("hand-offs.svg", recorded));
  }
  row("1000 hand-offs while recorded", stats(recorded), "the same, not recorded", stats(bare));
  double share = stats(shares).median;
  printf("| %-46s | %8.2f %% | %10s | %-38s | %10s | %5s |\n",
         "ipcwatch --record, CPU, during those hand-offs", share * 100, "-", "target", "5.00 %",
         "-");
  // The same, while another namespace hammers a semaphore throughout.
  pid_t player = ping_pong_elsewhere();
  std::vector<double> busy, ignored;
  long lost = 0;
  for (int i = 0; i < rounds; i++) {
    busy.push_back(recorded_burst("beside.svg", ignored));
    lost += lost_in("beside.svg");
  }
  kill(-player, SIGKILL);
  waitpid(player, nullptr, 0);
  // What the other namespace costs is what the recorder uses beyond the
  // same hand-offs recorded alone.
  printf("| %-46s | %8.2f %% | %10s | %-38s | %10s | %5s |\n",
         "the same, more with another namespace busy", (stats(busy).median - share) * 100,
         lost ? (std::to_string(lost) + " lost").c_str() : "none lost", "target", "1.00 %", "-");
}

// From a post to the line of the recorder's log that tells it.
Stats post_to_log() {
  int set = semget(1234, 1, IPC_CREAT | 0600);
  Recording recorder("told.svg");
  std::vector<double> samples;
  for (int i = 1; i <= reps(40); i++) {
    usleep(30'000 + (i * 7'919) % 70'000);  // at any moment of its look cycle
    auto start = Clock::now();
    sembuf up{0, 1, 0};
    semop(set, &up, 1);
    while (recorder.posts_told < i) {
      if (Clock::now() - start > 5s) die("ipcwatch --record never told the post");
      usleep(100);
    }
    samples.push_back(Seconds(Clock::now() - start).count());
  }
  semctl(set, 0, IPC_RMID);
  return stats(samples);
}

void crowd_rows() {
  // Idle means none of them holds a kit object: what the earlier rows made goes.
  if (int id = shmget(10, 0, 0); id >= 0) shmctl(id, IPC_RMID, nullptr);
  const int size = quick ? 300 : 3000;
  std::vector<pid_t> idle = crowd(size);
  std::string many = std::to_string(size) + " idle processes";
  auto [once, scan] = snapshots();
  row("ipcwatch --once, " + many, once, "C: stat every /proc/*/fd once", scan);
  // The live view over a span long enough to take one of its periodic walks.
  double view = cpu_share(bin("ipcwatch"), nullptr, quick ? 2s : 21s);
  double top = cpu_share("/usr/bin/top", "-d0.25", quick ? 2s : 10s);
  printf("| %-46s | %8.2f %% | %10s | %-38s | %8.2f %% | %5.2f |\n",
         ("ipcwatch live, CPU, " + many).c_str(), view * 100, "-", "top -d 0.25, CPU", top * 100,
         view / top);

  // Recording: from the kernel's tracepoints as root, else by sampling; over
  // a span that takes one of its periodic walks, a minute apart when traced.
  double recording = Recording("idle.svg").share_over(quick ? 2s : 61s);
  printf("| %-46s | %8.2f %% | %10s | %-38s | %10s | %5s |\n",
         ("ipcwatch --record, CPU, " + many).c_str(), recording * 100, "-", "target", "0.50 %",
         "-");
  recorded_hand_offs();

  int set = semget(1234, 1, IPC_CREAT | 0600);
  Stats post = reaction(
      [&](int) {
        sembuf up{0, 1, 0};
        semop(set, &up, 1);
      },
      [](int i) { return "value \033[1;33m" + std::to_string(i); });
  semctl(set, 0, IPC_RMID);
  printf("| %-46s | %10s | %10s | %-38s | %10s | %5s |\n", "a post to ipcwatch's screen",
         human(post.median).c_str(), human(post.max).c_str(), "target (max)", "250.00 ms", "-");
  Stats told = post_to_log();
  printf("| %-46s | %10s | %10s | %-38s | %10s | %5s |\n", "a post to ipcwatch --record's log",
         human(told.median).c_str(), human(told.max).c_str(), "target (max)", "100.00 ms", "-");
  mkfifo("clififo", 0600);
  int held = -1;
  Stats opened = reaction([&](int) { held = open("clififo", O_RDONLY | O_NONBLOCK); },
                          [](int) { return "reading: \033[1;33m" + std::to_string(getpid()); },
                          [&](Terminal& view) {
                            if (held < 0) return;
                            close(held), held = -1;
                            if (!read_until(view, "reading: \033[1;33mnone", 5000)) die("close");
                          });
  close(held);
  unlink("clififo");
  printf("| %-46s | %10s | %10s | %-38s | %10s | %5s |\n", "a FIFO's open to ipcwatch's screen",
         human(opened.median).c_str(), human(opened.max).c_str(), "target (max)", "250.00 ms", "-");
  disperse(idle);
}

// --- The mean ----------------------------------------------------------------

Stats mean_calls(bool through_library) {
  constexpr int kValues = 1 << 12;
  std::vector<double> a(kValues), b(kValues);
  for (int i = 0; i < kValues; i++) a[i] = i * 0.37, b[i] = i * -1.3 + 7;
  std::vector<double> samples;
  for (int round = 0; round < reps(500); round++) {
    double sum = 0;
    auto start = Clock::now();
    if (through_library)
      for (int i = 0; i < kValues; i++) sum += mean(a[i], b[i]);
    else
      for (int i = 0; i < kValues; i++) sum += (a[i] + b[i]) / 2.0;
    samples.push_back(Seconds(Clock::now() - start).count() / kValues);
    if (sum == 42) puts("");  // keeps the sum, and so the loop, alive
  }
  return stats(samples);
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view option = argc > 1 ? argv[1] : "";
  quick = option == "--quick";
  if (argc > 2 || !(option.empty() || quick)) {
    bool help = option == "--help";
    fputs(
        "usage: bench [--quick]\n"
        "  measures the kit's hand-offs and start-up against their floors;\n"
        "  --quick only checks that each measurement runs\n",
        help ? stdout : stderr);
    return help ? 0 : 2;
  }
  if (unshare(CLONE_NEWIPC) < 0 && unshare(CLONE_NEWUSER | CLONE_NEWIPC) < 0)
    die("bench: no private IPC namespace (run as root, or allow user namespaces)");
  std::string scratch = (std::filesystem::temp_directory_path() / "ipc-kit-bench-XXXXXX").string();
  if (!mkdtemp(scratch.data()) || chdir(scratch.c_str()) < 0) die("bench: scratch directory");

  printf("| %-46s | %10s | %10s | %-38s | %10s | %5s |\n", "measure", "median", "p99", "floor",
         "floor med.", "ratio");
  printf("|%s|%s|%s|%s|%s|%s|\n", std::string(48, '-').c_str(), std::string(12, '-').c_str(),
         std::string(12, '-').c_str(), std::string(40, '-').c_str(), std::string(12, '-').c_str(),
         std::string(7, '-').c_str());

  Stats raw = semaphore_ping_pong(false);
  row("mysem_post to mysem_wait (ping-pong)", semaphore_ping_pong(true), "raw semop ping-pong",
      raw);
  Stats terminal = terminal_one_way();
  // The key crosses gatepost's terminal, the line gatewait's: two crossings.
  Stats hand_off_floor{raw.median + 2 * terminal.median, raw.p99 + 2 * terminal.p99, 0};
  row("key typed into gatepost to gatewait's line", gatepost_to_gatewait(),
      "semop hand-off + 2 terminal crossings", hand_off_floor);
  {
    kit::Tracer tracer;
    Stats untraced = gatepost_to_gatewait_run(nullptr);
    row("the same, both programs traced", gatepost_to_gatewait_run(&tracer),
        "the same, untraced (the tour's runner)", untraced);
  }
  row("line typed into pipechat to its reply", pipechat_exchange(), "bare FIFO ping-pong",
      fifo_ping_pong());
  Stats look = slatewatch_answer();
  printf("| %-46s | %10s | %10s | %-38s | %10s | %5s |\n", "answer written to slatewatch's line",
         human(look.median).c_str(), ("max " + human(look.max)).c_str(), "its one-second look",
         "1.00 s", "-");

  // A minimal C program's exec to first line is the floor for every start-up.
  int set = semget(1234, 1, IPC_CREAT | 0600);
  mkfifo("srvfifo", 0600);
  int reader = open("srvfifo", O_RDONLY | O_NONBLOCK);  // lets pipechat connect at once
  for (const char* program : {"gatewait", "gatepost", "pipechat", "pipechat-server", "fork",
                              "catcher", "pause", "ipcwatch"}) {
    auto [measured, floor] = startup(bin(program), bin("bench-floor-hello"));
    row(std::string("exec to first line: ") + program + " (" + std::to_string(measured.peak_kib) +
            " KiB)",
        measured.time, "C: puts one line (" + std::to_string(floor.peak_kib) + " KiB)", floor.time);
  }
  close(reader);
  semctl(set, 0, IPC_RMID);

  row("mean() through libaverager.so, per call", mean_calls(true), "inline (a + b) / 2.0",
      mean_calls(false));
  crowd_rows();
  // One play each: the p99 column repeats it.
  Stats sampled = tour_time(true);
  row(quick ? "the tour's pause scene, traced" : "the whole tour, traced (one play)",
      tour_time(false), "the same, --sampled", sampled);

  // Quick, a sanitized tour must still see the end of it in its patience.
  int flood = quick ? 50 : 1000;
  printf("| %-46s | %7.1f MiB | %10s | %-38s | %10s | %5s |\n",
         ("the tour's peak memory, fork writing " + std::to_string(flood) + " MiB").c_str(),
         tour_peak_while_flooded(flood) / 1024.0, "-", "at most", "100 MiB", "-");

  std::filesystem::remove_all(scratch);
  return 0;
}
