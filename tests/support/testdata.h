// Where the real database files are, and small file helpers for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sorrelon::test {

// Folder of real .mdf files: $SORRELON_TESTDATA, else ../shared/testdata/mdf
// beside the source tree. Empty path when absent.
std::filesystem::path RealMdfDir();
// The four real files that are present (full paths), sorted by name.
std::vector<std::filesystem::path> RealMdfFiles();

// A fresh empty directory under the build tree for one test.
std::filesystem::path TempDir(const std::string& name);

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& p);
void WriteFileBytes(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);

// Runs a shell command; returns its exit status; output captured in `out` if given.
int Run(const std::string& cmd, std::string* out = nullptr);

}  // namespace sorrelon::test

// Skips the current test with a clear message when the real files are absent.
#define SORRELON_REQUIRE_REAL_MDF()                                                              \
  do {                                                                                           \
    if (::sorrelon::test::RealMdfFiles().empty())                                                \
      GTEST_SKIP() << "real database files not found (set SORRELON_TESTDATA or provide "         \
                      "../shared/testdata/mdf)";                                                 \
  } while (0)
