#include <algorithm>
#include <optional>
#include <string_view>

#include "canvas.h"

namespace kit::draw {
namespace {

std::string call_label(const Event& call) {
  if (!call.failed.empty()) return call.text + " " + call.failed;
  if (call.call == "semop") return call.text;
  if (call.call == "semctl") return call.text;
  if (call.call == "semget") return "semget";
  if (call.call == "shmget" || call.call == "shmat" || call.call == "shmdt") return call.call;
  if (call.call == "open") return "open " + call.text;
  if (call.call == "mkfifo") return "mkfifo " + call.text;
  if (call.call == "write") return "write " + call.text;
  if (call.call == "rt_sigreturn") return "rt_sigreturn";
  return call.text;
}

void states(Canvas& c, int lane, double top) {
  const char* colour = c.hue(lane);
  for (auto& span : spans(c.record, Happening::State, lane, c.record.end)) {
    const Event& state = *span.event;
    double left = c.x(span.from), width = std::max(1.5, c.x(span.to) - left);
    std::string kind = state.state == 'R' ? "running" : state.state == 'T' ? "stopped" : "asleep";
    std::string call = state.call + (state.target.empty() ? "" : " (" + state.target + ")");
    std::string fill = kind == "running" ? std::string("fill=\"") + colour + "\""
                       : kind == "stopped"
                           ? "fill=\"url(#stopped)\" stroke=\"#555555\""
                           : std::string("fill=\"") + colour +
                                 "\" fill-opacity=\"0.22\" stroke=\"" + colour + "\"";
    std::string said = kind == "asleep" ? "asleep" + (call.empty() ? "" : " in " + call) : kind;
    c.svg.add("<g class=\"state\" data-lane=\"" + escaped(c.label(lane)) + "\" data-state=\"" +
              kind + "\" data-call=\"" + escaped(state.call) + "\" data-from=\"" +
              number(span.from) + "\" data-to=\"" + number(span.to) + "\">");
    c.svg.add("<title>" +
              escaped(c.label(lane) + ": " + said + ", " + seconds(span.from) + " to " +
                      seconds(span.to)) +
              "</title>");
    c.svg.add("<rect x=\"" + number(left) + "\" y=\"" + number(top + kBarTop) + "\" width=\"" +
              number(width) + "\" height=\"" + number(kBarHeight) + "\" " + fill + "/>");
    std::string inside = kind == "asleep" ? call : kind == "stopped" ? "stopped" : "";
    if (!inside.empty())
      c.svg.text(left + 3, top + kBarTop + 11, fitted(inside, width - 6, 10), 10,
                 "fill=\"#222222\"");
    c.svg.add("</g>");
  }
  for (auto& event : c.record.events) {
    if (event.what != Happening::End || event.lane != lane) continue;
    double at = c.x(event.at);
    c.svg.add("<g class=\"end\" data-lane=\"" + escaped(c.label(lane)) + "\" data-at=\"" +
              number(event.at) + "\" data-how=\"" + escaped(event.text) + "\">");
    c.svg.add("<title>" + escaped(c.label(lane) + " ended: " + event.text) + "</title>");
    c.svg.add("<rect x=\"" + number(at) + "\" y=\"" + number(top + kBarTop - 4) +
              "\" width=\"3\" height=\"" + number(kBarHeight + 8) + "\" fill=\"#222222\"/>");
    // Into a pipe, nothing is written before the buffer goes out at a
    // normal exit: a signal that ends the program loses it.
    // An end whose status no one saw says so, rather than claim one.
    std::string said = (event.text == "ended" ? "ended, status not seen" : event.text) +
                       (died_in_buffer(c.record, lane) ? ": its line died in the buffer" : "");
    // Beside the bar's end, never back over it; where the picture's edge
    // leaves no room for it whole there, in the rows of the calls below.
    bool room = text_width(said, 11, true) <= kWidth - 2 - (at + 6);
    if (!room || !c.svg.label(at + 6, {top + kBarTop + 11}, said, 11, kWidth,
                              "font-weight=\"bold\"", at + 6))
      c.svg.label(at + 6, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]}, said, 11,
                  kWidth, "font-weight=\"bold\"");
    c.svg.add("</g>");
  }
}

}  // namespace

std::vector<Span> spans(const Record& record, Happening what, int lane, double end,
                        std::optional<std::string_view> name) {
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

void draw_lane(Canvas& c, int lane) {
  const Lane& who = c.record.lanes[lane];
  double top = c.lane_top[lane];
  c.svg.add("<g class=\"lane\" data-lane=\"" + escaped(who.label) + "\" data-pid=\"" +
            std::to_string(who.pid) + "\"" +
            (who.parent >= 0 ? " data-parent=\"" + escaped(c.record.lanes[who.parent].label) + "\""
                             : "") +
            ">");
  double indent = who.parent >= 0 ? 12 : 0;
  c.svg.add("<rect x=\"" + number(16 + indent) + "\" y=\"" + number(top + kBarTop) +
            "\" width=\"10\" height=\"" + number(kBarHeight) + "\" fill=\"" + c.hue(lane) + "\"/>");
  c.svg.text(32 + indent, top + kBarTop + 11, fitted(who.label, kLeft - 44 - indent, 13.5), 12,
             "fill=\"#222222\"", "start", true);
  if (who.pid > 0)
    c.svg.text(32 + indent, top + kBarTop + 26, "pid " + std::to_string(who.pid), 10,
               "fill=\"#777777\"");
  states(c, lane, top);
  c.svg.add("</g>");
}

// The printed lines, in two rows above the bar; a label that finds no
// room keeps its mark and its whole text on hover.
void draw_lines(Canvas& c, int lane) {
  double top = c.lane_top[lane];
  std::vector<const Event*> printed;
  for (auto& event : c.record.events)
    if (event.what == Happening::Line && event.lane == lane) printed.push_back(&event);
  for (size_t i = 0; i < printed.size(); i++) {
    const Event& line = *printed[i];
    double at = c.x(line.at);
    // The next line takes the other row; the one after, this row again:
    // each label runs at most to that one's mark.
    double room = i + 2 < printed.size() ? c.x(printed[i + 2]->at) - at - 6 : 300;
    const char* colour = line.error ? kSignal : kInk;
    size_t seq = static_cast<size_t>(&line - c.record.events.data());
    c.svg.add("<g class=\"line\" data-lane=\"" + escaped(c.label(lane)) + "\" data-at=\"" +
              number(line.at) + "\" data-seq=\"" + std::to_string(seq) + "\" data-text=\"" +
              escaped(line.text) + "\">");
    c.svg.add(
        "<title>" +
        escaped(seconds(line.at) + "  " + c.label(lane) + (line.error ? " ! " : " | ") + line.text +
                (line.amount ? "\u2026 (" + std::to_string(line.amount) + " bytes in all)" : "")) +
        "</title>");
    c.svg.add("<line x1=\"" + number(at) + "\" y1=\"" + number(top + 4) + "\" x2=\"" + number(at) +
              "\" y2=\"" + number(top + kBarTop) + "\" stroke=\"" + colour +
              "\" stroke-width=\"1\" stroke-opacity=\"0.6\"/>");
    c.svg.label(at + 2, {top + kLineRows[0], top + kLineRows[1]}, line.text, 11,
                std::clamp(room, 60.0, 300.0), std::string("fill=\"") + colour + "\"");
    c.svg.add("</g>");
  }
}

// Each signal as it was delivered: ignored, handled, or ending the program.
void draw_deliveries(Canvas& c, int lane) {
  double top = c.lane_top[lane];
  double bottom = top + kBarTop + kBarHeight;
  for (auto& delivery : c.record.events) {
    if (delivery.what != Happening::Delivery || delivery.lane != lane) continue;
    double at = c.x(delivery.at);
    std::string what = delivered(c.record, delivery);
    std::string said = delivery.text + " delivered" + (what.empty() ? "" : ": " + what);
    std::string sender =
        delivery.peer >= 0 ? ", sent by " + c.record.lanes[delivery.peer].label : "";
    c.svg.add("<g class=\"delivery\" data-lane=\"" + escaped(c.label(lane)) + "\" data-signal=\"" +
              escaped(delivery.text) + "\" data-at=\"" + number(delivery.at) + "\" data-caught=\"" +
              (delivery.caught ? "yes" : "no") + "\">");
    c.svg.add("<title>" + escaped(seconds(delivery.at) + ": " + said + sender) + "</title>");
    c.svg.add("<path d=\"M" + number(at) + "," + number(bottom + 1) +
              " l3,4 h-2 l2,5 l-6,-6 h2 z\" "
              "fill=\"" +
              std::string(kSignal) + "\"/>");
    if (what != "ends it")
      c.svg.label(at + 4, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]}, said, 10,
                  220, std::string("fill=\"") + kSignal + "\"");
    c.svg.add("</g>");
  }
}

void draw_calls(Canvas& c, int lane) {
  double top = c.lane_top[lane];
  double bottom = top + kBarTop + kBarHeight;
  for (auto& call : c.record.events) {
    if (call.what != Happening::Call || call.lane != lane) continue;
    double until = call.until >= 0 ? call.until : c.record.end;
    bool failed = !call.failed.empty();
    c.svg.add("<g class=\"call\" data-lane=\"" + escaped(c.label(lane)) + "\" data-call=\"" +
              escaped(call.call) + "\" data-target=\"" + escaped(call.target) + "\" data-text=\"" +
              escaped(call.text) + "\" data-bytes=\"" + escaped(in_quotes(call.bytes)) +
              "\" data-at=\"" + number(call.at) + "\" data-until=\"" + number(until) +
              "\" data-result=\"" +
              (call.cut         ? "cut"
               : call.until < 0 ? "open"
               : failed         ? call.failed
                                : std::to_string(call.value)) +
              "\">");
    std::string said = call.call + " " + call.text +
                       (call.target.empty() ? "" : " on " + call.target) + ", " + seconds(call.at) +
                       " to " + seconds(until) +
                       (call.cut         ? ", never returned: the process ended in it"
                        : call.until < 0 ? ", had not returned when the picture ends"
                        : failed         ? ", failed: " + call.failed
                                         : ", returned " + std::to_string(call.value));
    c.svg.add("<title>" + escaped(said) + "</title>");
    // Each wake from a sleep parts the bar, so that a loop of sleeps shows.
    if (call.call == "nanosleep" && call.until >= 0 && !call.cut)
      c.svg.add("<line x1=\"" + number(c.x(call.until)) + "\" y1=\"" + number(top + kBarTop) +
                "\" x2=\"" + number(c.x(call.until)) + "\" y2=\"" + number(bottom) +
                "\" stroke=\"#ffffff\" stroke-width=\"1.5\"/>");
    if (marked(c.record, call)) {
      const char* colour = failed ? kSignal : kInk;
      double at = c.x(call.at);
      c.svg.add("<path d=\"M" + number(at) + "," + number(bottom - 3) + " L" + number(at + 3.5) +
                "," + number(bottom + 1) + " L" + number(at) + "," + number(bottom + 5) + " L" +
                number(at - 3.5) + "," + number(bottom + 1) + " z\" fill=\"" + colour + "\"/>");
      double end = c.x(until);
      if (end - at > 4)
        c.svg.add("<line x1=\"" + number(at) + "\" y1=\"" + number(bottom + 1) + "\" x2=\"" +
                  number(end) + "\" y2=\"" + number(bottom + 1) + "\" stroke=\"" + colour +
                  "\" stroke-width=\"1.5\"/>");
      c.svg.label(at - 3, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]},
                  call_label(call), 10, call.call == "write" ? 520 : 240,
                  std::string("fill=\"") + colour + "\"");
    }
    c.svg.add("</g>");
  }
}

// Bands in the strip under the bar: who holds the lock, a handler's run;
// a signal pending is drawn over the bar itself.
void draw_bands(Canvas& c, int lane) {
  double top = c.lane_top[lane];
  for (auto& band : c.relations.bands) {
    if (band.lane != lane) continue;
    double left = c.x(band.from), width = std::max(2.0, c.x(band.to) - left);
    bool pending = band.kind == "pending";
    const Style& style = style_of(band.kind);
    c.svg.add("<g class=\"band\" data-kind=\"" + band.kind + "\" data-lane=\"" +
              escaped(c.label(lane)) + "\" data-from=\"" + number(band.from) + "\" data-to=\"" +
              number(band.to) + "\">");
    c.svg.add("<title>" +
              escaped(c.label(lane) + ": " + band.label + ", " + seconds(band.from) + " to " +
                      seconds(band.to)) +
              "</title>");
    if (pending) {
      c.svg.add("<rect x=\"" + number(left) + "\" y=\"" + number(top + kBarTop - 3) +
                "\" width=\"" + number(width) + "\" height=\"" + number(kBarHeight + 6) +
                "\" fill=\"url(#pending)\" fill-opacity=\"0.8\" stroke=\"" + style.colour + "\"/>");
      c.svg.label(left + 3, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]},
                  band.label + " until it is delivered", 10, std::max(width, style.label_width),
                  std::string("fill=\"") + style.colour + "\"");
    } else {
      const char* colour = style.colour;
      c.svg.add("<rect x=\"" + number(left) + "\" y=\"" + number(top + kStripTop) + "\" width=\"" +
                number(width) + "\" height=\"" + number(kStripHeight) + "\" fill=\"" + colour +
                "\" fill-opacity=\"0.25\" stroke=\"" + colour + "\"/>");
      std::string inside = fitted(band.label, width - 6, 10);
      if (inside.empty()) inside = fitted(style.short_label, width - 6, 10);
      c.svg.text(left + 3, top + kStripTop + 9.5, inside, 10, "fill=\"#222222\"");
    }
    c.svg.add("</g>");
  }
}

// What the person did, each in its own row above the lanes, naming the
// program it went to; the mark itself sits on that program's lane.
void draw_person(Canvas& c) {
  double top = c.person_top;
  c.svg.add("<g class=\"person\">");
  c.svg.text(16, top + 20, "you", 12, "fill=\"#222222\"", "start", true);
  c.svg.text(16, top + 34, "keys and signals", 10, "fill=\"#777777\"");
  for (auto& event : c.record.events) {
    bool key = event.what == Happening::Key;
    if (!key && event.what != Happening::Signal) continue;
    double at = c.x(event.at);
    const char* colour = key ? kInk : kSignal;
    const std::string& to = c.record.lanes[event.lane].label;
    c.svg.add(std::string("<g class=\"") + (key ? "key" : "signal") + "\" data-at=\"" +
              number(event.at) + "\" data-to=\"" + escaped(to) + "\" data-label=\"" +
              escaped(event.text) + "\">");
    c.svg.add("<title>" + escaped(seconds(event.at) + ": " + event.narration) + "</title>");
    c.svg.add("<line x1=\"" + number(at) + "\" y1=\"" + number(top + 4) + "\" x2=\"" + number(at) +
              "\" y2=\"" + number(top + 40) + "\" stroke=\"" + colour + "\" stroke-width=\"1.5\"" +
              (key ? "" : " stroke-dasharray=\"4 2\"") + "/>");
    c.svg.label(at + 3, {top + 14, top + 28, top + 40}, event.text + " \u2192 " + to, 11, 220,
                std::string("fill=\"") + colour + "\"");
    // On the lane it went to: a mark at the top of its bar.
    double bar = c.lane_top[event.lane] + kBarTop;
    c.svg.add("<path d=\"M" + number(at - 4) + "," + number(bar - 6) + " L" + number(at + 4) + "," +
              number(bar - 6) + " L" + number(at) + "," + number(bar) + " z\" fill=\"" + colour +
              "\"/>");
    c.svg.add("</g>");
  }
  c.svg.add("</g>");
}

}  // namespace kit::draw
