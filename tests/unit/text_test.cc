// Bounded text helpers: never write past the capacity, always terminate,
// report a cut.
#include <gtest/gtest.h>

#include <string>

#include "base/text.h"

namespace {

struct AppendCase {
  const char* name;
  std::u16string start;
  const char* source;
  size_t capacity;
  std::u16string expected;
  int cut;
};

TEST(BoundedText, AppendCutsAtCapacityAndTerminates) {
  const AppendCase cases[] = {
      {"fits", u"ab", "cd", 8, u"abcd", 0},
      {"exactly fits", u"ab", "cd", 5, u"abcd", 0},
      {"one short", u"ab", "cd", 4, u"abc", 1},
      {"full already", u"abc", "d", 4, u"abc", 1},
      {"empty source", u"abc", "", 4, u"abc", 0},
      {"capacity one", u"", "x", 1, u"", 1},
  };
  for (const AppendCase& c : cases) {
    for (int wide = 0; wide < 2; ++wide) {
      // Guard units after the capacity catch any write past it.
      Char16 buffer[16];
      for (Char16& unit : buffer) unit = 0x7777;
      for (size_t i = 0; i < c.start.size(); ++i) buffer[i] = c.start[i];
      buffer[c.start.size()] = 0;
      std::u16string source(c.source, c.source + std::char_traits<char>::length(c.source));
      int result = wide ? AppendText(buffer, c.capacity, source.c_str())
                        : AppendAscii(buffer, c.capacity, c.source);
      EXPECT_EQ(result, c.cut) << c.name << (wide ? " (UTF-16)" : " (8-bit)");
      EXPECT_EQ(std::u16string(buffer), c.expected) << c.name;
      for (size_t i = c.capacity; i < 16; ++i) EXPECT_EQ(buffer[i], 0x7777) << c.name << " at " << i;
    }
  }
}

TEST(BoundedText, UnterminatedDestinationCountsAsFull) {
  Char16 buffer[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(AppendText(buffer, 4, u"x"), 1);
  EXPECT_EQ(buffer[3], 0);
  EXPECT_EQ(std::u16string(buffer), u"abc");
}

TEST(BoundedText, CopyReplacesAndWidensHighBytesWithoutSignExtension) {
  Char16 buffer[8] = {'z', 'z', 0};
  EXPECT_EQ(CopyText(buffer, 8, u"new"), 0);
  EXPECT_EQ(std::u16string(buffer), u"new");
  EXPECT_EQ(AppendAscii(buffer, 8, "\xE9"), 0);
  EXPECT_EQ(buffer[3], 0x00E9);
  EXPECT_EQ(CopyText(buffer, 0, u"x"), 1);
}

}  // namespace
