// sorrelon compare ORIGINAL REBUILT: how many genuine pages of the original
// (pages whose header names their own page number) the rebuilt file holds
// byte for byte at the same page number, and how many pages of it differ.
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "base/bytes.h"
#include "cli/command.h"
#include "page/page.h"

namespace sorrelon::cli {
namespace {

int RunCompare(const Args& args) {
  if (args.size() != 2) {
    std::cerr << "usage: sorrelon compare ORIGINAL.mdf REBUILT.mdf\n";
    return 2;
  }
  std::ifstream a(args[0], std::ios::binary), b(args[1], std::ios::binary);
  if (!a || !b) {
    std::cerr << "sorrelon compare: cannot open " << (!a ? args[0] : args[1]) << "\n";
    return 1;
  }
  std::vector<uint8_t> pa(kPageSize), pb(kPageSize);
  int64_t genuine = 0, identical = 0, wrong = 0, pages = 0;
  for (int64_t p = 0;; ++p) {
    if (!a.read(reinterpret_cast<char*>(pa.data()), kPageSize)) break;
    ++pages;
    bool haveB = bool(b.read(reinterpret_cast<char*>(pb.data()), kPageSize));
    if (!haveB) std::memset(pb.data(), 0, kPageSize);
    const bool isGenuine = pa[0] == 1 && LeI32(&pa[page::off::pageId]) == p;
    if (!isGenuine) continue;
    ++genuine;
    if (pa == pb) {
      ++identical;
    } else {
      bool zero = true;
      for (uint8_t c : pb) zero &= c == 0;
      if (!zero) ++wrong;
    }
  }
  std::cout << identical << " of " << genuine << " genuine pages byte-identical (" << pages << " pages in the original, "
            << wrong << " pages differ, " << genuine - identical - wrong << " missing)\n";
  return identical == genuine ? 0 : 1;
}

Registrar reg("compare", "count the genuine pages of an original file that a rebuilt file holds", RunCompare);

}  // namespace
}  // namespace sorrelon::cli
