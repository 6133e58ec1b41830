// What a traced program asked: of a call, read at its entry from the
// arguments and from the program's own memory and descriptors; of the
// kernel, its handlers, from /proc.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>

#include "calls.h"

namespace kit {

// Up to `size` bytes of process `pid`'s memory at `address`: as many as
// could be read.
std::string peek(pid_t pid, uint64_t address, size_t size);

// The process a thread `tid` is of, from /proc; itself where unreadable.
pid_t process_of(pid_t tid);
// Whether `pid` runs a handler of its own for `sig` (it asked for one), from
// /proc.
bool catches(pid_t pid, int sig);

// Fills in what call `nr` with `args` of process `pid` asks: its target,
// details and bytes. False for a call the pictures leave out: a read or
// write of a file or socket, an open of anything but a FIFO, a mknod of
// anything else, a clone that makes a thread.
bool read_entry(pid_t pid, long nr, const std::array<uint64_t, 6>& args, Traced& seen);

}  // namespace kit
