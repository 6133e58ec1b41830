// Reading the kit's pictures back as a test would: every element of an SVG
// file with its attributes, after checking that the file is well formed.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kit {

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;  // the character data up to the next tag, unescaped
  double number(const std::string& attribute) const;
  bool is(const std::string& class_name) const;
};

// The elements in document order; none when the XML is not well formed
// (tags unbalanced or misnested, an attribute repeated or unquoted).
std::optional<std::vector<Element>> parse_svg(const std::string& xml);

// The elements of class `class_name`, and of those, the ones whose
// `attribute` is `value`.
std::vector<Element> of_class(const std::vector<Element>& all, const std::string& class_name,
                              const std::string& attribute = "", const std::string& value = "");

}  // namespace kit
