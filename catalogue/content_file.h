// The content file: the raw contents of every fragment of the store, saved
// beside the scan-info file so that the analysis can go on without the source.
//
// Layout: one block per record, in store order, then a 6-byte trailer.
//   block   = lead-in (the 15 sectors before the start sector, as read,
//             7,680 bytes) + the fragment's pages, each 8,192 bytes, scrambled
//   trailer = content key rotated right by 3 bits (LE 32-bit),
//             sectors per cluster at saving time (LE signed 16-bit)
// A page is scrambled word by word (2,048 LE 32-bit words): w -> rotr(w, 1) ^ key.
// Nothing else is stored: the file is meaningful only with the scan-info file
// saved with it, whose record order fixes the place of every block.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/person.h"
#include "catalogue/catalogue.h"
#include "catalogue/fragment.h"
#include "catalogue/fragment_reader.h"
#include "storage/data_source.h"
#include "storage/device.h"
#include "storage/sector_reader.h"

namespace sorrelon {

inline constexpr const char* kDefaultContentName = "spcontent";
inline constexpr int64_t kLeadInBytes = 15 * 512;  // 7,680
inline constexpr int64_t kTrailerBytes = 6;

// Bytes of a record's block: lead-in plus its pages (a negative size counts
// as no pages).
int64_t ContentBlockBytes(const Fragment& f);

// The page scramble (in place, on whole 32-bit words).
void ScramblePage(uint8_t* bytes, size_t n, uint32_t key);
void UnscramblePage(uint8_t* bytes, size_t n, uint32_t key);

// A fresh content key, uniform in 0 ... 2,147,483,646.
uint32_t NewContentKey();

struct ContentWriteResult {
  bool created = false;   // the file was created
  bool complete = false;  // every block and the trailer were written and the file closed
  uint32_t key = 0;
  int64_t bytes = 0;
};

// Writes the content file of `store` to `path`, reading every sector from the
// live source through `reader` (never from a content file). Reports through
// `person` exactly as SAVE does: "error,无法创建文件"; "read disk error" (the
// file is closed without trailer); a failed write; "success" when complete.
// The gauge follows the records and the window breathes once per record; the
// store must not change meanwhile (no scan may run).
ContentWriteResult WriteContentFile(const std::string& path, const FragmentStore& store, SectorReader& reader,
                                    int16_t sectorsPerCluster, Person& person,
                                    std::optional<uint32_t> key = std::nullopt);

// A content file opened read-only that answers the fragment reads of content
// mode. The start sector of every record is indexed once at open (the first
// record with a start sector wins), so a read costs one lookup, whatever the
// fragment's place in the store.
class ContentFile final : public ContentSource {
 public:
  // Opens `path` and indexes it against `store`, the records saved with it.
  // null when the file cannot be opened (`error` says why).
  static std::unique_ptr<ContentFile> Open(const std::string& path, const FragmentStore& store,
                                           std::string* error = nullptr);
  // The same over an opened device (tests and fuzzing use memory).
  static std::unique_ptr<ContentFile> Open(std::unique_ptr<Device> device, const FragmentStore& store);

  // Reads `count` sectors at `offset` sectors from the fragment that starts at
  // `fragmentStart`: the lead-in at -15 as stored, pages unscrambled. Fails
  // for an unknown start sector, a range outside the fragment's block, a file
  // that does not hold the block, or a file that does not match its store.
  bool ReadContentSectors(int32_t offset, uint32_t count, int64_t fragmentStart, void* buf) override;

  // The trailer was read (the file holds at least 6 bytes).
  bool HasTrailer() const { return hasTrailer_; }
  uint32_t Key() const { return key_; }
  int16_t SectorsPerCluster() const { return sectorsPerCluster_; }
  // The file's size is the blocks of the store plus the trailer. When it is
  // not, the trailer cannot be trusted and every read fails.
  bool Matches() const { return matches_; }
  int64_t Size() const { return size_; }
  int64_t ExpectedSize() const { return expectedSize_; }
  // Where the block of the fragment starting at `startSector` begins.
  std::optional<int64_t> BlockOffset(int64_t startSector) const;

 private:
  struct Entry {
    int64_t startSector;
    int64_t blockOffset;
    int32_t pages;
  };
  const Entry* Find(int64_t startSector) const;

  std::unique_ptr<Device> device_;
  std::mutex readMutex_;  // one read at a time on the shared file
  std::vector<Entry> index_;  // sorted by start sector, one entry per start sector
  int64_t size_ = 0;
  int64_t expectedSize_ = 0;
  bool hasTrailer_ = false;
  bool matches_ = false;
  uint32_t key_ = 0;
  int16_t sectorsPerCluster_ = 0;
};

// Content mode on: reads of `fragments` are answered by `file` from now on
// (a content file opened before is closed), and ds.readFromSource is false.
void UseContentFile(std::unique_ptr<ContentFile> file, std::unique_ptr<ContentFile>& slot, DataSource& ds,
                    FragmentReader& fragments);

// The database-file list's refresh in content mode: every row of
// cat.databaseFiles whose fragment has more than 32 pages shows the name from
// page 32 and the size from page 0 as "name:KB" (in the row's file-name cell).
// A failure skips the row after its message ("read disk error" / "get file
// size error" with caption "mess" for page 0, "read disk error" / "get file
// name error" with caption "提示" for page 32). Does nothing outside content mode.
void RefreshDatabaseFileNames(const DataSource& ds, FragmentReader& reader, Catalogue& cat, Person& person);

}  // namespace sorrelon
