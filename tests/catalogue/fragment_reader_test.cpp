// Fragment reads address their sectors in 64 bits: page k of a fragment of
// more than 2^27 pages (over 1 TB) is read where it lies, and a start sector
// from a file that would overflow the sum is refused, not wrapped.
#include "catalogue/fragment_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace sorrelon {
namespace {

// Records where each read was aimed; every read succeeds.
class RecordingReader : public SectorReader {
 public:
  using SectorReader::SectorReader;
  int64_t ReadSectorsUpTo(uint32_t count, void*, int64_t first) override {
    asked.push_back(first);
    return count;
  }
  std::vector<int64_t> asked;
};

class NoContent : public ContentSource {
 public:
  bool ReadContentSectors(int32_t, uint32_t, int64_t, void*) override { return ++calls, true; }
  int calls = 0;
};

TEST(FragmentReader, PagesBeyond32BitOffsetsAndHostileStarts) {
  DataSource ds;
  RecordingReader source(ds);
  FragmentReader reader(ds, source);
  std::vector<uint8_t> page(8192);

  const int64_t k = (int64_t(1) << 27) + 5;  // 16 k does not fit in 32 bits
  ASSERT_TRUE(reader.ReadPage(1000, k, page.data()));
  ASSERT_TRUE(reader.ReadLeadIn(1000, page.data()));
  EXPECT_EQ(source.asked, (std::vector<int64_t>{1000 + 16 * k, 1000 - 15}));

  source.asked.clear();
  EXPECT_FALSE(reader.ReadPage(INT64_MAX - 20, 3, page.data()));
  EXPECT_FALSE(reader.ReadLeadIn(INT64_MIN + 3, page.data()));
  EXPECT_FALSE(reader.ReadPage(0, INT64_MAX / 8, page.data()));
  EXPECT_TRUE(source.asked.empty());

  // Content mode: an offset no content block can hold fails without a read.
  NoContent content;
  reader.SetContent(&content);
  ds.readFromSource = false;
  EXPECT_FALSE(reader.ReadPage(1000, k, page.data()));
  EXPECT_TRUE(reader.ReadPage(1000, 3, page.data()));
  EXPECT_EQ(content.calls, 1);
}

}  // namespace
}  // namespace sorrelon
