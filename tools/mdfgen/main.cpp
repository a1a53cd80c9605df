// mdfgen: writes a generated database file.
//   mdfgen -o FILE --pages N [--name PHYSICAL] [--logical NAME] [--protection checksum|torn|none]
//          [--objects K] [--seed S] [--file-id F] [--allocated FRACTION] [--garbage FRACTION]
//          [--unverified-page7]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text.h"
#include "tools/mdfgen/mdfgen.h"

namespace {

int Usage(const char* why) {
  std::fprintf(stderr,
               "mdfgen: %s\n"
               "usage: mdfgen -o FILE --pages N [--name PHYSICAL] [--logical NAME]\n"
               "              [--protection checksum|torn|none] [--objects K] [--seed S] [--file-id F]\n"
               "              [--allocated FRACTION] [--garbage FRACTION] [--unverified-page7]\n",
               why);
  return 2;
}

bool ParseFraction(const std::string& s, double* out) {
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || !(v >= 0 && v <= 1)) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace sorrelon;
  mdfgen::Options o;
  std::string output;
  bool havePages = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--unverified-page7") {
      o.unverifiedPage7 = true;
      continue;
    }
    if (i + 1 >= argc) return Usage("missing value");
    std::string v = argv[++i];
    if (a == "-o") {
      output = v;
    } else if (a == "--pages") {
      auto n = ParseInt32(v);
      if (!n || *n < mdfgen::kMinPages) return Usage("--pages needs a number of at least 40");
      o.pages = *n;
      havePages = true;
    } else if (a == "--name") {
      o.physicalName = v;
    } else if (a == "--logical") {
      o.logicalName = v;
    } else if (a == "--protection") {
      if (v == "checksum") o.protection = mdfgen::Protection::kChecksum;
      else if (v == "torn") o.protection = mdfgen::Protection::kTornBits;
      else if (v == "none") o.protection = mdfgen::Protection::kNone;
      else return Usage("--protection is checksum, torn or none");
    } else if (a == "--objects") {
      auto n = ParseInt32(v);
      if (!n || *n < 0) return Usage("--objects needs a number");
      o.objects = *n;
    } else if (a == "--seed") {
      auto n = ParseInt64(v);
      if (!n) return Usage("--seed needs a number");
      o.seed = uint64_t(*n);
    } else if (a == "--file-id") {
      auto n = ParseInt32(v);
      if (!n || *n < 0 || *n > 65535) return Usage("--file-id needs a number from 0 to 65535");
      o.fileId = uint16_t(*n);
    } else if (a == "--allocated") {
      if (!ParseFraction(v, &o.allocatedFraction)) return Usage("--allocated needs a fraction from 0 to 1");
    } else if (a == "--garbage") {
      if (!ParseFraction(v, &o.garbageFraction)) return Usage("--garbage needs a fraction from 0 to 1");
    } else {
      return Usage(("unknown option " + std::string(a)).c_str());
    }
  }
  if (output.empty() || !havePages) return Usage("-o and --pages are required");
  std::string error;
  if (!mdfgen::WriteFile(output, o, &error)) {
    std::fprintf(stderr, "mdfgen: %s\n", error.c_str());
    return 1;
  }
  auto layout = mdfgen::Plan(o);
  size_t allocated = 0;
  for (int32_t k = 0; k < o.pages; ++k) allocated += layout->Allocated(k);
  std::printf("%s: %d pages (%zu allocated), %zu user objects\n", output.c_str(), o.pages, allocated,
              layout->objects.size() - 1);
  return 0;
}
