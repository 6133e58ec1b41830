#include "visible.h"

#include <gtest/gtest.h>

namespace kit {
namespace {

// Each edge of UTF-8, at each byte: what a character is stays, what could
// be taken for one, or moves the terminal, shows as '?'.
TEST(VisibleTest, KeepsCharactersAndMarksEveryOtherByte) {
  // Printable ASCII whole; C0 and DEL each one '?'.
  EXPECT_EQ(visible("a b~\t\x1b[2J\x7f"), "a b~??[2J?");
  // The smallest and largest of each length, and the last before U+FFFE.
  EXPECT_EQ(visible("\xc2\xa0|\xdf\xbf|\xe0\xa0\x80|\xef\xbd\xa1|\xef\xbf\xbd|\xf0\x90\x80\x80|"
                    "\xf4\x8f\xbf\xbf"),
            "\xc2\xa0|\xdf\xbf|\xe0\xa0\x80|\xef\xbd\xa1|\xef\xbf\xbd|\xf0\x90\x80\x80|"
            "\xf4\x8f\xbf\xbf");
  // C1 controls; overlong forms; surrogates; past U+10FFFF; U+FFFE and
  // U+FFFF; leads that begin nothing: one '?' for each byte not taken.
  EXPECT_EQ(visible("\xc2\x80|\xc2\x9f|\xc1\xbf|\xe0\x9f\xbf|\xed\xa0\x80|\xf0\x8f\xbf\xbf|"
                    "\xf4\x90\x80\x80|\xef\xbf\xbe|\xef\xbf\xbf|\xf5\x80\x80\x80|\xff"),
            "?|?|??|???|???|????|????|???|???|????|?");
  // A character cut short by the end, or by a byte that does not continue it.
  EXPECT_EQ(visible("\xe2\x82"), "??");
  EXPECT_EQ(visible("\xe2\x82x"), "??x");
}

}  // namespace
}  // namespace kit
