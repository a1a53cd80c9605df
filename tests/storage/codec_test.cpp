#include "storage/codec.h"

#include <gtest/gtest.h>

namespace sorrelon {
namespace {

TEST(Codec, Gb18030AndUtf8) {
  const std::string text = "无效文件头";
  const std::string gbk = "\xCE\xDE\xD0\xA7\xCE\xC4\xBC\xFE\xCD\xB7";
  EXPECT_EQ(Utf8ToGb18030(text), gbk);
  EXPECT_EQ(Gb18030ToUtf8(gbk), text);
  const std::string mixed = "D:\\数据\\a.mdf(1.00 MB)|€😀";  // beyond GBK: four-byte GB18030
  auto there = Utf8ToGb18030(mixed);
  ASSERT_TRUE(there);
  EXPECT_EQ(Gb18030ToUtf8(*there), mixed);
  EXPECT_EQ(Gb18030ToUtf8(""), "");
  EXPECT_FALSE(Gb18030ToUtf8("\xCE"));            // a lead byte without its trail
  EXPECT_FALSE(Utf8ToGb18030("\xE6\x97"));        // truncated UTF-8
  EXPECT_FALSE(Utf8ToGb18030("a\xFF" "b"));       // not UTF-8 at all
}

}  // namespace
}  // namespace sorrelon
