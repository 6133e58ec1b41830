// Time, left to right. The axis is broken where no program ran for a while,
// so that runs apart in time each get room, and it is stretched where
// moments crowd, so that each arrow and each mark gets an x of its own. Each
// piece is linear in time, and a stretch says its own scale.
#pragma once

#include <utility>
#include <vector>

#include "svg_text.h"

namespace kit::draw {

// The least room between two moments that are drawn apart.
constexpr double kApart = 12;
// The gap drawn where the axis is broken.
constexpr double kBreak = 26;

// A stretch of time and the pixels it takes.
struct Piece {
  double from, to, left, right;
  bool stretch = false;  // magnified: crowded moments drawn apart
  bool broken = false;   // the axis is broken just before it
  double factor() const { return (right - left) / (to - from); }
};

class TimeAxis {
 public:
  // From `begin` to `end`, over [`left`, `right`] pixels; `alive`: when each
  // program ran; `moments`: each an arrow's end, a call's mark or the like.
  TimeAxis(double begin, double end, const std::vector<std::pair<double, double>>& alive,
           std::vector<double> moments, double left = kLeft, double right = kLeft + kPlot);
  double x(double t) const;
  const std::vector<Piece>& pieces() const { return pieces_; }
  double span() const { return pieces_.back().to - pieces_.front().from; }
  // The axis under the lanes at `top`, its grid reaching up to `grid_top`;
  // where it ends.
  double draw(Svg& svg, double top, double grid_top) const;
  // Behind the lanes, from `top` to `bottom`: where the axis is stretched.
  void shade(Svg& svg, double top, double bottom) const;

 private:
  std::vector<Piece> pieces_;
};

}  // namespace kit::draw
