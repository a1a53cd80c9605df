// Fragment records and the fragment store. A record is kept parsed; its text
// form is the eight-field line "number|start sector|end sector|size KB|start
// page|end page|remark|flag|", produced on demand (lists, scan-info file).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace sorrelon {

struct Fragment {
  int32_t number = 0;
  int64_t startSector = 0;
  int64_t endSector = 0;
  int32_t sizeKb = 0;
  int32_t startPage = 0;
  int32_t endPage = 0;
  std::string remark = " ";
  bool visible = true;  // flag "Y"; false for "N"

  int32_t Pages() const { return PagesFromKb(sizeKb); }
  std::string ToLine() const;
  // Parses an eight-field record; nullopt when it is not one (a numeric field
  // that is not a number, fewer than eight fields, no final "|").
  static std::optional<Fragment> FromLine(std::string_view line);
};

// Field k (1-based) of a record line: the text between the (k-1)-th and the
// k-th "|". Empty when the line has fewer fields.
std::string_view FieldOf(std::string_view line, int k);

// Fragments in discovery order; a fragment's position is its identity.
class FragmentStore {
 public:
  static constexpr size_t kCapacity = 2000001;

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  bool full() const { return items_.size() >= capacity_; }
  // Lowers the cap (tests exercise the full store with a small one).
  void SetCapacity(size_t n) { capacity_ = n < kCapacity ? n : kCapacity; }
  const Fragment& operator[](size_t i) const { return items_[i]; }
  Fragment& operator[](size_t i) { return items_[i]; }
  const Fragment& back() const { return items_.back(); }
  const std::vector<Fragment>& items() const { return items_; }

  // False (and nothing added) when the store is full.
  bool Append(Fragment f);
  void RemoveLast() { items_.pop_back(); }
  void Clear() { items_.clear(); }
  void Replace(std::vector<Fragment> items) { items_ = std::move(items); }
  void Reserve(size_t n) { items_.reserve(n); }

 private:
  std::vector<Fragment> items_;
  size_t capacity_ = kCapacity;
};

// Fragments ordered by start page (ties in store order).
struct StartPageEntry {
  int32_t fragmentIndex;
  int32_t startPage;
  int32_t endPage;
};

class StartPageIndex {
 public:
  void Build(const FragmentStore& store);
  size_t size() const { return entries_.size(); }
  const StartPageEntry& operator[](size_t i) const { return entries_[i]; }
  const std::vector<StartPageEntry>& entries() const { return entries_; }
  // First position whose start page is >= page (size() when none).
  size_t LowerBound(int64_t page) const;

 private:
  std::vector<StartPageEntry> entries_;
};

}  // namespace sorrelon
