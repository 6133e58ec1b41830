// Pictures of what happened: a scene's record drawn as a timeline, one lane
// per program, as a self-contained SVG that any browser shows without
// network or script.
#pragma once

#include <list>
#include <string>

#include "record.h"

namespace kit {

// The scene as an SVG picture, left to right in time.
std::string draw_scene(const Record& record);

// A page that shows the pictures one under another, each with its sentence.
std::string draw_index(const std::list<Record>& records);

}  // namespace kit
