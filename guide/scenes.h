// The tour's scenes, in the order it plays them.
#pragma once

#include <sys/ipc.h>

#include <string>
#include <vector>

#include "scene.h"

namespace kit {

struct Play {
  const char* name;
  const char* watch_for;  // the one sentence the tour says before it
  void (*play)(Scene&);
  key_t key = 0;            // the key the scene needs free, or 0
  const char* object = "";  // the kernel object its picture tracks
  // Why the scene cannot play on this machine (a tool missing), or "".
  std::string (*missing)() = nullptr;
};

const std::vector<Play>& scenes();

}  // namespace kit
