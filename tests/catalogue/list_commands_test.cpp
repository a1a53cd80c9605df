#include "catalogue/list_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "tests/support/fake_person.h"
#include "tools/mdfgen/mdfgen.h"

namespace sorrelon {
namespace {

using test::FakePerson;

// Records {start page, end page} at sectors 1000, 2000, ...; 8 KB per page.
void Make(Catalogue& cat, std::vector<std::pair<int32_t, int32_t>> pages) {
  for (auto [b, e] : pages) {
    const int64_t s = 1000 * int64_t(cat.store.size() + 1);
    cat.store.Append({int32_t(cat.store.size() + 1), s, s + 16 * (e - b), 8 * (e - b), b, e, " ", true});
  }
  RebuildFragmentList(cat.store, cat.fragmentList);
}

std::vector<int32_t> Shown(const Catalogue& cat) {
  std::vector<int32_t> out;
  for (auto& r : cat.fragmentList.rows) out.push_back(r.number);
  return out;
}
std::vector<size_t> CheckedRows(const Catalogue& cat) {
  std::vector<size_t> out;
  for (size_t i = 0; i < cat.fragmentList.size(); ++i)
    if (cat.fragmentList.rows[i].checked) out.push_back(i);
  return out;
}

TEST(FragmentListFilter, RewritesFlagsAndRebuilds) {
  struct Case {
    const char* what;
    FilterFields f;
    std::vector<int32_t> shown;
  };
  FilterFields all, range, empty, holds, holdsLast, none;
  all.rb3 = true;
  range.rb1 = true, range.edit1 = "10", range.edtendid = "30";
  empty.rb1 = true, empty.edit1 = "30", empty.edtendid = "30";
  holds.rb2 = true, holds.edtpgid = "20";  // the start page of [20,30), the end page of [10,20)
  holdsLast.rb2 = true, holdsLast.edtpgid = "29";
  none.edit1 = "0";
  Case cases[] = {
      {"rb1 lower <= start < upper", range, {2, 3, 4}},
      {"rb1 lower >= upper hides every row", empty, {}},
      {"rb2 holds page 20", holds, {3}},
      {"rb2 holds page 29", holdsLast, {3, 4}},
      {"rb3 shows every row", all, {1, 2, 3, 4}},
  };
  Catalogue cat;
  Make(cat, {{0, 10}, {10, 20}, {20, 30}, {25, 40}});
  for (auto& c : cases) {
    cat.fragmentList.rows[0].checked = true;
    FakePerson person;
    EXPECT_TRUE(FilterFragments(cat, c.f, person)) << c.what;
    EXPECT_EQ(Shown(cat), c.shown) << c.what;
    EXPECT_TRUE(CheckedRows(cat).empty()) << c.what;
    EXPECT_TRUE(person.messages.empty());
    for (size_t i = 0; i < cat.store.size(); ++i) {
      bool shown = std::find(c.shown.begin(), c.shown.end(), int32_t(i + 1)) != c.shown.end();
      EXPECT_EQ(cat.store[i].ToLine().substr(cat.store[i].ToLine().size() - 2), shown ? "Y|" : "N|");
    }
  }

  // No radio button, or a field that is not a number: nothing changes.
  FilterFragments(cat, range, *std::make_unique<FakePerson>());
  const std::vector<int32_t> before = Shown(cat);
  FakePerson person;
  EXPECT_FALSE(FilterFragments(cat, none, person));
  FilterFields placeholder;  // the edits' initial texts
  placeholder.rb1 = true;
  EXPECT_FALSE(FilterFragments(cat, placeholder, person));
  placeholder.rb1 = false, placeholder.rb2 = true;
  EXPECT_FALSE(FilterFragments(cat, placeholder, person));
  EXPECT_EQ(person.MessageTexts(), (std::vector<std::string>{"'edtbeginid' is not a valid integer value (开始页面号 >=)",
                                                            "'edtpgid' is not a valid integer value (含如ID的碎片)"}));
  EXPECT_EQ(Shown(cat), before);
}

TEST(FragmentListChecks, CheckStatisticsCopyAndAssembly) {
  Catalogue cat;
  Make(cat, {{0, 10}, {10, 20}, {20, 30}, {30, 31}});
  FakePerson person;
  ShowCheckedStatistics(cat, person);
  CheckAllRows(cat);
  EXPECT_EQ(CheckedRows(cat).size(), 4u);
  UncheckAllRows(cat);
  EXPECT_TRUE(CheckedRows(cat).empty());
  cat.fragmentList.rows[1].checked = true;
  InvertCheckedRows(cat);
  EXPECT_EQ(CheckedRows(cat), (std::vector<size_t>{0, 2, 3}));
  ShowCheckedStatistics(cat, person);
  EXPECT_EQ(person.MessageTexts(), (std::vector<std::string>{"统计结果:碎片数量为0总大小为:0KB",
                                                            "统计结果:碎片数量为3总大小为:168KB"}));
  EXPECT_EQ(person.messages[1].caption, "提示");

  // Sizes whose sum passes 32 bits are added up whole.
  Catalogue big;
  Make(big, {});
  for (int i = 0; i < 2; ++i) big.store.Append({i + 1, 0, 0, 2000000000, 0, 1, " ", true});
  RebuildFragmentList(big.store, big.fragmentList);
  CheckAllRows(big);
  person.messages.clear();
  ShowCheckedStatistics(big, person);
  EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"统计结果:碎片数量为2总大小为:4000000000KB"});

  // Copy: the current row's start sector; nothing without a current row.
  CopyStartSector(cat, person);
  EXPECT_EQ(person.clipboard, "");
  cat.fragmentList.current = 2;
  CopyStartSector(cat, person);
  EXPECT_EQ(person.clipboard, "3000");

  // Into the assembly after a filter hid a row: the checked rows' own
  // fragments; flags already set stay; the list in store order from 1.
  FilterFields f;
  f.rb1 = true, f.edit1 = "10", f.edtendid = "100";
  ASSERT_TRUE(FilterFragments(cat, f, person));
  ASSERT_EQ(Shown(cat), (std::vector<int32_t>{2, 3, 4}));
  cat.assemblyFlags = {1, 0, 0, 0};
  cat.fragmentList.rows[2].checked = true;  // fragment 4
  AddCheckedToAssembly(cat, person);
  EXPECT_EQ(cat.assemblyFlags, (std::vector<int32_t>{1, 0, 0, 1}));
  ASSERT_EQ(cat.assemblyList.size(), 2u);
  EXPECT_EQ(cat.assemblyList.rows[1].fragment, 3);
  EXPECT_EQ(cat.assemblyList.rows[1].number, 2);
}

TEST(FragmentListChecks, AutoCheckFollowsThePageChain) {
  struct Case {
    const char* what;
    std::vector<std::pair<int32_t, int32_t>> rows;
    AutoCheckFields fields;
    std::vector<size_t> checked;
    int64_t end;
  } cases[] = {
      // last = 100, gap 128: 100 and 228 continue, 99 and 229 do not.
      {"gap bounds", {{90, 100}, {99, 105}, {229, 230}, {100, 110}}, {}, {3}, 4},
      {"upper bound", {{90, 100}, {228, 240}}, {}, {1}, 2},
      // Six rows are examined after the current row and after each match.
      {"look-ahead", {{0, 100}, {1, 2}, {1, 2}, {1, 2}, {1, 2}, {1, 2}, {150, 160}, {1, 2}, {1, 2}, {1, 2}, {1, 2},
                      {1, 2}, {1, 2}, {170, 180}}, {}, {6}, 13},
      {"narrow look-ahead", {{0, 100}, {1, 2}, {150, 160}}, {"0", "128"}, {}, 2},
      {"last row current", {{0, 100}}, {}, {}, 1},
  };
  for (auto& c : cases) {
    Catalogue cat;
  Make(cat, c.rows);
    cat.fragmentList.current = 0;
    FakePerson person;
    auto r = AutoCheck(cat, c.fields, person);
    ASSERT_TRUE(r) << c.what;
    EXPECT_EQ(*r, c.end) << c.what;
    EXPECT_EQ(CheckedRows(cat), c.checked) << c.what;
    EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"本次处理到index" + std::to_string(c.end)}) << c.what;
  }
  Catalogue cat;
  Make(cat, {{0, 10}, {10, 20}});
  FakePerson person;
  EXPECT_FALSE(AutoCheck(cat, {}, person)) << "no current row";
  EXPECT_TRUE(person.messages.empty());
  cat.fragmentList.current = 0;
  EXPECT_FALSE(AutoCheck(cat, {"5", "页码范围"}, person));
  EXPECT_EQ(person.MessageTexts(), std::vector<std::string>{"'页码范围' is not a valid integer value (页码范围)"});
  EXPECT_TRUE(CheckedRows(cat).empty());
}

// Fragment pages held in memory, read as content mode reads them.
struct MemoryContent : ContentSource {
  std::map<int64_t, std::vector<uint8_t>> pages;
  std::set<int64_t> failing;
  bool ReadContentSectors(int32_t offset, uint32_t count, int64_t start, void* buf) override {
    auto it = pages.find(start);
    if (failing.count(start) || it == pages.end() || offset < 0 ||
        (size_t(offset) + count) * 512 > it->second.size())
      return false;
    std::memcpy(buf, it->second.data() + size_t(offset) * 512, count * 512);
    return true;
  }
};

struct PageRig {
  DataSource ds;
  SectorReader none{ds};
  FragmentReader reader{ds, none};
  MemoryContent content;
  Catalogue cat;
  FakePerson person;
  PageRig() {
    ds.readFromSource = false;
    reader.SetContent(&content);
  }
  void Add(int32_t startPage, std::vector<uint8_t> bytes, std::string remark = " ") {
    const int64_t s = 1000 * int64_t(cat.store.size() + 1);
    const int32_t n = int32_t(bytes.size() / kPageSize);
    cat.store.Append({int32_t(cat.store.size() + 1), s, s + 16 * n, 8 * n, startPage, startPage + n, remark, true});
    content.pages[s] = std::move(bytes);
  }
};

TEST(FragmentListPages, FileNamesOfCheckedFragments) {
  mdfgen::Options o;
  o.pages = 48;
  o.physicalName = "E:\\db\\sales.mdf";
  const auto file = mdfgen::GenerateFile(o);
  auto pages = [&](int from, int to) {
    return std::vector<uint8_t>(file.begin() + from * kPageSize, file.begin() + to * kPageSize);
  };
  PageRig r;
  r.Add(30, pages(30, 40));                           // holds page 32 at its page 2
  r.Add(0, std::vector<uint8_t>(33 * kPageSize, 0));  // page 32 without a name
  r.Add(40, pages(40, 48));                           // does not hold page 32: ends the command
  r.Add(32, pages(32, 34));                           // never reached
  RebuildFragmentList(r.cat.store, r.cat.fragmentList);
  CheckAllRows(r.cat);
  ShowCheckedFileNames(r.cat, r.reader, r.person);
  EXPECT_EQ(r.person.MessageTexts(), (std::vector<std::string>{"E:\\db\\sales.mdf", "none"}));

  // A read failure ends the command.
  r.person.messages.clear();
  r.content.failing = {1000};
  ShowCheckedFileNames(r.cat, r.reader, r.person);
  EXPECT_EQ(r.person.MessageTexts(), std::vector<std::string>{"read disk error"});
}

TEST(FragmentListPages, UpdateInformationGoesToTheListCellOnly) {
  std::vector<uint8_t> header(kPageSize, 0);
  const uint8_t lsn[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::memcpy(&header[40], lsn, sizeof lsn);
  PageRig r;
  r.Add(0, header, " D:\\a.mdf(1.00 MB) ");
  r.Add(5, header);
  r.Add(0, header, " ");
  RebuildFragmentList(r.cat.store, r.cat.fragmentList);
  AppendUpdateInfo(r.cat, r.reader, r.person);
  const RowList& list = r.cat.fragmentList;
  EXPECT_EQ(list.Remark(r.cat.store, 0), "D:\\a.mdf(1.00 MB) 04030201080706050A09");
  EXPECT_EQ(list.Remark(r.cat.store, 1), " ");
  EXPECT_EQ(list.Remark(r.cat.store, 2), " 04030201080706050A09");
  EXPECT_EQ(r.cat.store[0].remark, " D:\\a.mdf(1.00 MB) ") << "the record keeps its remark";
  EXPECT_EQ(r.person.MessageTexts(), std::vector<std::string>{"处理完毕"});

  // A read failure: rows done before keep their text, no final message.
  RebuildFragmentList(r.cat.store, r.cat.fragmentList);
  r.person.messages.clear();
  r.content.failing = {3000};
  AppendUpdateInfo(r.cat, r.reader, r.person);
  EXPECT_EQ(list.Remark(r.cat.store, 0), "D:\\a.mdf(1.00 MB) 04030201080706050A09");
  EXPECT_EQ(r.person.MessageTexts(), std::vector<std::string>{"read disk error"});

  PageRig empty;
  AppendUpdateInfo(empty.cat, empty.reader, empty.person);
  EXPECT_EQ(empty.person.MessageTexts(), std::vector<std::string>{"处理完毕"});
}

}  // namespace
}  // namespace sorrelon
