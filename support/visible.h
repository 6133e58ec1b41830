// Text that came from another process, made safe to show on a terminal, as
// ps and ls do: a control character (C0, DEL, or C1 in UTF-8) or a byte of
// broken UTF-8 shows as '?', so that no name or line can move the cursor,
// retitle the window or clear the screen of whoever watches.
#pragma once

#include <string>
#include <string_view>

namespace kit {

// The length of the UTF-8 character at the start of `text`, or 0 where it
// is broken or not one that XML takes: an overlong form, a surrogate, a
// code point past U+10FFFF, U+FFFE or U+FFFF.
inline size_t utf8_length(std::string_view text) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  size_t length = lead >= 0xf5 ? 0 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
  if (length == 0 || length > text.size()) return 0;
  for (size_t i = 1; i < length; i++)
    if ((byte(i) & 0xc0) != 0x80) return 0;
  unsigned char second = byte(1);
  if ((lead == 0xe0 && second < 0xa0) || (lead == 0xf0 && second < 0x90) ||
      (lead == 0xed && second >= 0xa0) || (lead == 0xf4 && second >= 0x90) ||
      (lead == 0xef && second == 0xbf && byte(2) >= 0xbe))
    return 0;
  return length;
}

// Adds `text` to `shown`, made safe: a run of printable ASCII, what most
// of a log is, goes in whole.
inline void append_visible(std::string& shown, std::string_view text) {
  auto plain = [](unsigned char c) { return c >= 0x20 && c < 0x7f; };
  for (size_t i = 0; i < text.size();) {
    size_t run = i;
    while (run < text.size() && plain(static_cast<unsigned char>(text[run]))) run++;
    shown.append(text, i, run - i);
    if ((i = run) == text.size()) break;
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      shown += '?';
      i++;
      continue;
    }
    size_t length = utf8_length(text.substr(i));
    // U+0080 to U+009F are the C1 controls, two bytes from 0xc2.
    bool control = length && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
    if (!length || control) {
      shown += '?';
      i += control ? 2 : 1;
      continue;
    }
    shown += text.substr(i, length);
    i += length;
  }
}

inline std::string visible(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  append_visible(shown, text);
  return shown;
}

}  // namespace kit
