#include "tests/support/testdata.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace sorrelon::test {
namespace fs = std::filesystem;

fs::path RealMdfDir() {
  if (const char* env = std::getenv("SORRELON_TESTDATA"); env && *env) {
    if (fs::is_directory(env)) return env;
    return {};
  }
  fs::path p = fs::path(SORRELON_SOURCE_DIR).parent_path() / "shared" / "testdata" / "mdf";
  if (fs::is_directory(p)) return p;
  return {};
}

std::vector<fs::path> RealMdfFiles() {
  std::vector<fs::path> out;
  fs::path dir = RealMdfDir();
  if (dir.empty()) return out;
  for (auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".mdf") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

fs::path TempDir(const std::string& name) {
  fs::path p = fs::path(SORRELON_BINARY_DIR) / "testtmp" / name;
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

std::vector<uint8_t> ReadFileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

int Run(const std::string& cmd, std::string* out) {
  std::string full = cmd + " 2>&1";
  FILE* f = ::popen(full.c_str(), "r");
  if (!f) return -1;
  std::array<char, 4096> buf;
  std::string text;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) text.append(buf.data(), n);
  int rc = ::pclose(f);
  if (out) *out = text;
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

}  // namespace sorrelon::test
