// fork: after a process splits in two, parent and child run on from the same
// point and take different branches by what fork() returned.
//
// Run it on a terminal, then into a pipe (./fork | cat): the first line is
// still in the output buffer at the split, so both processes write it.
#include <unistd.h>

#include <cstdio>

int main() {
  // Not flushed: into a pipe this line is copied into the child with the
  // buffer, which is what the demonstration shows.
  puts("this is first step");

  int id = fork();
  // A failed split (-1) takes the parent's branch: there is no child.
  if (id != 0) {
    for (int i = 0; i < 4; i++) puts("hello");
  } else {
    for (int i = 0; i < 4; i++) printf("%d\n", i);
  }
  // The parent does not wait; each process writes out its own buffer.
  return 0;
}
