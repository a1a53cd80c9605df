// Commands of the fragment list: the page-number filter, check marks,
// statistics, copying a start sector, putting checked fragments into the
// assembly, reading file names and update information from pages, and the
// automatic check that follows a page chain down the list. A field that is
// not a number stops its command with a message before anything changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/person.h"
#include "catalogue/catalogue.h"
#include "catalogue/fragment_reader.h"

namespace sorrelon {

// The filter group "开始页面号范围" with its initial texts.
struct FilterFields {
  bool rb3 = false;  // "全部显示": show every record
  bool rb1 = false;  // "开始页面号范围": Edit1 <= start page < edtendid
  bool rb2 = false;  // "含如ID的碎片": the fragment holds page edtpgid
  std::string edit1 = "edtbeginid";
  std::string edtendid = "edtendid";
  std::string edtpgid = "edtpgid";
};

// "过滤" (edtfilterClick): rewrites every record's visibility flag by the
// checked radio button (rb3, rb1, rb2 tested in that order; none: nothing),
// then rebuilds the fragment list (check marks are cleared). Answers whether
// the records were rewritten.
bool FilterFragments(Catalogue& cat, const FilterFields& fields, Person& person);

// "全部选择", "全部取消选择", "反向选择" (N10, N14, N15).
void CheckAllRows(Catalogue& cat);
void UncheckAllRows(Catalogue& cat);
void InvertCheckedRows(Catalogue& cat);

// "统计勾选的碎片信息" (N12): "统计结果:碎片数量为" + count + "总大小为:" + KB + "KB".
void ShowCheckedStatistics(const Catalogue& cat, Person& person);

// "复制此碎片的开始扇区号到剪贴板" (N13): the current row's start sector.
void CopyStartSector(const Catalogue& cat, Person& person);

// "把选择的碎片加入组合" (N16): assembly flag 1 for every checked row's
// fragment (none is cleared), then the assembly list is rebuilt.
void AddCheckedToAssembly(Catalogue& cat, Person& person);

// "取勾选碎片的文件名" (N17): for each checked row from the top, the database
// file name read from page 32 of the fragment ("none" when the rule fails).
// The command ends at the first checked row that does not hold page 32, and
// at a read failure ("read disk error").
void ShowCheckedFileNames(const Catalogue& cat, FragmentReader& reader, Person& person);

// "取更新信息" (N18): every row that starts at page 0 gets the log sequence
// number of its page 0 (20 hexadecimal digits) appended to its remark cell in
// the list alone; "处理完毕" at the end. A read failure ends the command with
// "read disk error" and no final message.
void AppendUpdateInfo(Catalogue& cat, FragmentReader& reader, Person& person);

// The group "自动下勾选选项".
struct AutoCheckFields {
  std::string edtlen = "5";        // "往下范围": rows looked ahead
  std::string edtpagelen = "128";  // "页码范围": page gap allowed
};

// "自动勾选" (Button8Click): from the current row downwards, checks the rows
// that continue its page chain; shows "本次处理到index" + the first row not
// examined and answers it. nullopt without a current row or on a bad field.
std::optional<int64_t> AutoCheck(Catalogue& cat, const AutoCheckFields& fields, Person& person);

}  // namespace sorrelon
