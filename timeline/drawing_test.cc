#include "drawing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>

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
// marked as never having returned, the lane asleep in it to the end.
TEST(DrawingTest, ACallThatNeverReturnedRunsToTheEnd) {
  Record open;
  open.traced = true;
  open.end = 10;
  open.lanes = {{"gatewait", 10, 0}};
  open.events.push_back(
      {.at = 1, .what = Happening::Call, .lane = 0, .text = "-1", .call = "semop", .amount = -1});
  open.events.push_back(
      {.at = 1, .what = Happening::State, .lane = 0, .state = 'S', .call = "semop"});
  auto svg = parse_svg(draw_scene(open));
  ASSERT_TRUE(svg);
  auto calls = of_class(*svg, "call");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].number("data-until"), 10);
  EXPECT_EQ(calls[0].attributes["data-result"], "open");
  std::vector<std::string> said;
  for (auto& e : *svg)
    if (e.name == "title" && e.text.starts_with("gatewait: ")) said.push_back(e.text);
  EXPECT_EQ(said, (std::vector<std::string>{"gatewait: asleep in semop, 1.00 s to 10.00 s"}));
  // An end near the picture's edge is said whole, below the bar if need be.
  open.events.push_back({.at = 9.3, .what = Happening::End, .lane = 0, .text = "ended"});
  svg = parse_svg(draw_scene(open));
  ASSERT_TRUE(svg);
  said.clear();
  bool within = false;
  for (auto& e : *svg) {
    within = e.is("end") || (within && e.name != "g");
    if (within && e.name == "text") said.push_back(e.text);
  }
  EXPECT_EQ(said, (std::vector<std::string>{"ended, status not seen"}));
}

// A traced record of a waiter (lane 0) and a poster (lane 1) over 10 s, the
// semaphore followed.
Record traced_pair() {
  Record pair;
  pair.traced = true;
  pair.end = 10;
  pair.object = "semaphore";
  pair.lanes = {{"gatewait", 10, 0}, {"gatepost", 11, 1}};
  return pair;
}

// A lane's bar stops where its program ended, and each marked call is said
// as the tour says it.
TEST(DrawingTest, DrawsALaneUpToItsEndAndSaysItsCalls) {
  Record pair = traced_pair();
  auto& events = pair.events;
  events.push_back({.at = 1, .what = Happening::State, .lane = 0, .state = 'R'});
  events.push_back({.at = 1.5,
                    .what = Happening::Call,
                    .lane = 0,
                    .text = "key 1234",
                    .call = "semget",
                    .until = 1.5001});
  events.push_back({.at = 2,
                    .what = Happening::Call,
                    .lane = 0,
                    .text = "\"hi\\n\"",
                    .call = "write",
                    .target = "pipe",
                    .until = 2.0001});
  events.push_back({.at = 3, .what = Happening::End, .lane = 0, .text = "exit 0"});
  // The segment's calls, by their names alone.
  for (auto [at, call, text] : {std::tuple{4.0, "shmget", "key 10"},
                                {5.5, "shmat", "segment 0"},
                                {7.0, "shmdt", "segment 0"}})
    events.push_back({.at = at,
                      .what = Happening::Call,
                      .lane = 1,
                      .text = text,
                      .call = call,
                      .until = at + 0.0001});
  // The lower lane's open waits for the upper's: their meeting joins both.
  events.push_back({.at = 0.5,
                    .what = Happening::Call,
                    .lane = 1,
                    .text = "srvfifo",
                    .call = "open",
                    .target = "srvfifo",
                    .until = 0.9,
                    .mode = O_RDONLY});
  events.push_back({.at = 0.9,
                    .what = Happening::Call,
                    .lane = 0,
                    .text = "srvfifo",
                    .call = "open",
                    .target = "srvfifo",
                    .until = 0.9,
                    .mode = O_WRONLY});
  auto svg = parse_svg(draw_scene(pair));
  ASSERT_TRUE(svg);
  auto states = of_class(*svg, "state", "data-lane", "gatewait");
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].number("data-to"), 3);
  auto meeting = std::find_if(svg->begin(), svg->end(), [](auto& e) { return e.is("rendezvous"); });
  ASSERT_NE(meeting, svg->end());
  meeting = std::find_if(meeting, svg->end(), [](auto& e) { return e.name == "line"; });
  ASSERT_NE(meeting, svg->end());
  EXPECT_GT(std::abs(meeting->number("y2") - meeting->number("y1")), 10);
  std::vector<std::string> said;
  for (size_t i = 0; i < svg->size(); i++)
    if ((*svg)[i].is("call"))
      for (size_t j = i + 1; j < svg->size() && !(*svg)[j].is("call"); j++)
        if ((*svg)[j].name == "text") {
          said.push_back((*svg)[j].text);
          break;
        }
  EXPECT_EQ(said, (std::vector<std::string>{"semget", "write \"hi\\n\"", "open srvfifo", "shmget",
                                            "shmat", "shmdt", "open srvfifo"}));
}

// Three posts 0.2 ms apart on a 10 s picture: each arrow leaves its post
// and reaches its return at an x of its own, under a magnified stretch
// that the legend names.
TEST(DrawingTest, DrawsEachArrowOfABurstApart) {
  Record burst = traced_pair();
  burst.events.push_back({.at = 0, .what = Happening::Semaphore, .value = 0});
  auto semop = [&](int lane, long change, double at, double until) {
    burst.events.push_back({.at = at,
                            .what = Happening::Call,
                            .lane = lane,
                            .text = change > 0 ? "+1" : "\u22121",
                            .call = "semop",
                            .until = until,
                            .amount = change});
  };
  semop(0, -1, 0.1, 0.5);
  for (double post : {0.49, 0.4902, 0.4904}) semop(1, 1, post, post + 0.00001);
  semop(0, -1, 0.51, 0.5101);
  semop(0, -1, 0.52, 0.5201);
  // Amid the burst, a signal sent and delivered, and the poster's end.
  burst.events.push_back(
      {.at = 0.4901, .what = Happening::Signal, .lane = 0, .text = "SIGUSR1", .value = 10});
  burst.events.push_back(
      {.at = 0.49011, .what = Happening::Delivery, .lane = 0, .text = "SIGUSR1", .value = 10});
  burst.events.push_back({.at = 0.4905, .what = Happening::End, .lane = 1, .text = "exit 0"});
  auto svg = parse_svg(draw_scene(burst));
  ASSERT_TRUE(svg);
  std::vector<std::pair<double, double>> tails, heads;
  std::vector<double> marks;  // each mark's x: arrows' tails, the signal, delivery and end
  for (size_t i = 0; i < svg->size(); i++) {
    bool arrow = (*svg)[i].is("arrow");
    if (!arrow && !(*svg)[i].is("signal") && !(*svg)[i].is("delivery") && !(*svg)[i].is("end"))
      continue;
    // The mark's first drawn part starts at its moment's x.
    auto placed = [&] {
      auto& at = (*svg)[i].attributes;
      return at.count("d") || at.count("x") || at.count("x1");
    };
    while (!placed()) i++;
    auto& drawn = (*svg)[i];
    double x1, y1, x2, y2;
    if (!arrow) {
      marks.push_back(drawn.attributes.count("x1") ? drawn.number("x1")
                      : drawn.attributes.count("x")
                          ? drawn.number("x")
                          : strtod(drawn.attributes["d"].c_str() + 1, nullptr));
      continue;
    }
    ASSERT_EQ(sscanf((*svg)[i].attributes["d"].c_str(), "M%lf,%lf L%lf,%lf", &x1, &y1, &x2, &y2),
              4);
    tails.push_back({x1, y1});
    heads.push_back({x2, y2});
    marks.push_back(x1);
  }
  ASSERT_EQ(heads.size(), 3u);
  ASSERT_EQ(marks.size(), 6u);
  std::sort(marks.begin(), marks.end());
  for (size_t i = 0; i + 1 < marks.size(); i++) EXPECT_GE(marks[i + 1] - marks[i], 12 - 1e-6) << i;
  // Each leaves the top of the poster's bar and reaches the bottom of the
  // waiter's, the bars as each lane's swatch gives them.
  auto bar = [&](const std::string& lane) {
    for (size_t i = 0; i < svg->size(); i++)
      if ((*svg)[i].is("lane") && (*svg)[i].attributes["data-lane"] == lane) {
        while ((*svg)[i].name != "rect") i++;
        return std::pair{(*svg)[i].number("y"), (*svg)[i].number("y") + (*svg)[i].number("height")};
      }
    return std::pair{0.0, 0.0};
  };
  for (size_t i = 0; i < 3; i++) {
    EXPECT_DOUBLE_EQ(tails[i].second, bar("gatepost").first);
    EXPECT_DOUBLE_EQ(heads[i].second, bar("gatewait").second + 1);
  }
  for (size_t i = 0; i < 3; i++)
    for (size_t j = i + 1; j < 3; j++) {
      EXPECT_GE(std::abs(tails[i].first - tails[j].first), 12);
      EXPECT_GE(std::hypot(heads[i].first - heads[j].first, heads[i].second - heads[j].second), 8);
    }
  EXPECT_FALSE(of_class(*svg, "stretch").empty());
  // The legend names each kind of mark, the stretch too, word for word.
  std::vector<std::string> legend;
  bool within = false;
  for (auto& element : *svg) {
    within |= element.is("legend");
    if (within && element.name == "text") legend.push_back(element.text);
  }
  EXPECT_EQ(legend,
            (std::vector<std::string>{
                "running", "asleep, in the call named (from /proc)", "stopped",
                "ended: exit status or signal", "key typed (\u25bc on its lane)", "signal sent",
                "a line printed, when it reached the tour (hover for all of it)",
                "a system call, with what it asked",
                "an operation that let another through (dashed: its unit taken later), a fork",
                "bytes through a named pipe, from write to read", "holds the lock",
                "a signal handler runs", "a signal pending",
                "magnified: crowded moments drawn apart, at the scale under the axis"}));
}

// Two programs that ran seconds apart: the axis is broken between their
// runs. Traced, but with no operation on the set, the value track does not
// claim to come from each operation.
TEST(DrawingTest, BreaksTheAxisWhereNoProgramRan) {
  Record apart = traced_pair();
  for (auto [lane, from] : {std::pair{0, 0.2}, std::pair{1, 8.0}}) {
    apart.events.push_back({.at = from, .what = Happening::Line, .lane = lane, .text = "hi"});
    apart.events.push_back(
        {.at = from + 0.3, .what = Happening::End, .lane = lane, .text = "exit 0"});
  }
  auto svg = parse_svg(draw_scene(apart));
  ASSERT_TRUE(svg);
  auto breaks = of_class(*svg, "break");
  ASSERT_EQ(breaks.size(), 1u);
  EXPECT_GT(breaks[0].number("data-from"), 0.5);
  EXPECT_LT(breaks[0].number("data-to"), 8.0);
  for (auto& e : *svg) EXPECT_NE(e.text, "from each operation");

  // Sampled, the set is drawn as the looks saw it, and said absent only
  // where it was.
  apart.traced = false;
  apart.events.insert(apart.events.begin() + 2,
                      {.at = 4, .what = Happening::Semaphore, .present = false});
  apart.events.insert(apart.events.begin(), {.at = 0, .what = Happening::Semaphore, .value = 1});
  svg = parse_svg(draw_scene(apart));
  ASSERT_TRUE(svg);
  std::vector<std::string> steps;
  for (auto& step : of_class(*svg, "semaphore"))
    steps.push_back(step.attributes["data-present"] + step.attributes["data-value"]);
  EXPECT_EQ(steps, (std::vector<std::string>{"yes1", "no0"}));
  EXPECT_EQ(std::count_if(svg->begin(), svg->end(), [](auto& e) { return e.text == "absent"; }), 1);
}

// The answer written into the segment, to the look that saw it: an arrow
// from the segment's track, among the others a recording draws, its label
// whole though the look comes near the picture's end.
TEST(DrawingTest, DrawsTheLookThatSawTheAnswer) {
  Record slate;
  slate.traced = true;
  slate.end = 1.31;
  slate.object = "semaphore segment fifos";
  slate.lanes = {{"slatewatch", 10, 0}};
  auto& events = slate.events;
  events.push_back({.at = 0.1, .what = Happening::Segment, .text = "", .present = true});
  events.push_back({.at = 0.2, .what = Happening::Call, .lane = 0, .call = "shmat", .until = 0.2});
  events.push_back(
      {.at = 0.3, .what = Happening::Call, .lane = 0, .call = "nanosleep", .until = 1.3});
  events.push_back({.at = 1.25, .what = Happening::Segment, .text = "Aloha", .present = true});
  auto svg = parse_svg(draw_scene(slate));
  ASSERT_TRUE(svg);
  auto seen = of_class(*svg, "arrow", "data-kind", "sees");
  ASSERT_EQ(seen.size(), 1u);
  auto first = [&](const char* name, auto&& is) {
    size_t i = 0;
    while (i < svg->size() && !is((*svg)[i])) i++;
    while (i < svg->size() && (*svg)[i].name != name) i++;
    return i < svg->size() ? (*svg)[i] : Element{};
  };
  auto row = first(
      "rect", [](Element& e) { return e.is("track") && e.attributes["data-object"] == "segment"; });
  auto path = first("path", [](Element& e) { return e.is("arrow"); });
  double x, y;
  ASSERT_EQ(sscanf(path.attributes["d"].c_str(), "M%lf,%lf", &x, &y), 2);
  EXPECT_GT(y, row.number("y") + 24);
  EXPECT_LT(y, row.number("y") + row.number("height"));
  std::string label = seen[0].attributes["data-label"];
  bool whole = false;
  for (auto& e : *svg) whole |= e.name == "text" && e.text == label;
  EXPECT_TRUE(whole) << label;

  // No answer, no look that saw one.
  events.pop_back();
  svg = parse_svg(draw_scene(slate));
  ASSERT_TRUE(svg);
  EXPECT_TRUE(of_class(*svg, "arrow", "data-kind", "sees").empty());
}

}  // namespace
}  // namespace kit
