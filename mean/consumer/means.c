/* An outside program: links the installed averager and prints a few means. */
#include <averager.h>
#include <stdio.h>

int main(void) {
  const double pairs[][2] = {{1.0, 2.0}, {-3.0, 3.0}, {1e308, 1e308}};
  for (size_t i = 0; i < sizeof pairs / sizeof pairs[0]; i++)
    printf("mean(%g, %g) = %g\n", pairs[i][0], pairs[i][1], mean(pairs[i][0], pairs[i][1]));
  return 0;
}
