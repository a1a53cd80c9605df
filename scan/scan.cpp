#include "scan/scan.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "page/page.h"
#include "scan/free_space.h"

namespace sorrelon {
namespace {

// The read-ahead window: sectors [start, end) as last read. When a window
// cannot be read whole (a damaged disk), it is read again page by page and
// then sector by sector, so that every readable sector is still examined and
// only the unreadable ones fail.
class ScanWindow {
 public:
  ScanWindow(SectorReader& reader, int64_t scanEnd)
      : reader_(reader), buf_(size_t(kScanWindowSectors) * kSectorSize), scanEnd_(scanEnd) {}

  // Reads the first window; false when not a single sector of it is readable.
  bool ReadFirst(int64_t begin) {
    int64_t count = kScanWindowSectors;
    if (scanEnd_ > begin && scanEnd_ - begin < count) count = scanEnd_ - begin;
    return Load(begin, count) > 0;
  }

  // The 96 header bytes at sector s, or null when it cannot be read.
  const uint8_t* Fetch(int64_t s, bool mayMove, int64_t n) {
    if (s >= start_ && s < end_) return At(s);
    if (!mayMove || s < start_) {
      if (!reader_.ReadSectors(1, single_, s)) return nullptr;
      return single_;
    }
    // Move forward in steps of n until the window holds s.
    int64_t ws = end_;
    if (s >= ws) ws += ((s - ws) / n) * n;
    int64_t count = n;
    if (scanEnd_ - ws < count) count = scanEnd_ - ws;
    if (count <= 0) return nullptr;
    Load(ws, count);
    if (s >= end_) return nullptr;
    return At(s);
  }

 private:
  // Loads `count` sectors at `ws`; answers the number of readable sectors.
  int64_t Load(int64_t ws, int64_t count) {
    start_ = ws;
    bad_.clear();
    int64_t got = reader_.ReadSectorsUpTo(uint32_t(count), buf_.data(), ws);
    if (got >= 0) {
      end_ = ws + got;
      return got;
    }
    // Degraded: page-sized pieces, then single sectors of a failing piece.
    bad_.assign(size_t(count), 1);
    int64_t readable = 0;
    for (int64_t off = 0; off < count; off += kSectorsPerPage) {
      int64_t c = std::min<int64_t>(kSectorsPerPage, count - off);
      uint8_t* dst = buf_.data() + size_t(off) * kSectorSize;
      if (reader_.ReadSectors(uint32_t(c), dst, ws + off)) {
        std::memset(bad_.data() + off, 0, size_t(c));
        readable += c;
        continue;
      }
      for (int64_t k = 0; k < c; ++k) {
        if (reader_.ReadSectors(1, dst + size_t(k) * kSectorSize, ws + off + k)) {
          bad_[size_t(off + k)] = 0;
          ++readable;
        }
      }
    }
    // The window covers its unreadable sectors too (marked bad), so the steps
    // that land on them fail at once instead of reading the whole window
    // again, sector by sector, at every step.
    end_ = ws + count;
    return readable;
  }

  const uint8_t* At(int64_t s) const {
    size_t i = size_t(s - start_);
    if (!bad_.empty() && bad_[i]) return nullptr;
    return buf_.data() + i * kSectorSize;
  }

  SectorReader& reader_;
  std::vector<uint8_t> buf_;
  std::vector<uint8_t> bad_;  // per sector of a degraded window: 1 = unreadable
  uint8_t single_[kSectorSize];
  int64_t scanEnd_;
  int64_t start_ = 0;
  int64_t end_ = 0;
};

std::string ErrorLine(const char* code, int64_t sector) { return std::string(code) + "1sec" + std::to_string(sector); }

}  // namespace

ScanEnd RunScan(const ScanParams& params, DataSource& ds, SectorReader& reader, Catalogue& cat,
                FreeSpaceMap& freeSpace, std::atomic<bool>& scanStopped, Person& person) {
  person.ClearLog(Log::Scan);
  auto finish = [&](ScanEnd how) {
    scanStopped = true;
    {
      std::lock_guard<std::mutex> lock(cat.mutex);
      cat.startIndex.Build(cat.store);
    }
    person.Changed(View::FragmentList);
    return how;
  };

  bool useMap = false;
  if (ds.hasFileSystem && params.freeSpaceOnly) {
    person.AddLog(Log::Scan, std::string(kLoadingMap) + NowStamp());
    if (!LoadFreeSpaceMap(ds, reader, person, freeSpace)) {
      person.Message(kMapFailed, "提示");
      return finish(ScanEnd::MapFailed);
    }
    useMap = true;
  }

  person.AddLog(Log::Scan, std::string(kScanStarted) + NowStamp());
  person.SetStatus(kScanStarted);

  if (params.sectorsPerCluster < 1 || params.begin < 0) {
    person.Message("扫描设置错误:每簇扇区数须大于0,开始扇区不能为负", "提示");
    return finish(ScanEnd::BadParams);
  }
  ds.sectorsPerCluster = int16_t(std::min<int32_t>(params.sectorsPerCluster, std::numeric_limits<int16_t>::max()));
  freeSpace.SetSectorsPerCluster(ds.sectorsPerCluster);
  const int64_t step = params.sectorsPerCluster >= 32 ? 16 : params.sectorsPerCluster;
  const uint16_t fid = params.scanFileId;

  // The end as asked, cut at the real end of the source: a parsed FAT32
  // volume's end lies beyond the volume, and nothing is there to read.
  int64_t end = params.end;
  int64_t have = reader.SourceSectors();
  if (have >= 0 && end > have) end = have;

  ScanWindow window(reader, end);
  if (!window.ReadFirst(params.begin)) {
    person.AddLog(Log::Scan, ErrorLine("512error", params.begin));
    return finish(ScanEnd::FirstWindowFailed);
  }

  int64_t current = params.begin;
  int64_t lastRunEnd = 0;
  int32_t counter = 0;
  std::string pendingRemark;
  int lastGauge = -1;
  int64_t nextGaugeAt = current;

  auto record = [&](int32_t number, int64_t pages, int64_t startPage, int64_t startSector, const std::string& carried,
                    bool replaceLast) {
    if (startPage + pages > std::numeric_limits<int32_t>::max() || pages > std::numeric_limits<int32_t>::max() / 8)
      return AddResult::Dropped;  // page numbers beyond the format's range: garbage
    AddResult r = AddFragment(cat, params.limit, number, int32_t(pages), int32_t(startPage), startSector, carried,
                              replaceLast, reader, person);
    if (r == AddResult::Added) person.Changed(View::FragmentList);
    return r;
  };

  while (current < end) {
    if (current >= nextGaugeAt) {
      // The gauge moves by whole percents: work out the next sector where it
      // changes instead of dividing at every step.
      int gauge = int(std::llround(double(current) * 100.0 / double(end)));
      if (gauge != lastGauge) {
        person.SetGauge(gauge);
        lastGauge = gauge;
      }
      nextGaugeAt = int64_t(std::ceil((double(gauge) + 0.5) * double(end) / 100.0));
      if (nextGaugeAt <= current) nextGaugeAt = current + 1;
    }
    if (scanStopped.load(std::memory_order_relaxed)) {
      person.SetStatus(kScanStopped);
      return finish(ScanEnd::Stopped);
    }
    if (useMap && freeSpace.IsClusterInUse(current)) {
      current += step;
      continue;
    }
    int64_t resume = (lastRunEnd > 0 && step < 16) ? lastRunEnd - 16 + step : lastRunEnd;
    if (current < resume) {
      current += step;
      continue;
    }
    const int64_t n = (end - current > 0 && end - current < kScanWindowSectors) ? end - current : kScanWindowSectors;
    const uint8_t* h = window.Fetch(current, true, n);
    if (!h) {
      person.AddLog(Log::Scan, ErrorLine("512error", current));
      current += step;
      continue;
    }

    // Every header test wants headerVersion 1: most sectors of a disk fail
    // here, before any further test.
    if (h[0] != 1) {
      current += step;
      continue;
    }
    if (page::IsFileHeaderPage(h, fid)) {
      const uint8_t* next = window.Fetch(current + 16, false, n);
      if (!next) {
        person.AddLog(Log::Scan, ErrorLine("512error", current + 16));
        current += step;
        continue;
      }
      if (!page::IsFirstPfsPage(next, fid)) {
        if (params.recordLonelyHeaders) {
          lastRunEnd = current + 16;
          pendingRemark = kInvalidHeaderRemark;
          ++counter;
          if (record(counter, 1, 0, current, pendingRemark, false) == AddResult::Full) {
            person.AddLog(Log::Scan, kStoreFullLine);
            person.SetStatus(kScanStopped);
            return finish(ScanEnd::StoreFull);
          }
        }
        current += step;
        continue;
      }
      const int64_t runStart = current;
      int64_t pages = 0, position = current, expected = 0;
      for (;;) {
        ++pages;
        position += 16;
        if (position >= end) break;
        const uint8_t* hp = window.Fetch(position, true, n);
        if (!hp) {
          person.AddLog(Log::Scan, ErrorLine("8192errorhead", position));
          break;
        }
        ++expected;
        if (expected > std::numeric_limits<int32_t>::max() || !page::IsHeaderOfPage(fid, int32_t(expected), hp)) break;
      }
      lastRunEnd = position;
      pendingRemark = kInvalidHeaderRemark;
      ++counter;
      if (record(counter, pages, 0, runStart, pendingRemark, false) == AddResult::Full) {
        person.AddLog(Log::Scan, kStoreFullLine);
        person.SetStatus(kScanStopped);
        return finish(ScanEnd::StoreFull);
      }
      current += step;
      continue;
    }

    if (!page::IsPlausibleHeader(h, fid)) {
      current += step;
      continue;
    }

    // A data run.
    const int64_t runStart = current;
    const int64_t startPage = LeI32(h + page::off::pageId);
    int64_t expected = startPage, pages = 0, position = current;
    for (;;) {
      position += 16;
      ++expected;
      ++pages;
      if (position >= end) break;
      const uint8_t* hp = window.Fetch(position, true, n);
      if (!hp) {
        person.AddLog(Log::Scan, ErrorLine("8192error", position));
        break;
      }
      if (expected > std::numeric_limits<int32_t>::max() || !page::IsHeaderOfPage(fid, int32_t(expected), hp)) break;
    }
    lastRunEnd = position;

    bool joined = false;
    if (counter > 0 && !cat.store.empty()) {
      const Fragment& last = cat.store.back();
      const int64_t s0 = last.startSector, e0 = last.endSector, p0 = last.startPage;
      if (runStart - e0 > 0 && runStart - s0 == (startPage - p0) * 16 && runStart - e0 <= kJoinDistanceSectors) {
        if (p0 == 0) pendingRemark = last.remark;
        // The grown record replaces the last one; if it cannot be built (a
        // refused header read) the fragment stays as it was.
        record(counter, pages + (startPage - p0), p0, s0, pendingRemark, true);
        joined = true;
      }
    }
    if (!joined) {
      ++counter;
      if (record(counter, pages, startPage, runStart, pendingRemark, false) == AddResult::Full) {
        person.AddLog(Log::Scan, kStoreFullLine);
        person.SetStatus(kScanStopped);
        return finish(ScanEnd::StoreFull);
      }
    }
    current += step;
  }

  person.AddLog(Log::Scan, std::string(kScanFinished) + NowStamp());
  person.SetStatus(kScanFinished);
  return finish(ScanEnd::Finished);
}

}  // namespace sorrelon
