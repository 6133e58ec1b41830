#include "drawing.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "canvas.h"
#include "relations.h"

namespace kit {
namespace {

using namespace draw;

// When each program ran: the axis is broken between such runs.
std::vector<std::pair<double, double>> lives(const Record& record, double end) {
  std::vector<std::pair<double, double>> alive;
  for (size_t lane = 0; lane < record.lanes.size(); lane++) {
    double from = -1, to = end;
    for (auto& event : record.events) {
      if (event.lane != static_cast<int>(lane)) continue;
      if (from < 0) from = event.at;
      if (event.what == Happening::End) to = event.at;
    }
    if (from >= 0) alive.push_back({from, std::max(from, to)});
  }
  return alive;
}

// The moments that each need an x of their own: the ends of every arrow,
// each call's mark, each line printed, key, signal and delivery, each end.
std::vector<double> moments(const Record& record, const Relations& relations) {
  std::vector<double> found;
  for (auto& arrow : relations.arrows) found.insert(found.end(), {arrow.from, arrow.to});
  for (auto& event : record.events) {
    bool call = event.what == Happening::Call && marked(record, event);
    if (call || event.what == Happening::Line || event.what == Happening::Key ||
        event.what == Happening::Signal || event.what == Happening::Delivery ||
        event.what == Happening::End)
      found.push_back(event.at);
  }
  return found;
}

class Picture {
 public:
  explicit Picture(const Record& record)
      : record_(record),
        relations_(relate(record)),
        axis_(record.begin, end_of(record), lives(record, end_of(record)),
              moments(record, relations_)),
        c_{record_, relations_, axis_, svg_, {}, 0, 0} {}

  std::string draw() {
    double y = heading();
    c_.person_top = y;
    if (record_.person) y += 44;
    order_lanes();
    c_.lane_top.assign(record_.lanes.size(), 0);
    for (int lane : order_) {
      c_.lane_top[lane] = y;
      y += kLaneHeight;
    }
    c_.lanes_bottom = y;
    for (size_t i = 0; i < order_.size(); i++) backdrop(order_[i], i);
    axis_.shade(svg_, c_.person_top, y);
    for (int lane : order_) draw_bands(c_, lane);
    for (int lane : order_) draw_lane(c_, lane);
    // The track before the arrows, so that one from it is drawn over it.
    y = draw_tracks(c_, y + 6);
    draw_arrows(c_);
    if (record_.person) draw_person(c_);
    for (int lane : order_) draw_lines(c_, lane);
    for (int lane : order_) draw_deliveries(c_, lane);
    for (int lane : order_) draw_calls(c_, lane);
    y = axis_.draw(svg_, y + 8, c_.person_top);
    y = draw_legend(c_, y + 14);
    std::string body = svg_.take();
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           number(kWidth) + "\" height=\"" + number(y) + "\" viewBox=\"0 0 " + number(kWidth) +
           " " + number(y) +
           "\" font-family=\"DejaVu Sans, Verdana, Arial, sans-serif\" font-size=\"12\" "
           "data-scene=\"" +
           escaped(record_.name) + "\" data-traced=\"" + (record_.traced ? "yes" : "no") +
           "\" data-span=\"" + number(axis_.span()) + "\">\n" + defs() +
           "<rect class=\"page\" x=\"0\" y=\"0\" width=\"" + number(kWidth) + "\" height=\"" +
           number(y) + "\" fill=\"#ffffff\"/>\n" + body + "</svg>\n";
  }

 private:
  static double end_of(const Record& record) {
    return std::max({record.end, record.begin + 0.5, last_moment(record)});
  }
  static double last_moment(const Record& record) {
    double last = 0;
    for (auto& event : record.events) last = std::max({last, event.at, event.until});
    return last;
  }

  // A child's lane right under its parent's.
  void order_lanes() {
    std::function<void(int)> place = [&](int lane) {
      order_.push_back(lane);
      for (size_t child = 0; child < record_.lanes.size(); child++)
        if (record_.lanes[child].parent == lane) place(static_cast<int>(child));
    };
    for (size_t lane = 0; lane < record_.lanes.size(); lane++)
      if (record_.lanes[lane].parent < 0) place(static_cast<int>(lane));
  }

  static std::string defs() {
    return "<defs>\n"
           "<pattern id=\"stopped\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
           "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#dddddd\"/>"
           "<rect width=\"3\" height=\"6\" fill=\"#888888\"/></pattern>\n"
           "<pattern id=\"pending\" width=\"5\" height=\"5\" patternUnits=\"userSpaceOnUse\" "
           "patternTransform=\"rotate(-45)\"><rect width=\"5\" height=\"5\" fill=\"#fbe3d4\"/>"
           "<rect width=\"1.2\" height=\"5\" fill=\"#D55E00\"/></pattern>\n"
           "<marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
           "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" "
           "fill=\"context-stroke\"/></marker>\n"
           "</defs>\n";
  }

  double heading() {
    svg_.text(16, 28, record_.name, 17, "fill=\"#222222\"", "start", true);
    double y = 48;
    for (auto& line : wrapped(record_.watch_for, kSentenceWidth)) {
      svg_.text(16, y, line, 12, "fill=\"#222222\"");
      y += 16;
    }
    for (auto& line : wrapped(record_.note, kSentenceWidth)) {
      if (line.empty()) continue;
      svg_.text(16, y, line, 12, "class=\"note\" fill=\"#555555\" font-style=\"italic\"");
      y += 16;
    }
    if (!record_.failure.empty()) {
      svg_.add("<g class=\"failure\">");
      bool stopped = record_.failure.starts_with("interrupted");
      for (auto& line :
           wrapped((stopped ? "" : "misbehaved: ") + record_.failure, kSentenceWidth - 20)) {
        svg_.text(16, y, line, 12, "fill=\"" + std::string(kSignal) + "\"", "start", true);
        y += 16;
      }
      svg_.add("</g>");
    }
    return y + 8;
  }

  void backdrop(int lane, size_t place) {
    if (place % 2 == 0)
      svg_.add("<rect x=\"0\" y=\"" + number(c_.lane_top[lane]) + "\" width=\"" + number(kWidth) +
               "\" height=\"" + number(kLaneHeight) + "\" fill=\"#f4f4f4\"/>");
  }

  const Record& record_;
  Relations relations_;
  TimeAxis axis_;
  Svg svg_;
  Canvas c_;
  std::vector<int> order_;
};

}  // namespace

std::string draw_scene(const Record& record) { return Picture(record).draw(); }

}  // namespace kit
