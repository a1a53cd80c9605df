#include "catalogue/scan_info.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "session/session.h"
#include "tests/support/fake_person.h"
#include "tests/support/fsimage.h"
#include "tests/support/image.h"
#include "tests/support/testdata.h"

namespace sorrelon {
namespace {

namespace fs = std::filesystem;
using test::FakePerson;

const std::string kGbkInvalidHeader = "\xCE\xDE\xD0\xA7\xCE\xC4\xBC\xFE\xCD\xB7";  // 无效文件头 in code page 936

std::string ReadText(const fs::path& p) {
  auto b = test::ReadFileBytes(p);
  return std::string(b.begin(), b.end());
}
void WriteText(const fs::path& p, const std::string& s) { test::WriteFileBytes(p, std::vector<uint8_t>(s.begin(), s.end())); }

std::vector<Fragment> SampleRecords() {
  return {
      {1, 2048, 2208, 80, 0, 10, "无效文件头,size:1024KB", true},
      {2, 4096, 4144, 24, 10, 13, " ", false},
      {3, 9000000000, 9000000016, 8, 13, 14, "D:\\数据\\shop.mdf(512.00 MB)", true},
  };
}

TEST(KeyedHexCipher, VectorsAndProperties) {
  struct Vector {
    std::string plain;
    uint8_t first;
    const char* hex;
  } vectors[] = {
      {"", 0x00, "00"},
      {"A", 0x00, "000A"},
      {"1|", 0xFA, "FA67AC"},  // (a + b) wraps past 255
      {"1|1000|1048|24|8|11| |Y|", 0x7F, "7FFB373A3C251ED555D34132E1462CE15182E14588E32FDA01"},
      {"\xFE\x01", 0xFF, "FFB5F9"},
  };
  for (auto& v : vectors) {
    EXPECT_EQ(Encipher(v.plain, kScanInfoKey, v.first), v.hex) << v.plain;
    EXPECT_EQ(Decipher(v.hex, kScanInfoKey), v.plain) << v.hex;
    std::string lower = v.hex;
    for (char& c : lower) c = char(std::tolower(c));
    EXPECT_EQ(Decipher(lower, kScanInfoKey), v.plain) << "lower-case digits";
  }

  // Every byte 1 ... 254 comes back after any first value; n bytes give 2 + 2n
  // upper-case digits.
  std::string all;
  for (int b = 1; b <= 254; ++b) all.push_back(char(b));
  for (int first = 0; first < 256; ++first) {
    std::string hex = Encipher(all, kScanInfoKey, uint8_t(first));
    ASSERT_EQ(hex.size(), 2 + 2 * all.size());
    ASSERT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    ASSERT_EQ(Decipher(hex, kScanInfoKey), all) << "first value " << first;
  }
  // 0 and 255 are not told apart: 0 comes back as 255 unless a was 255.
  EXPECT_EQ(Decipher(Encipher(std::string(1, '\0'), kScanInfoKey, 7), kScanInfoKey), "\xFF");
  EXPECT_EQ(Decipher(Encipher(std::string(1, '\xFF'), kScanInfoKey, 255), kScanInfoKey), std::string(1, '\0'));

  // A random first value: encipherings differ, and all decipher.
  const std::string rec = "1|1000|1048|24|8|11| |Y|";
  std::set<std::string> seen;
  for (int i = 0; i < 8; ++i) {
    std::string hex = Encipher(rec, kScanInfoKey);
    EXPECT_EQ(Decipher(hex, kScanInfoKey), rec);
    seen.insert(hex);
  }
  EXPECT_GT(seen.size(), 1u);

  for (const char* bad : {"", "0", "ABC", "0G", "00 1", "+1", "ZZZZ"}) EXPECT_FALSE(Decipher(bad, kScanInfoKey)) << bad;
}

TEST(ScanInfoLine, StoresGb18030AndReadsCodePage936Lines) {
  // A line as written under code page 936: the record's bytes in GBK.
  const std::string gbkRecord = "1|1000|1048|24|0|3|" + kGbkInvalidHeader + ",size:1024KB|Y|";
  auto rec = DecodeScanInfoLine(Encipher(gbkRecord, kScanInfoKey, 0x42));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->remark, "无效文件头,size:1024KB");
  EXPECT_EQ(rec->ToLine(), "1|1000|1048|24|0|3|无效文件头,size:1024KB|Y|");
  // And a line written here holds those same bytes.
  EXPECT_EQ(Decipher(EncodeScanInfoLine(*rec), kScanInfoKey), gbkRecord);

  // Characters beyond GBK survive (four-byte GB18030); bytes of another code
  // page become U+FFFD without losing the record.
  Fragment f{5, 64, 80, 8, 0, 1, "E:\\€😀.mdf", true};
  EXPECT_EQ(DecodeScanInfoLine(EncodeScanInfoLine(f))->remark, f.remark);
  auto odd = DecodeScanInfoLine(Encipher("5|64|80|8|0|1|a\x80z|Y|", kScanInfoKey, 1));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->remark, "a\xEF\xBF\xBDz");
  EXPECT_EQ(odd->startSector, 64);

  // A remark that is not UTF-8 at all still leaves a record behind.
  Fragment bad{6, 96, 112, 8, 0, 1, "a\xFF\xC3z", true};
  EXPECT_EQ(DecodeScanInfoLine(EncodeScanInfoLine(bad))->remark, "a??z");

  EXPECT_FALSE(DecodeScanInfoLine(Encipher("not a record", kScanInfoKey, 3)));
  EXPECT_FALSE(DecodeScanInfoLine(Encipher("1|2|3|4|5|6| |Y", kScanInfoKey, 3)));
}

TEST(ScanInfoFile, WritesCrLfLinesAndReadsAnyLineEnd) {
  auto dir = test::TempDir("scaninfo_file");
  FragmentStore store;
  for (auto& f : SampleRecords()) store.Append(f);
  ASSERT_TRUE(WriteScanInfoFile((dir / "a.sif").string(), store));

  const std::string text = ReadText(dir / "a.sif");
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t crlf = text.find("\r\n", pos);
    ASSERT_NE(crlf, std::string::npos) << "every line, the last included, ends in CR LF";
    lines.push_back(text.substr(pos, crlf - pos));
    pos = crlf + 2;
  }
  ASSERT_EQ(lines.size(), 3u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(DecodeScanInfoLine(lines[i])->ToLine(), store[i].ToLine());
  }

  for (const char* eol : {"\r\n", "\n", "\r"}) {
    std::string joined;
    for (auto& l : lines) joined += l + eol;
    if (std::string(eol) == "\n") joined.pop_back();  // the last line may also go unterminated
    WriteText(dir / "b.sif", joined);
    auto back = ReadScanInfoFile((dir / "b.sif").string());
    ASSERT_TRUE(back) << "line end " << int(eol[0]);
    ASSERT_EQ(back->size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ((*back)[i].ToLine(), store[i].ToLine());
  }

  FragmentStore empty;
  ASSERT_TRUE(WriteScanInfoFile((dir / "e.sif").string(), empty));
  EXPECT_EQ(fs::file_size(dir / "e.sif"), 0u);
  EXPECT_EQ(ReadScanInfoFile((dir / "e.sif").string())->size(), 0u);

  std::string error;
  EXPECT_FALSE(WriteScanInfoFile("/dev/full", store, &error));
  EXPECT_FALSE(error.empty());
}

// OPEN and SAVE through a session, as the window drives them.
struct Rig {
  fs::path dir;
  Session s;
  FakePerson person;
  ScanInfoContext ctx = s.ScanInfo(person);
  explicit Rig(const std::string& name) : dir(test::TempDir(name)) {}
  void Seed(size_t n) {  // a store and an assembly list that opening must not disturb
    for (size_t i = 0; i < n; ++i)
      s.catalogue.store.Append({int32_t(i + 1), int64_t(100 + 16 * i), int64_t(116 + 16 * i), 8, int32_t(i), int32_t(i + 1), " ", true});
    s.catalogue.ClearAssemblyFlags();
    for (size_t i = 0; i < n; ++i) s.catalogue.SetAssemblyFlag(i, 1);
    RebuildAssemblyList(s.catalogue.store, s.catalogue.assemblyFlags, s.catalogue.assemblyList);
  }
};

TEST(OpenScanInfo, RejectsABadFileOrFileIdAndKeepsTheStore) {
  Rig r("scaninfo_reject");
  FragmentStore store;
  for (auto& f : SampleRecords()) store.Append(f);
  ASSERT_TRUE(WriteScanInfoFile((r.dir / "good.sif").string(), store));
  const std::string good = ReadText(r.dir / "good.sif");
  const std::string line1 = good.substr(0, good.find("\r\n"));

  struct Case {
    const char* what;
    std::string text;
    int64_t badLine;
  } cases[] = {
      {"empty line", line1 + "\r\n\r\n" + line1 + "\r\n", 2},
      {"odd length", line1 + "\r\n" + line1.substr(1) + "\r\n", 2},
      {"not hexadecimal", line1 + "\r\n" + line1 + "\r\nXY" + line1.substr(2) + "\r\n", 3},
      {"not a record", Encipher("hello|world|", kScanInfoKey, 9) + "\r\n", 1},
  };
  for (auto& c : cases) {
    r.Seed(2);
    r.person.messages.clear();
    WriteText(r.dir / "bad.sif", c.text);
    EXPECT_FALSE(LoadScanInfoFile(r.ctx, (r.dir / "bad.sif").string())) << c.what;
    ASSERT_EQ(r.person.messages.size(), 1u) << c.what;
    EXPECT_NE(r.person.messages[0].text.find("第" + std::to_string(c.badLine) + "行"), std::string::npos)
        << c.what << ": " << r.person.messages[0].text;
    EXPECT_EQ(r.s.catalogue.store.size(), 2u) << c.what;
    r.s.catalogue.Clear();
  }

  // A file id that is not a number stops before the file is even read.
  r.Seed(2);
  r.person.messages.clear();
  r.s.fileIdText = "文件ID";
  EXPECT_FALSE(LoadScanInfoFile(r.ctx, (r.dir / "good.sif").string()));
  ASSERT_EQ(r.person.messages.size(), 1u);
  EXPECT_EQ(r.person.messages[0].text, "'文件ID' is not a valid integer value (文件ID)");
  EXPECT_EQ(r.s.catalogue.store.size(), 2u);

  r.s.fileIdText = "1";
  r.person.messages.clear();
  EXPECT_FALSE(LoadScanInfoFile(r.ctx, (r.dir / "missing.sif").string()));
  EXPECT_EQ(r.person.MessageTexts(), std::vector<std::string>{"error,无法打开文件"});
}

TEST(OpenScanInfo, ReplacesTheStoreAndTurnsContentModeOn) {
  Rig r("scaninfo_open");
  // A source and the files saved from it.
  test::Image img(20000);
  std::vector<Fragment> recs = {{1, 1000, 1048, 24, 8, 11, " ", true},
                                {2, 3000, 3032, 16, 0, 2, "无效文件头,size:16KB", true},
                                {3, 5000, 5016, 8, 20, 21, " ", false}};
  for (auto& f : recs)
    for (int32_t k = 0; k < f.Pages(); ++k) img.Put(f.startSector + 16 * k, test::SimplePage(f.startPage + k));
  img.Write(r.dir / "src.img");
  {
    Rig saver("scaninfo_open_save");
    saver.s.source.devicePath = (r.dir / "src.img").string();
    saver.s.source.sectorsPerCluster = 2;
    for (auto& f : recs) saver.s.catalogue.store.Append(f);
    saver.person.files = {(r.dir / "a.sif").string(), (r.dir / "a.spc").string()};
    saver.person.answers = {true};
    SaveResult res = SaveScanInfo(saver.ctx);
    EXPECT_TRUE(res.scanInfoWritten);
    ASSERT_TRUE(res.content && res.content->complete);
    EXPECT_EQ(saver.person.dialogTitles, (std::vector<std::string>{kSaveScanInfoTitle, kSaveContentTitle}));
    EXPECT_EQ(saver.person.dialogDefaults[1], "spcontent");
    ASSERT_EQ(saver.person.questions.size(), 1u);
    EXPECT_EQ(saver.person.questions[0].text, kSaveContentQuestion);
    EXPECT_EQ(saver.person.questions[0].caption, "保存碎片内容");
    EXPECT_EQ(saver.person.MessageTexts(), std::vector<std::string>{"success"});
  }

  for (const char* secs : {"4", ""}) {
    Rig o("scaninfo_open_run");
    o.Seed(5);  // five records, all in the assembly
    o.s.fileIdText = "3";
    o.s.fields.secs = secs;
    o.person.files = {(r.dir / "a.sif").string(), (r.dir / "a.spc").string()};
    o.person.answers = {true};
    OpenResult res = OpenScanInfo(o.ctx);
    EXPECT_TRUE(res.storeReplaced && res.contentOpened) << o.person.MessageTexts().size();
    const Catalogue& cat = o.s.catalogue;
    ASSERT_EQ(cat.store.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(cat.store[i].ToLine(), recs[i].ToLine());
    EXPECT_EQ(o.s.scanFileId, 3);
    ASSERT_EQ(cat.fragmentList.size(), 2u) << "the hidden record has no row";
    EXPECT_EQ(cat.fragmentList.rows[1].number, 2);
    ASSERT_EQ(cat.startIndex.size(), 3u);
    EXPECT_EQ(cat.startIndex[0].fragmentIndex, 1);
    // The assembly flags keep their values, one per fragment; rows beyond the
    // new store are gone.
    EXPECT_EQ(cat.assemblyFlags, (std::vector<int32_t>{1, 1, 1}));
    EXPECT_EQ(cat.assemblyList.size(), 3u);
    ASSERT_EQ(o.person.questions.size(), 1u);
    EXPECT_EQ(o.person.questions[0].text, kOpenContentQuestion);
    EXPECT_EQ(o.person.questions[0].caption, "打开碎片内容");
    // Sectors per cluster: edtsecs when it holds a number, else the trailer's.
    EXPECT_EQ(o.s.source.sectorsPerCluster, std::string(secs) == "4" ? 4 : 2);
    EXPECT_EQ(o.s.fields.secs, std::string(secs) == "4" ? "4" : "2");

    // Content mode: reads come from the content file, the source is not read.
    EXPECT_FALSE(o.s.source.readFromSource);
    ASSERT_NE(o.s.content, nullptr);
    std::vector<uint8_t> page(kPageSize);
    ASSERT_TRUE(o.s.fragments.ReadPage(1000, 2, page.data()));
    EXPECT_EQ(page, test::SimplePage(10));
    EXPECT_TRUE(o.person.messages.empty());
  }

  // The first dialog cancelled: the index is still rebuilt and the question
  // still asked; a file that cannot be opened leaves content mode off.
  Rig c("scaninfo_open_cancel");
  c.Seed(2);
  c.person.files = {std::nullopt, (r.dir / "missing.spc").string()};
  c.person.answers = {true};
  OpenResult res = OpenScanInfo(c.ctx);
  EXPECT_FALSE(res.storeReplaced || res.contentOpened);
  EXPECT_EQ(c.s.catalogue.startIndex.size(), 2u);
  EXPECT_EQ(c.person.MessageTexts(), std::vector<std::string>{"error,无法打开文件"});
  EXPECT_TRUE(c.s.source.readFromSource);
}

TEST(SaveScanInfo, CancelStillAsksAndFailedWritesAreReported) {
  Rig r("scaninfo_save");
  r.Seed(3);
  // Cancelled first dialog, No to the contents: nothing written, nothing said.
  SaveResult res = SaveScanInfo(r.ctx);
  EXPECT_FALSE(res.scanInfoWritten);
  EXPECT_FALSE(res.content);
  EXPECT_EQ(r.person.questions.size(), 1u);
  EXPECT_TRUE(r.person.messages.empty());

  // A full disk: the failure is reported and the command ends there.
  r.person.files = {std::string("/dev/full")};
  r.person.answers = {true};
  res = SaveScanInfo(r.ctx);
  EXPECT_FALSE(res.scanInfoWritten);
  ASSERT_EQ(r.person.messages.size(), 1u);
  EXPECT_EQ(r.person.messages[0].text.rfind("error,写入文件失败(WRITE FAILED): /dev/full: ", 0), 0u)
      << r.person.messages[0].text;
  EXPECT_EQ(r.person.questions.size(), 1u) << "no question after a failed write";

  r.person.messages.clear();
  r.person.files = {(r.dir / "no" / "such" / "dir.sif").string()};
  SaveScanInfo(r.ctx);
  EXPECT_EQ(r.person.MessageTexts(), std::vector<std::string>{"error,无法创建文件"});
}

}  // namespace
}  // namespace sorrelon
