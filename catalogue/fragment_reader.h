// Reads of a fragment's contents, addressed as (fragment start sector, offset
// in sectors, count): from the live source, or in content mode from the
// content file saved with a scan.
#pragma once

#include <cstdint>

#include "storage/data_source.h"
#include "storage/sector_reader.h"

namespace sorrelon {

// Answers fragment reads from saved contents (the content file).
class ContentSource {
 public:
  virtual ~ContentSource() = default;
  // offset is 16 x k for page k or -15 for the lead-in; count 16 or 15.
  virtual bool ReadContentSectors(int32_t offset, uint32_t count, int64_t fragmentStart, void* buf) = 0;
};

// Mends a page read from the live source that its own protection does not
// confirm (a page split across runs of clusters), in place. Answers true
// when the page was replaced by a confirmed reassembly.
class PageMender {
 public:
  virtual ~PageMender() = default;
  virtual bool Mend(int64_t sector, uint8_t* page) = 0;
  // Whether the page read at `sector` was found whole, as read, in the
  // order in which the file system allocates clusters.
  virtual bool FoundInPlace(int64_t sector) const { return false; }
  // Whether several different reassemblies of the page read at `sector`
  // were confirmed, so none was used.
  virtual bool Ambiguous(int64_t sector) const { return false; }
};

class FragmentReader {
 public:
  FragmentReader(const DataSource& ds, SectorReader& reader) : ds_(ds), reader_(reader) {}

  void SetContent(ContentSource* content) { content_ = content; }
  ContentSource* Content() const { return content_; }

  // `offset` is 64-bit: page k of a fragment lies 16 k sectors in, beyond
  // 32 bits for fragments of more than 2^27 pages (1 TB).
  bool Read(int64_t fragmentStart, int64_t offset, uint32_t count, void* buf) {
    if (!ds_.readFromSource && content_) {
      if (offset < INT32_MIN || offset > INT32_MAX) return false;  // beyond any content block
      return content_->ReadContentSectors(int32_t(offset), count, fragmentStart, buf);
    }
    // A start sector read from a file may be anything: no sum that overflows.
    if ((offset > 0 && fragmentStart > INT64_MAX - offset) || (offset < 0 && fragmentStart < INT64_MIN - offset))
      return false;
    return reader_.ReadSectors(count, buf, fragmentStart + offset);
  }
  // Page k of a fragment (16 sectors at offset 16 k).
  bool ReadPage(int64_t fragmentStart, int64_t k, void* buf) {
    lastMended_ = lastVouched_ = false;
    if (k > INT64_MAX / 16 || k < INT64_MIN / 16 || !Read(fragmentStart, 16 * k, 16, buf)) return false;
    if (mender_ && (ds_.readFromSource || !content_)) {
      lastMended_ = mender_->Mend(fragmentStart + 16 * k, static_cast<uint8_t*>(buf));
      lastVouched_ = lastMended_ || mender_->FoundInPlace(fragmentStart + 16 * k);
    }
    return true;
  }
  // Deep recovery: pages read from the source go through `mender` (null: off).
  void SetMender(PageMender* mender) { mender_ = mender; }
  PageMender* Mender() const { return mender_; }
  // Whether the last ReadPage answered a mended page.
  bool LastPageMended() const { return lastMended_; }
  // Whether the last ReadPage answered a page that deep recovery vouches
  // for: mended, or found whole in allocation order.
  bool LastPageVouched() const { return lastVouched_; }
  // The 15 sectors before a fragment.
  bool ReadLeadIn(int64_t fragmentStart, void* buf) { return Read(fragmentStart, -15, 15, buf); }

  SectorReader& Source() { return reader_; }
  const DataSource& Descriptor() const { return ds_; }

 private:
  const DataSource& ds_;
  SectorReader& reader_;
  ContentSource* content_ = nullptr;
  PageMender* mender_ = nullptr;
  bool lastMended_ = false;
  bool lastVouched_ = false;
};

}  // namespace sorrelon
