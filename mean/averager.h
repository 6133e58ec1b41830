/* The arithmetic mean of two doubles, for C and C++ programs alike. */
#ifndef AVERAGER_H
#define AVERAGER_H

#ifdef __cplusplus
extern "C" {
#endif

/* (a + b) / 2.0; finite whenever a and b are, even where a + b overflows. */
double mean(double a, double b);

#ifdef __cplusplus
}
#endif

#endif
