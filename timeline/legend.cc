#include <algorithm>
#include <string>

#include "canvas.h"

namespace kit::draw {

double draw_legend(Canvas& c, double top) {
  c.svg.add("<g class=\"legend\">");
  double at = 16, y = top;
  auto room_for = [&](const std::string& words) {
    if (at + 34 + text_width(words, 11) > kWidth - 16) at = 16, y += 22;
  };
  auto swatch = [&](const std::string& fill, const std::string& words, int width = 22) {
    room_for(words);
    c.svg.add("<rect x=\"" + number(at) + "\" y=\"" + number(y) + "\" width=\"" +
              std::to_string(width) + "\" height=\"" + number(kBarHeight) + "\" " + fill + "/>");
    c.svg.text(at + 28, y + 11, words, 11);
    at += 40 + text_width(words, 11);
  };
  auto stroke = [&](const std::string& style, const std::string& words) {
    room_for(words);
    c.svg.add("<line x1=\"" + number(at) + "\" y1=\"" + number(y + 7) + "\" x2=\"" +
              number(at + 22) + "\" y2=\"" + number(y + 7) + "\" " + style + "/>");
    c.svg.text(at + 28, y + 11, words, 11);
    at += 40 + text_width(words, 11);
  };
  std::string hue = kHues[0];
  swatch("fill=\"" + hue + "\"", "running");
  swatch("fill=\"" + hue + "\" fill-opacity=\"0.22\" stroke=\"" + hue + "\"",
         "asleep, in the call named (from /proc)");
  swatch("fill=\"url(#stopped)\" stroke=\"#555555\"", "stopped");
  swatch("fill=\"#222222\"", "ended: exit status or signal", 3);
  if (c.record.person) {
    stroke("stroke=\"#222222\" stroke-width=\"1.5\"", "key typed (\u25bc on its lane)");
    stroke(std::string("stroke=\"") + kSignal + "\" stroke-width=\"1.5\" stroke-dasharray=\"4 2\"",
           "signal sent");
    stroke("stroke=\"#222222\" stroke-opacity=\"0.6\"",
           "a line printed, when it reached the tour (hover for all of it)");
  }
  if (c.record.traced) {
    room_for("a system call, with what it asked");
    c.svg.add("<path d=\"M" + number(at + 11) + "," + number(y + 2) + " L" + number(at + 16) + "," +
              number(y + 7) + " L" + number(at + 11) + "," + number(y + 12) + " L" +
              number(at + 6) + "," + number(y + 7) + " z\" fill=\"#222222\"/>");
    c.svg.text(at + 28, y + 11, "a system call, with what it asked", 11);
    at += 40 + text_width("a system call, with what it asked", 11);
    stroke(
        std::string("stroke=\"") + kRelation + "\" stroke-width=\"1.8\" marker-end=\"url(#arrow)\"",
        "an operation that let another through (dashed: its unit taken later), a fork");
    stroke(std::string("stroke=\"") + kValue + "\" stroke-width=\"1.8\" marker-end=\"url(#arrow)\"",
           "bytes through a named pipe, from write to read");
    swatch(std::string("fill=\"") + kHolds + "\" fill-opacity=\"0.25\" stroke=\"" + kHolds + "\"",
           "holds the lock");
    swatch(std::string("fill=\"") + kSignal + "\" fill-opacity=\"0.25\" stroke=\"" + kSignal + "\"",
           "a signal handler runs");
    swatch("fill=\"url(#pending)\" stroke=\"#D55E00\"", "a signal pending");
  }
  auto& pieces = c.axis.pieces();
  if (std::any_of(pieces.begin(), pieces.end(), [](const Piece& piece) { return piece.stretch; }))
    swatch("fill=\"" + std::string(kMagnified) + "\"",
           "magnified: crowded moments drawn apart, at the scale under the axis");
  c.svg.add("</g>");
  return y + 26;
}

}  // namespace kit::draw
