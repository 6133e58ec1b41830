/* A fork that floods a pipe: on a terminal it prints the one line the fork
   scene wants, so that the scene goes on to its run into a pipe, where it
   writes short lines, a mebibyte at a time ($LOUD_MIB of them, else 1000),
   and ends. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void) {
  static char lines[1 << 20];
  if (isatty(1)) {
    static const char first[] = "this is first step\n";
    return write(1, first, sizeof first - 1) == sizeof first - 1 ? 0 : 1;
  }
  for (size_t i = 0; i < sizeof lines; i += 2) memcpy(lines + i, "y\n", 2);
  const char* asked = getenv("LOUD_MIB");
  int mebibytes = asked ? atoi(asked) : 1000;
  for (int i = 0; i < mebibytes; i++)
    if (write(1, lines, sizeof lines) != (ssize_t)sizeof lines) return 1;
  return 0;
}
