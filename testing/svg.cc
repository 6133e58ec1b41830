#include "svg.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace kit {
namespace {

std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    size_t end = text.find(';', i);
    std::string entity = text.substr(i + 1, end - i - 1);
    out += entity == "amp" ? "&" : entity == "lt" ? "<" : entity == "gt" ? ">" : "\"";
    i = end;
  }
  return out;
}

// Whether `value` is a number and nothing else.
bool numeric(const std::string& value) {
  char* end = nullptr;
  strtod(value.c_str(), &end);
  return !value.empty() && end == value.c_str() + value.size();
}

bool colour(const std::string& value) {
  static const std::regex kColour(
      "#[0-9a-fA-F]{3}|#[0-9a-fA-F]{6}|none|context-stroke|url\\(#[\\w-]+\\)");
  return std::regex_match(value, kColour);
}

// A path as the kit writes it: moves and lines by an x,y pair, horizontal
// and vertical lines by one number, absolute or relative, closes; apart by
// spaces. A browser draws nothing of one that does not begin with a move.
bool path_data(const std::string& d) {
  std::istringstream words(d);
  std::string word;
  bool any = false;
  while (words >> word) {
    if (!any && word[0] != 'M' && word[0] != 'm') return false;
    std::string rest = word.substr(1);
    size_t comma = rest.find(',');
    switch (word[0]) {
      case 'M':
      case 'L':
      case 'm':
      case 'l':
        if (comma == std::string::npos || !numeric(rest.substr(0, comma)) ||
            !numeric(rest.substr(comma + 1)))
          return false;
        break;
      case 'H':
      case 'V':
      case 'h':
      case 'v':
        if (!numeric(rest)) return false;
        break;
      case 'z':
      case 'Z':
        if (!rest.empty()) return false;
        break;
      default:
        return false;
    }
    any = true;
  }
  return any;
}

// A path's first point outside the picture's box, as "x,y", or "" where it
// stays within: a line meant absolute but written relative runs off it.
std::string outside(const std::string& d, const std::array<double, 4>& box) {
  std::istringstream words(d);
  std::string word;
  double x = 0, y = 0;
  while (words >> word) {
    unsigned char c = word[0];
    bool relative = islower(c);
    double a = strtod(word.c_str() + 1, nullptr);
    size_t comma = word.find(',');
    double b = comma == std::string::npos ? 0 : strtod(word.c_str() + comma + 1, nullptr);
    switch (toupper(c)) {
      case 'M':
      case 'L':
        x = relative ? x + a : a;
        y = relative ? y + b : b;
        break;
      case 'H':
        x = relative ? x + a : a;
        break;
      case 'V':
        y = relative ? y + a : a;
        break;
      default:
        continue;
    }
    if (x < box[0] - 0.5 || x > box[0] + box[2] + 0.5 || y < box[1] - 0.5 ||
        y > box[1] + box[3] + 0.5)
      return std::to_string(x) + "," + std::to_string(y);
  }
  return "";
}

// What a browser would not draw as meant: an attribute SVG does not have,
// a colour, anchor or number it cannot read. An SVG element's attributes
// only; the page around an inline picture is HTML.
std::string unreadable(const Element& element) {
  static const std::set<std::string> kElements = {"svg",  "defs", "pattern", "marker", "path",
                                                  "rect", "line", "circle",  "text",   "g"};
  static const std::set<std::string> kNumbers = {
      "x",           "y",           "x1",        "y1",           "x2",           "y2",
      "cx",          "cy",          "r",         "width",        "height",       "refX",
      "refY",        "markerWidth", "font-size", "stroke-width", "fill-opacity", "stroke-opacity",
      "markerHeight"};
  static const std::map<std::string, std::regex> kWords = {
      {"text-anchor", std::regex("start|middle|end")},
      {"font-weight", std::regex("bold|normal")},
      {"font-style", std::regex("italic|normal")},
      {"orient", std::regex("auto|auto-start-reverse|[0-9.]+")},
      {"marker-end", std::regex("url\\(#[\\w-]+\\)")},
      {"stroke-dasharray", std::regex("[0-9.]+([ ,][0-9.]+)*")},
      {"viewBox", std::regex("-?[0-9.]+ -?[0-9.]+ [0-9.]+ [0-9.]+")},
      {"patternUnits", std::regex("userSpaceOnUse|objectBoundingBox")},
      {"patternTransform", std::regex("rotate\\(-?[0-9.]+\\)")},
      {"class", std::regex("[a-z-]+")},
      {"id", std::regex("[\\w-]+")},
      {"font-family", std::regex("[\\w ,-]+")},
      {"xmlns", std::regex("http://www.w3.org/2000/svg")},
  };
  if (!kElements.count(element.name)) return "";
  for (auto& [name, value] : element.attributes) {
    if (name.starts_with("data-")) continue;
    bool read = kNumbers.count(name)                 ? numeric(value)
                : name == "fill" || name == "stroke" ? colour(value)
                : name == "d"                        ? path_data(value)
                : kWords.count(name)                 ? std::regex_match(value, kWords.at(name))
                                                     : false;
    if (!read) return "<" + element.name + " " + name + "=\"" + value + "\">";
  }
  return "";
}

}  // namespace

double Element::number(const std::string& attribute) const {
  auto found = attributes.find(attribute);
  return found == attributes.end() ? -1 : strtod(found->second.c_str(), nullptr);
}

bool Element::is(const std::string& class_name) const {
  auto found = attributes.find("class");
  return found != attributes.end() && found->second == class_name;
}

std::optional<std::vector<Element>> parse_svg(const std::string& xml) {
  std::vector<Element> all;
  std::vector<std::string> open;
  std::optional<std::array<double, 4>> box;  // the picture's: x, y, width, height
  size_t at = 0;
  while ((at = xml.find('<', at)) != std::string::npos) {
    size_t end = xml.find('>', at);
    if (end == std::string::npos) return std::nullopt;
    std::string tag = xml.substr(at + 1, end - at - 1);
    size_t text_end = xml.find('<', end);
    std::string text = unescaped(xml.substr(end + 1, text_end - end - 1));
    at = end + 1;
    if (tag.starts_with('?') || tag.starts_with('!')) continue;
    if (tag.starts_with('/')) {
      if (open.empty() || open.back() != tag.substr(1)) return std::nullopt;
      open.pop_back();
      continue;
    }
    bool empty = tag.ends_with('/');
    if (empty) tag.pop_back();
    Element element;
    size_t i = tag.find_first_of(" \n");
    element.name = tag.substr(0, i);
    while (i != std::string::npos && (i = tag.find_first_not_of(" \n", i)) != std::string::npos) {
      size_t equals = tag.find('=', i);
      if (equals == std::string::npos || tag[equals + 1] != '"') return std::nullopt;
      size_t close = tag.find('"', equals + 2);
      if (close == std::string::npos) return std::nullopt;
      std::string name = tag.substr(i, equals - i);
      if (!element.attributes.emplace(name, unescaped(tag.substr(equals + 2, close - equals - 2)))
               .second)
        return std::nullopt;
      i = close + 1;
    }
    element.text = text;
    if (std::string wrong = unreadable(element); !wrong.empty()) {
      fprintf(stderr, "not drawn as meant: %s\n", wrong.c_str());
      return std::nullopt;
    }
    if (element.name == "svg" && element.attributes.count("viewBox")) {
      std::istringstream numbers(element.attributes.at("viewBox"));
      box.emplace();
      for (double& n : *box) numbers >> n;
    }
    // A marker's or a pattern's path is in its own small frame.
    bool framed = std::find(open.begin(), open.end(), "marker") != open.end() ||
                  std::find(open.begin(), open.end(), "pattern") != open.end();
    if (element.name == "path" && box && !framed) {
      if (std::string point = outside(element.attributes["d"], *box); !point.empty()) {
        fprintf(stderr, "a path leaves the picture at %s\n", point.c_str());
        return std::nullopt;
      }
    }
    if (!empty) open.push_back(element.name);
    all.push_back(std::move(element));
  }
  if (!open.empty()) return std::nullopt;
  return all;
}

std::vector<Element> of_class(const std::vector<Element>& all, const std::string& class_name,
                              const std::string& attribute, const std::string& value) {
  std::vector<Element> found;
  for (auto& element : all)
    if (element.is(class_name) &&
        (attribute.empty() ||
         (element.attributes.count(attribute) && element.attributes.at(attribute) == value)))
      found.push_back(element);
  return found;
}

}  // namespace kit
