#include "catalogue/fragment.h"

#include <gtest/gtest.h>

#include "catalogue/lists.h"

namespace sorrelon {
namespace {

TEST(FragmentRecord, LineRoundTripAndFields) {
  Fragment f{1, 1000, 1048, 24, 8, 11, " ", true};
  EXPECT_EQ(f.ToLine(), "1|1000|1048|24|8|11| |Y|");
  EXPECT_EQ(FieldOf(f.ToLine(), 1), "1");
  EXPECT_EQ(FieldOf(f.ToLine(), 7), " ");
  EXPECT_EQ(FieldOf(f.ToLine(), 8), "Y");
  EXPECT_EQ(FieldOf(f.ToLine(), 9), "");
  auto back = Fragment::FromLine(f.ToLine());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->ToLine(), f.ToLine());
  EXPECT_EQ(back->Pages(), 3);
}

TEST(FragmentRecord, RejectsMalformedLines) {
  for (const char* bad : {"", "1|2|3|4|5|6| |Y", "x|2|3|4|5|6| |Y|", "1|2|3|4|5|6|Y|", "1|2|3|4|5|99999999999| |Y|"})
    EXPECT_FALSE(Fragment::FromLine(bad)) << bad;
  auto hidden = Fragment::FromLine("7|0|16|8|0|1|D:\\a.mdf(1.00 MB)| N |");
  ASSERT_TRUE(hidden);
  EXPECT_FALSE(hidden->visible);
  EXPECT_EQ(hidden->remark, "D:\\a.mdf(1.00 MB)");
}

}  // namespace
}  // namespace sorrelon
