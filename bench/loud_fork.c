/* A fork that floods a pipe: on a terminal it prints the one line the fork
   scene wants, so that the scene goes on to its run into a pipe, where it
   writes 1000 MiB of short lines, a mebibyte at a time, and ends. */
#include <string.h>
#include <unistd.h>

int main(void) {
  static char lines[1 << 20];
  if (isatty(1)) {
    static const char first[] = "this is first step\n";
    return write(1, first, sizeof first - 1) == sizeof first - 1 ? 0 : 1;
  }
  for (size_t i = 0; i < sizeof lines; i += 2) memcpy(lines + i, "y\n", 2);
  for (int i = 0; i < 1000; i++)
    if (write(1, lines, sizeof lines) != (ssize_t)sizeof lines) return 1;
  return 0;
}
