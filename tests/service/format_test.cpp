#include <gtest/gtest.h>

#include <string>

#include "common/debug_log.h"

namespace {

std::u16string Format(const char16_t* format, ...) {
  char16_t buffer[DebugLogCapacity];
  std::va_list args;
  va_start(args, format);
  FormatWide(buffer, DebugLogCapacity, format, args);
  va_end(args);
  return buffer;
}

TEST(DebugLogFormat, ConvertsEachSpecifierLikeWidePrintf) {
  EXPECT_EQ(Format(u"%s = %d , %I64d , %I64d", u"C:", 1234, std::int64_t(5368709120), std::int64_t(43486543872)),
            u"C: = 1234 , 5368709120 , 43486543872");
  EXPECT_EQ(Format(u"%c:", int(u'Z')), u"Z:");
  EXPECT_EQ(Format(u"%d %I64d", -7, std::int64_t(INT64_MIN)), u"-7 -9223372036854775808");
  EXPECT_EQ(Format(u"100%% %u", 4000000000u), u"100% 4000000000");
  EXPECT_EQ(Format(u"----- %s Compress Start \n", u"D:"), u"----- D: Compress Start \n");
}

TEST(DebugLogFormat, CutsLongOutputAt1023Characters) {
  std::u16string longName(3000, u'x');
  std::u16string line = Format(u"[%s]", longName.c_str());
  ASSERT_EQ(line.size(), 1023u);
  EXPECT_EQ(line.front(), u'[');
  EXPECT_EQ(line.back(), u'x');
}

TEST(DebugLogFormat, SmallBufferAlwaysTerminated) {
  char16_t small[4];
  EXPECT_EQ(FormatWide(small, 4, u"%s", u"abcdef"), 3u);
  EXPECT_EQ(std::u16string(small), u"abc");
}

}  // namespace
