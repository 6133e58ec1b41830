// What every part of a scene's drawing works on: the record, what passed in
// it, the time axis, the text set so far, and where each lane lies. Each
// part draws its own kind of mark onto it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record.h"
#include "relations.h"
#include "svg_text.h"
#include "time_axis.h"

namespace kit::draw {

struct Canvas {
  const Record& record;
  const Relations& relations;
  const TimeAxis& axis;
  Svg& svg;
  std::vector<double> lane_top;
  double person_top = 0, lanes_bottom = 0;
  // The top of the segment's row, where what changed in it is drawn from.
  double segment_row = 0;

  double x(double t) const { return axis.x(t); }
  double bar_middle(int lane) const { return lane_top[lane] + kBarTop + kBarHeight / 2; }
  const std::string& label(int lane) const { return record.lanes[lane].label; }
  const char* hue(int lane) const { return kHues[record.lanes[lane].hue % std::size(kHues)]; }
};

struct Span {
  double from, to;
  const Event* event;  // what held over the span
};

// Each `what` event of `lane` (of the object `name`, where there are
// several) holds until the next one, or until `end`; a lane's End closes its
// last span.
std::vector<Span> spans(const Record& record, Happening what, int lane, double end,
                        std::optional<std::string_view> name = std::nullopt);

// The lanes: each program's bar and states, its end, the lines it printed,
// the signals delivered to it, its calls, and its bands.
void draw_lane(Canvas& c, int lane);
void draw_bands(Canvas& c, int lane);
void draw_lines(Canvas& c, int lane);
void draw_deliveries(Canvas& c, int lane);
void draw_calls(Canvas& c, int lane);
// What the person did, in its own rows above the lanes.
void draw_person(Canvas& c);
// The arrows between lanes, and the opens that met.
void draw_arrows(Canvas& c);
// A track for each object the record follows, from `top`; where they end.
double draw_tracks(Canvas& c, double top);
// What each mark means; where it ends.
double draw_legend(Canvas& c, double top);

}  // namespace kit::draw
