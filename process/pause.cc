// pause: a process suspending itself until a signal arrives. It installs no
// handler, so a signal that terminates ends it in pause() and "After pause"
// is never printed; one ignored by default, or a stop and continue, leaves it
// asleep.
//
// Run it and press Ctrl-C, or send it signals with kill from another terminal.
#include <unistd.h>

#include <cstdio>

int main() {
  puts("Before pause");
  pause();
  puts("After pause");
  return 0;
}
