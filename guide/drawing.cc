#include "drawing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

namespace kit {
namespace {

// Colours that stay apart for the common kinds of colour blindness, in the
// printed tour's order of hues (cyan, yellow, magenta, green, blue).
constexpr const char* kHues[] = {"#56B4E9", "#E69F00", "#CC79A7", "#009E73", "#0072B2"};
constexpr const char* kInk = "#222222";
constexpr const char* kFaint = "#777777";
constexpr const char* kSignal = "#D55E00";
constexpr const char* kValue = "#0072B2";
constexpr const char* kWaiting = "#E69F00";

constexpr double kWidth = 1100, kLeft = 190, kRight = 70, kPlot = kWidth - kLeft - kRight;
constexpr double kLaneHeight = 58, kBarTop = 32, kBarHeight = 14;
constexpr double kCharWidth = 6.4;  // of the 11 px text, on average
constexpr size_t kSentenceWidth = 150;

// Seconds as a reader wants them, in a tooltip.
std::string seconds(double value) {
  std::array<char, 32> text;
  snprintf(text.data(), text.size(), "%.2f s", value);
  return text.data();
}

// Microseconds, so that the order of close moments survives in the data.
std::string number(double value) {
  std::array<char, 32> text;
  snprintf(text.data(), text.size(), "%.6f", value);
  std::string shown = text.data();
  while (shown.back() == '0') shown.pop_back();
  if (shown.back() == '.') shown.pop_back();
  return shown;
}

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
size_t utf8_length(std::string_view text) {
  auto lead = static_cast<unsigned char>(text[0]);
  size_t length = lead >= 0xf0 && lead < 0xf5 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
  if (length == 0 || length > text.size()) return 0;
  for (size_t i = 1; i < length; i++)
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) return 0;
  return length;
}

// Text as XML takes it: markup escaped, and control characters and broken
// UTF-8 shown as '?', so that any program output leaves the file well formed.
std::string escaped(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      size_t length = utf8_length(text.substr(i));
      out += length ? std::string(text.substr(i, length)) : "?";
      i += length ? length - 1 : 0;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
  }
  return out;
}

// At most `width` pixels of text, cut with an ellipsis.
std::string fitted(std::string_view text, double width) {
  size_t room = width > 0 ? static_cast<size_t>(width / kCharWidth) : 0;
  if (text.size() <= room) return std::string(text);
  if (room < 2) return "";
  return std::string(text.substr(0, room - 1)) + "\u2026";
}

// Words wrapped into lines of at most `width` characters.
std::vector<std::string> wrapped(std::string_view text, size_t width) {
  std::vector<std::string> lines(1);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view word = text.substr(at, end - at);
    if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width)
      lines.emplace_back();
    if (!lines.back().empty()) lines.back() += ' ';
    lines.back() += word;
    at = end + 1;
  }
  return lines;
}

class Svg {
 public:
  void add(const std::string& element) { body_ += element + "\n"; }
  void text(double x, double y, std::string_view words, const std::string& style = "",
            const std::string& anchor = "start") {
    add("<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\"" +
        (style.empty() ? "" : " " + style) + ">" + escaped(words) + "</text>");
  }
  std::string take() { return std::move(body_); }

 private:
  std::string body_;
};

struct Span {
  double from, to;
  const Event* event;  // what held over the span
};

// Each `what` event of `lane` (of the object `name`, where there are
// several) holds until the next one, or until `end`; a lane's End closes its
// last span.
std::vector<Span> spans(const Record& record, Happening what, int lane, double end,
                        std::optional<std::string_view> name = std::nullopt) {
  std::vector<Span> found;
  for (auto& event : record.events) {
    bool ends = event.what == Happening::End && event.lane == lane && lane >= 0;
    bool starts = event.what == what && event.lane == lane && (!name || event.target == *name);
    if (!ends && !starts) continue;
    if (!found.empty() && found.back().to < 0) found.back().to = event.at;
    if (ends) break;
    found.push_back({event.at, -1, &event});
  }
  if (!found.empty() && found.back().to < 0) found.back().to = end;
  return found;
}

class Picture {
 public:
  explicit Picture(const Record& record)
      : record_(record),
        begin_(record.begin),
        span_(std::max({record.end, record.begin + 0.5, last_moment(record)}) - record.begin) {}

  std::string draw() {
    double y = heading();
    person_top_ = y;
    if (record_.person) y += 44;
    for (size_t lane = 0; lane < record_.lanes.size(); lane++) {
      lane_top_.push_back(y);
      y += kLaneHeight;
    }
    for (size_t lane = 0; lane < record_.lanes.size(); lane++) lane_(static_cast<int>(lane));
    if (record_.person) person();
    y = track(y + 6);
    y = axis(y + 8);
    y = legend(y + 14);
    std::string body = svg_.take();
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           number(kWidth) + "\" height=\"" + number(y) + "\" viewBox=\"0 0 " + number(kWidth) +
           " " + number(y) +
           "\" font-family=\"DejaVu Sans, Verdana, Arial, sans-serif\" font-size=\"12\" "
           "data-scene=\"" +
           escaped(record_.name) + "\" data-span=\"" + number(span_) + "\">\n" + defs() +
           "<rect class=\"page\" x=\"0\" y=\"0\" width=\"" + number(kWidth) + "\" height=\"" +
           number(y) + "\" fill=\"#ffffff\"/>\n" + body + "</svg>\n";
  }

 private:
  static double last_moment(const Record& record) {
    return record.events.empty() ? 0 : record.events.back().at;
  }

  double x(double t) const { return kLeft + (t - begin_) / span_ * kPlot; }

  static std::string defs() {
    return "<defs>\n"
           "<pattern id=\"stopped\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
           "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#dddddd\"/>"
           "<rect width=\"3\" height=\"6\" fill=\"#888888\"/></pattern>\n"
           "<marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
           "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" "
           "fill=\"context-stroke\"/></marker>\n"
           "</defs>\n";
  }

  double heading() {
    svg_.text(16, 28, record_.name, "font-size=\"17\" font-weight=\"bold\" fill=\"#222222\"");
    double y = 48;
    for (auto& line : wrapped(record_.watch_for, kSentenceWidth)) {
      svg_.text(16, y, line, "fill=\"#222222\"");
      y += 16;
    }
    for (auto& line : wrapped(record_.note, kSentenceWidth)) {
      if (line.empty()) continue;
      svg_.text(16, y, line, "class=\"note\" fill=\"#555555\" font-style=\"italic\"");
      y += 16;
    }
    if (!record_.failure.empty()) {
      svg_.add("<g class=\"failure\">");
      svg_.text(16, y, "misbehaved: " + record_.failure,
                "fill=\"" + std::string(kSignal) + "\" font-weight=\"bold\"");
      svg_.add("</g>");
      y += 16;
    }
    return y + 8;
  }

  void person() {
    double top = person_top_;
    svg_.add("<g class=\"person\">");
    svg_.text(16, top + 20, "you", "font-weight=\"bold\" fill=\"#222222\"");
    svg_.text(16, top + 34, "keys and signals", "font-size=\"10\" fill=\"#777777\"");
    double free_from = 0;
    for (auto& event : record_.events) {
      bool key = event.what == Happening::Key;
      if (!key && event.what != Happening::Signal) continue;
      double at = x(event.at);
      double to = lane_top_[event.lane] + kBarTop - 2;
      const char* colour = key ? kInk : kSignal;
      std::string label = record_.lanes[event.lane].label;
      svg_.add(std::string("<g class=\"") + (key ? "key" : "signal") + "\" data-at=\"" +
               number(event.at) + "\" data-to=\"" + escaped(label) + "\" data-label=\"" +
               escaped(event.text) + "\">");
      svg_.add("<title>" + escaped(seconds(event.at) + ": " + event.narration) + "</title>");
      svg_.add("<line x1=\"" + number(at) + "\" y1=\"" + number(top + 24) + "\" x2=\"" +
               number(at) + "\" y2=\"" + number(to) + "\" stroke=\"" + colour +
               "\" stroke-width=\"1.5\"" + (key ? "" : " stroke-dasharray=\"5 3\"") +
               " marker-end=\"url(#arrow)\"/>");
      // Labels take turns above and below the arrow's start when crowded.
      bool low = at < free_from;
      std::string shown = fitted(event.text, 150);
      svg_.text(at + 3, top + (low ? 22 : 11), shown,
                std::string("font-size=\"11\" fill=\"") + colour + "\"");
      if (!low) free_from = at + 3 + shown.size() * kCharWidth;
      svg_.add("</g>");
    }
    svg_.add("</g>");
  }

  void lane_(int lane) {
    const Lane& who = record_.lanes[lane];
    double top = lane_top_[lane];
    const char* hue = kHues[who.hue % std::size(kHues)];
    svg_.add("<g class=\"lane\" data-lane=\"" + escaped(who.label) + "\" data-pid=\"" +
             std::to_string(who.pid) + "\">");
    if (lane % 2 == 0)
      svg_.add("<rect x=\"0\" y=\"" + number(top) + "\" width=\"" + number(kWidth) +
               "\" height=\"" + number(kLaneHeight) + "\" fill=\"#f4f4f4\"/>");
    svg_.add("<rect x=\"16\" y=\"" + number(top + kBarTop) + "\" width=\"10\" height=\"" +
             number(kBarHeight) + "\" fill=\"" + hue + "\"/>");
    svg_.text(32, top + kBarTop + 11, fitted(who.label, kLeft - 40),
              "font-weight=\"bold\" fill=\"#222222\"");
    if (who.pid > 0)
      svg_.text(32, top + kBarTop + 25, "pid " + std::to_string(who.pid),
                "font-size=\"10\" fill=\"#777777\"");
    states(lane, top, hue);
    lines(lane, top);
    svg_.add("</g>");
  }

  void states(int lane, double top, const char* hue) {
    for (auto& span : spans(record_, Happening::State, lane, record_.end)) {
      const Event& state = *span.event;
      double left = x(span.from), width = std::max(1.5, x(span.to) - left);
      std::string kind = state.state == 'R' ? "running" : state.state == 'T' ? "stopped" : "asleep";
      std::string call = state.call + (state.target.empty() ? "" : " (" + state.target + ")");
      std::string fill =
          kind == "running" ? std::string("fill=\"") + hue + "\""
          : kind == "stopped"
              ? "fill=\"url(#stopped)\" stroke=\"#555555\""
              : std::string("fill=\"") + hue + "\" fill-opacity=\"0.22\" stroke=\"" + hue + "\"";
      std::string said = kind == "asleep" ? "asleep" + (call.empty() ? "" : " in " + call) : kind;
      svg_.add("<g class=\"state\" data-lane=\"" + escaped(record_.lanes[lane].label) +
               "\" data-state=\"" + kind + "\" data-call=\"" + escaped(state.call) +
               "\" data-from=\"" + number(span.from) + "\" data-to=\"" + number(span.to) + "\">");
      svg_.add("<title>" +
               escaped(record_.lanes[lane].label + ": " + said + ", " + seconds(span.from) +
                       " to " + seconds(span.to)) +
               "</title>");
      svg_.add("<rect x=\"" + number(left) + "\" y=\"" + number(top + kBarTop) + "\" width=\"" +
               number(width) + "\" height=\"" + number(kBarHeight) + "\" " + fill + "/>");
      std::string inside = fitted(kind == "asleep"    ? call
                                  : kind == "stopped" ? "stopped"
                                                      : "",
                                  width - 6);
      if (!inside.empty())
        svg_.text(left + 3, top + kBarTop + 11, inside, "font-size=\"10\" fill=\"#222222\"");
      svg_.add("</g>");
    }
    for (auto& event : record_.events) {
      if (event.what != Happening::End || event.lane != lane) continue;
      double at = x(event.at);
      svg_.add("<g class=\"end\" data-lane=\"" + escaped(record_.lanes[lane].label) +
               "\" data-at=\"" + number(event.at) + "\" data-how=\"" + escaped(event.text) + "\">");
      svg_.add("<title>" + escaped(record_.lanes[lane].label + " ended: " + event.text) +
               "</title>");
      svg_.add("<rect x=\"" + number(at) + "\" y=\"" + number(top + kBarTop - 4) +
               "\" width=\"3\" height=\"" + number(kBarHeight + 8) + "\" fill=\"#222222\"/>");
      svg_.text(at + 6, top + kBarTop + 11, event.text, "font-size=\"11\" font-weight=\"bold\"");
      svg_.add("</g>");
    }
  }

  void lines(int lane, double top) {
    std::vector<const Event*> printed;
    for (auto& event : record_.events)
      if (event.what == Happening::Line && event.lane == lane) printed.push_back(&event);
    // Two rows of text above the bar; each mark's text runs to the next
    // mark in its row.
    std::array<double, 2> row_free{0, 0};
    for (size_t i = 0; i < printed.size(); i++) {
      const Event& line = *printed[i];
      double at = x(line.at);
      // Lines printed at one moment share one label: the first, and how
      // many more (each keeps its own mark and whole text on hover).
      size_t together = 1;
      while (i + together < printed.size() && x(printed[i + together]->at) - at < 2) together++;
      bool first = i == 0 || at - x(printed[i - 1]->at) >= 2;
      int row = !first ? -1 : row_free[0] <= at ? 0 : row_free[1] <= at ? 1 : -1;
      double next = i + together < printed.size() ? x(printed[i + together]->at) : kWidth - kRight;
      std::string label =
          line.text + (together > 1 ? " (+" + std::to_string(together - 1) + " more)" : "");
      std::string shown = row < 0 ? "" : fitted(label, std::min(next - at - 6, 300.0));
      // Near the right edge, a label runs leftwards from its mark instead.
      bool leftwards = row >= 0 && shown.size() < label.size() && at > kWidth - kRight - 60;
      if (leftwards) shown = fitted(label, 300);
      const char* colour = line.error ? kSignal : kInk;
      size_t seq = static_cast<size_t>(&line - record_.events.data());
      svg_.add("<g class=\"line\" data-lane=\"" + escaped(record_.lanes[lane].label) +
               "\" data-at=\"" + number(line.at) + "\" data-seq=\"" + std::to_string(seq) +
               "\" data-text=\"" + escaped(line.text) + "\">");
      svg_.add("<title>" +
               escaped(seconds(line.at) + "  " + record_.lanes[lane].label +
                       (line.error ? " ! " : " | ") + line.text) +
               "</title>");
      double baseline = top + (row == 1 ? 25 : 13);
      svg_.add("<line x1=\"" + number(at) + "\" y1=\"" + number(baseline + 2) + "\" x2=\"" +
               number(at) + "\" y2=\"" + number(top + kBarTop) + "\" stroke=\"" + colour +
               "\" stroke-width=\"1\"/>");
      if (!shown.empty()) {
        svg_.text(leftwards ? at - 2 : at + 2, baseline, shown,
                  std::string("font-size=\"11\" fill=\"") + colour + "\"",
                  leftwards ? "end" : "start");
        row_free[row] = leftwards ? at + 4 : at + 2 + shown.size() * kCharWidth + 4;
      }
      svg_.add("</g>");
    }
  }

  // A track for each object the record follows, one under another.
  double track(double top) {
    std::string_view objects = record_.object;
    if (objects.find("semaphore") != std::string_view::npos) top = semaphore_track(top) + 4;
    if (objects.find("segment") != std::string_view::npos)
      top = rows_track(top, Happening::Segment, {""}) + 4;
    if (objects.find("fifos") != std::string_view::npos)
      top = rows_track(top, Happening::Fifo, {"srvfifo", "clififo"}) + 4;
    return top;
  }

  double semaphore_track(double top) {
    constexpr double kHeight = 84;
    auto steps = spans(record_, Happening::Semaphore, -1, record_.end);
    int most = 2;
    for (auto& step : steps) most = std::max({most, step.event->value, step.event->waiting});
    auto level = [&](int n) { return top + kHeight - 10 - n * (kHeight - 22) / most; };
    svg_.add("<g class=\"track\" data-object=\"semaphore\">");
    svg_.add("<rect x=\"0\" y=\"" + number(top) + "\" width=\"" + number(kWidth) + "\" height=\"" +
             number(kHeight) + "\" fill=\"#eef3f8\"/>");
    svg_.text(16, top + 18, "semaphore, key 1234", "font-weight=\"bold\" fill=\"#222222\"");
    svg_.text(16, top + 36, "\u2014 value", std::string("fill=\"") + kValue + "\"");
    svg_.text(16, top + 52, "- - waiting to take", std::string("fill=\"") + kWaiting + "\"");
    for (int n = 0; n <= most; n++)
      svg_.text(kLeft - 6, level(n) + 4, std::to_string(n), "font-size=\"10\" fill=\"#777777\"",
                "end");
    std::string value_path, waiting_path;
    for (auto& step : steps) {
      const Event& seen = *step.event;
      double left = x(step.from), right = x(step.to);
      svg_.add("<g class=\"semaphore\" data-from=\"" + number(step.from) + "\" data-to=\"" +
               number(step.to) + "\" data-present=\"" + (seen.present ? "yes" : "no") +
               "\" data-value=\"" + std::to_string(seen.value) + "\" data-waiting=\"" +
               std::to_string(seen.waiting) + "\">");
      std::string said = seen.present ? "value " + std::to_string(seen.value) + ", " +
                                            std::to_string(seen.waiting) + " waiting"
                                      : "no set under the key";
      svg_.add("<title>" + escaped(said + ", " + seconds(step.from) + " to " + seconds(step.to)) +
               "</title>");
      svg_.add("<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" +
               number(std::max(1.0, right - left)) + "\" height=\"" + number(kHeight) +
               "\" fill=\"#ffffff\" fill-opacity=\"0\"/>");
      if (!seen.present && right - left > 40)
        svg_.text(left + 4, top + kHeight - 12, "absent", "font-size=\"10\" fill=\"#777777\"");
      svg_.add("</g>");
      if (!seen.present) {
        value_path += " ";
        waiting_path += " ";
        continue;
      }
      auto extend = [&](std::string& path, int n) {
        bool fresh = path.empty() || path.back() == ' ';
        path += (fresh ? "M" : " L") + number(left) + "," + number(level(n)) + " L" +
                number(right) + "," + number(level(n));
      };
      extend(value_path, seen.value);
      extend(waiting_path, seen.waiting);
    }
    auto draw_path = [&](std::string path, const char* colour, const char* dash) {
      for (size_t at; (at = path.find(" M")) != std::string::npos;) path.erase(at, 1);
      for (size_t at; (at = path.find("  ")) != std::string::npos;) path.erase(at, 1);
      if (path.find_first_not_of(' ') == std::string::npos) return;
      svg_.add("<path d=\"" + path.substr(path.find_first_not_of(' ')) +
               "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2.5\"" + dash + "/>");
    };
    draw_path(waiting_path, kWaiting, " stroke-dasharray=\"6 4\"");
    draw_path(value_path, kValue, "");
    svg_.add("</g>");
    return top + kHeight;
  }

  // One row per name, each span of it a box with what held then.
  double rows_track(double top, Happening what, std::initializer_list<std::string_view> names) {
    constexpr double kRow = 28;
    bool segment = what == Happening::Segment;
    double height = 24 + kRow * names.size();
    svg_.add(std::string("<g class=\"track\" data-object=\"") + (segment ? "segment" : "fifos") +
             "\">");
    svg_.add("<rect x=\"0\" y=\"" + number(top) + "\" width=\"" + number(kWidth) + "\" height=\"" +
             number(height) + "\" fill=\"#eef3f8\"/>");
    svg_.text(16, top + 16,
              segment ? "segment, key 10: its text" : "named pipes: who reads / who writes",
              "font-weight=\"bold\" fill=\"#222222\"");
    double y = top + 24;
    for (auto name : names) {
      if (!segment) svg_.text(kLeft - 6, y + 18, name, "fill=\"#222222\"", "end");
      for (auto& span : spans(record_, what, -1, record_.end, name)) {
        const Event& seen = *span.event;
        std::string said = !seen.present ? "absent"
                           : segment     ? (seen.text.empty() ? "(empty)" : "\"" + seen.text + "\"")
                                         : (seen.text.empty() ? "no one" : seen.text) + " / " +
                                           (seen.call.empty() ? "no one" : seen.call);
        double left = x(span.from), width = std::max(1.5, x(span.to) - left);
        svg_.add(std::string("<g class=\"") + (segment ? "segment" : "fifo") + "\" data-name=\"" +
                 escaped(name) + "\" data-from=\"" + number(span.from) + "\" data-to=\"" +
                 number(span.to) + "\" data-present=\"" + (seen.present ? "yes" : "no") +
                 "\" data-text=\"" + escaped(seen.text) + "\" data-writers=\"" +
                 escaped(seen.call) + "\">");
        svg_.add("<title>" +
                 escaped(std::string(name) + (name.empty() ? "" : ": ") + said + ", " +
                         seconds(span.from) + " to " + seconds(span.to)) +
                 "</title>");
        svg_.add("<rect x=\"" + number(left) + "\" y=\"" + number(y + 2) + "\" width=\"" +
                 number(width) + "\" height=\"" + number(kRow - 6) + "\" fill=\"" +
                 (seen.present ? "#ffffff" : "#eef3f8") + "\" stroke=\"#9aaabb\"/>");
        svg_.text(left + 4, y + 17, fitted(said, width - 8),
                  std::string("font-size=\"11\" fill=\"") + (seen.present ? kInk : kFaint) + "\"");
        svg_.add("</g>");
      }
      y += kRow;
    }
    svg_.add("</g>");
    return top + height;
  }

  double axis(double top) {
    double step = 1;
    for (double candidate : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 30.0, 60.0}) {
      step = candidate;
      if (span_ / candidate <= 15) break;
    }
    svg_.add("<g class=\"axis\">");
    svg_.add("<line x1=\"" + number(kLeft) + "\" y1=\"" + number(top) + "\" x2=\"" +
             number(kLeft + kPlot) + "\" y2=\"" + number(top) + "\" stroke=\"#222222\"/>");
    double end = begin_ + span_ + 1e-9;
    for (double t = std::ceil(begin_ / step) * step; t <= end;
         t = std::round((t + step) * 10) / 10) {
      svg_.add("<line x1=\"" + number(x(t)) + "\" y1=\"" + number(top) + "\" x2=\"" + number(x(t)) +
               "\" y2=\"" + number(top + 5) + "\" stroke=\"#222222\"/>");
      svg_.add("<line x1=\"" + number(x(t)) + "\" y1=\"" + number(person_top_) + "\" x2=\"" +
               number(x(t)) + "\" y2=\"" + number(top) +
               "\" stroke=\"#000000\" stroke-opacity=\"0.07\"/>");
      svg_.text(x(t), top + 18, number(t) + " s", "font-size=\"11\" fill=\"#222222\"", "middle");
    }
    svg_.text(16, top + 18, "seconds from the start", "font-size=\"11\" fill=\"#777777\"");
    svg_.add("</g>");
    return top + 24;
  }

  double legend(double top) {
    svg_.add("<g class=\"legend\">");
    double at = 16;
    auto swatch = [&](const std::string& fill, const std::string& words, int width = 22) {
      svg_.add("<rect x=\"" + number(at) + "\" y=\"" + number(top) + "\" width=\"" +
               std::to_string(width) + "\" height=\"" + number(kBarHeight) + "\" " + fill + "/>");
      svg_.text(at + 28, top + 11, words, "font-size=\"11\"");
      at += 34 + words.size() * kCharWidth;
    };
    std::string hue = kHues[0];
    swatch("fill=\"" + hue + "\"", "running");
    swatch("fill=\"" + hue + "\" fill-opacity=\"0.22\" stroke=\"" + hue + "\"",
           "asleep, in the call named (from /proc)");
    swatch("fill=\"url(#stopped)\" stroke=\"#555555\"", "stopped");
    swatch("fill=\"#222222\"", "ended: exit status or signal", 3);
    if (!record_.person) {
      svg_.add("</g>");
      return top + 24;
    }
    double y = top + 22;
    svg_.add("<line x1=\"16\" y1=\"" + number(y + 4) + "\" x2=\"38\" y2=\"" + number(y + 4) +
             "\" stroke=\"#222222\" stroke-width=\"1.5\" marker-end=\"url(#arrow)\"/>");
    svg_.text(44, y + 8, "key typed", "font-size=\"11\"");
    svg_.add("<line x1=\"120\" y1=\"" + number(y + 4) + "\" x2=\"142\" y2=\"" + number(y + 4) +
             "\" stroke=\"" + kSignal +
             "\" stroke-width=\"1.5\" stroke-dasharray=\"5 3\" marker-end=\"url(#arrow)\"/>");
    svg_.text(148, y + 8, "signal sent", "font-size=\"11\"");
    svg_.add("<line x1=\"236\" y1=\"" + number(y - 2) + "\" x2=\"236\" y2=\"" + number(y + 10) +
             "\" stroke=\"#222222\"/>");
    svg_.text(242, y + 8,
              "a line the program printed, when it reached the tour (hover for the whole line)",
              "font-size=\"11\"");
    svg_.add("</g>");
    return y + 22;
  }

  const Record& record_;
  double begin_, span_;
  Svg svg_;
  double person_top_ = 0;
  std::vector<double> lane_top_;
};

}  // namespace

std::string draw_scene(const Record& record) { return Picture(record).draw(); }

std::string draw_index(const std::list<Record>& records) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>The kit's scenes, drawn</title>\n"
      "<style>body{font-family:DejaVu Sans,Verdana,Arial,sans-serif;background:#fff;color:#222;"
      "margin:1.5em;max-width:1140px}section{margin:2em 0}svg{max-width:100%;height:auto;"
      "border:1px solid #ddd}</style>\n</head>\n<body>\n<h1>The kit's scenes, drawn</h1>\n"
      "<p>Each picture is one scene of the tour as it happened: a lane per program, its state "
      "read from /proc as it played, the lines it printed, what you typed and sent, and the "
      "kernel object it worked on. Hover over a mark for its whole text.</p>\n<ul>\n";
  for (auto& record : records)
    page += "<li><a href=\"#" + escaped(record.name) + "\">" + escaped(record.name) +
            "</a> (<a href=\"" + escaped(record.name) + ".svg\">" + escaped(record.name) +
            ".svg</a>)" + (record.failure.empty() ? "" : " \u2014 misbehaved") + "</li>\n";
  page += "</ul>\n";
  for (auto& record : records) {
    std::string svg = draw_scene(record);
    svg.erase(0, svg.find("<svg"));  // inline: no XML declaration inside HTML
    page += "<section id=\"" + escaped(record.name) + "\">\n<h2>" + escaped(record.name) +
            "</h2>\n<p>" + escaped(record.watch_for) + "</p>\n" + svg + "</section>\n";
  }
  return page + "</body>\n</html>\n";
}

}  // namespace kit
