// Fuzzes the partition-table reading with the input as a whole small disk:
// sector 0 (MBR or protective MBR), the GPT header and entries, extended
// boot records and boot sectors wherever the tables point.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "storage/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  sorrelon::DataSource ds;
  sorrelon::fuzz::MemoryReader reader(ds, std::vector<uint8_t>(data, data + size));
  auto layouts = sorrelon::ReadVolumeLayouts(reader);
  for (const auto& l : layouts)
    if (l.sectorsPerCluster < 1) __builtin_trap();
  return 0;
}
