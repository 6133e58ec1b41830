#include "svg_text.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "visible.h"

namespace kit::draw {
namespace {

constexpr size_t kLeastShown = 4;  // a label cut shorter than this is left out

}  // namespace

std::string seconds(double value) {
  std::array<char, 32> text;
  snprintf(text.data(), text.size(), value < 0.1 && value > 0 ? "%.4f s" : "%.2f s", value);
  return text.data();
}

std::string number(double value) {
  std::array<char, 32> text;
  snprintf(text.data(), text.size(), "%.6f", value);
  std::string shown = text.data();
  while (shown.back() == '0') shown.pop_back();
  if (shown.back() == '.') shown.pop_back();
  if (shown == "-0") shown = "0";
  return shown;
}

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

// From the widths of DejaVu Sans: labels kept apart here stay apart in a
// browser.
double text_width(std::string_view text, double size, bool bold) {
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

std::string fitted(std::string_view text, double width, double size) {
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

Box Svg::box(double x, double y, std::string_view words, double size, bool bold,
             std::string_view anchor) {
  double width = text_width(words, size, bold);
  double left = anchor == "end" ? x - width : anchor == "middle" ? x - width / 2 : x;
  return {left - 1, y - 0.95 * size, left + width + 1, y + 0.26 * size};
}

bool Svg::clear(const Box& wanted) const {
  return std::none_of(taken_.begin(), taken_.end(), [&](const Box& b) { return b.meets(wanted); });
}

bool Svg::text(double x, double y, std::string_view words, double size, const std::string& style,
               const std::string& anchor, bool bold) {
  if (words.empty()) return false;
  Box wanted = box(x, y, words, size, bold, anchor);
  if (!clear(wanted)) return false;
  taken_.push_back(wanted);
  add("<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" font-size=\"" + number(size) +
      "\" text-anchor=\"" + anchor + "\"" + (bold ? " font-weight=\"bold\"" : "") +
      (style.empty() ? "" : " " + style) + ">" + escaped(words) + "</text>");
  return true;
}

double Svg::label(double x, std::initializer_list<double> rows, std::string_view words, double size,
                  double width, const std::string& style, double least) {
  // The whole text first, to the right, then to the left, in any row;
  // only then cut shorter.
  for (double scale = 1; scale > 0.1; scale *= 0.6) {
    for (bool leftwards : {false, true}) {
      for (double y : rows) {
        double edge = leftwards ? x - least : kWidth - 2 - x;
        double room = std::min(width, edge) * scale;
        if (room < 20) continue;
        std::string shown = fitted(words, room, size);
        if (scale < 1 && shown.size() == words.size()) continue;  // tried whole already
        // Cut by the edge of the page while the other way may hold it whole.
        if (scale == 1 && edge < width && shown.size() < words.size()) continue;
        if (!shown.empty() && text(x, y, shown, size, style, leftwards ? "end" : "start"))
          return text_width(shown, size);
      }
    }
  }
  return 0;
}

}  // namespace kit::draw
