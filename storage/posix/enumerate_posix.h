// Listing of disks and partitions from the kernel's block-device tree, split
// out so tests can point it at a made-up tree.
#pragma once

#include <string>

#include "storage/sources.h"

namespace sorrelon::posix {

struct BlockTree {
  std::string sysBlock = "/sys/block";         // one folder per whole disk
  std::string byLabel = "/dev/disk/by-label";  // links named after labels
  std::string dev = "/dev";                    // where device nodes live
};

// Disks (whole devices other than loop, ram, zram, device-mapper and md
// devices) and their partitions as logical drives. A disk without partitions
// is also offered as a drive, since it may carry a file system of its own;
// optical drives (sr*) are drives only.
SourceMenu EnumerateSourcesIn(const BlockTree& tree);

// Decodes the \xHH escapes that udev puts in link names ("MY\x20DISK").
std::string DecodeUdevEscapes(const std::string& s);

}  // namespace sorrelon::posix
