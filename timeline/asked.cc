#include "asked.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

#include "objects.h"

namespace kit {

// A page at a time, so that an unmapped page ends the read rather than
// failing it.
std::string peek(pid_t pid, uint64_t address, size_t size) {
  std::string bytes;
  while (bytes.size() < size && address) {
    size_t page_left = 4096 - (address % 4096);
    size_t want = std::min(size - bytes.size(), page_left);
    std::string chunk(want, '\0');
    iovec local{chunk.data(), want};
    iovec remote{reinterpret_cast<void*>(address), want};
    ssize_t got = process_vm_readv(pid, &local, 1, &remote, 1, 0);
    if (got <= 0) break;
    bytes.append(chunk.data(), got);
    address += got;
  }
  return bytes;
}

namespace {

std::string peek_string(pid_t pid, uint64_t address) {
  std::string text = peek(pid, address, kBytesKept);
  return text.substr(0, text.find('\0'));
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// What descriptor `fd` of `pid` is: "terminal", "pipe", a FIFO's name, or ""
// for anything else (a file, a socket), whose reads and writes are not kept.
std::string descriptor(pid_t pid, uint64_t fd) {
  std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  std::array<char, 512> path{};
  if (readlink(link.c_str(), path.data(), path.size() - 1) <= 0) return "";
  std::string_view file = path.data();
  if (file.starts_with("/dev/pts/") || file.starts_with("/dev/tty") || file == "/dev/ptmx")
    return "terminal";
  if (file.starts_with("pipe:")) return "pipe";
  struct stat info;
  if (stat(link.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) return base_name(path.data());
  return "";
}

// A path as `pid` names it, relative to its own working directory.
std::string as_seen_by(pid_t pid, const std::string& path) {
  return path.starts_with("/") ? "/proc/" + std::to_string(pid) + "/root" + path
                               : "/proc/" + std::to_string(pid) + "/cwd/" + path;
}

bool fifo_at(pid_t pid, const std::string& path) {
  struct stat info;
  return stat(as_seen_by(pid, path).c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace

pid_t process_of(pid_t tid) {
  std::ifstream status("/proc/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("Tgid:")) return static_cast<pid_t>(strtol(line.c_str() + 5, nullptr, 10));
  return tid;
}

bool catches(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("SigCgt:")) {
      unsigned long long mask = strtoull(line.c_str() + 7, nullptr, 16);
      return (mask >> (sig - 1)) & 1;
    }
  return false;
}

bool read_entry(pid_t pid, long nr, const std::array<uint64_t, 6>& args, Traced& seen) {
  switch (nr) {
    case SYS_read:
    case SYS_write:
      seen.target = descriptor(pid, args[0]);
      if (seen.target.empty()) return false;
      if (nr == SYS_write) seen.bytes = peek(pid, args[1], std::min<uint64_t>(args[2], kBytesKept));
      seen.detail = {static_cast<int64_t>(args[0]), static_cast<int64_t>(args[2]), 0};
      break;
    case SYS_openat:
#ifdef SYS_open
    case SYS_open:
#endif
    {
      seen.bytes = peek_string(pid, args[nr == SYS_openat ? 1 : 0]);
      std::string file = base_name(seen.bytes);
      seen.target = file;
      seen.detail = {static_cast<int64_t>(args[nr == SYS_openat ? 2 : 1]), 0, 0};
      bool kits =
          std::find(std::begin(kFifoNames), std::end(kFifoNames), file) != std::end(kFifoNames);
      if (!fifo_at(pid, seen.bytes) && !kits) return false;
      break;
    }
    case SYS_mknodat:
#ifdef SYS_mknod
    case SYS_mknod:
#endif
    {
      int at = nr == SYS_mknodat ? 1 : 0;
      seen.bytes = peek_string(pid, args[at]);
      seen.target = base_name(seen.bytes);
      seen.detail = {static_cast<int64_t>(args[at + 1] & 07777), 0, 0};
      if (!S_ISFIFO(args[at + 1])) return false;
      break;
    }
    case SYS_semop:
    case SYS_semtimedop: {
      std::string op = peek(pid, args[1], 6);
      if (op.size() == 6) {
        uint16_t num;
        int16_t value, flags;
        memcpy(&num, op.data(), 2);
        memcpy(&value, op.data() + 2, 2);
        memcpy(&flags, op.data() + 4, 2);
        seen.detail = {num, value, flags};
      }
      seen.target = semaphore_target(seen.detail[0]);
      break;
    }
    case SYS_semctl:
      // The command may carry the flag for the 64-bit layout.
      seen.detail = {static_cast<int64_t>(args[2] & ~0x100u), static_cast<int>(args[3]),
                     static_cast<int64_t>(args[1])};
      seen.target = semaphore_target(static_cast<long>(args[1]));
      break;
    case SYS_semget:
    case SYS_shmget:
      seen.detail = {static_cast<int64_t>(args[0]), static_cast<int64_t>(args[1]),
                     static_cast<int64_t>(args[2])};
      break;
    case SYS_shmat:
      seen.target = "segment " + std::to_string(args[0]);
      break;
    case SYS_nanosleep:
    case SYS_clock_nanosleep: {
      std::string asked = peek(pid, args[nr == SYS_nanosleep ? 0 : 2], sizeof(timespec));
      timespec span{};
      if (asked.size() == sizeof span) memcpy(&span, asked.data(), sizeof span);
      seen.detail = {span.tv_sec, span.tv_nsec, 0};
      break;
    }
    case SYS_kill:
      seen.detail = {static_cast<int>(args[0]), static_cast<int>(args[1]), 0};
      break;
    case SYS_clone:
      // A thread is no fork: its process goes on as one.
      if (args[0] & CLONE_THREAD) return false;
      break;
#ifdef SYS_clone3
    case SYS_clone3: {
      std::string flags = peek(pid, args[0], sizeof(uint64_t));
      uint64_t value = 0;
      if (flags.size() == sizeof value) memcpy(&value, flags.data(), sizeof value);
      if (value & CLONE_THREAD) return false;
      break;
    }
#endif
    case SYS_execve:
      seen.bytes = peek_string(pid, args[0]);
      break;
    default:
      break;
  }
  return true;
}

}  // namespace kit
