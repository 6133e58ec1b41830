#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "canvas.h"
#include "objects.h"

namespace kit::draw {
namespace {

// The semaphore's steps: replayed from the operations where they were
// traced, every one however brief, else as the looks saw it.
std::vector<std::pair<Level, double>> semaphore_steps(const Canvas& c) {
  std::vector<std::pair<Level, double>> steps;
  if (!c.relations.levels.empty()) {
    for (size_t i = 0; i < c.relations.levels.size(); i++)
      steps.push_back({c.relations.levels[i], i + 1 < c.relations.levels.size()
                                                  ? c.relations.levels[i + 1].at
                                                  : c.record.end});
    return steps;
  }
  for (auto& step : spans(c.record, Happening::Semaphore, -1, c.record.end))
    if (step.event->text.empty())  // else a set not open to the looker: no value known
      steps.push_back(
          {{step.from, step.event->present, step.event->value, step.event->waiting}, step.to});
  return steps;
}

double semaphore_track(Canvas& c, double top) {
  constexpr double kHeight = 84;
  auto steps = semaphore_steps(c);
  int most = 2;
  for (auto& [level, to] : steps) most = std::max({most, level.value, level.waiting});
  auto level_y = [&](int n) { return top + kHeight - 10 - n * (kHeight - 22) / most; };
  c.svg.add("<g class=\"track\" data-object=\"semaphore\">");
  c.svg.add("<rect x=\"0\" y=\"" + number(top) + "\" width=\"" + number(kWidth) + "\" height=\"" +
            number(kHeight) + "\" fill=\"#eef3f8\"/>");
  c.svg.text(16, top + 18, "semaphore, key 1234", 12, "fill=\"#222222\"", "start", true);
  c.svg.text(16, top + 36, "\u2014 value", 12, std::string("fill=\"") + kValue + "\"");
  c.svg.text(16, top + 52, "- - waiting to take", 12, std::string("fill=\"") + kWaiting + "\"");
  if (c.record.traced && !c.relations.levels.empty())
    c.svg.text(16, top + 68, "from each operation", 10, "fill=\"#777777\"");
  for (int n = 0; n <= most; n++)
    c.svg.text(kLeft - 6, level_y(n) + 4, std::to_string(n), 10, "fill=\"#777777\"", "end");
  std::string value_path, waiting_path;
  double taken = 0;  // how far the steps drawn so far reach
  for (auto& [seen, until] : steps) {
    // A unit that lives a few microseconds still shows, as a blip.
    double left = std::max(c.x(seen.at), taken), right = std::max(c.x(until), left + 2);
    taken = right;
    c.svg.add("<g class=\"semaphore\" data-from=\"" + number(seen.at) + "\" data-to=\"" +
              number(until) + "\" data-present=\"" + (seen.present ? "yes" : "no") +
              "\" data-value=\"" + std::to_string(seen.value) + "\" data-waiting=\"" +
              std::to_string(seen.waiting) + "\">");
    std::string said = seen.present ? "value " + std::to_string(seen.value) + ", " +
                                          std::to_string(seen.waiting) + " waiting"
                                    : "no set under the key";
    c.svg.add("<title>" + escaped(said + ", " + seconds(seen.at) + " to " + seconds(until)) +
              "</title>");
    c.svg.add("<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" +
              number(std::max(1.0, right - left)) + "\" height=\"" + number(kHeight) +
              "\" fill=\"#ffffff\" fill-opacity=\"0\"/>");
    if (!seen.present && right - left > 40)
      c.svg.text(left + 4, top + kHeight - 12, "absent", 10, "fill=\"#777777\"");
    c.svg.add("</g>");
    if (!seen.present) {
      value_path += " ";
      waiting_path += " ";
      continue;
    }
    auto extend = [&](std::string& path, int n) {
      bool fresh = path.empty() || path.back() == ' ';
      path += (fresh ? "M" : " L") + number(left) + "," + number(level_y(n)) + " L" +
              number(right) + "," + number(level_y(n));
    };
    extend(value_path, seen.value);
    extend(waiting_path, seen.waiting);
  }
  auto draw_path = [&](std::string path, const char* colour, const char* dash) {
    for (size_t at; (at = path.find(" M")) != std::string::npos;) path.erase(at, 1);
    for (size_t at; (at = path.find("  ")) != std::string::npos;) path.erase(at, 1);
    if (path.find_first_not_of(' ') == std::string::npos) return;
    c.svg.add("<path d=\"" + path.substr(path.find_first_not_of(' ')) +
              "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2.5\"" + dash + "/>");
  };
  draw_path(waiting_path, kWaiting, " stroke-dasharray=\"6 4\"");
  draw_path(value_path, kValue, "");
  c.svg.add("</g>");
  return top + kHeight;
}

// One row per name, each span of it a box with what held then.
double rows_track(Canvas& c, double top, Happening what,
                  std::initializer_list<std::string_view> names) {
  constexpr double kRow = 28;
  bool segment = what == Happening::Segment;
  double height = 24 + kRow * names.size();
  c.svg.add(std::string("<g class=\"track\" data-object=\"") + (segment ? "segment" : "fifos") +
            "\">");
  c.svg.add("<rect x=\"0\" y=\"" + number(top) + "\" width=\"" + number(kWidth) + "\" height=\"" +
            number(height) + "\" fill=\"#eef3f8\"/>");
  c.svg.text(16, top + 16,
             segment ? "segment, key 10: its text" : "named pipes: who reads / who writes", 12,
             "fill=\"#222222\"", "start", true);
  double y = top + 24;
  if (segment) c.segment_row = y;
  for (auto name : names) {
    if (!segment) c.svg.text(kLeft - 6, y + 18, name, 12, "fill=\"#222222\"", "end");
    for (auto& span : spans(c.record, what, -1, c.record.end, name)) {
      const Event& seen = *span.event;
      std::string said = !seen.present ? "absent"
                         : segment     ? (seen.text.empty() ? "(empty)" : "\"" + seen.text + "\"")
                                       : (seen.text.empty() ? "no one" : seen.text) + " / " +
                                         (seen.call.empty() ? "no one" : seen.call);
      double left = c.x(span.from), width = std::max(1.5, c.x(span.to) - left);
      c.svg.add(std::string("<g class=\"") + (segment ? "segment" : "fifo") + "\" data-name=\"" +
                escaped(name) + "\" data-from=\"" + number(span.from) + "\" data-to=\"" +
                number(span.to) + "\" data-present=\"" + (seen.present ? "yes" : "no") +
                "\" data-text=\"" + escaped(seen.text) + "\" data-writers=\"" + escaped(seen.call) +
                "\">");
      c.svg.add("<title>" +
                escaped(std::string(name) + (name.empty() ? "" : ": ") + said + ", " +
                        seconds(span.from) + " to " + seconds(span.to)) +
                "</title>");
      c.svg.add("<rect x=\"" + number(left) + "\" y=\"" + number(y + 2) + "\" width=\"" +
                number(width) + "\" height=\"" + number(kRow - 6) + "\" fill=\"" +
                (seen.present ? "#ffffff" : "#eef3f8") + "\" stroke=\"#9aaabb\"/>");
      c.svg.text(left + 4, y + 17, fitted(said, width - 8), 11,
                 std::string("fill=\"") + (seen.present ? kInk : kFaint) + "\"");
      c.svg.add("</g>");
    }
    y += kRow;
  }
  c.svg.add("</g>");
  return top + height;
}

}  // namespace

// A track for each object the record follows, one under another.
double draw_tracks(Canvas& c, double top) {
  std::string_view objects = c.record.object;
  if (objects.find("semaphore") != std::string_view::npos) top = semaphore_track(c, top) + 4;
  if (objects.find("segment") != std::string_view::npos)
    top = rows_track(c, top, Happening::Segment, {""}) + 4;
  if (objects.find("fifos") != std::string_view::npos)
    top = rows_track(c, top, Happening::Fifo, {kFifoNames[0], kFifoNames[1]}) + 4;
  return top;
}

}  // namespace kit::draw
