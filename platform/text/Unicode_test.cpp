#include "text/Unicode.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(Unicode, DecomposesComposedCharacters) {
  // "é" composed (U+00E9) becomes "e" + U+0301.
  EXPECT_EQ(decomposed("/Volumes/share/caf\xC3\xA9.txt"), "/Volumes/share/cafe\xCC\x81.txt");
  EXPECT_EQ(decomposed("cafe\xCC\x81"), "cafe\xCC\x81");  // already decomposed
  EXPECT_EQ(decomposed("plain/ascii"), "plain/ascii");
  EXPECT_EQ(decomposed("bad\xFF"), "bad\xFF");
  EXPECT_EQ(decomposed(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace platform::text
