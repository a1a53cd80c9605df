#include "tools/mdfgen/mdfgen.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

#include "base/bytes.h"
#include "page/page.h"

namespace sorrelon::mdfgen {
namespace {

using page::kPageBytes;

constexpr int32_t kSystemObjectId = 8;  // the object whose page 32 names the files
constexpr int32_t kNamePage = 32;
constexpr int32_t kSystemIamPage = 12;
constexpr int32_t kBootPage = 9;
constexpr int32_t kFirstUserExtent = kMinPages / 8;
constexpr int kMaxObjects = 10000;
constexpr int kHeaderRecordBytes = 1076;  // one copy of the file-header record on page 0
constexpr int kPageCountInRecord = 130;   // page count, then the marker -1 at 134

// splitmix64: small, fast, and the same on every platform.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return uint32_t(((Next() >> 32) * uint64_t(n)) >> 32); }
  double Unit() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }
  void Fill(uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) PutLe64(p + i, Next());
    if (i < n) {
      uint64_t v = Next();
      for (; i < n; ++i, v >>= 8) p[i] = uint8_t(v);
    }
  }
};

// An independent stream for one page, so pages can be built in any order.
Rng PageRng(uint64_t seed, int32_t k, uint64_t salt) {
  Rng r(seed ^ (uint64_t(uint32_t(k)) * 0xD6E8FEB86659FD93ull) ^ (salt * 0xA0761D6478BD642Full));
  r.Next();
  return r;
}

struct RowShape {
  int rows;
  int rowBytes;  // whole row: prefix, fixed part, column count and null bitmap
  uint16_t fixedLen;
};

const Object* OwnerOf(const Layout& l, int32_t k) {
  int32_t o = l.owner[size_t(k)];
  return o < 0 ? nullptr : &l.objects[size_t(o)];
}

bool IsIndexRoot(const Object& o, int32_t pos) { return o.index && pos == 0 && o.pages.size() > 1; }

// Rows of a data or index page, decided by the page alone.
RowShape ShapeOf(const Layout& l, int32_t k) {
  Rng r = PageRng(l.options.seed, k, 1);
  const Object& o = *OwnerOf(l, k);
  const int32_t pos = l.chainPos[size_t(k)];
  if (IsIndexRoot(o, pos)) {
    // One row per leaf: status, 4-byte key, child page, child file id.
    int rowBytes = 11;
    int fit = (kPageBytes - page::kHeaderBytes) / (rowBytes + 2);
    int children = int(std::min<size_t>(o.pages.size() - 1, size_t(fit)));
    return {children, rowBytes, uint16_t(rowBytes)};
  }
  uint16_t fixedLen = uint16_t(o.index ? 9 + r.Below(32) : 12 + r.Below(180));
  int rowBytes = fixedLen + 3;
  double fill = 0.1 + 0.85 * r.Unit();
  int rows = std::max(1, int(fill * (kPageBytes - page::kHeaderBytes) / (rowBytes + 2)));
  return {rows, rowBytes, fixedLen};
}

uint8_t Fullness(int usedBytes) {
  double f = double(usedBytes) / double(kPageBytes - page::kHeaderBytes);
  return f <= 0 ? 0 : f <= 0.5 ? 1 : f <= 0.8 ? 2 : f <= 0.95 ? 3 : 4;
}

void PutUtf16Padded(uint8_t* p, const std::u16string& s, size_t units, char16_t pad) {
  for (size_t i = 0; i < units; ++i) PutLe16(p + 2 * i, i < s.size() ? uint16_t(s[i]) : uint16_t(pad));
}

// The log file's physical name: the data file's with ".ldf" for its extension.
std::string LogName(const std::string& physical) {
  std::string s = physical;
  if (s.size() >= 4) {
    std::string ext = s.substr(s.size() - 4);
    for (auto& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".mdf") return s.substr(0, s.size() - 4) + "_log.ldf";
  }
  return s + "_log.ldf";
}

void SetLsn(Header& h, Rng& r) {
  h.lsn1 = 8 + r.Below(0x58);
  h.lsn2 = r.Below(0x200);
  h.lsn3 = uint16_t(1 + r.Below(0x200));
}

// Two-row allocation page shape (GAM, SGAM, DCM, BCM and IAM pages): a
// 94-byte header row at 96 and a 7,992-byte bitmap row at 190.
constexpr int kAllocHeaderRow = 96, kAllocBitmapRow = 190, kAllocBitmapBytes = 7988;

void BuildAllocationShape(uint8_t* page, Header h) {
  h.minLen = 90;
  h.slotCount = 2;
  h.freeData = uint16_t(kAllocBitmapRow + 4 + kAllocBitmapBytes);
  h.freeCount = uint16_t(kPageBytes - h.freeData - 4);
  WriteHeader(page, h);
  PutLe16(page + kAllocHeaderRow + 2, 94);
  PutLe16(page + kAllocBitmapRow + 2, uint16_t(4 + kAllocBitmapBytes));
  SetSlot(page, 0, kAllocHeaderRow);
  SetSlot(page, 1, kAllocBitmapRow);
}

void BuildFixedAllocationPage(const Layout& l, int32_t k, uint8_t* out) {
  Header h;
  h.pageType = k == 2 ? 8 : k == 3 ? 9 : k == 6 ? 16 : 17;
  h.objectId = page::kAllocationObjectId;
  h.pageId = k;
  h.fileId = l.options.fileId;
  BuildAllocationShape(out, h);
  uint8_t* bitmap = out + kAllocBitmapRow + 4;
  const int32_t n = l.options.pages;
  const int32_t extents = std::min<int32_t>((n + 7) / 8, kAllocBitmapBytes * 8);
  for (int32_t e = 0; e < extents; ++e) {
    bool any = false, anyFree = false, mixed = false;
    for (int32_t p = e * 8; p < std::min(n, e * 8 + 8); ++p) {
      bool a = l.Allocated(p);
      any |= a;
      anyFree |= !a;
      mixed |= a && (l.PfsByte(p) & 0x20);
    }
    bool bit = false;
    if (h.pageType == 8) bit = !any;                 // GAM: extent free
    else if (h.pageType == 9) bit = mixed && anyFree;  // SGAM: mixed extent with room
    else if (h.pageType == 16) bit = any;            // DCM: changed since the last full backup
    if (bit) bitmap[e / 8] |= uint8_t(1u << (e % 8));
  }
}

void BuildBootPage(const Layout& l, uint8_t* out) {
  constexpr int kRowBytes = 1444;
  Header h;
  h.pageType = 13;
  h.objectId = page::kAllocationObjectId;
  h.pageId = kBootPage;
  h.fileId = l.options.fileId;
  h.slotCount = 1;
  h.freeData = uint16_t(96 + kRowBytes);
  h.freeCount = uint16_t(kPageBytes - h.freeData - 2);
  WriteHeader(out, h);
  uint8_t* row = out + 96;
  PutLe16(row + 2, kRowBytes);
  PutLe16(row + 4, 661);  // version the file was written with and created with
  PutLe16(row + 6, 661);
  PutLe16(row + 36, uint16_t(l.options.fileId));
  std::u16string name = Utf8ToUtf16(l.options.logicalName);
  PutUtf16Padded(row + 52, name, std::min<size_t>(name.size(), 128), u'\0');
  SetSlot(out, 0, 96);
}

void BuildIamOf(const Layout& l, int32_t k, uint8_t* out) {
  const Object& o = *OwnerOf(l, k);
  const size_t which = size_t(std::find(o.iamPages.begin(), o.iamPages.end(), k) - o.iamPages.begin());
  const int32_t first = int32_t(which) * kIamInterval;
  std::vector<int32_t> extents;
  for (int32_t e : o.extents)
    if (e >= first && int64_t(e) < int64_t(first) + kIamInterval) extents.push_back(e);
  std::span<const int32_t> singles;
  if (which == 0) singles = o.singlePages;
  BuildIamPage(out, k, o.objectId, o.indexId, first, singles, extents, l.options.fileId);
  // IAM pages of one object are linked in range order.
  if (which > 0) {
    PutLe32(out + page::off::prevPageId, uint32_t(o.iamPages[which - 1]));
    PutLe16(out + page::off::prevFileId, l.options.fileId);
  }
  if (which + 1 < o.iamPages.size()) {
    PutLe32(out + page::off::nextPageId, uint32_t(o.iamPages[which + 1]));
    PutLe16(out + page::off::nextFileId, l.options.fileId);
  }
}

void BuildRowsPage(const Layout& l, int32_t k, uint8_t* out) {
  const Object& o = *OwnerOf(l, k);
  const int32_t pos = l.chainPos[size_t(k)];
  const RowShape shape = ShapeOf(l, k);
  Rng r = PageRng(l.options.seed, k, 2);
  Header h;
  h.pageType = o.index ? page::kIndex : page::kData;
  h.typeFlagBits = 4;
  h.level = IsIndexRoot(o, pos) ? 1 : 0;
  h.indexId = o.indexId;
  h.objectId = o.objectId;
  h.pageId = k;
  h.fileId = l.options.fileId;
  h.minLen = shape.fixedLen;
  h.prevPageId = l.PrevPage(k);
  h.nextPageId = l.NextPage(k);
  h.prevFileId = h.prevPageId ? l.options.fileId : 0;
  h.nextFileId = h.nextPageId ? l.options.fileId : 0;
  h.slotCount = uint16_t(shape.rows);
  h.freeData = uint16_t(96 + shape.rows * shape.rowBytes);
  h.freeCount = uint16_t(kPageBytes - h.freeData - 2 * shape.rows);
  WriteHeader(out, h);

  // Rows in physical order; the slots name them in a shuffled order as
  // updates and page splits leave them on real pages.
  std::vector<uint16_t> offsets(size_t(shape.rows));
  for (int i = 0; i < shape.rows; ++i) offsets[size_t(i)] = uint16_t(96 + i * shape.rowBytes);
  for (int i = shape.rows - 1; i > 0; --i) std::swap(offsets[size_t(i)], offsets[r.Below(uint32_t(i + 1))]);
  for (int i = 0; i < shape.rows; ++i) {
    uint8_t* row = out + 96 + i * shape.rowBytes;
    if (h.level == 1) {
      row[0] = 0x06;
      PutLe32(row + 1, uint32_t(i) * 16);
      PutLe32(row + 5, uint32_t(o.pages[size_t(i) + 1]));
      PutLe16(row + 9, l.options.fileId);
    } else {
      row[0] = 0x10;
      PutLe16(row + 2, shape.fixedLen);
      r.Fill(row + 4, size_t(shape.fixedLen - 4));
      PutLe16(row + shape.fixedLen, 1);  // one column, no nulls
    }
  }
  for (int i = 0; i < shape.rows; ++i) SetSlot(out, i, offsets[size_t(i)]);
}

}  // namespace

// ---- layout ----

bool Layout::Allocated(int32_t page) const {
  return page >= 0 && size_t(page) < role.size() && role[size_t(page)] != Role::kFree;
}

int32_t Layout::PrevPage(int32_t page) const {
  if (page < 0 || size_t(page) >= role.size() || owner[size_t(page)] < 0) return 0;
  const Object& o = objects[size_t(owner[size_t(page)])];
  const int32_t pos = chainPos[size_t(page)];
  if (o.system || pos < 0) return 0;
  const int32_t firstLinked = o.index && o.pages.size() > 1 ? 1 : 0;
  return pos > firstLinked ? o.pages[size_t(pos) - 1] : 0;
}

int32_t Layout::NextPage(int32_t page) const {
  if (page < 0 || size_t(page) >= role.size() || owner[size_t(page)] < 0) return 0;
  const Object& o = objects[size_t(owner[size_t(page)])];
  const int32_t pos = chainPos[size_t(page)];
  if (o.system || pos < 0 || IsIndexRoot(o, pos)) return 0;
  return size_t(pos) + 1 < o.pages.size() ? o.pages[size_t(pos) + 1] : 0;
}

uint8_t Layout::PfsByte(int32_t page) const {
  if (page < 0 || size_t(page) >= role.size()) return 0;
  switch (role[size_t(page)]) {
    case Role::kFree: return 0;
    case Role::kFileHeader:
    case Role::kPfs:
    case Role::kAllocation:
    case Role::kBoot: return 0x44;
    case Role::kIam: return 0x70;
    case Role::kData:
    case Role::kIndex: {
      const Object& o = objects[size_t(owner[size_t(page)])];
      const bool single = o.system || size_t(chainPos[size_t(page)]) < o.singlePages.size();
      const RowShape s = ShapeOf(*this, page);
      return uint8_t((single ? 0x60 : 0x40) | Fullness(s.rows * (s.rowBytes + 2)));
    }
  }
  return 0;
}

std::optional<Layout> Plan(const Options& options) {
  const int32_t n = options.pages;
  if (n < kMinPages || !(options.allocatedFraction >= 0 && options.allocatedFraction <= 1) ||
      !(options.garbageFraction >= 0 && options.garbageFraction <= 1) || options.objects < 0)
    return std::nullopt;
  Layout l;
  l.options = options;
  l.role.assign(size_t(n), Role::kFree);
  l.owner.assign(size_t(n), -1);
  l.chainPos.assign(size_t(n), -1);
  Rng rng(options.seed);

  l.role[0] = Role::kFileHeader;
  for (int32_t p = 1; p < n; p = (p == 1 ? page::kPfsInterval : p + page::kPfsInterval)) l.role[size_t(p)] = Role::kPfs;
  for (int32_t p : {2, 3, 6, 7}) l.role[size_t(p)] = Role::kAllocation;
  l.role[kBootPage] = Role::kBoot;

  Object sys;
  sys.objectId = kSystemObjectId;
  sys.system = true;
  sys.iamPages = {kSystemIamPage};
  sys.singlePages = {kNamePage};
  sys.pages = {kNamePage};
  l.objects.push_back(sys);

  // Pages for IAM pages and single pages: the free pages of the first five
  // extents, then whole extents taken as mixed extents from the user area.
  std::vector<int32_t> pool;
  for (int32_t p = 8; p < kMinPages; ++p)
    if (l.role[size_t(p)] == Role::kFree && p != kSystemIamPage && p != kNamePage) pool.push_back(p);
  std::vector<int32_t> userExtents;  // first pages of whole extents free for users
  for (int32_t e = kFirstUserExtent; int64_t(e) * 8 + 8 <= n; ++e) {
    bool hasPfs = false;
    for (int32_t p = e * 8; p < e * 8 + 8; ++p) hasPfs |= l.role[size_t(p)] == Role::kPfs;
    if (!hasPfs) userExtents.push_back(e * 8);
  }
  const int requested = std::min(options.objects, kMaxObjects);
  std::vector<int> singles(static_cast<size_t>(requested));
  size_t need = 0;
  for (auto& s : singles) {
    s = 1 + int(rng.Below(8));
    need += size_t(1 + s);
  }
  const int32_t ranges = (n - 1) / kIamInterval + 1;
  need += size_t(requested) * size_t(ranges - 1);
  size_t nextUserExtent = 0;
  while (pool.size() < need && nextUserExtent < userExtents.size())
    for (int32_t i = 0, e = userExtents[nextUserExtent++]; i < 8; ++i) pool.push_back(e + i);

  // Objects, each with its first IAM page and single pages from the pool.
  size_t taken = 0;
  for (int i = 0; i < requested; ++i) {
    if (pool.size() - taken < 2) break;
    Object o;
    do o.objectId = int32_t(100 + rng.Below(0x7FFFFF00u));
    while (std::any_of(l.objects.begin(), l.objects.end(), [&](const Object& x) { return x.objectId == o.objectId; }));
    o.index = (i % 2) == 1;
    o.indexId = uint16_t(o.index ? 2 : 1);
    o.iamPages.push_back(pool[taken++]);
    const size_t s = std::min(size_t(singles[size_t(i)]), pool.size() - taken);
    for (size_t j = 0; j < s; ++j) o.singlePages.push_back(pool[taken++]);
    l.objects.push_back(std::move(o));
  }
  const size_t userObjects = l.objects.size() - 1;

  // Uniform extents: runs of one to four extents, each run given to one
  // object or left free, so the objects interleave.
  for (size_t i = nextUserExtent; i < userExtents.size() && userObjects > 0;) {
    const size_t run = 1 + rng.Below(4);
    const bool allocate = rng.Unit() < options.allocatedFraction;
    const size_t who = 1 + rng.Below(uint32_t(userObjects));
    for (size_t j = 0; j < run && i < userExtents.size(); ++j, ++i)
      if (allocate) l.objects[who].extents.push_back(userExtents[i]);
  }

  // Further IAM pages for objects with extents beyond the first range; the
  // pool was sized for them.
  for (size_t oi = 1; oi < l.objects.size(); ++oi) {
    Object& o = l.objects[oi];
    for (int32_t range = 1; range < ranges; ++range) {
      const bool has = std::any_of(o.extents.begin(), o.extents.end(),
                                   [&](int32_t e) { return e / kIamInterval == range; });
      if (has && taken < pool.size()) o.iamPages.push_back(pool[taken++]);
      if (has && int32_t(o.iamPages.size()) != range + 1) {
        // No page left for the IAM page of this range: give its extents up.
        o.extents.erase(std::remove_if(o.extents.begin(), o.extents.end(),
                                       [&](int32_t e) { return e / kIamInterval >= range; }),
                        o.extents.end());
        break;
      }
    }
  }

  for (size_t oi = 0; oi < l.objects.size(); ++oi) {
    Object& o = l.objects[oi];
    if (!o.system) {
      o.pages = o.singlePages;
      for (int32_t e : o.extents)
        for (int32_t p = e; p < e + 8; ++p) o.pages.push_back(p);
    }
    for (int32_t p : o.iamPages) {
      l.role[size_t(p)] = Role::kIam;
      l.owner[size_t(p)] = int32_t(oi);
    }
    for (size_t j = 0; j < o.pages.size(); ++j) {
      const size_t p = size_t(o.pages[j]);
      l.role[p] = o.index ? Role::kIndex : Role::kData;
      l.owner[p] = int32_t(oi);
      l.chainPos[p] = int32_t(j);
    }
  }
  return l;
}

void BuildPage(const Layout& l, int32_t k, uint8_t* out) {
  std::memset(out, 0, kPageBytes);
  const Options& o = l.options;
  Rng r = PageRng(o.seed, k, 0);
  const Role role = l.role[size_t(k)];
  switch (role) {
    case Role::kFree:
      if (o.garbageFraction > 0 && r.Unit() < o.garbageFraction) r.Fill(out, kPageBytes);
      return;
    case Role::kFileHeader:
      BuildFileHeaderPage(out, o.pages, o.logicalName, o.fileId, int(Rng(o.seed).Below(4)));
      break;
    case Role::kPfs: {
      const int32_t first = k == 1 ? 0 : k;
      const int32_t count = std::min<int32_t>(page::kPfsInterval, o.pages - first);
      std::vector<uint8_t> bytes(static_cast<size_t>(count));
      for (int32_t i = 0; i < count; ++i) bytes[size_t(i)] = l.PfsByte(first + i);
      BuildPfsPage(out, k, bytes, o.fileId);
      break;
    }
    case Role::kAllocation: BuildFixedAllocationPage(l, k, out); break;
    case Role::kBoot: BuildBootPage(l, out); break;
    case Role::kIam: BuildIamOf(l, k, out); break;
    case Role::kData:
    case Role::kIndex:
      if (k == kNamePage && OwnerOf(l, k)->system)
        BuildNamePage(out, o.logicalName, o.physicalName, o.fileId);
      else
        BuildRowsPage(l, k, out);
      break;
  }
  Header lsn;
  SetLsn(lsn, r);
  PutLe32(out + page::off::lsn, lsn.lsn1);
  PutLe32(out + page::off::lsn + 4, lsn.lsn2);
  PutLe16(out + page::off::lsn + 8, lsn.lsn3);
  // Data and index pages carry other flags in the upper bits of byte 5.
  if (role == Role::kData || role == Role::kIndex) out[5] = uint8_t(out[5] | (r.Below(4) << 6));
  if (k == 7 && o.unverifiedPage7) {
    ProtectPage(out, Protection::kNone);
    return;
  }
  ProtectPage(out, o.protection, uint8_t(1 + r.Below(2)));
}

std::vector<uint8_t> GenerateFile(const Options& options) {
  auto layout = Plan(options);
  if (!layout) return {};
  std::vector<uint8_t> bytes(size_t(options.pages) * kPageBytes);
  for (int32_t k = 0; k < options.pages; ++k) BuildPage(*layout, k, bytes.data() + size_t(k) * kPageBytes);
  return bytes;
}

bool WriteFile(const std::filesystem::path& path, const Options& options, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  auto layout = Plan(options);
  if (!layout) return fail("unusable options (at least " + std::to_string(kMinPages) + " pages, fractions 0..1)");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return fail("cannot create " + path.string());
  constexpr int32_t kBatch = 128;
  std::vector<uint8_t> buf(size_t(kBatch) * kPageBytes);
  for (int32_t k = 0; k < options.pages; k += kBatch) {
    const int32_t m = std::min(kBatch, options.pages - k);
    for (int32_t i = 0; i < m; ++i) BuildPage(*layout, k + i, buf.data() + size_t(i) * kPageBytes);
    out.write(reinterpret_cast<const char*>(buf.data()), std::streamsize(size_t(m) * kPageBytes));
    if (!out) return fail("cannot write " + path.string());
  }
  out.close();
  if (!out) return fail("cannot write " + path.string());
  return true;
}

// ---- building blocks ----

void WriteHeader(uint8_t* p, const Header& h) {
  namespace off = page::off;
  std::memset(p, 0, page::kHeaderBytes);
  p[off::headerVersion] = 1;
  p[off::pageType] = h.pageType;
  p[off::typeFlagBits] = h.typeFlagBits;
  p[off::level] = h.level;
  PutLe16(p + off::flagBits, h.flagBits);
  PutLe16(p + off::indexId, h.indexId);
  PutLe32(p + off::prevPageId, uint32_t(h.prevPageId));
  PutLe16(p + off::prevFileId, h.prevFileId);
  PutLe16(p + off::minLen, h.minLen);
  PutLe32(p + off::nextPageId, uint32_t(h.nextPageId));
  PutLe16(p + off::nextFileId, h.nextFileId);
  PutLe16(p + off::slotCount, h.slotCount);
  PutLe32(p + off::objectId, uint32_t(h.objectId));
  PutLe16(p + off::freeCount, h.freeCount);
  PutLe16(p + off::freeData, h.freeData);
  PutLe32(p + off::pageId, uint32_t(h.pageId));
  PutLe16(p + off::fileId, h.fileId);
  PutLe16(p + off::reservedCount, h.reservedCount);
  PutLe32(p + off::lsn, h.lsn1);
  PutLe32(p + off::lsn + 4, h.lsn2);
  PutLe16(p + off::lsn + 8, h.lsn3);
  PutLe16(p + off::ghostRecordCount, h.ghostRecordCount);
}

void ProtectPage(uint8_t* page, Protection protection, uint8_t tornPattern) {
  page[5] = uint8_t(page[5] & 0xF0);
  PutLe32(page + page::off::tornBits, 0);
  switch (protection) {
    case Protection::kNone: break;
    case Protection::kChecksum:
      page[5] |= 0x02;
      PutLe32(page + page::off::tornBits, page::PageChecksum(page));
      break;
    case Protection::kTornBits: {
      const uint8_t t = (tornPattern == 2) ? 2 : 1;
      page[5] |= 0x01;
      uint32_t saved = t;
      for (int k = 1; k < 16; ++k) {
        uint8_t& b = page[512 * k + 511];
        saved |= uint32_t(b & 3) << (2 * k);
        b = uint8_t((b & 0xFC) | t);
      }
      PutLe32(page + page::off::tornBits, saved);
      break;
    }
  }
}

void SetSlot(uint8_t* page, int slot, uint16_t rowOffset) { PutLe16(page + kPageBytes - 2 - 2 * slot, rowOffset); }

void BuildFileHeaderPage(uint8_t* page, int32_t pageCount, const std::string& logicalName, uint16_t fileId,
                         int olderCopies) {
  olderCopies = std::clamp(olderCopies, 0, 3);
  Header h;
  h.pageType = page::kFileHeader;
  h.flagBits = 0x0008;
  h.objectId = page::kAllocationObjectId;
  h.pageId = 0;
  h.fileId = fileId;
  h.slotCount = 1;
  h.freeData = uint16_t(96 + (olderCopies + 1) * kHeaderRecordBytes);
  h.freeCount = uint16_t(kPageBytes - h.freeData - 2);
  WriteHeader(page, h);
  const std::u16string name = Utf8ToUtf16(logicalName);
  for (int c = 0; c <= olderCopies; ++c) {
    uint8_t* rec = page + 96 + c * kHeaderRecordBytes;
    // Older copies recorded smaller sizes as the file grew.
    const int32_t count =
        c == olderCopies ? pageCount
                         : std::max<int32_t>(8, int32_t(int64_t(pageCount) * (c + 1) / (olderCopies + 1) / 8 * 8));
    rec[0] = 0x30;
    PutLe16(rec + 2, 8);
    PutLe16(rec + 8, 0x2F);     // columns
    PutLe16(rec + 16, 0x2E);    // variable-length columns and their end offsets
    for (int i = 0; i < 46; ++i) PutLe16(rec + 18 + 2 * i, uint16_t(0x7E + 8 * i));
    PutLe16(rec + 110, fileId);
    PutLe32(rec + 112, 0x00010001u);
    PutLe32(rec + kPageCountInRecord, uint32_t(count));
    PutLe32(rec + kPageCountInRecord + 4, 0xFFFFFFFFu);
    PutLe32(rec + 138, 0x80);
    PutLe32(rec + 180, uint32_t(count));  // the size the file was created with
    PutUtf16Padded(rec + 330, name, std::min<size_t>(name.size(), 128), u'\0');
  }
  SetSlot(page, 0, uint16_t(96 + olderCopies * kHeaderRecordBytes));
}

void BuildNamePage(uint8_t* page, const std::string& logicalName, const std::string& physicalName, uint16_t fileId) {
  constexpr int kLogical = 128, kPhysical = 260;
  constexpr int kFixed = 4 + 6 + 2 * kLogical + 2 * kPhysical;  // 786
  constexpr int kRow = kFixed + 6;
  Header h;
  h.pageType = page::kData;
  h.flagBits = 0x0006;
  h.objectId = kSystemObjectId;
  h.pageId = kNamePage;
  h.fileId = fileId;
  h.minLen = kFixed;
  h.slotCount = 2;
  h.freeData = uint16_t(96 + 2 * kRow);
  h.freeCount = uint16_t(kPageBytes - h.freeData - 4);
  WriteHeader(page, h);
  auto row = [&](int at, uint16_t status, uint16_t id, const std::string& logical, const std::string& physical) {
    uint8_t* r = page + at;
    r[0] = 0x10;
    PutLe16(r + 2, kFixed);
    PutLe16(r + 4, status);
    PutLe16(r + 8, id);
    PutUtf16Padded(r + 10, Utf8ToUtf16(logical), kLogical, u' ');
    PutUtf16Padded(r + 10 + 2 * kLogical, Utf8ToUtf16(physical), kPhysical, u' ');
    PutLe16(r + kFixed, 4);  // column count, then an empty null bitmap
  };
  row(96, 0x0002, fileId, logicalName, physicalName);
  row(96 + kRow, 0x0042, 2, logicalName + "_log", LogName(physicalName));
  SetSlot(page, 0, 96);
  SetSlot(page, 1, uint16_t(96 + kRow));
}

void BuildPfsPage(uint8_t* page, int32_t pageId, std::span<const uint8_t> pfsBytes, uint16_t fileId) {
  Header h;
  h.pageType = page::kPfs;
  h.objectId = page::kAllocationObjectId;
  h.pageId = pageId;
  h.fileId = fileId;
  h.slotCount = 1;
  h.freeData = uint16_t(96 + 4 + page::kPfsInterval);
  h.freeCount = uint16_t(kPageBytes - h.freeData - 2);
  WriteHeader(page, h);
  PutLe16(page + 96 + 2, uint16_t(4 + page::kPfsInterval));
  std::memcpy(page + 100, pfsBytes.data(), std::min<size_t>(pfsBytes.size(), size_t(page::kPfsInterval)));
  SetSlot(page, 0, 96);
}

void BuildIamPage(uint8_t* page, int32_t pageId, int32_t objectId, uint16_t indexId, int32_t firstPage,
                  std::span<const int32_t> singlePages, std::span<const int32_t> extents, uint16_t fileId) {
  Header h;
  h.pageType = page::kIam;
  h.objectId = objectId;
  h.indexId = indexId;
  h.pageId = pageId;
  h.fileId = fileId;
  BuildAllocationShape(page, h);
  uint8_t* row = page + kAllocHeaderRow;
  PutLe32(row + 40, uint32_t(firstPage));
  PutLe16(row + 44, fileId);
  for (size_t j = 0; j < std::min<size_t>(singlePages.size(), 8); ++j) {
    PutLe32(row + 46 + 6 * j, uint32_t(singlePages[j]));
    PutLe16(row + 50 + 6 * j, fileId);
  }
  uint8_t* bitmap = page + kAllocBitmapRow + 4;
  for (int32_t e : extents) {
    const int64_t index = (int64_t(e) - firstPage) / 8;
    if (index >= 0 && index < int64_t(kAllocBitmapBytes) * 8) bitmap[index / 8] |= uint8_t(1u << (index % 8));
  }
}

std::u16string Utf8ToUtf16(const std::string& s) {
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  std::u16string out;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = p[i];
    const int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    bool ok = extra >= 0 && i + size_t(extra) < n;
    if (ok && extra > 0) {
      c &= 0x3Fu >> extra;
      for (int j = 1; j <= extra; ++j) {
        const uint8_t b = p[i + size_t(j)];
        ok = ok && (b & 0xC0) == 0x80;
        c = (c << 6) | (b & 0x3Fu);
      }
      ok = ok && c >= kMin[extra] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    }
    if (!ok) {
      out.push_back(char16_t(0xFFFD));
      ++i;
      continue;
    }
    i += size_t(extra) + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(char16_t(0xD800 + (c >> 10)));
      out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(char16_t(c));
    }
  }
  return out;
}

int64_t WriteScatteredImage(const std::filesystem::path& image, const std::vector<uint8_t>& file, uint32_t seed,
                            int lostEvery) {
  std::ofstream out(image, std::ios::binary | std::ios::trunc);
  if (!out) return -1;
  std::mt19937 rng(seed);
  std::vector<uint8_t> noise(24 * 512);
  const int64_t sectors = int64_t(file.size() / 512);
  int64_t runs = 0;
  for (int64_t s = 0; s < sectors; ++runs) {
    const bool first = runs == 0;
    const int64_t n = std::min<int64_t>(sectors - s, first ? 33 * 16 : 8 + int64_t(rng() % 17));
    for (auto& c : noise) c = uint8_t(rng());
    out.write(reinterpret_cast<const char*>(noise.data()), std::streamsize(512 * (1 + rng() % 8)));
    if (lostEvery > 0 && !first && rng() % uint32_t(lostEvery) == 0) {
      for (auto& c : noise) c = uint8_t(rng());
      out.write(reinterpret_cast<const char*>(noise.data()), std::streamsize(n * 512));
    } else {
      out.write(reinterpret_cast<const char*>(file.data() + s * 512), std::streamsize(n * 512));
    }
    s += n;
  }
  return out.good() ? runs : -1;
}

}  // namespace sorrelon::mdfgen
