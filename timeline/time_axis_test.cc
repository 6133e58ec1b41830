#include "time_axis.h"

#include <gtest/gtest.h>

#include <vector>

namespace kit::draw {
namespace {

// Every moment at least kApart from the next; time never runs backwards,
// and stays within the plot.
void expect_drawn_apart(const TimeAxis& axis, const std::vector<double>& moments, double from,
                        double to) {
  for (size_t i = 0; i + 1 < moments.size(); i++)
    EXPECT_GE(axis.x(moments[i + 1]) - axis.x(moments[i]), kApart - 1e-6)
        << moments[i] << " and " << moments[i + 1];
  double last = axis.x(from);
  for (double t = from; t <= to; t += (to - from) / 20000) {
    EXPECT_GE(axis.x(t), last - 1e-9) << t;
    last = axis.x(t);
  }
  EXPECT_GE(axis.x(from), kLeft);
  EXPECT_LE(axis.x(to), kLeft + kPlot + 1e-6);
}

// A burst of three posts within 6 ms on a 2 s axis, each with the return
// it let through 30 µs later and the next wait 20 µs after: each gets an x
// of its own, the burst stretched, the rest of the time plain.
TEST(TimeAxisTest, StretchesWhereMomentsCrowdAndKeepsTheirOrder) {
  std::vector<double> burst;
  for (double post : {1.0, 1.003, 1.006})
    burst.insert(burst.end(), {post, post + 30e-6, post + 50e-6});
  std::vector<double> moments = burst;
  moments.insert(moments.end(), {0.2, 0.5, 1.5});
  TimeAxis axis(0, 2, {{0, 2}}, moments);
  expect_drawn_apart(axis, burst, 0, 2);
  int stretched = 0;
  for (auto& piece : axis.pieces()) {
    EXPECT_FALSE(piece.broken);
    if (!piece.stretch) continue;
    stretched++;
    EXPECT_GT(piece.factor(), (kPlot / 2) * 10);  // far finer than the plain scale
    // Just the room its three moments need, 20 µs apart at the closest,
    // with half that gap on either side: the rest stays plain.
    EXPECT_NEAR(piece.right - piece.left, 3.5 * kApart, 1e-6);
    // Linear within: a quarter of its time is a quarter of its room.
    double quarter = piece.from + (piece.to - piece.from) / 4;
    EXPECT_NEAR(axis.x(quarter), piece.left + (piece.right - piece.left) / 4, 1e-6);
  }
  EXPECT_GE(stretched, 1);
  // Moments far apart stay in plain time: no stretch around them.
  for (double t : {0.2, 0.5, 1.5})
    for (auto& piece : axis.pieces())
      EXPECT_FALSE(piece.stretch && t >= piece.from && t <= piece.to);
  EXPECT_DOUBLE_EQ(axis.span(), 2);
  // A stretch milliseconds long has its own ticks in milliseconds.
  std::vector<double> steady;
  for (int i = 0; i < 20; i++) steady.push_back(1 + i * 2e-4);
  Svg svg;
  TimeAxis(0, 2, {{0, 2}}, steady).draw(svg, 100, 0);
  std::string drawn = svg.take();
  EXPECT_NE(drawn.find(" ms</text>"), std::string::npos) << drawn;
}

// Runs apart in time each get room, the axis broken between them; a crowd
// larger than the room gives up its spacing, never the plot's bounds or
// the order of time, and leaves the rest of the time some room.
TEST(TimeAxisTest, BreaksBetweenRunsAndBoundsACrowd) {
  TimeAxis split(0, 10, {{0.1, 0.3}, {8, 8.2}}, {});
  int breaks = 0;
  for (auto& piece : split.pieces()) breaks += piece.broken;
  EXPECT_EQ(breaks, 1);
  // Each piece's own moments fall on its own room, its ends on its edges.
  for (auto& piece : split.pieces()) {
    EXPECT_DOUBLE_EQ(split.x(piece.from), piece.left);
    EXPECT_DOUBLE_EQ(split.x(piece.to), piece.right);
  }
  double gap = split.x(4);
  EXPECT_GT(gap, split.x(0.3));
  EXPECT_LT(gap, split.x(8));
  EXPECT_LE(split.x(10), kLeft + kPlot + 1e-6);

  // One crowd far past the room; four that each fit a stretch but not
  // all together.
  std::vector<double> crowd, crowds;
  for (int i = 0; i < 3000; i++) crowd.push_back(1 + i * 1e-6);
  for (double at : {0.3, 0.7, 1.1, 1.5})
    for (int i = 0; i < 20; i++) crowds.push_back(at + i * 1e-6);
  for (auto& moments : {crowd, crowds}) {
    TimeAxis crowded(0, 2, {{0, 2}}, moments);
    expect_drawn_apart(crowded, {}, 0, 2);
    double plain = 0;
    for (auto& piece : crowded.pieces())
      if (!piece.stretch) plain += piece.right - piece.left;
    EXPECT_NEAR(plain, kPlot * 0.3, 1e-6);  // all the crowds leave, no more
    EXPECT_LT(crowded.x(moments.front()), crowded.x(moments.back()));
  }
}

}  // namespace
}  // namespace kit::draw
