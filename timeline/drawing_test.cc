#include "drawing.h"

#include <gtest/gtest.h>

#include "svg.h"

namespace kit {
namespace {

// Whatever a program prints reaches the picture as text that XML takes:
// markup escaped, whole UTF-8 characters kept, broken ones shown as '?'.
TEST(DrawingTest, AnyProgramOutputLeavesThePictureWellFormed) {
  Record record;
  record.name = "odd";
  record.end = 2;
  record.lanes = {{"café <☕>", 42, 0}};
  for (std::string text : {"a < b & \"c\" > d", "naïve ☕", "cut \xe2\x82", "bad \xff\x01 end"})
    record.events.push_back({.at = 1, .what = Happening::Line, .lane = 0, .text = text});
  auto svg = parse_svg(draw_scene(record));
  ASSERT_TRUE(svg) << "not well formed";
  EXPECT_EQ(of_class(*svg, "lane", "data-lane", "café <☕>").size(), 1u);
  std::vector<std::string> lines;
  for (auto& line : of_class(*svg, "line")) lines.push_back(line.attributes["data-text"]);
  EXPECT_EQ(lines, (std::vector<std::string>{"a < b & \"c\" > d", "naïve ☕", "cut ??",
                                             "bad ?? end"}));
}

}  // namespace
}  // namespace kit
