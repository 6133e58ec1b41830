/* An outside program: links the installed averager and prints a few means. */
#include <averager.h>
#include <stdio.h>

int main(void) {
  printf("%g %g %g\n", mean(1.0, 2.0), mean(-3.0, 3.0), mean(1e308, 1e308));
  return 0;
}
