#include <string>

#include "canvas.h"

namespace kit::draw {

void draw_arrows(Canvas& c) {
  for (auto& arrow : c.relations.arrows) {
    // From the segment's row, under the lanes (the one track a change is
    // seen from), or a lane.
    bool track = arrow.from_lane < 0;
    double x1 = c.x(arrow.from), x2 = c.x(arrow.to);
    bool down = !track && c.lane_top[arrow.to_lane] > c.lane_top[arrow.from_lane];
    double y1 = track ? c.segment_row + 2
                      : c.bar_middle(arrow.from_lane) + (down ? kBarHeight / 2 : -kBarHeight / 2);
    double y2 = c.bar_middle(arrow.to_lane) + (down ? -kBarHeight / 2 - 1 : kBarHeight / 2 + 1);
    if (arrow.kind == "fork") y2 = c.bar_middle(arrow.to_lane), x2 += 6;
    const Style& style = style_of(arrow.kind);
    const char* colour = style.colour;
    const std::string& from = track ? c.record.object : c.record.lanes[arrow.from_lane].label;
    c.svg.add("<g class=\"arrow\" data-kind=\"" + arrow.kind + "\" data-from-lane=\"" +
              escaped(from) + "\" data-to-lane=\"" + escaped(c.record.lanes[arrow.to_lane].label) +
              "\" data-from=\"" + number(arrow.from) + "\" data-to=\"" + number(arrow.to) +
              "\" data-label=\"" + escaped(arrow.label) + "\">");
    c.svg.add("<title>" +
              escaped(from + ": " + arrow.label + ", " + seconds(arrow.from) + " to " +
                      seconds(arrow.to)) +
              "</title>");
    std::string path =
        arrow.kind == "fork"
            ? "M" + number(x1) + "," + number(y1) + " L" + number(x1) + "," + number(y2) + " L" +
                  number(x2) + "," + number(y2)
            : "M" + number(x1) + "," + number(y1) + " L" + number(x2) + "," + number(y2);
    c.svg.add("<path d=\"" + path + "\" fill=\"none\" stroke=\"" + colour +
              "\" stroke-width=\"1.8\"" +
              (*style.dash ? std::string(" stroke-dasharray=\"") + style.dash + "\"" : "") +
              " marker-end=\"url(#arrow)\"/>");
    // The label in the rows of the lane the arrow leaves, by its foot.
    double top = c.lane_top[track ? arrow.to_lane : arrow.from_lane];
    c.svg.label(x1 + 4, {top + kCallRows[0], top + kCallRows[1], top + kCallRows[2]}, arrow.label,
                10, style.label_width, std::string("fill=\"") + colour + "\"");
    c.svg.add("</g>");
  }
  for (auto& meeting : c.relations.rendezvous) {
    int upper = c.lane_top[meeting.lanes[0]] < c.lane_top[meeting.lanes[1]] ? meeting.lanes[0]
                                                                            : meeting.lanes[1];
    int lower = upper == meeting.lanes[0] ? meeting.lanes[1] : meeting.lanes[0];
    double at = c.x(meeting.at);
    c.svg.add("<g class=\"rendezvous\" data-fifo=\"" + escaped(meeting.fifo) + "\" data-at=\"" +
              number(meeting.at) + "\">");
    c.svg.add("<title>" +
              escaped("both ends of " + meeting.fifo + " open: the opens complete together, " +
                      seconds(meeting.at)) +
              "</title>");
    c.svg.add("<line x1=\"" + number(at) + "\" y1=\"" + number(c.bar_middle(upper)) + "\" x2=\"" +
              number(at) + "\" y2=\"" + number(c.bar_middle(lower)) + "\" stroke=\"" + kFaint +
              "\" stroke-width=\"1.5\" stroke-dasharray=\"2 2\"/>");
    for (int lane : {upper, lower})
      c.svg.add("<circle cx=\"" + number(at) + "\" cy=\"" + number(c.bar_middle(lane)) +
                "\" r=\"3.5\" fill=\"#ffffff\" stroke=\"" + kInk + "\"/>");
    c.svg.add("</g>");
  }
}

}  // namespace kit::draw
