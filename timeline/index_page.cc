#include <string>

#include "drawing.h"
#include "svg_text.h"

namespace kit {

using draw::escaped;

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
