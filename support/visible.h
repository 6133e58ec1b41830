// Text that came from another process, made safe to show on a terminal, as
// ps and ls do: a control character (C0, DEL, or C1 in UTF-8) or a byte of
// broken UTF-8 shows as '?', so that no name or line can move the cursor,
// retitle the window or clear the screen of whoever watches.
#pragma once

#include <string>
#include <string_view>

namespace kit {

inline std::string visible(std::string_view text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      shown += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
      i++;
      continue;
    }
    size_t length = c >= 0xf0 && c < 0xf5 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
    bool whole = length > 0 && i + length <= text.size();
    for (size_t k = 1; whole && k < length; k++)
      whole = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
    // U+0080 to U+009F are the C1 controls, two bytes from 0xc2.
    bool control = whole && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
    if (!whole || control) {
      shown += '?';
      i += control ? 2 : 1;
      continue;
    }
    shown += text.substr(i, length);
    i += length;
  }
  return shown;
}

}  // namespace kit
