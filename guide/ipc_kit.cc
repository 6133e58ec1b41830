// ipc-kit: the one command an installed kit puts on the PATH. The programs
// live in the kit's own folder, so that plain names such as fork and pause
// stay the system's; this runs them by name.
//
//   ipc-kit                    the programs, with what each shows
//   ipc-kit PROGRAM [ARG...]   runs one, tour included
//
// It tells the tour where the programs and the installed library are
// (IPC_KIT_BIN, IPC_KIT_PREFIX), so that an installed tour plays the
// installed kit. In a build tree it runs the programs beside it.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "standard_streams.h"

namespace {

struct Program {
  std::string_view name;
  const char* shows;
};

constexpr std::array<Program, 12> kPrograms{{
    {"gatewait", "wait on a System V semaphore, once per post"},
    {"gatepost", "post to that semaphore once per character typed"},
    {"turnstile", "take turns with other copies over a semaphore lock"},
    {"pipechat", "send lines to a FIFO server and print its replies"},
    {"pipechat-server", "the FIFO server that answers pipechat in capitals"},
    {"slatewatch", "wait for an answer in a System V shared-memory segment"},
    {"slatewatch-client", "answer slatewatch through the shared segment"},
    {"fork", "split a process in two and watch both branches"},
    {"catcher", "catch signal 4 with a handler of its own"},
    {"pause", "sleep until a signal arrives"},
    {"ipcwatch", "watch the kit's semaphore, segment and named pipes live"},
    {"tour", "play every demonstration end to end, and draw it"},
}};

constexpr const char* kUsage = "usage: ipc-kit PROGRAM [ARGUMENT...] | --version\n";

void list() {
  fputs(kUsage, stdout);
  puts("\nThe kit's programs; run two in two terminals to watch them meet:");
  for (const auto& program : kPrograms)
    printf("  %-18.*s %s\n", static_cast<int>(program.name.size()), program.name.data(),
           program.shows);
  puts("\nEach has a manual page: man ipc-kit-PROGRAM.");
}

std::string parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool is_directory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
  if (!kit::standard_streams_open()) return 1;
  std::string_view name = argc > 1 ? argv[1] : "--help";
  if (name == "--help") {
    list();
    return 0;
  }
  if (name == "--version") {
    puts("ipc-kit " KIT_VERSION);
    return 0;
  }
  bool known = false;
  for (const auto& program : kPrograms) known |= program.name == name;
  if (!known) {
    fprintf(stderr, "ipc-kit: no program named '%s'\n%s(ipc-kit alone lists them)\n", argv[1],
            kUsage);
    return 2;
  }

  std::array<char, PATH_MAX> self{};
  if (readlink("/proc/self/exe", self.data(), self.size() - 1) < 0) {
    fprintf(stderr, "ipc-kit: cannot find where it is installed: %s\n", strerror(errno));
    return 1;
  }
  std::string bin = parent(self.data());
  std::string prefix = parent(bin);
  std::string folder = prefix + "/" KIT_PROGRAM_DIR;
  if (is_directory(folder))
    setenv("IPC_KIT_PREFIX", prefix.c_str(), 1);
  else
    folder = bin;  // a build tree: every program sits beside this one
  setenv("IPC_KIT_BIN", folder.c_str(), 1);
  std::string path = folder + "/" + std::string(name);
  execv(path.c_str(), argv + 1);
  fprintf(stderr, "ipc-kit: cannot run %s: %s\n", path.c_str(), strerror(errno));
  return errno == ENOENT ? 127 : 126;
}
