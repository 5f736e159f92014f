// UTF-8 <-> UTF-16 conversion of the Windows layers: names cross it on
// every request, so malformed input must be refused, never mangled.
#include "unicode.h"

#include <gtest/gtest.h>

namespace {

TEST(Unicode, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE3\x83\x9B\xE3\x83\xBC\xE3\x83\xA0\xF0\x9F\x98\x80z";  // a é ホーム 😀 z
  std::u16string wide;
  ASSERT_TRUE(win32::Utf8ToUtf16(text, wide));
  EXPECT_EQ(wide, u"a\u00e9\u30db\u30fc\u30e0\U0001F600z");
  EXPECT_EQ(wide.size(), 8u) << "the emoji is a surrogate pair";
  std::string back;
  ASSERT_TRUE(win32::Utf16ToUtf8(wide, back));
  EXPECT_EQ(back, text);
  EXPECT_EQ(win32::WideLength(wide.c_str()), 8u);
  EXPECT_EQ(win32::WideLength(nullptr), 0u);
}

TEST(Unicode, RejectsMalformedUtf8) {
  std::u16string out = u"untouched";
  for (const char* bad : {"\x80", "\xC3", "\xE3\x83", "\xC0\xAF" /* overlong "/" */,
                          "\xED\xA0\x80" /* encoded surrogate */, "\xF4\x90\x80\x80" /* > U+10FFFF */,
                          "\xFF", "ok\xC3("}) {
    EXPECT_FALSE(win32::Utf8ToUtf16(bad, out)) << bad;
    EXPECT_TRUE(out.empty());
  }
}

TEST(Unicode, RejectsUnpairedSurrogates) {
  std::string out;
  const char16_t lowFirst[] = {u'a', 0xDC00, 0};
  const char16_t highAlone[] = {u'a', 0xD800, 0};
  const char16_t highThenChar[] = {0xD800, u'b', 0};
  EXPECT_FALSE(win32::Utf16ToUtf8(lowFirst, out));
  EXPECT_FALSE(win32::Utf16ToUtf8(highAlone, out));
  EXPECT_FALSE(win32::Utf16ToUtf8(highThenChar, out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(win32::ToUtf8(highAlone), "");
}

TEST(Unicode, BoundariesOfEachLength) {
  for (char32_t cp : {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::string utf8;
    win32::AppendUtf8(utf8, cp);
    std::u16string wide;
    ASSERT_TRUE(win32::Utf8ToUtf16(utf8, wide)) << std::hex << cp;
    std::string back;
    ASSERT_TRUE(win32::Utf16ToUtf8(wide, back));
    EXPECT_EQ(back, utf8);
  }
}

}  // namespace
