#include "time_axis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

namespace kit::draw {
namespace {

constexpr double kIdleBreak = 0.1;     // seconds with no program running that break it
constexpr double kStretchMost = 260;   // pixels one stretch may take
constexpr double kPlainLeast = 0.3;    // of the room, kept for the time not stretched
constexpr size_t kMostMoments = 4000;  // more, and no stretch could part them anyway
constexpr double kSame = 1e-9;         // moments closer than this are one

struct Stretch {
  double from, to, scale;  // scale: pixels a second
};

// Crowded moments `m[i..j]` (sorted, apart), each part given the scale that
// sets its closest two `kApart` apart; a part that would take more than
// `kStretchMost` is parted again at its widest gap. Half a gap's room on
// each side keeps neighbouring parts apart too.
void part(const std::vector<double>& m, size_t i, size_t j, double beside,
          std::vector<Stretch>& found) {
  if (i == j) {
    // Left alone by a parting: room of its own, up to its neighbours.
    found.push_back({m[i] - beside / 2, m[i] + beside / 2, kApart / beside});
    return;
  }
  double least = m[i + 1] - m[i];
  size_t widest = i;
  for (size_t k = i; k < j; k++) {
    least = std::min(least, m[k + 1] - m[k]);
    if (m[k + 1] - m[k] > m[widest + 1] - m[widest]) widest = k;
  }
  double scale = kApart / least;
  if ((m[j] - m[i]) * scale + kApart <= kStretchMost) {
    found.push_back({m[i] - least / 2, m[j] + least / 2, scale});
    return;
  }
  double gap = m[widest + 1] - m[widest];
  part(m, i, widest, gap, found);
  part(m, widest + 1, j, gap, found);
}

// The stretches that set `moments` at least `kApart` apart where `scale`
// would not.
std::vector<Stretch> stretches(const std::vector<double>& moments, double scale) {
  std::vector<Stretch> found;
  for (size_t i = 0; i < moments.size();) {
    size_t j = i;
    while (j + 1 < moments.size() && (moments[j + 1] - moments[j]) * scale < kApart) j++;
    if (j > i) part(moments, i, j, 0, found);
    i = j + 1;
  }
  for (size_t k = 0; k + 1 < found.size(); k++)
    found[k].to = std::min(found[k].to, found[k + 1].from);
  return found;
}

struct Run {
  double from, to;
  std::vector<Stretch> stretched;
};

std::string factor_text(double factor) {
  std::array<char, 32> text;
  if (factor >= 10000)
    snprintf(text.data(), text.size(), "\u00d7%.0fk", factor / 1000);
  else
    snprintf(text.data(), text.size(), "\u00d7%.0f", factor);
  return text.data();
}

// A step of time as its tick says it.
std::string step_text(double t) {
  std::array<char, 32> text;
  if (t < 0.001 - kSame)
    snprintf(text.data(), text.size(), "+%.0f \u00b5s", t * 1e6);
  else
    snprintf(text.data(), text.size(), "+%g ms", std::round(t * 1e6) / 1e3);
  return text.data();
}

}  // namespace

TimeAxis::TimeAxis(double begin, double end, const std::vector<std::pair<double, double>>& alive,
                   std::vector<double> moments, double left, double right) {
  auto lives = alive;
  std::sort(lives.begin(), lives.end());
  std::vector<Run> runs;
  for (auto [from, to] : lives) {
    if (!runs.empty() && from - runs.back().to < kIdleBreak)
      runs.back().to = std::max(runs.back().to, to);
    else
      runs.push_back({from, to, {}});
  }
  if (runs.size() < 2)
    runs = {{begin, end, {}}};
  else {
    // Each run with a margin of a tenth of itself, the first from the start.
    for (size_t i = 0; i < runs.size(); i++) {
      double margin = std::max(0.0005, (runs[i].to - runs[i].from) * 0.1);
      runs[i].from = i == 0 ? begin : runs[i].from - margin;
      runs[i].to = i + 1 == runs.size() ? std::max(end, runs[i].to + margin) : runs[i].to + margin;
    }
  }
  std::sort(moments.begin(), moments.end());
  moments.erase(
      std::unique(moments.begin(), moments.end(), [](double a, double b) { return b - a < kSame; }),
      moments.end());
  if (moments.size() > kMostMoments) moments.clear();

  double room = (right - left) - kBreak * (runs.size() - 1);
  double longest = 0;
  for (auto& run : runs) longest = std::max(longest, run.to - run.from);
  std::vector<double> weight, plain(runs.size());
  double weights = 0;
  for (auto& run : runs) {
    weight.push_back(std::max(run.to - run.from, longest * 0.3));
    weights += weight.back();
  }
  // The plain scale of each run sets which moments crowd; the stretches
  // then take their room from it, so it is found again, a few times over.
  std::vector<double> scale(runs.size());
  for (size_t i = 0; i < runs.size(); i++)
    scale[i] = room * weight[i] / weights / (runs[i].to - runs[i].from);
  double squeeze = 1;
  for (int round = 0; round < 4; round++) {
    double stretched = 0;
    for (size_t i = 0; i < runs.size(); i++) {
      std::vector<double> inside;
      for (double t : moments)
        if (t >= runs[i].from && t <= runs[i].to) inside.push_back(t);
      runs[i].stretched = stretches(inside, scale[i]);
      for (auto& s : runs[i].stretched) {
        s.from = std::max(s.from, runs[i].from), s.to = std::min(s.to, runs[i].to);
        stretched += (s.to - s.from) * s.scale;
      }
    }
    // Too many crowds for the room: each stretch gives up alike.
    squeeze = stretched > room * (1 - kPlainLeast) ? room * (1 - kPlainLeast) / stretched : 1;
    double plain_room = room - stretched * squeeze;
    for (size_t i = 0; i < runs.size(); i++) {
      double time = runs[i].to - runs[i].from;
      for (auto& s : runs[i].stretched) time -= s.to - s.from;
      plain[i] = plain_room * weight[i] / weights;
      scale[i] = time > kSame ? plain[i] / time : 0;
    }
  }
  // A stretch no finer than the plain time it ended up in is none: its
  // moments stand apart without it, and its room goes back to the rest.
  for (int round = 0; round < 2; round++) {
    double stretched = 0;
    for (size_t i = 0; i < runs.size(); i++) {
      std::erase_if(runs[i].stretched,
                    [&](const Stretch& s) { return s.scale * squeeze <= scale[i]; });
      for (auto& s : runs[i].stretched) stretched += (s.to - s.from) * s.scale * squeeze;
    }
    for (size_t i = 0; i < runs.size(); i++) {
      double time = runs[i].to - runs[i].from;
      for (auto& s : runs[i].stretched) time -= s.to - s.from;
      plain[i] = (room - stretched) * weight[i] / weights;
      scale[i] = time > kSame ? plain[i] / time : 0;
    }
  }
  double x = left;
  for (size_t i = 0; i < runs.size(); i++) {
    double at = runs[i].from;
    bool first = true;
    auto add = [&](double to, double pixels, bool stretch) {
      if (to - at <= 0) return;
      pieces_.push_back({at, to, x, x + pixels, stretch, first && i > 0});
      first = false;
      x += pixels, at = to;
    };
    for (auto& s : runs[i].stretched) {
      add(s.from, (s.from - at) * scale[i], false);
      add(s.to, (s.to - s.from) * s.scale * squeeze, true);
    }
    add(runs[i].to, (runs[i].to - at) * scale[i], false);
    if (first) pieces_.push_back({runs[i].from, runs[i].to, x, x, false, i > 0});
    x += kBreak;
  }
  // Room that a run wholly stretched could not use spreads over the rest.
  double gaps = kBreak * (runs.size() - 1), used = pieces_.back().right - left - gaps;
  if (used > 0 && used < right - left - gaps) {
    double fit = (right - left - gaps) / used, last = left;
    for (auto& piece : pieces_) {
      double width = (piece.right - piece.left) * fit;
      piece.left = piece.broken ? last + kBreak : last;
      piece.right = piece.left + width;
      last = piece.right;
    }
  }
}

double TimeAxis::x(double t) const {
  for (size_t i = 0; i < pieces_.size(); i++) {
    const Piece& piece = pieces_[i];
    bool last = i + 1 == pieces_.size();
    if (t <= piece.to || last) {
      if (t < piece.from) return i == 0 ? piece.left : piece.left - kBreak / 2;
      if (piece.to <= piece.from) return piece.left;
      double at =
          piece.left + (t - piece.from) / (piece.to - piece.from) * (piece.right - piece.left);
      return std::min(at, piece.right);
    }
    if (t < pieces_[i + 1].from)
      return pieces_[i + 1].broken ? piece.right + kBreak / 2 : piece.right;
  }
  return kLeft;
}

namespace {

// A piece's magnification over the plain time of its run.
double magnified(const std::vector<Piece>& pieces, size_t at) {
  size_t first = at, last = at;
  while (first > 0 && !pieces[first].broken) first--;
  while (last + 1 < pieces.size() && !pieces[last + 1].broken) last++;
  for (size_t i = first; i <= last; i++)
    if (!pieces[i].stretch && pieces[i].to > pieces[i].from && pieces[i].right > pieces[i].left)
      return pieces[at].factor() / pieces[i].factor();
  return 0;
}

}  // namespace

void TimeAxis::shade(Svg& svg, double top, double bottom) const {
  for (size_t i = 0; i < pieces_.size(); i++) {
    const Piece& piece = pieces_[i];
    if (!piece.stretch) continue;
    double factor = magnified(pieces_, i);
    svg.add("<g class=\"stretch\" data-from=\"" + number(piece.from) + "\" data-to=\"" +
            number(piece.to) + "\" data-factor=\"" + number(std::round(factor)) + "\">");
    svg.add("<title>" +
            escaped("magnified" + (factor > 0 ? " " + factor_text(factor) : std::string()) + ": " +
                    seconds(piece.from) + " to " + seconds(piece.to) +
                    ", so that the moments in it stand apart") +
            "</title>");
    svg.add("<rect x=\"" + number(piece.left) + "\" y=\"" + number(top) + "\" width=\"" +
            number(piece.right - piece.left) + "\" height=\"" + number(bottom - top) +
            "\" fill=\"" + std::string(kMagnified) + "\" fill-opacity=\"0.4\"/>");
    svg.add("</g>");
  }
}

double TimeAxis::draw(Svg& svg, double top, double grid_top) const {
  svg.add("<g class=\"axis\">");
  bool stretched = false;
  for (size_t first = 0; first < pieces_.size();) {
    size_t last = first;
    while (last + 1 < pieces_.size() && !pieces_[last + 1].broken) last++;
    const Piece &begin = pieces_[first], &end = pieces_[last];
    double span = end.to - begin.from, width = end.right - begin.left;
    double step = 60;
    for (double candidate : {0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0,
                             5.0, 10.0, 20.0, 30.0, 60.0}) {
      step = candidate;
      if (span / candidate <= 15 * width / kPlot) break;
    }
    svg.add("<line x1=\"" + number(begin.left) + "\" y1=\"" + number(top) + "\" x2=\"" +
            number(end.right) + "\" y2=\"" + number(top) + "\" stroke=\"#222222\"/>");
    if (first > 0) {
      double gap = begin.left - kBreak / 2;
      svg.add("<g class=\"break\" data-from=\"" + number(pieces_[first - 1].to) + "\" data-to=\"" +
              number(begin.from) + "\">");
      svg.add("<title>" +
              escaped("no program ran from " + seconds(pieces_[first - 1].to) + " to " +
                      seconds(begin.from) + ": left out") +
              "</title>");
      for (double side : {gap - 5, gap + 5})
        svg.add("<line x1=\"" + number(side) + "\" y1=\"" + number(grid_top) + "\" x2=\"" +
                number(side) + "\" y2=\"" + number(top + 6) +
                "\" stroke=\"#999999\" stroke-dasharray=\"3 3\"/>");
      svg.add("</g>");
    }
    for (double n = std::ceil(begin.from / step - 1e-9); n * step <= end.to + 1e-9; n++) {
      double t = n * step;
      std::string label = number(std::round(t * 1e5) / 1e5) + " s";
      svg.add("<line x1=\"" + number(x(t)) + "\" y1=\"" + number(top) + "\" x2=\"" + number(x(t)) +
              "\" y2=\"" + number(top + 5) + "\" stroke=\"#222222\"/>");
      svg.add("<line x1=\"" + number(x(t)) + "\" y1=\"" + number(grid_top) + "\" x2=\"" +
              number(x(t)) + "\" y2=\"" + number(top) +
              "\" stroke=\"#000000\" stroke-opacity=\"0.07\"/>");
      svg.text(x(t), top + 18, label, 11, "fill=\"#222222\"", "middle");
    }
    // Each stretch with its own scale, under the axis.
    for (size_t i = first; i <= last; i++) {
      const Piece& piece = pieces_[i];
      if (!piece.stretch) continue;
      stretched = true;
      double y = top + 28, factor = magnified(pieces_, i);
      svg.add("<g class=\"scale\" data-from=\"" + number(piece.from) + "\" data-to=\"" +
              number(piece.to) + "\">");
      svg.add("<path d=\"M" + number(piece.left + 0.5) + "," + number(y - 4) + " V" + number(y) +
              " H" + number(piece.right - 0.5) + " V" + number(y - 4) +
              "\" fill=\"none\" stroke=\"" + kScaleLine + "\" stroke-width=\"1.2\"/>");
      double stride = 1e-6;
      for (double candidate = 1e-6; candidate < 10; candidate *= 10) {
        for (double times : {1.0, 2.0, 5.0}) {
          stride = candidate * times;
          if (stride * piece.factor() >= 40) break;
        }
        if (stride * piece.factor() >= 40) break;
      }
      for (double t = stride; piece.from + t < piece.to - stride / 4; t += stride) {
        double at = x(piece.from + t);
        svg.add("<line x1=\"" + number(at) + "\" y1=\"" + number(y) + "\" x2=\"" + number(at) +
                "\" y2=\"" + number(y - 3) + "\" stroke=\"" + kScaleLine + "\"/>");
        svg.text(at, y + 11, step_text(t), 9, "fill=\"" + std::string(kScale) + "\"", "middle");
      }
      if (factor > 0)
        svg.text((piece.left + piece.right) / 2, y + 22, factor_text(factor), 10,
                 "fill=\"" + std::string(kScale) + "\"", "middle", true);
      svg.add("</g>");
    }
    first = last + 1;
  }
  svg.text(16, top + 18, "seconds from the start", 11, "fill=\"#777777\"");
  if (stretched)
    svg.text(16, top + 40, "magnified where moments crowd", 10,
             "fill=\"" + std::string(kScale) + "\"");
  svg.add("</g>");
  return top + (stretched ? 54 : 24);
}

}  // namespace kit::draw
