#include "drawing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "objects.h"
#include "relations.h"
#include "visible.h"

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
constexpr const char* kRelation = "#009E73";
constexpr const char* kHolds = "#0072B2";

constexpr double kWidth = 1100, kLeft = 190, kRight = 40, kPlot = kWidth - kLeft - kRight;
// A lane, from its top: two rows of printed lines, the state bar, a strip of
// bands, two rows of calls.
constexpr double kLaneHeight = 106, kBarTop = 32, kBarHeight = 14, kStripTop = 48,
                 kStripHeight = 12;
constexpr double kLineRows[] = {12, 26}, kCallRows[] = {73, 87, 101};
constexpr double kBreak = 26;       // the gap drawn where the axis is broken
constexpr double kIdleBreak = 0.1;  // seconds with no program running that break it
constexpr size_t kSentenceWidth = 150;
constexpr size_t kLeastShown = 4;  // a label cut shorter than this is left out

// Seconds as a reader wants them, in a tooltip.
std::string seconds(double value) {
  std::array<char, 32> text;
  snprintf(text.data(), text.size(), value < 0.1 && value > 0 ? "%.4f s" : "%.2f s", value);
  return text.data();
}

// Microseconds, so that the order of close moments survives in the data.
std::string number(double value) {
  std::array<char, 32> text;
  snprintf(text.data(), text.size(), "%.6f", value);
  std::string shown = text.data();
  while (shown.back() == '0') shown.pop_back();
  if (shown.back() == '.') shown.pop_back();
  if (shown == "-0") shown = "0";
  return shown;
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

// How wide `text` sets at `size` pixels, from the widths of DejaVu Sans and
// erring wide, so that labels kept apart here stay apart in a browser.
double text_width(std::string_view text, double size, bool bold = false) {
  double em = 0;
  for (size_t i = 0; i < text.size(); i++) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if ((c & 0xc0) != 0x80) em += 1.0;  // one wide glyph per character
      continue;
    }
    if (std::string_view("il.,:;'!|").find(c) != std::string_view::npos)
      em += 0.32;
    else if (std::string_view(" /\\()[]{}frtj-").find(c) != std::string_view::npos)
      em += 0.42;
    else if (std::string_view("mwMW%@").find(c) != std::string_view::npos)
      em += 1.0;
    else if (std::string_view("=+<>#~^&").find(c) != std::string_view::npos)
      em += 0.86;
    else if (c >= 'A' && c <= 'Z')
      em += 0.8;
    else
      em += 0.66;
  }
  return em * size * (bold ? 1.12 : 1.0);
}

// At most `width` pixels of text, cut with an ellipsis; "" when that would
// leave too little to read.
std::string fitted(std::string_view text, double width, double size = 11) {
  if (text_width(text, size) <= width) return std::string(text);
  std::string cut;
  for (size_t i = 0; i < text.size();) {
    size_t length = static_cast<unsigned char>(text[i]) >= 0x80
                        ? std::max<size_t>(1, utf8_length(text.substr(i)))
                        : 1;
    if (text_width(cut + std::string(text.substr(i, length)) + "\u2026", size) > width) break;
    cut += text.substr(i, length);
    i += length;
  }
  if (cut.size() < kLeastShown) return "";
  return cut + "\u2026";
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

struct Box {
  double left, top, right, bottom;
  bool meets(const Box& other) const {
    return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
  }
};

// The picture's text, each label kept clear of every other one.
class Svg {
 public:
  void add(const std::string& element) { body_ += element + "\n"; }

  // Where a label of `words` at (`x`, baseline `y`) would lie.
  static Box box(double x, double y, std::string_view words, double size, bool bold,
                 const std::string& anchor) {
    double width = text_width(words, size, bold);
    double left = anchor == "end" ? x - width : anchor == "middle" ? x - width / 2 : x;
    return {left - 1, y - 0.95 * size, left + width + 1, y + 0.26 * size};
  }
  bool clear(const Box& wanted) const {
    return std::none_of(taken_.begin(), taken_.end(),
                        [&](const Box& b) { return b.meets(wanted); });
  }

  // Sets a label where nothing else lies: false, and nothing set, otherwise.
  bool text(double x, double y, std::string_view words, double size, const std::string& style = "",
            const std::string& anchor = "start", bool bold = false) {
    if (words.empty()) return false;
    Box wanted = box(x, y, words, size, bold, anchor);
    if (!clear(wanted)) return false;
    taken_.push_back(wanted);
    add("<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" font-size=\"" + number(size) +
        "\" text-anchor=\"" + anchor + "\"" + (bold ? " font-weight=\"bold\"" : "") +
        (style.empty() ? "" : " " + style) + ">" + escaped(words) + "</text>");
    return true;
  }
  // The first of `rows` (baselines) where the label fits, from `x`, cut to
  // at most `width` pixels; the width it took, or 0 where none had room.
  // Near the right edge, or where the right is taken, it may run leftwards
  // from `x` instead, never past `least`.
  double label(double x, std::initializer_list<double> rows, std::string_view words, double size,
               double width, const std::string& style = "", double least = kLeft) {
    // The whole text first, to the right, then to the left, in any row;
    // only then cut shorter.
    for (double scale = 1; scale > 0.1; scale *= 0.6) {
      for (bool leftwards : {false, true}) {
        for (double y : rows) {
          double room = std::min(width, leftwards ? x - least : kWidth - 2 - x) * scale;
          if (room < 20) continue;
          std::string shown = fitted(words, room, size);
          if (scale < 1 && shown.size() == words.size()) continue;  // tried whole already
          if (!shown.empty() && text(x, y, shown, size, style, leftwards ? "end" : "start"))
            return text_width(shown, size);
        }
      }
    }
    return 0;
  }
  std::string take() { return std::move(body_); }

 private:
  std::string body_;
  std::vector<Box> taken_;
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

// The stretch of time a part of the axis shows.
struct Segment {
  double from, to, left, right;
};

class Picture {
 public:
  explicit Picture(const Record& record) : record_(record), relations_(relate(record)) {
    double end = std::max({record.end, record.begin + 0.5, last_moment(record)});
    segments_ = segments(record.begin, end);
  }

  std::string draw() {
    double y = heading();
    person_top_ = y;
    if (record_.person) y += 44;
    order_lanes();
    lane_top_.assign(record_.lanes.size(), 0);
    for (int lane : order_) {
      lane_top_[lane] = y;
      y += kLaneHeight;
    }
    lanes_bottom_ = y;
    for (size_t i = 0; i < order_.size(); i++) backdrop(order_[i], i);
    for (int lane : order_) bands(lane);
    for (int lane : order_) lane_(lane);
    // The track before the arrows, so that one from it is drawn over it.
    y = track(y + 6);
    relations();
    if (record_.person) person();
    for (int lane : order_) lines(lane);
    for (int lane : order_) deliveries(lane);
    for (int lane : order_) calls(lane);
    y = axis(y + 8);
    y = legend(y + 14);
    std::string body = svg_.take();
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           number(kWidth) + "\" height=\"" + number(y) + "\" viewBox=\"0 0 " + number(kWidth) +
           " " + number(y) +
           "\" font-family=\"DejaVu Sans, Verdana, Arial, sans-serif\" font-size=\"12\" "
           "data-scene=\"" +
           escaped(record_.name) + "\" data-traced=\"" + (record_.traced ? "yes" : "no") +
           "\" data-span=\"" + number(segments_.back().to - segments_.front().from) + "\">\n" +
           defs() + "<rect class=\"page\" x=\"0\" y=\"0\" width=\"" + number(kWidth) +
           "\" height=\"" + number(y) + "\" fill=\"#ffffff\"/>\n" + body + "</svg>\n";
  }

 private:
  static double last_moment(const Record& record) {
    double last = 0;
    for (auto& event : record.events) last = std::max({last, event.at, event.until});
    return last;
  }

  // The axis, broken where no program ran for a while, so that runs apart
  // in time each get room; each part is linear in time.
  std::vector<Segment> segments(double begin, double end) const {
    std::vector<std::pair<double, double>> alive;
    for (size_t lane = 0; lane < record_.lanes.size(); lane++) {
      double from = -1, to = end;
      for (auto& event : record_.events) {
        if (event.lane != static_cast<int>(lane)) continue;
        if (from < 0) from = event.at;
        if (event.what == Happening::End) to = event.at;
      }
      if (from >= 0) alive.push_back({from, std::max(from, to)});
    }
    std::sort(alive.begin(), alive.end());
    std::vector<std::pair<double, double>> runs;
    for (auto [from, to] : alive) {
      if (!runs.empty() && from - runs.back().second < kIdleBreak)
        runs.back().second = std::max(runs.back().second, to);
      else
        runs.push_back({from, to});
    }
    std::vector<Segment> parts;
    if (runs.size() < 2) return {{begin, end, kLeft, kLeft + kPlot}};
    // Each run with a margin of a tenth of itself, the first from the start.
    double longest = 0;
    for (auto& run : runs) longest = std::max(longest, run.second - run.first);
    for (size_t i = 0; i < runs.size(); i++) {
      double margin = std::max(0.0005, (runs[i].second - runs[i].first) * 0.1);
      double from = i == 0 ? begin : runs[i].first - margin;
      double to =
          i + 1 == runs.size() ? std::max(end, runs[i].second + margin) : runs[i].second + margin;
      parts.push_back({from, to, 0, 0});
    }
    double room = kPlot - kBreak * (parts.size() - 1), weights = 0;
    std::vector<double> weight;
    for (auto& part : parts) {
      weight.push_back(std::max(part.to - part.from, longest * 0.3));
      weights += weight.back();
    }
    double left = kLeft;
    for (size_t i = 0; i < parts.size(); i++) {
      parts[i].left = left;
      parts[i].right = left + room * weight[i] / weights;
      left = parts[i].right + kBreak;
    }
    return parts;
  }

  double x(double t) const {
    for (size_t i = 0; i < segments_.size(); i++) {
      const Segment& part = segments_[i];
      bool last = i + 1 == segments_.size();
      if (t <= part.to || last) {
        if (t < part.from) return i == 0 ? part.left : part.left - kBreak / 2;
        double at = part.left + (t - part.from) / (part.to - part.from) * (part.right - part.left);
        return std::min(at, part.right);
      }
      if (t < segments_[i + 1].from) return part.right + kBreak / 2;
    }
    return kLeft;
  }

  double bar_middle(int lane) const { return lane_top_[lane] + kBarTop + kBarHeight / 2; }

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

  // What the person did, each in its own row above the lanes, naming the
  // program it went to; the mark itself sits on that program's lane.
  void person() {
    double top = person_top_;
    svg_.add("<g class=\"person\">");
    svg_.text(16, top + 20, "you", 12, "fill=\"#222222\"", "start", true);
    svg_.text(16, top + 34, "keys and signals", 10, "fill=\"#777777\"");
    for (auto& event : record_.events) {
      bool key = event.what == Happening::Key;
      if (!key && event.what != Happening::Signal) continue;
      double at = x(event.at);
      const char* colour = key ? kInk : kSignal;
      const std::string& to = record_.lanes[event.lane].label;
      svg_.add(std::string("<g class=\"") + (key ? "key" : "signal") + "\" data-at=\"" +
               number(event.at) + "\" data-to=\"" + escaped(to) + "\" data-label=\"" +
               escaped(event.text) + "\">");
      svg_.add("<title>" + escaped(seconds(event.at) + ": " + event.narration) + "</title>");
      svg_.add("<line x1=\"" + number(at) + "\" y1=\"" + number(top + 4) + "\" x2=\"" + number(at) +
               "\" y2=\"" + number(top + 40) + "\" stroke=\"" + colour + "\" stroke-width=\"1.5\"" +
               (key ? "" : " stroke-dasharray=\"4 2\"") + "/>");
      svg_.label(at + 3, {top + 14, top + 28, top + 40}, event.text + " \u2192 " + to, 11, 220,
                 std::string("fill=\"") + colour + "\"");
      // On the lane it went to: a mark at the top of its bar.
      double bar = lane_top_[event.lane] + kBarTop;
      svg_.add("<path d=\"M" + number(at - 4) + "," + number(bar - 6) + " L" + number(at + 4) +
               "," + number(bar - 6) + " L" + number(at) + "," + number(bar) + " z\" fill=\"" +
               colour + "\"/>");
      svg_.add("</g>");
    }
    svg_.add("</g>");
  }

  void backdrop(int lane, size_t place) {
    if (place % 2 == 0)
      svg_.add("<rect x=\"0\" y=\"" + number(lane_top_[lane]) + "\" width=\"" + number(kWidth) +
               "\" height=\"" + number(kLaneHeight) + "\" fill=\"#f4f4f4\"/>");
  }

  const char* hue(int lane) const { return kHues[record_.lanes[lane].hue % std::size(kHues)]; }

  void lane_(int lane) {
    const Lane& who = record_.lanes[lane];
    double top = lane_top_[lane];
    svg_.add("<g class=\"lane\" data-lane=\"" + escaped(who.label) + "\" data-pid=\"" +
             std::to_string(who.pid) + "\"" +
             (who.parent >= 0 ? " data-parent=\"" + escaped(record_.lanes[who.parent].label) + "\""
                              : "") +
             ">");
    double indent = who.parent >= 0 ? 12 : 0;
    svg_.add("<rect x=\"" + number(16 + indent) + "\" y=\"" + number(top + kBarTop) +
             "\" width=\"10\" height=\"" + number(kBarHeight) + "\" fill=\"" + hue(lane) + "\"/>");
    svg_.text(32 + indent, top + kBarTop + 11, fitted(who.label, kLeft - 44 - indent, 13.5), 12,
              "fill=\"#222222\"", "start", true);
    if (who.pid > 0)
      svg_.text(32 + indent, top + kBarTop + 26, "pid " + std::to_string(who.pid), 10,
                "fill=\"#777777\"");
    states(lane, top);
    svg_.add("</g>");
  }

  void states(int lane, double top) {
    const char* colour = hue(lane);
    for (auto& span : spans(record_, Happening::State, lane, record_.end)) {
      const Event& state = *span.event;
      double left = x(span.from), width = std::max(1.5, x(span.to) - left);
      std::string kind = state.state == 'R' ? "running" : state.state == 'T' ? "stopped" : "asleep";
      std::string call = state.call + (state.target.empty() ? "" : " (" + state.target + ")");
      std::string fill = kind == "running" ? std::string("fill=\"") + colour + "\""
                         : kind == "stopped"
                             ? "fill=\"url(#stopped)\" stroke=\"#555555\""
                             : std::string("fill=\"") + colour +
                                   "\" fill-opacity=\"0.22\" stroke=\"" + colour + "\"";
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
      std::string inside = kind == "asleep" ? call : kind == "stopped" ? "stopped" : "";
      if (!inside.empty())
        svg_.text(left + 3, top + kBarTop + 11, fitted(inside, width - 6, 10), 10,
                  "fill=\"#222222\"");
      svg_.add("</g>");
    }
    bool wrote = false;
    for (auto& event : record_.events)
      wrote |= event.what == Happening::Call && event.lane == lane && event.call == "write";
    for (auto& event : record_.events) {
      if (event.what != Happening::End || event.lane != lane) continue;
      double at = x(event.at);
      svg_.add("<g class=\"end\" data-lane=\"" + escaped(record_.lanes[lane].label) +
               "\" data-at=\"" + number(event.at) + "\" data-how=\"" + escaped(event.text) + "\">");
      svg_.add("<title>" + escaped(record_.lanes[lane].label + " ended: " + event.text) +
               "</title>");
      svg_.add("<rect x=\"" + number(at) + "\" y=\"" + number(top + kBarTop - 4) +
               "\" width=\"3\" height=\"" + number(kBarHeight + 8) + "\" fill=\"#222222\"/>");
      // Into a pipe, nothing is written before the buffer goes out at a
      // normal exit: a signal that ends the program loses it.
      bool died =
          record_.traced && record_.lanes[lane].piped && !wrote && event.text.starts_with("SIG");
      std::string said = event.text + (died ? ": its line died in the buffer" : "");
      // Beside the bar's end, never back over it.
      if (!svg_.label(at + 6, {top + kBarTop + 11}, said, 11, kWidth, "font-weight=\"bold\"",
                      at + 6))
        svg_.label(at + 6, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]}, said, 11,
                   kWidth, "font-weight=\"bold\"");
      svg_.add("</g>");
    }
  }

  // The printed lines, in two rows above the bar; a label that finds no
  // room keeps its mark and its whole text on hover.
  void lines(int lane) {
    double top = lane_top_[lane];
    std::vector<const Event*> printed;
    for (auto& event : record_.events)
      if (event.what == Happening::Line && event.lane == lane) printed.push_back(&event);
    for (size_t i = 0; i < printed.size(); i++) {
      const Event& line = *printed[i];
      double at = x(line.at);
      // The next line takes the other row; the one after, this row again:
      // each label runs at most to that one's mark.
      double room = i + 2 < printed.size() ? x(printed[i + 2]->at) - at - 6 : 300;
      const char* colour = line.error ? kSignal : kInk;
      size_t seq = static_cast<size_t>(&line - record_.events.data());
      svg_.add("<g class=\"line\" data-lane=\"" + escaped(record_.lanes[lane].label) +
               "\" data-at=\"" + number(line.at) + "\" data-seq=\"" + std::to_string(seq) +
               "\" data-text=\"" + escaped(line.text) + "\">");
      svg_.add("<title>" +
               escaped(seconds(line.at) + "  " + record_.lanes[lane].label +
                       (line.error ? " ! " : " | ") + line.text +
                       (line.amount ? "\u2026 (" + std::to_string(line.amount) + " bytes in all)"
                                    : "")) +
               "</title>");
      svg_.add("<line x1=\"" + number(at) + "\" y1=\"" + number(top + 4) + "\" x2=\"" + number(at) +
               "\" y2=\"" + number(top + kBarTop) + "\" stroke=\"" + colour +
               "\" stroke-width=\"1\" stroke-opacity=\"0.6\"/>");
      svg_.label(at + 2, {top + kLineRows[0], top + kLineRows[1]}, line.text, 11,
                 std::clamp(room, 60.0, 300.0), std::string("fill=\"") + colour + "\"");
      svg_.add("</g>");
    }
  }

  // Which calls get a mark of their own: those that pass something between
  // programs, and a child's writes, whose lines are printed under its parent.
  bool marked(const Event& call) const {
    // A fork's arrow names the child; sleeps show as the bar's states.
    if (call.call == "read" || call.call == "nanosleep" || call.call == "pause" ||
        call.call == "execve" || call.call == "fork")
      return false;
    if (call.call == "write") return call.target == "pipe" || record_.lanes[call.lane].parent >= 0;
    return true;
  }

  std::string call_label(const Event& call) const {
    if (!call.failed.empty()) return call.text + " " + call.failed;
    if (call.call == "semop") return call.text;
    if (call.call == "semctl") return call.text;
    if (call.call == "semget") return "semget";
    if (call.call == "shmget" || call.call == "shmat" || call.call == "shmdt") return call.call;
    if (call.call == "open") return "open " + call.text;
    if (call.call == "mkfifo") return "mkfifo " + call.text;
    if (call.call == "write") return "write " + call.text;
    if (call.call == "rt_sigreturn") return "rt_sigreturn";
    return call.call == "fork" ? "fork" : call.text;
  }

  // Each signal as it was delivered: ignored, handled, or ending the program.
  void deliveries(int lane) {
    double top = lane_top_[lane];
    double bottom = top + kBarTop + kBarHeight;
    for (auto& delivery : record_.events) {
      if (delivery.what != Happening::Delivery || delivery.lane != lane) continue;
      double at = x(delivery.at);
      bool ends = false;
      for (auto& end : record_.events)
        ends |= end.what == Happening::End && end.lane == lane && end.text == delivery.text;
      std::string what = delivery.caught                                            ? "handled"
                         : ends                                                     ? "ends it"
                         : delivery.text == "SIGSTOP" || delivery.text == "SIGCONT" ? ""
                                                                                    : "ignored";
      std::string said = delivery.text + " delivered" + (what.empty() ? "" : ": " + what);
      std::string sender =
          delivery.peer >= 0 ? ", sent by " + record_.lanes[delivery.peer].label : "";
      svg_.add("<g class=\"delivery\" data-lane=\"" + escaped(record_.lanes[lane].label) +
               "\" data-signal=\"" + escaped(delivery.text) + "\" data-at=\"" +
               number(delivery.at) + "\" data-caught=\"" + (delivery.caught ? "yes" : "no") +
               "\">");
      svg_.add("<title>" + escaped(seconds(delivery.at) + ": " + said + sender) + "</title>");
      svg_.add("<path d=\"M" + number(at) + "," + number(bottom + 1) +
               " l3,4 h-2 l2,5 l-6,-6 h2 z\" "
               "fill=\"" +
               std::string(kSignal) + "\"/>");
      if (!ends)
        svg_.label(at + 4, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]}, said, 10,
                   220, std::string("fill=\"") + kSignal + "\"");
      svg_.add("</g>");
    }
  }

  void calls(int lane) {
    double top = lane_top_[lane];
    double bottom = top + kBarTop + kBarHeight;
    for (auto& call : record_.events) {
      if (call.what != Happening::Call || call.lane != lane) continue;
      double until = call.until >= 0 ? call.until : record_.end;
      bool failed = !call.failed.empty();
      svg_.add("<g class=\"call\" data-lane=\"" + escaped(record_.lanes[lane].label) +
               "\" data-call=\"" + escaped(call.call) + "\" data-target=\"" + escaped(call.target) +
               "\" data-text=\"" + escaped(call.text) + "\" data-bytes=\"" +
               escaped(in_quotes(call.bytes)) + "\" data-at=\"" + number(call.at) +
               "\" data-until=\"" + number(until) + "\" data-result=\"" +
               (call.cut         ? "cut"
                : call.until < 0 ? "open"
                : failed         ? call.failed
                                 : std::to_string(call.value)) +
               "\">");
      std::string said = call.call + " " + call.text +
                         (call.target.empty() ? "" : " on " + call.target) + ", " +
                         seconds(call.at) + " to " + seconds(until) +
                         (call.cut         ? ", never returned: the process ended in it"
                          : call.until < 0 ? ", had not returned when the picture ends"
                          : failed         ? ", failed: " + call.failed
                                           : ", returned " + std::to_string(call.value));
      svg_.add("<title>" + escaped(said) + "</title>");
      // Each wake from a sleep parts the bar, so that a loop of sleeps shows.
      if (call.call == "nanosleep" && call.until >= 0 && !call.cut)
        svg_.add("<line x1=\"" + number(x(call.until)) + "\" y1=\"" + number(top + kBarTop) +
                 "\" x2=\"" + number(x(call.until)) + "\" y2=\"" + number(bottom) +
                 "\" stroke=\"#ffffff\" stroke-width=\"1.5\"/>");
      if (marked(call)) {
        const char* colour = failed ? kSignal : kInk;
        double at = x(call.at);
        svg_.add("<path d=\"M" + number(at) + "," + number(bottom - 3) + " L" + number(at + 3.5) +
                 "," + number(bottom + 1) + " L" + number(at) + "," + number(bottom + 5) + " L" +
                 number(at - 3.5) + "," + number(bottom + 1) + " z\" fill=\"" + colour + "\"/>");
        double end = x(until);
        if (end - at > 4)
          svg_.add("<line x1=\"" + number(at) + "\" y1=\"" + number(bottom + 1) + "\" x2=\"" +
                   number(end) + "\" y2=\"" + number(bottom + 1) + "\" stroke=\"" + colour +
                   "\" stroke-width=\"1.5\"/>");
        svg_.label(at - 3, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]},
                   call_label(call), 10, 240, std::string("fill=\"") + colour + "\"");
      }
      svg_.add("</g>");
    }
  }

  // Bands in the strip under the bar: who holds the lock, a handler's run;
  // a signal pending is drawn over the bar itself.
  void bands(int lane) {
    double top = lane_top_[lane];
    for (auto& band : relations_.bands) {
      if (band.lane != lane) continue;
      double left = x(band.from), width = std::max(2.0, x(band.to) - left);
      bool pending = band.kind == "pending";
      svg_.add("<g class=\"band\" data-kind=\"" + band.kind + "\" data-lane=\"" +
               escaped(record_.lanes[lane].label) + "\" data-from=\"" + number(band.from) +
               "\" data-to=\"" + number(band.to) + "\">");
      svg_.add("<title>" +
               escaped(record_.lanes[lane].label + ": " + band.label + ", " + seconds(band.from) +
                       " to " + seconds(band.to)) +
               "</title>");
      if (pending) {
        svg_.add("<rect x=\"" + number(left) + "\" y=\"" + number(top + kBarTop - 3) +
                 "\" width=\"" + number(width) + "\" height=\"" + number(kBarHeight + 6) +
                 "\" fill=\"url(#pending)\" fill-opacity=\"0.8\" stroke=\"" + kSignal + "\"/>");
        svg_.label(left + 3, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]},
                   band.label + " until it is delivered", 10, std::max(width, 120.0),
                   std::string("fill=\"") + kSignal + "\"");
      } else {
        const char* colour = band.kind == "holds" ? kHolds : kSignal;
        svg_.add("<rect x=\"" + number(left) + "\" y=\"" + number(top + kStripTop) + "\" width=\"" +
                 number(width) + "\" height=\"" + number(kStripHeight) + "\" fill=\"" + colour +
                 "\" fill-opacity=\"0.25\" stroke=\"" + colour + "\"/>");
        std::string inside = fitted(band.label, width - 6, 10);
        if (inside.empty())
          inside = fitted(band.kind == "holds" ? "holds" : "handler", width - 6, 10);
        svg_.text(left + 3, top + kStripTop + 9.5, inside, 10, "fill=\"#222222\"");
      }
      svg_.add("</g>");
    }
  }

  void relations() {
    for (auto& arrow : relations_.arrows) {
      // From the object's track (its first row, under the lanes), or a lane.
      bool track = arrow.from_lane < 0;
      double x1 = x(arrow.from), x2 = x(arrow.to);
      bool down = !track && lane_top_[arrow.to_lane] > lane_top_[arrow.from_lane];
      double y1 = track ? lanes_bottom_ + 6 + 26
                        : bar_middle(arrow.from_lane) + (down ? kBarHeight / 2 : -kBarHeight / 2);
      double y2 = bar_middle(arrow.to_lane) + (down ? -kBarHeight / 2 - 1 : kBarHeight / 2 + 1);
      if (arrow.kind == "fork") y2 = bar_middle(arrow.to_lane), x2 += 6;
      const char* colour = arrow.kind == "message"  ? kValue
                           : arrow.kind == "signal" ? kSignal
                                                    : kRelation;
      const std::string& from = track ? record_.object : record_.lanes[arrow.from_lane].label;
      svg_.add("<g class=\"arrow\" data-kind=\"" + arrow.kind + "\" data-from-lane=\"" +
               escaped(from) + "\" data-to-lane=\"" + escaped(record_.lanes[arrow.to_lane].label) +
               "\" data-from=\"" + number(arrow.from) + "\" data-to=\"" + number(arrow.to) +
               "\" data-label=\"" + escaped(arrow.label) + "\">");
      svg_.add("<title>" +
               escaped(from + ": " + arrow.label + ", " + seconds(arrow.from) + " to " +
                       seconds(arrow.to)) +
               "</title>");
      std::string path =
          arrow.kind == "fork"
              ? "M" + number(x1) + "," + number(y1) + " L" + number(x1) + "," + number(y2) + " L" +
                    number(x2) + "," + number(y2)
              : "M" + number(x1) + "," + number(y1) + " L" + number(x2) + "," + number(y2);
      svg_.add("<path d=\"" + path + "\" fill=\"none\" stroke=\"" + colour +
               "\" stroke-width=\"1.8\"" +
               (arrow.kind == "gives" ? " stroke-dasharray=\"5 3\"" : "") +
               " marker-end=\"url(#arrow)\"/>");
      // The label in the rows of the lane the arrow leaves, by its foot.
      double top = lane_top_[track ? arrow.to_lane : arrow.from_lane];
      double width = arrow.kind == "message" || arrow.kind == "sees" ? 320 : 200;
      svg_.label(x1 + 4, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]}, arrow.label,
                 10, width, std::string("fill=\"") + colour + "\"");
      svg_.add("</g>");
    }
    for (auto& meeting : relations_.rendezvous) {
      int upper = lane_top_[meeting.lanes[0]] < lane_top_[meeting.lanes[1]] ? meeting.lanes[0]
                                                                            : meeting.lanes[1];
      int lower = upper == meeting.lanes[0] ? meeting.lanes[1] : meeting.lanes[0];
      double at = x(meeting.at);
      svg_.add("<g class=\"rendezvous\" data-fifo=\"" + escaped(meeting.fifo) + "\" data-at=\"" +
               number(meeting.at) + "\">");
      svg_.add("<title>" +
               escaped("both ends of " + meeting.fifo + " open: the opens complete together, " +
                       seconds(meeting.at)) +
               "</title>");
      svg_.add("<line x1=\"" + number(at) + "\" y1=\"" + number(bar_middle(upper)) + "\" x2=\"" +
               number(at) + "\" y2=\"" + number(bar_middle(lower)) + "\" stroke=\"" + kFaint +
               "\" stroke-width=\"1.5\" stroke-dasharray=\"2 2\"/>");
      for (int lane : {upper, lower})
        svg_.add("<circle cx=\"" + number(at) + "\" cy=\"" + number(bar_middle(lane)) +
                 "\" r=\"3.5\" fill=\"#ffffff\" stroke=\"" + kInk + "\"/>");
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
      top = rows_track(top, Happening::Fifo, {kFifoNames[0], kFifoNames[1]}) + 4;
    return top;
  }

  // The semaphore's steps: replayed from the operations where they were
  // traced, every one however brief, else as the looks saw it.
  std::vector<std::pair<Level, double>> semaphore_steps() const {
    std::vector<std::pair<Level, double>> steps;
    if (!relations_.levels.empty()) {
      for (size_t i = 0; i < relations_.levels.size(); i++)
        steps.push_back({relations_.levels[i], i + 1 < relations_.levels.size()
                                                   ? relations_.levels[i + 1].at
                                                   : record_.end});
      return steps;
    }
    for (auto& step : spans(record_, Happening::Semaphore, -1, record_.end))
      if (step.event->text.empty())  // else a set not open to the looker: no value known
        steps.push_back(
            {{step.from, step.event->present, step.event->value, step.event->waiting}, step.to});
    return steps;
  }

  double semaphore_track(double top) {
    constexpr double kHeight = 84;
    auto steps = semaphore_steps();
    int most = 2;
    for (auto& [level, to] : steps) most = std::max({most, level.value, level.waiting});
    auto level_y = [&](int n) { return top + kHeight - 10 - n * (kHeight - 22) / most; };
    svg_.add("<g class=\"track\" data-object=\"semaphore\">");
    svg_.add("<rect x=\"0\" y=\"" + number(top) + "\" width=\"" + number(kWidth) + "\" height=\"" +
             number(kHeight) + "\" fill=\"#eef3f8\"/>");
    svg_.text(16, top + 18, "semaphore, key 1234", 12, "fill=\"#222222\"", "start", true);
    svg_.text(16, top + 36, "\u2014 value", 12, std::string("fill=\"") + kValue + "\"");
    svg_.text(16, top + 52, "- - waiting to take", 12, std::string("fill=\"") + kWaiting + "\"");
    if (record_.traced && !relations_.levels.empty())
      svg_.text(16, top + 68, "from each operation", 10, "fill=\"#777777\"");
    for (int n = 0; n <= most; n++)
      svg_.text(kLeft - 6, level_y(n) + 4, std::to_string(n), 10, "fill=\"#777777\"", "end");
    std::string value_path, waiting_path;
    double taken = 0;  // how far the steps drawn so far reach
    for (auto& [seen, until] : steps) {
      // A unit that lives a few microseconds still shows, as a blip.
      double left = std::max(x(seen.at), taken), right = std::max(x(until), left + 2);
      taken = right;
      svg_.add("<g class=\"semaphore\" data-from=\"" + number(seen.at) + "\" data-to=\"" +
               number(until) + "\" data-present=\"" + (seen.present ? "yes" : "no") +
               "\" data-value=\"" + std::to_string(seen.value) + "\" data-waiting=\"" +
               std::to_string(seen.waiting) + "\">");
      std::string said = seen.present ? "value " + std::to_string(seen.value) + ", " +
                                            std::to_string(seen.waiting) + " waiting"
                                      : "no set under the key";
      svg_.add("<title>" + escaped(said + ", " + seconds(seen.at) + " to " + seconds(until)) +
               "</title>");
      svg_.add("<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" +
               number(std::max(1.0, right - left)) + "\" height=\"" + number(kHeight) +
               "\" fill=\"#ffffff\" fill-opacity=\"0\"/>");
      if (!seen.present && right - left > 40)
        svg_.text(left + 4, top + kHeight - 12, "absent", 10, "fill=\"#777777\"");
      svg_.add("</g>");
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
              segment ? "segment, key 10: its text" : "named pipes: who reads / who writes", 12,
              "fill=\"#222222\"", "start", true);
    double y = top + 24;
    for (auto name : names) {
      if (!segment) svg_.text(kLeft - 6, y + 18, name, 12, "fill=\"#222222\"", "end");
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
        svg_.text(left + 4, y + 17, fitted(said, width - 8), 11,
                  std::string("fill=\"") + (seen.present ? kInk : kFaint) + "\"");
        svg_.add("</g>");
      }
      y += kRow;
    }
    svg_.add("</g>");
    return top + height;
  }

  double axis(double top) {
    svg_.add("<g class=\"axis\">");
    for (size_t i = 0; i < segments_.size(); i++) {
      const Segment& part = segments_[i];
      double span = part.to - part.from;
      double step = 60;
      for (double candidate : {0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0,
                               2.0, 5.0, 10.0, 20.0, 30.0, 60.0}) {
        step = candidate;
        if (span / candidate <= 15 * (part.right - part.left) / kPlot) break;
      }
      svg_.add("<line x1=\"" + number(part.left) + "\" y1=\"" + number(top) + "\" x2=\"" +
               number(part.right) + "\" y2=\"" + number(top) + "\" stroke=\"#222222\"/>");
      if (i > 0) {
        double gap = part.left - kBreak / 2;
        svg_.add("<g class=\"break\" data-from=\"" + number(segments_[i - 1].to) + "\" data-to=\"" +
                 number(part.from) + "\">");
        svg_.add("<title>" +
                 escaped("no program ran from " + seconds(segments_[i - 1].to) + " to " +
                         seconds(part.from) + ": left out") +
                 "</title>");
        for (double side : {gap - 5, gap + 5})
          svg_.add("<line x1=\"" + number(side) + "\" y1=\"" + number(person_top_) + "\" x2=\"" +
                   number(side) + "\" y2=\"" + number(top + 6) +
                   "\" stroke=\"#999999\" stroke-dasharray=\"3 3\"/>");
        svg_.add("</g>");
      }
      for (double n = std::ceil(part.from / step - 1e-9); n * step <= part.to + 1e-9; n++) {
        double t = n * step;
        std::string label = number(std::round(t * 1e5) / 1e5) + " s";
        svg_.add("<line x1=\"" + number(x(t)) + "\" y1=\"" + number(top) + "\" x2=\"" +
                 number(x(t)) + "\" y2=\"" + number(top + 5) + "\" stroke=\"#222222\"/>");
        svg_.add("<line x1=\"" + number(x(t)) + "\" y1=\"" + number(person_top_) + "\" x2=\"" +
                 number(x(t)) + "\" y2=\"" + number(top) +
                 "\" stroke=\"#000000\" stroke-opacity=\"0.07\"/>");
        svg_.text(x(t), top + 18, label, 11, "fill=\"#222222\"", "middle");
      }
    }
    svg_.text(16, top + 18, "seconds from the start", 11, "fill=\"#777777\"");
    svg_.add("</g>");
    return top + 24;
  }

  double legend(double top) {
    svg_.add("<g class=\"legend\">");
    double at = 16, y = top;
    auto room_for = [&](const std::string& words) {
      if (at + 34 + text_width(words, 11) > kWidth - 16) at = 16, y += 22;
    };
    auto swatch = [&](const std::string& fill, const std::string& words, int width = 22) {
      room_for(words);
      svg_.add("<rect x=\"" + number(at) + "\" y=\"" + number(y) + "\" width=\"" +
               std::to_string(width) + "\" height=\"" + number(kBarHeight) + "\" " + fill + "/>");
      svg_.text(at + 28, y + 11, words, 11);
      at += 40 + text_width(words, 11);
    };
    auto stroke = [&](const std::string& style, const std::string& words) {
      room_for(words);
      svg_.add("<line x1=\"" + number(at) + "\" y1=\"" + number(y + 7) + "\" x2=\"" +
               number(at + 22) + "\" y2=\"" + number(y + 7) + "\" " + style + "/>");
      svg_.text(at + 28, y + 11, words, 11);
      at += 40 + text_width(words, 11);
    };
    std::string hue = kHues[0];
    swatch("fill=\"" + hue + "\"", "running");
    swatch("fill=\"" + hue + "\" fill-opacity=\"0.22\" stroke=\"" + hue + "\"",
           "asleep, in the call named (from /proc)");
    swatch("fill=\"url(#stopped)\" stroke=\"#555555\"", "stopped");
    swatch("fill=\"#222222\"", "ended: exit status or signal", 3);
    if (record_.person) {
      stroke("stroke=\"#222222\" stroke-width=\"1.5\"", "key typed (\u25bc on its lane)");
      stroke(
          std::string("stroke=\"") + kSignal + "\" stroke-width=\"1.5\" stroke-dasharray=\"4 2\"",
          "signal sent");
      stroke("stroke=\"#222222\" stroke-opacity=\"0.6\"",
             "a line printed, when it reached the tour (hover for all of it)");
    }
    if (record_.traced) {
      room_for("a system call, with what it asked");
      svg_.add("<path d=\"M" + number(at + 11) + "," + number(y + 2) + " L" + number(at + 16) +
               "," + number(y + 7) + " L" + number(at + 11) + "," + number(y + 12) + " L" +
               number(at + 6) + "," + number(y + 7) + " z\" fill=\"#222222\"/>");
      svg_.text(at + 28, y + 11, "a system call, with what it asked", 11);
      at += 40 + text_width("a system call, with what it asked", 11);
      stroke(std::string("stroke=\"") + kRelation +
                 "\" stroke-width=\"1.8\" marker-end=\"url(#arrow)\"",
             "an operation that let another through (dashed: its unit taken later), a fork");
      stroke(
          std::string("stroke=\"") + kValue + "\" stroke-width=\"1.8\" marker-end=\"url(#arrow)\"",
          "bytes through a named pipe, from write to read");
      swatch(std::string("fill=\"") + kHolds + "\" fill-opacity=\"0.25\" stroke=\"" + kHolds + "\"",
             "holds the lock");
      swatch(
          std::string("fill=\"") + kSignal + "\" fill-opacity=\"0.25\" stroke=\"" + kSignal + "\"",
          "a signal handler runs");
      swatch("fill=\"url(#pending)\" stroke=\"#D55E00\"", "a signal pending");
    }
    svg_.add("</g>");
    return y + 26;
  }

  const Record& record_;
  Relations relations_;
  std::vector<Segment> segments_;
  Svg svg_;
  double person_top_ = 0, lanes_bottom_ = 0;
  std::vector<int> order_;
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
      "kernel object it worked on; where the programs were traced, also each call that passed "
      "something between them. Hover over a mark for its whole text.</p>\n<ul>\n";
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
