// The mean module: one exported function, mean, under its plain C name.
#include "averager.h"

#include <cmath>

extern "C" __attribute__((visibility("default"))) double mean(double a, double b) {
  double sum = a + b;
  // Two finite values can sum past the largest double; their mean is still
  // finite, and halving each first loses nothing at that magnitude.
  if (std::isinf(sum) && std::isfinite(a) && std::isfinite(b)) return a / 2.0 + b / 2.0;
  return sum / 2.0;
}
