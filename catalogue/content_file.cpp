#include "catalogue/content_file.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "base/bytes.h"
#include "catalogue/out_file.h"
#include "page/page.h"

namespace sorrelon {

int64_t ContentBlockBytes(const Fragment& f) {
  const int32_t pages = std::max<int32_t>(f.Pages(), 0);
  return kLeadInBytes + int64_t(kPageSize) * pages;
}

// The words are handled as native 32-bit values where the machine is
// little-endian (the loop then vectorises: an 8 KB page costs well under a
// microsecond), byte by byte elsewhere.
namespace {
template <bool kScramble>
void TransformWords(uint8_t* bytes, size_t n, uint32_t key) {
  const size_t words = n / 4;
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t w[256];
    for (size_t done = 0; done < words;) {
      const size_t m = std::min<size_t>(256, words - done);
      std::memcpy(w, bytes + 4 * done, 4 * m);
      for (size_t i = 0; i < m; ++i) w[i] = kScramble ? std::rotr(w[i], 1) ^ key : std::rotl(w[i] ^ key, 1);
      std::memcpy(bytes + 4 * done, w, 4 * m);
      done += m;
    }
  } else {
    for (size_t i = 0; i < words; ++i) {
      uint8_t* p = bytes + 4 * i;
      PutLe32(p, kScramble ? RotR32(Le32(p), 1) ^ key : RotL32(Le32(p) ^ key, 1));
    }
  }
}
}  // namespace

void ScramblePage(uint8_t* bytes, size_t n, uint32_t key) { TransformWords<true>(bytes, n, key); }
void UnscramblePage(uint8_t* bytes, size_t n, uint32_t key) { TransformWords<false>(bytes, n, key); }

uint32_t NewContentKey() {
  static std::mutex m;
  static std::mt19937 gen{std::random_device{}()};
  std::lock_guard<std::mutex> lock(m);
  return std::uniform_int_distribution<uint32_t>(0, 2147483646u)(gen);
}

// ---- writing ----

namespace {

// Reads the 15 sectors before `start` from the live source. Sectors before
// sector 0 do not exist: that part of the lead-in is stored as zeros, so that
// a fragment at the very start of a source does not make the whole content
// file unwritable.
bool ReadLeadInLive(SectorReader& reader, int64_t start, uint8_t* buf) {
  if (start >= 15) return reader.ReadSectors(15, buf, start - 15);
  const int64_t missing = std::min<int64_t>(15, 15 - start);
  std::memset(buf, 0, size_t(missing) * 512);
  if (start <= 0) return true;
  return reader.ReadSectors(uint32_t(start), buf + missing * 512, 0);
}

}  // namespace

ContentWriteResult WriteContentFile(const std::string& path, const FragmentStore& store, SectorReader& reader,
                                    int16_t sectorsPerCluster, Person& person, std::optional<uint32_t> key) {
  ContentWriteResult res;
  OutFile out;
  if (!out.Create(path)) {
    person.Message("error,无法创建文件", "提示");
    return res;
  }
  res.created = true;
  res.key = key ? *key : NewContentKey();
  auto writeFailed = [&]() {
    out.Close();
    person.Message(WriteFailedText(path, out.error()), "提示");
    res.bytes = out.written();
    return res;
  };

  std::vector<uint8_t> buf(kPageSize);
  const size_t count = store.size();
  for (size_t i = 0; i < count; ++i) {
    if (count > 1) person.SetGauge(int(std::lround(double(i) * 100.0 / double(count - 1))));
    person.Breathe();
    const Fragment& f = store[i];
    if (!ReadLeadInLive(reader, f.startSector, buf.data())) {
      out.Close();
      person.Message("read disk error", "提示");
      res.bytes = out.written();
      return res;
    }
    if (!out.Append(buf.data(), size_t(kLeadInBytes))) return writeFailed();
    const int32_t pages = f.Pages();
    for (int32_t k = 0; k < pages; ++k) {
      if (!reader.ReadSectors(kSectorsPerPage, buf.data(), f.startSector + int64_t(kSectorsPerPage) * k)) {
        out.Close();
        person.Message("read disk error", "提示");
        res.bytes = out.written();
        return res;
      }
      ScramblePage(buf.data(), kPageSize, res.key);
      if (!out.Append(buf.data(), kPageSize)) return writeFailed();
    }
  }
  uint8_t trailer[kTrailerBytes];
  PutLe32(trailer, RotR32(res.key, 3));
  PutLe16(trailer + 4, uint16_t(sectorsPerCluster));
  if (!out.Append(trailer, sizeof trailer)) return writeFailed();
  if (!out.Close()) return writeFailed();
  res.bytes = out.written();
  res.complete = true;
  person.Message("success", "提示");
  return res;
}

// ---- reading ----

std::unique_ptr<ContentFile> ContentFile::Open(const std::string& path, const FragmentStore& store,
                                               std::string* error) {
  OpenedDevice opened = OpenDeviceReadOnly(path);
  if (!opened.device) {
    if (error) *error = opened.error;
    return nullptr;
  }
  return Open(std::move(opened.device), store);
}

std::unique_ptr<ContentFile> ContentFile::Open(std::unique_ptr<Device> device, const FragmentStore& store) {
  if (!device) return nullptr;
  auto cf = std::unique_ptr<ContentFile>(new ContentFile());
  cf->device_ = std::move(device);
  cf->size_ = std::max<int64_t>(cf->device_->Size(), 0);

  // Blocks in store order; the sum is checked so that a store of absurd sizes
  // (a hand-edited scan-info file) cannot overflow it.
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 2;
  int64_t acc = 0;
  bool overflow = false;
  cf->index_.reserve(store.size());
  for (size_t i = 0; i < store.size(); ++i) {
    const Fragment& f = store[i];
    cf->index_.push_back({f.startSector, acc, std::max<int32_t>(f.Pages(), 0)});
    const int64_t block = ContentBlockBytes(f);
    if (acc > kMax - block) {
      overflow = true;
      acc = kMax;
    } else {
      acc += block;
    }
  }
  // Sorted by start sector, then by block offset: the first record of a start
  // sector comes first and is the one kept.
  std::sort(cf->index_.begin(), cf->index_.end(), [](const Entry& a, const Entry& b) {
    return a.startSector != b.startSector ? a.startSector < b.startSector : a.blockOffset < b.blockOffset;
  });
  cf->index_.erase(std::unique(cf->index_.begin(), cf->index_.end(),
                               [](const Entry& a, const Entry& b) { return a.startSector == b.startSector; }),
                   cf->index_.end());
  cf->index_.shrink_to_fit();
  cf->expectedSize_ = overflow ? -1 : acc + kTrailerBytes;

  if (cf->size_ >= kTrailerBytes) {
    uint8_t trailer[kTrailerBytes];
    if (cf->device_->ReadAt(uint64_t(cf->size_ - kTrailerBytes), trailer, sizeof trailer)) {
      cf->hasTrailer_ = true;
      cf->key_ = RotL32(Le32(trailer), 3);
      cf->sectorsPerCluster_ = LeI16(trailer + 4);
    }
  }
  cf->matches_ = cf->hasTrailer_ && cf->size_ == cf->expectedSize_;
  return cf;
}

const ContentFile::Entry* ContentFile::Find(int64_t startSector) const {
  auto it = std::lower_bound(index_.begin(), index_.end(), startSector,
                             [](const Entry& e, int64_t s) { return e.startSector < s; });
  if (it == index_.end() || it->startSector != startSector) return nullptr;
  return &*it;
}

std::optional<int64_t> ContentFile::BlockOffset(int64_t startSector) const {
  const Entry* e = Find(startSector);
  if (!e) return std::nullopt;
  return e->blockOffset;
}

bool ContentFile::ReadContentSectors(int32_t offset, uint32_t count, int64_t fragmentStart, void* buf) {
  if (!matches_) return false;
  if (count == 0) return true;
  const Entry* e = Find(fragmentStart);
  if (!e) return false;
  // The range must lie within this fragment's block: its lead-in (sectors
  // -15 ... -1) and its pages (sectors 0 ... 16 x pages - 1).
  const int64_t first = offset;
  const int64_t end = first + int64_t(count);
  if (first < -15 || end > int64_t(kSectorsPerPage) * e->pages) return false;
  const int64_t at = e->blockOffset + kLeadInBytes + first * int64_t(kSectorSize);
  const size_t len = size_t(count) * kSectorSize;
  if (at < 0 || at + int64_t(len) > size_ - kTrailerBytes) return false;
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    if (!device_->ReadAt(uint64_t(at), buf, len)) return false;
  }
  // Lead-in sectors come back as stored; page sectors are unscrambled (the
  // scramble works on 32-bit words, so any whole-sector range unscrambles).
  if (end > 0) {
    const int64_t skip = first < 0 ? -first * int64_t(kSectorSize) : 0;
    UnscramblePage(static_cast<uint8_t*>(buf) + skip, len - size_t(skip), key_);
  }
  return true;
}

void UseContentFile(std::unique_ptr<ContentFile> file, std::unique_ptr<ContentFile>& slot, DataSource& ds,
                    FragmentReader& fragments) {
  if (!file) return;
  fragments.SetContent(file.get());
  slot = std::move(file);  // closes the one opened before
  ds.readFromSource = false;
}

// ---- the database-file list in content mode ----

void RefreshDatabaseFileNames(const DataSource& ds, FragmentReader& reader, Catalogue& cat, Person& person) {
  if (ds.readFromSource) return;
  struct Row {
    size_t pos;
    int32_t fragment;
    int64_t startSector;
  };
  std::vector<Row> rows;
  {
    std::lock_guard<std::mutex> lock(cat.mutex);
    for (size_t i = 0; i < cat.databaseFiles.size(); ++i) {
      const ListRow& r = cat.databaseFiles.rows[i];
      if (size_t(r.fragment) >= cat.store.size()) continue;
      const Fragment& f = cat.store[size_t(r.fragment)];
      if (f.Pages() > 32) rows.push_back({i, r.fragment, f.startSector});
    }
  }
  std::vector<uint8_t> page(kPageSize);
  bool changed = false;
  for (const Row& r : rows) {
    if (!reader.ReadPage(r.startSector, 0, page.data())) {
      person.Message("read disk error", "mess");
      continue;
    }
    page::RestoreTornBits(page.data());
    auto count = page::FilePageCount(page.data());
    if (!count) {
      person.Message("get file size error", "mess");
      continue;
    }
    if (!reader.ReadPage(r.startSector, 32, page.data())) {
      person.Message("read disk error", "提示");
      continue;
    }
    page::RestoreTornBits(page.data());
    auto name = page::PhysicalFileName(page.data());
    if (!name) {
      person.Message("get file name error", "提示");
      continue;
    }
    std::string text = *name + ":" + std::to_string(int64_t(*count) * 8) + "KB";
    std::lock_guard<std::mutex> lock(cat.mutex);
    if (r.pos < cat.databaseFiles.size() && cat.databaseFiles.rows[r.pos].fragment == r.fragment) {
      cat.databaseFiles.rows[r.pos].remarkCell = std::move(text);
      changed = true;
    }
  }
  if (changed) person.Changed(View::DatabaseFiles);
}

}  // namespace sorrelon
