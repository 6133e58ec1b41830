#include "drawing.h"

#include <gtest/gtest.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cstdlib>

#include "relations.h"
#include "svg.h"

namespace kit {
namespace {

// Whatever a program prints reaches the picture as text that XML takes:
// markup escaped, whole UTF-8 characters kept, broken ones and those XML
// refuses (U+FFFF, a surrogate, past U+10FFFF, an overlong form) shown as
// '?'. A real XML parser reads the picture.
TEST(DrawingTest, AnyProgramOutputLeavesThePictureWellFormed) {
  Record record;
  record.name = "odd";
  record.end = 2;
  record.lanes = {{"café <☕>", 42, 0}};
  for (std::string text : {"a < b & \"c\" > d", "naïve ☕", "cut \xe2\x82", "bad \xff\x01 end",
                           "\xef\xbf\xbf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe0\x80\xaf|\xc0\xaf|"
                           "\xf5\x80\x80\x80"})
    record.events.push_back({.at = 1, .what = Happening::Line, .lane = 0, .text = text});
  std::string drawn = draw_scene(record);
  auto svg = parse_svg(drawn);
  ASSERT_TRUE(svg) << "not well formed";
  EXPECT_EQ(of_class(*svg, "lane", "data-lane", "café <☕>").size(), 1u);
  std::vector<std::string> lines;
  for (auto& line : of_class(*svg, "line")) lines.push_back(line.attributes["data-text"]);
  EXPECT_EQ(lines, (std::vector<std::string>{"a < b & \"c\" > d", "naïve ☕", "cut ??", "bad ?? end",
                                             "???|???|????|???|??|????"}));
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no python3 to parse it";
  char path[] = "/tmp/drawing-test-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, drawn.data(), drawn.size()), static_cast<ssize_t>(drawn.size()));
  close(fd);
  std::string parse = std::string(
                          "python3 -c 'import sys, xml.dom.minidom; "
                          "xml.dom.minidom.parse(sys.argv[1])' ") +
                      path;
  EXPECT_EQ(system(parse.c_str()), 0) << "expat finds it not well formed";
  unlink(path);
}

// A call still going when the scene ended runs to the end of the picture,
// marked as never having returned.
TEST(DrawingTest, ACallThatNeverReturnedRunsToTheEnd) {
  Record open;
  open.traced = true;
  open.end = 10;
  open.lanes = {{"gatewait", 10, 0}};
  open.events.push_back(
      {.at = 1, .what = Happening::Call, .lane = 0, .text = "-1", .call = "semop", .amount = -1});
  auto svg = parse_svg(draw_scene(open));
  ASSERT_TRUE(svg);
  auto calls = of_class(*svg, "call");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].number("data-until"), 10);
  EXPECT_EQ(calls[0].attributes["data-result"], "open");
}

}  // namespace
}  // namespace kit
