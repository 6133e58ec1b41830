// One-semaphore System V sets, one call per operation. Every function returns
// the platform's result unchanged (-1 with errno set on failure) and prints
// nothing: the caller decides what a failure means.
#pragma once

int mysem_init(int key);       // create the set under key, or find it
int mysem_open(int key);       // find the set under key; never creates
int mysem_post(int semid);     // add one unit; never blocks
int mysem_wait(int semid);     // take one unit; blocks while there is none
int mysem_destroy(int semid);  // remove the set
