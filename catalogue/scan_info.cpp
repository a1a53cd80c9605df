#include "catalogue/scan_info.h"

#include <cstdio>
#include <limits>
#include <mutex>
#include <random>

#include "base/text.h"
#include "catalogue/out_file.h"
#include "storage/codec.h"

namespace sorrelon {

// ---- the cipher ----

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Value of a hexadecimal digit (either case), -1 for any other character.
struct HexTable {
  int8_t v[256];
  constexpr HexTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 10; ++i) v['0' + i] = int8_t(i);
    for (int i = 0; i < 6; ++i) v['A' + i] = v['a' + i] = int8_t(10 + i);
  }
};
constexpr HexTable kHex;

uint8_t RandomByte() {
  static std::mutex m;
  static std::mt19937 gen{std::random_device{}()};
  std::lock_guard<std::mutex> lock(m);
  return uint8_t(std::uniform_int_distribution<int>(0, 255)(gen));
}

}  // namespace

std::string Encipher(std::string_view plain, std::string_view key, uint8_t first) {
  std::string out(2 + 2 * plain.size(), '0');
  char* o = out.data();
  unsigned a = first;
  o[0] = kHexDigits[a >> 4];
  o[1] = kHexDigits[a & 15];
  o += 2;
  size_t j = 0;
  for (char ch : plain) {
    const unsigned b = uint8_t(ch);
    const unsigned k = key.empty() ? 0 : uint8_t(key[j]);
    a = ((a + b) % 255) ^ k;
    *o++ = kHexDigits[(a >> 4) & 15];
    *o++ = kHexDigits[a & 15];
    if (++j >= key.size()) j = 0;
  }
  return out;
}

std::string Encipher(std::string_view plain, std::string_view key) { return Encipher(plain, key, RandomByte()); }

std::optional<std::string> Decipher(std::string_view hex, std::string_view key) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  std::string out(hex.size() / 2 - 1, '\0');
  auto pair = [&](size_t i) {
    const int hi = kHex.v[uint8_t(hex[i])], lo = kHex.v[uint8_t(hex[i + 1])];
    return (hi | lo) < 0 ? -1 : hi * 16 + lo;
  };
  int first = pair(0);
  if (first < 0) return std::nullopt;
  int a = first;
  size_t j = 0;
  for (size_t i = 2, n = 0; i + 1 < hex.size(); i += 2, ++n) {
    const int v = pair(i);
    if (v < 0) return std::nullopt;
    const int k = key.empty() ? 0 : uint8_t(key[j]);
    const int c = v ^ k;
    out[n] = char(uint8_t(a < c ? c - a : c - a + 255));
    a = v;
    if (++j >= key.size()) j = 0;
  }
  return out;
}

// ---- record text as stored bytes ----

namespace {

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (uint8_t(c) >= 0x80) return false;
  return true;
}

// UTF-8 to GB18030. Text that is not valid UTF-8 (which a record should never
// hold) is converted sequence by sequence, an invalid byte becoming "?", so
// that one bad remark cannot keep the rest of the store from being saved.
std::string ToStoredText(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  if (auto g = Utf8ToGb18030(utf8)) return *g;
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t c = uint8_t(utf8[i]);
    size_t len = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (len == 1) {
      out.push_back(char(c));
      ++i;
      continue;
    }
    std::optional<std::string> g;
    if (len && i + len <= utf8.size()) g = Utf8ToGb18030(utf8.substr(i, len));
    if (g) {
      out += *g;
      i += len;
    } else {
      out.push_back('?');
      ++i;
    }
  }
  return out;
}

// GB18030 to UTF-8. Bytes that do not form a GB18030 character (a file
// written by a program with another code page) become U+FFFD one by one; the
// numeric fields are ASCII and always survive.
std::string FromStoredText(std::string_view gb) {
  if (IsAscii(gb)) return std::string(gb);
  if (auto u = Gb18030ToUtf8(gb)) return *u;
  auto in = [](uint8_t b, uint8_t lo, uint8_t hi) { return b >= lo && b <= hi; };
  std::string out;
  for (size_t i = 0; i < gb.size();) {
    const uint8_t c = uint8_t(gb[i]);
    if (c < 0x80) {
      out.push_back(char(c));
      ++i;
      continue;
    }
    size_t len = 0;
    if (in(c, 0x81, 0xFE) && i + 1 < gb.size()) {
      const uint8_t d = uint8_t(gb[i + 1]);
      if (in(d, 0x40, 0x7E) || in(d, 0x80, 0xFE)) len = 2;
      else if (in(d, 0x30, 0x39) && i + 3 < gb.size() && in(uint8_t(gb[i + 2]), 0x81, 0xFE) &&
               in(uint8_t(gb[i + 3]), 0x30, 0x39))
        len = 4;
    }
    std::optional<std::string> u;
    if (len) u = Gb18030ToUtf8(gb.substr(i, len));
    if (u) {
      out += *u;
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string EncodeScanInfoLine(const Fragment& f) { return Encipher(ToStoredText(f.ToLine()), kScanInfoKey); }

std::optional<Fragment> DecodeScanInfoLine(std::string_view line) {
  auto plain = Decipher(line, kScanInfoKey);
  if (!plain) return std::nullopt;
  return Fragment::FromLine(FromStoredText(*plain));
}

// ---- files ----

bool WriteScanInfoFile(const std::string& path, const FragmentStore& store, std::string* error, bool* created) {
  OutFile out;
  if (created) *created = false;
  if (!out.Create(path)) {
    if (error) *error = out.error();
    return false;
  }
  if (created) *created = true;
  std::string line;
  for (size_t i = 0; i < store.size(); ++i) {
    line = EncodeScanInfoLine(store[i]);
    line += "\r\n";
    if (!out.Append(line.data(), line.size())) break;
  }
  if (!out.Close()) {
    if (error) *error = out.error();
    return false;
  }
  return true;
}

std::optional<std::vector<Fragment>> ReadScanInfoFile(const std::string& path, ScanInfoReadError* error) {
  ScanInfoReadError err;
  auto fail = [&](ScanInfoReadError::Kind kind, std::string detail = {}) -> std::optional<std::vector<Fragment>> {
    err.kind = kind;
    err.detail = std::move(detail);
    if (error) *error = err;
    return std::nullopt;
  };
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return fail(ScanInfoReadError::CannotOpen);
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};

  std::vector<Fragment> records;
  std::string line;
  int64_t lineNo = 0;
  bool afterCr = false;
  // One line ends at CR, LF or CR LF; anything that is not a record rejects
  // the whole file.
  auto take = [&]() -> bool {
    ++lineNo;
    auto rec = DecodeScanInfoLine(line);
    line.clear();
    if (!rec) {
      err.kind = ScanInfoReadError::BadLine;
      err.line = lineNo;
      return false;
    }
    if (records.size() >= FragmentStore::kCapacity) {
      err.kind = ScanInfoReadError::TooMany;
      return false;
    }
    records.push_back(std::move(*rec));
    return true;
  };
  auto rejected = [&]() -> std::optional<std::vector<Fragment>> {
    if (error) *error = err;
    return std::nullopt;
  };
  std::vector<char> buf(1 << 16);
  for (;;) {
    const size_t got = std::fread(buf.data(), 1, buf.size(), f);
    for (size_t i = 0; i < got; ++i) {
      const char c = buf[i];
      if (c == '\n' && afterCr) {
        afterCr = false;
        continue;
      }
      afterCr = c == '\r';
      if (c == '\r' || c == '\n') {
        if (!take()) return rejected();
      } else {
        line.push_back(c);
      }
    }
    if (got < buf.size()) {
      if (std::ferror(f)) return fail(ScanInfoReadError::ReadFailed);
      break;
    }
  }
  if (!line.empty() && !take()) return rejected();
  if (error) *error = err;
  return records;
}

std::string ScanInfoErrorText(const std::string& path, const ScanInfoReadError& e) {
  switch (e.kind) {
    case ScanInfoReadError::CannotOpen: return "error,无法打开文件";
    case ScanInfoReadError::BadLine:
      return "error,扫描信息文件无效,第" + std::to_string(e.line) + "行不是碎片记录(NOT A SCAN INFO FILE): " + path;
    case ScanInfoReadError::TooMany:
      return "error,扫描信息文件的碎片数量超过上限" + std::to_string(FragmentStore::kCapacity) +
             "(TOO MANY FRAGMENTS): " + path;
    case ScanInfoReadError::ReadFailed: return "error,读取文件失败(READ FAILED): " + path;
    case ScanInfoReadError::None: break;
  }
  return {};
}

// ---- SAVE ----

SaveResult SaveScanInfo(ScanInfoContext& ctx) {
  SaveResult res;
  Person& person = ctx.person;
  if (auto path = person.ChooseSaveFile(kSaveScanInfoTitle, "")) {
    std::string error;
    bool created = false, ok;
    {
      std::lock_guard<std::mutex> lock(ctx.cat.mutex);
      ok = WriteScanInfoFile(*path, ctx.cat.store, &error, &created);
    }
    if (!ok) {
      if (!created) person.Message("error,无法创建文件", "提示");
      else person.Message(WriteFailedText(*path, error), "提示");
      return res;
    }
    res.scanInfoWritten = true;
  }
  if (!person.Ask(kSaveContentQuestion, kSaveContentCaption)) return res;
  auto contentPath = person.ChooseSaveFile(kSaveContentTitle, kDefaultContentName);
  if (!contentPath) return res;
  res.content = WriteContentFile(*contentPath, ctx.cat.store, ctx.reader, ctx.ds.sectorsPerCluster, person);
  return res;
}

// ---- OPEN ----

bool LoadScanInfoFile(ScanInfoContext& ctx, const std::string& path) {
  Person& person = ctx.person;
  auto id = ParseInt64(ctx.fileIdText);
  if (!id) {
    person.Message("'" + ctx.fileIdText + "' is not a valid integer value (文件ID)", "提示");
    return false;
  }
  ctx.scanFileId = uint16_t(*id);

  ScanInfoReadError err;
  auto records = ReadScanInfoFile(path, &err);
  if (!records) {
    person.Message(ScanInfoErrorText(path, err), "提示");
    return false;
  }

  bool assemblyChanged = false;
  {
    Catalogue& cat = ctx.cat;
    std::lock_guard<std::mutex> lock(cat.mutex);
    cat.store.Replace(std::move(*records));
    const size_t n = cat.store.size();
    RebuildFragmentList(cat.store, cat.fragmentList);
    // The assembly flags keep their values; they stay one per fragment. Rows
    // of the other lists that name a fragment the new store does not have
    // are dropped (they would point past its end).
    cat.assemblyFlags.resize(n, 0);
    auto dropStale = [n](RowList& list) {
      const size_t before = list.rows.size();
      std::erase_if(list.rows, [n](const ListRow& r) { return r.fragment < 0 || size_t(r.fragment) >= n; });
      if (list.rows.size() != before) list.current = -1;
      return list.rows.size() != before;
    };
    assemblyChanged = dropStale(cat.assemblyList);
    dropStale(cat.databaseFiles);
    cat.startIndex.Build(cat.store);
  }

  auto secs = ParseInt32(ctx.secsText);
  ctx.ds.sectorsPerCluster =
      secs && *secs >= std::numeric_limits<int16_t>::min() && *secs <= std::numeric_limits<int16_t>::max()
          ? int16_t(*secs)
          : int16_t(8);

  person.Changed(View::FragmentList);
  if (assemblyChanged) person.Changed(View::AssemblyList);
  return true;
}

bool OpenContentFile(ScanInfoContext& ctx, const std::string& path) {
  Person& person = ctx.person;
  std::unique_ptr<ContentFile> file;
  {
    std::lock_guard<std::mutex> lock(ctx.cat.mutex);
    file = ContentFile::Open(path, ctx.cat.store);
  }
  if (!file) {
    person.Message("error,无法打开文件", "提示");
    return false;
  }
  if (!file->Matches()) {
    // The blocks of the store and the trailer do not add up to this file: it
    // was cut short (its saving stopped) or belongs to another scan. Its
    // trailer and every block would be misread, so it is not used.
    person.Message("error,碎片内容文件与扫描信息不符(CONTENT FILE DOES NOT MATCH THE SCAN INFO): " + path + " (" +
                       std::to_string(file->Size()) + " bytes, expected " + std::to_string(file->ExpectedSize()) +
                       ")",
                   "提示");
    return false;
  }
  if (Trim(ctx.secsText).empty()) {
    ctx.ds.sectorsPerCluster = file->SectorsPerCluster();
    ctx.secsText = std::to_string(file->SectorsPerCluster());
    person.Changed(View::SourceFields);
  }
  UseContentFile(std::move(file), ctx.content, ctx.ds, ctx.fragments);
  return true;
}

OpenResult OpenScanInfo(ScanInfoContext& ctx) {
  OpenResult res;
  Person& person = ctx.person;
  if (auto path = person.ChooseOpenFile("打开扫描信息文件(OPEN)", "")) {
    if (!LoadScanInfoFile(ctx, *path)) return res;
    res.storeReplaced = true;
  } else {
    std::lock_guard<std::mutex> lock(ctx.cat.mutex);
    ctx.cat.startIndex.Build(ctx.cat.store);
  }
  if (!person.Ask(kOpenContentQuestion, kOpenContentCaption)) return res;
  auto contentPath = person.ChooseOpenFile(kOpenContentCaption, "");
  if (!contentPath) return res;
  res.contentOpened = OpenContentFile(ctx, *contentPath);
  return res;
}

}  // namespace sorrelon
