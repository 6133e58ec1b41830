// The page a scene is drawn on: its geometry, its colours, and how each
// kind of relation looks, each said once for every part of the drawing.
#pragma once

#include <cstddef>
#include <string_view>

namespace kit::draw {

// Colours that stay apart for the common kinds of colour blindness, in the
// printed tour's order of hues (cyan, yellow, magenta, green, blue).
constexpr const char* kHues[] = {"#56B4E9", "#E69F00", "#CC79A7", "#009E73", "#0072B2"};
constexpr const char* kInk = "#222222";
constexpr const char* kFaint = "#777777";
constexpr const char* kSignal = "#D55E00";
constexpr const char* kValue = "#0072B2";
constexpr const char* kWaiting = "#E69F00";
constexpr const char* kRelation = "#009E73";
constexpr const char* kHolds = "#0072B2";
// A stretch of the axis magnified, behind the lanes; its scale under the axis.
constexpr const char* kMagnified = "#fff1c2";
constexpr const char* kScale = "#7a5e00";
constexpr const char* kScaleLine = "#B08800";

constexpr double kWidth = 1100, kLeft = 190, kRight = 40, kPlot = kWidth - kLeft - kRight;
// A lane, from its top: two rows of printed lines, the state bar, a strip of
// bands, two rows of calls.
constexpr double kLaneHeight = 106, kBarTop = 32, kBarHeight = 14, kStripTop = 48,
                 kStripHeight = 12;
constexpr double kLineRows[] = {12, 26}, kCallRows[] = {73, 87, 101};
constexpr size_t kSentenceWidth = 150;

// How one kind of arrow or band is drawn: its colour, its dashes (none:
// solid), and how wide its label may run.
struct Style {
  std::string_view kind;
  const char* colour;
  const char* dash;
  double label_width;
  std::string_view short_label;  // inside a band too narrow for its own
};

constexpr Style kStyles[] = {
    {"lets-through", kRelation, "", 200, ""}, {"gives", kRelation, "5 3", 200, ""},
    {"fork", kRelation, "", 200, ""},         {"sees", kRelation, "", 320, ""},
    {"message", kValue, "", 320, ""},         {"signal", kSignal, "", 200, ""},
    {"holds", kHolds, "", 0, "holds"},        {"handler", kSignal, "", 0, "handler"},
    {"pending", kSignal, "", 120, ""},
};

// The style of `kind`; an unknown kind is drawn as a plain relation.
constexpr const Style& style_of(std::string_view kind) {
  for (auto& style : kStyles)
    if (style.kind == kind) return style;
  return kStyles[0];
}

}  // namespace kit::draw
