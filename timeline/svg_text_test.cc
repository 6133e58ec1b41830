#include "svg_text.h"

#include <gtest/gtest.h>

namespace kit::draw {
namespace {

// Labels never overlap: one that finds its row taken takes the next, then
// runs leftwards, then is cut with an ellipsis, whole characters only; with
// no room at all it is left out and says so.
TEST(SvgTextTest, KeepsEveryLabelClearOfTheOthers) {
  Svg svg;
  EXPECT_GT(svg.label(500, {100, 114}, "write \"hello\\n\"", 10, 240), 0);
  EXPECT_GT(svg.label(500, {100, 114}, "write \"hello\\n\"", 10, 240), 0);
  // Both rows taken to its right: the third runs leftwards from its mark.
  EXPECT_GT(svg.label(480, {100, 114}, "semop +1", 10, 240), 0);
  std::string drawn = svg.take();
  EXPECT_NE(drawn.find("y=\"100\""), std::string::npos);
  EXPECT_NE(drawn.find("y=\"114\""), std::string::npos);
  EXPECT_NE(drawn.find("text-anchor=\"end\""), std::string::npos);

  // Near the right edge with room leftwards: whole, to the left of its mark.
  Svg edge;
  std::string words = "'A' in byte 0, seen at slatewatch's next look";
  EXPECT_EQ(edge.label(kWidth - 150, {50}, words, 10, 320), text_width(words, 10));
  EXPECT_NE(edge.take().find("text-anchor=\"end\""), std::string::npos);

  Svg narrow;
  // Near the right edge with no room leftwards either: cut, never past it.
  double width =
      narrow.label(kWidth - 60, {50}, "a rather long label, café", 10, 400, "", kWidth - 60);
  std::string cut = narrow.take();
  EXPECT_GT(width, 0);
  EXPECT_LE(kWidth - 60 + width, kWidth);
  EXPECT_NE(cut.find("\u2026</text>"), std::string::npos);
  EXPECT_EQ(fitted("caf\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", 40).find("\xc3\u2026"),
            std::string::npos);
  Svg full;
  EXPECT_TRUE(full.text(300, 50, "taken", 10));
  EXPECT_FALSE(full.text(300, 50, "taken", 10));
  EXPECT_EQ(full.label(300, {50}, "x", 10, 10, "", 300), 0);
  // Capitals set wider than small letters; a moment under a tenth of a
  // second is said to the ten-thousandth.
  EXPECT_LT(text_width("gasp", 10), text_width("GASP", 10));
  EXPECT_EQ(seconds(0.05), "0.0500 s");
  EXPECT_EQ(seconds(2.5), "2.50 s");
}

}  // namespace
}  // namespace kit::draw
