// An output file whose every write is checked: the scan-info file, the
// content file and the exported page files. The first failure (a full disk, a
// file-size limit, an I/O error) is kept so that the command can say why it
// stopped instead of reporting success for a file that was not wholly written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sorrelon {

class OutFile {
 public:
  OutFile() = default;
  ~OutFile();
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  // Creates the file (replacing one of that name). False when it cannot be
  // created; error() says why.
  bool Create(const std::string& path);
  bool Append(const void* p, size_t n);
  // Overwrites the last n bytes already written, then goes on appending.
  bool OverwriteTail(const void* p, size_t n);
  // Flushes and closes; false when anything written since Create was lost.
  bool Close();

  bool isOpen() const { return f_ != nullptr; }
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  int64_t written() const { return written_; }

 private:
  void Fail(int err);
  std::FILE* f_ = nullptr;
  std::string error_;
  int64_t written_ = 0;
};

// The message of a write that failed: names the file and the reason.
std::string WriteFailedText(const std::string& path, const std::string& reason);

}  // namespace sorrelon
