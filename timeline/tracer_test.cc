#include "tracer.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "harness.h"

namespace kit {
namespace {

using TracerTest = Sandbox;

// What a body run in a PID namespace of its own found.
enum Verdict { kSpared = 0, kHit = 1, kNotSteered = 2, kNoNamespace = 3, kBroken = 4 };

// Runs `body` as the first process of a fresh PID namespace with its own
// /proc, where the next id given out can be chosen; its verdict.
template <typename Body>
int in_own_pid_namespace(Body body) {
  Forked outer([&] {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) < 0) _exit(kNoNamespace);
    pid_t first = fork();
    if (first == 0) {
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
          mount("proc", "/proc", "proc", 0, nullptr) < 0)
        _exit(kNoNamespace);
      _exit(body());
    }
    int status = 0;
    waitpid(first, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : kBroken);
  });
  int status = 0;
  waitpid(outer.pid(), &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : kBroken;
}

// A process that only waits, started so that it is given `id`; whether it was.
pid_t bystander_as(pid_t id) {
  std::ofstream("/proc/sys/kernel/ns_last_pid") << id - 1;
  pid_t pid = fork();
  if (pid == 0) {
    pause();
    _exit(0);
  }
  return pid == id ? pid : -1;
}

// Whether our unreaped child `pid` is still alive, then ends it.
Verdict spared(pid_t pid) {
  int status = 0;
  pid_t seen = waitpid(pid, &status, WNOHANG);
  kill(pid, SIGKILL);
  return seen == 0 ? kSpared : kHit;
}

void expect_spared(int verdict) {
  if (verdict == kNoNamespace) GTEST_SKIP() << "no PID namespace of our own here";
  ASSERT_NE(verdict, kNotSteered) << "the freed id could not be given to the bystander";
  EXPECT_EQ(verdict, kSpared) << "a process the tracer never started was killed";
}

// A program that execs from a thread of its own takes its process's id, and
// the thread's id is freed: given to a bystander, that must survive the
// tracer's end.
TEST_F(TracerTest, NeverSignalsTheIdOfAThreadThatExecd) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to steer the ids of a PID namespace";
  expect_spared(in_own_pid_namespace([] {
    int told[2];
    if (pipe(told) < 0) return kBroken;
    std::optional<Tracer> tracer(std::in_place);
    pid_t program = tracer->launch([&] {
      pid_t child = fork();
      if (child != 0) return child;
      raise(SIGSTOP);
      std::thread([&] {
        pid_t thread = gettid();
        if (write(told[1], &thread, sizeof thread) < 0) _exit(1);
        execl("/bin/sleep", "sleep", "30", nullptr);
        _exit(1);
      }).join();
      _exit(1);
    });
    pid_t thread = 0;
    pollfd ready{told[0], POLLIN, 0};
    if (program <= 0 || poll(&ready, 1, 10000) != 1 ||
        read(told[0], &thread, sizeof thread) != sizeof thread || thread == program)
      return kBroken;
    // Once it runs sleep, the thread's id is free.
    std::string comm = "/proc/" + std::to_string(program) + "/comm";
    if (!eventually([&] {
          std::string name;
          std::getline(std::ifstream(comm), name);
          return name == "sleep" && access(("/proc/" + std::to_string(thread)).c_str(), F_OK) < 0;
        }))
      return kBroken;
    pid_t bystander = bystander_as(thread);
    if (bystander < 0) return kNotSteered;
    tracer.reset();
    return spared(bystander);
  }));
}

// A program reaped by the tracer may have its id given out again before the
// runner lets go of it: the runner's last kill must not reach the new owner.
TEST_F(TracerTest, ARunnerNeverSignalsAnIdItsProgramNoLongerHas) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to steer the ids of a PID namespace";
  expect_spared(in_own_pid_namespace([] {
    Tracer tracer;
    std::optional<Process> program(std::in_place, "/bin/true", Options{.launcher = &tracer});
    pid_t pid = program->pid();
    if (!eventually([&] { return tracer.reaped(pid).has_value(); })) return kBroken;
    pid_t bystander = bystander_as(pid);
    if (bystander < 0) return kNotSteered;
    bool sent = program->signal(SIGKILL);
    program.reset();
    return sent ? kHit : spared(bystander);
  }));
}

}  // namespace
}  // namespace kit
