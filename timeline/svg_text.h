// The picture's text: numbers and seconds as written into it, markup
// escaped, widths as a browser sets them, and a register of the labels set
// so far, each kept clear of every other one.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "page.h"

namespace kit::draw {

// Seconds as a reader wants them, in a tooltip.
std::string seconds(double value);
// Microseconds, so that the order of close moments survives in the data.
std::string number(double value);
// Text as XML takes it: markup escaped, and control characters and broken
// UTF-8 shown as '?', so that any program output leaves the file well formed.
std::string escaped(std::string_view text);
// How wide `text` sets at `size` pixels, erring wide.
double text_width(std::string_view text, double size, bool bold = false);
// At most `width` pixels of text, cut with an ellipsis; "" when that would
// leave too little to read.
std::string fitted(std::string_view text, double width, double size = 11);
// Words wrapped into lines of at most `width` characters.
std::vector<std::string> wrapped(std::string_view text, size_t width);

struct Box {
  double left, top, right, bottom;
  bool meets(const Box& other) const {
    return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
  }
};

class Svg {
 public:
  void add(const std::string& element) { body_ += element + "\n"; }

  // Where a label of `words` at (`x`, baseline `y`) would lie.
  static Box box(double x, double y, std::string_view words, double size, bool bold,
                 std::string_view anchor);
  bool clear(const Box& wanted) const;

  // Sets a label where nothing else lies: false, and nothing set, otherwise.
  bool text(double x, double y, std::string_view words, double size, const std::string& style = "",
            const std::string& anchor = "start", bool bold = false);
  // The first of `rows` (baselines) where the label fits, from `x`, cut to
  // at most `width` pixels; the width it took, or 0 where none had room.
  // Near the right edge, or where the right is taken, it may run leftwards
  // from `x` instead, never past `least`.
  double label(double x, std::initializer_list<double> rows, std::string_view words, double size,
               double width, const std::string& style = "", double least = kLeft);
  std::string take() { return std::move(body_); }

 private:
  std::string body_;
  std::vector<Box> taken_;
};

}  // namespace kit::draw
