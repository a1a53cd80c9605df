// The scan-info file: the fragment store saved as text, one record per line,
// each line enciphered with the keyed hex cipher under the key "KORVI", every
// line ending in CR LF. Record text is stored as GB18030 bytes (the program
// holds it as UTF-8), so files written under code page 936 read back and files
// written here read there. SAVE writes it (and, if wanted, the content file);
// OPEN reads it back into the store (and, if wanted, turns content mode on).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/person.h"
#include "catalogue/catalogue.h"
#include "catalogue/content_file.h"
#include "catalogue/fragment.h"
#include "catalogue/fragment_reader.h"
#include "storage/data_source.h"
#include "storage/sector_reader.h"

namespace sorrelon {

inline constexpr const char* kScanInfoKey = "KORVI";

// ---- the keyed hex cipher ----
// Enciphering n bytes gives 2 + 2n upper-case hexadecimal digits: the first
// value a (random unless given), then for each byte b, with the key's letters
// K[j] taken in turn, a = ((a + b) mod 255) XOR K[j], each a as two digits.
// Bytes 1 ... 254 always come back; 0 and 255 are not told apart.
std::string Encipher(std::string_view plain, std::string_view key, uint8_t first);
std::string Encipher(std::string_view plain, std::string_view key);  // random first value
// nullopt when `hex` is not well-formed ciphertext: empty, of odd length, or
// holding a character that is not a hexadecimal digit (either case).
std::optional<std::string> Decipher(std::string_view hex, std::string_view key);

// ---- lines and files ----

// One line of the file (without its line end): the record as GB18030,
// enciphered.
std::string EncodeScanInfoLine(const Fragment& f);
// The record of one line; nullopt when the line is not well-formed ciphertext
// or does not decipher to an eight-field record.
std::optional<Fragment> DecodeScanInfoLine(std::string_view line);

// Writes every record of `store`, in order, to `path` (replacing it). False
// with the reason in `error` when the file cannot be created (`created`
// false) or a write fails.
bool WriteScanInfoFile(const std::string& path, const FragmentStore& store, std::string* error = nullptr,
                       bool* created = nullptr);

struct ScanInfoReadError {
  enum Kind { None, CannotOpen, BadLine, TooMany, ReadFailed } kind = None;
  int64_t line = 0;  // 1-based line of a BadLine
  std::string detail;
};
// Reads a whole file. Lines end at CR, LF or CR LF. Any line that is not a
// well-formed record rejects the whole file (nullopt, `error` says which).
std::optional<std::vector<Fragment>> ReadScanInfoFile(const std::string& path, ScanInfoReadError* error = nullptr);
// The message shown for a rejected file.
std::string ScanInfoErrorText(const std::string& path, const ScanInfoReadError& error);

// ---- SAVE and OPEN ----

// The state SAVE and OPEN read and change.
struct ScanInfoContext {
  Catalogue& cat;
  DataSource& ds;
  SectorReader& reader;                   // the live source: the content file is always read from it
  FragmentReader& fragments;              // switched to the content file by content mode
  std::unique_ptr<ContentFile>& content;  // the open content file, if any
  const std::string& fileIdText;          // Edit2 ("文件ID")
  uint16_t& scanFileId;
  std::string& secsText;                  // edtsecs
  Person& person;
};

inline constexpr const char* kSaveScanInfoTitle = "保存扫描信息,请注意别保存到原数据所在盘，防止覆盖";
inline constexpr const char* kSaveContentQuestion = "已经保存了扫描信息。是否需要保存所有碎片的内容";
inline constexpr const char* kSaveContentCaption = "保存碎片内容";
inline constexpr const char* kSaveContentTitle = "保存所有碎片的内容,请注意别保存到原数据所在盘，防止覆盖";
inline constexpr const char* kOpenContentQuestion = "已经打开了扫描信息。是否需要打开所有碎片的内容文件";
inline constexpr const char* kOpenContentCaption = "打开碎片内容";

struct SaveResult {
  bool scanInfoWritten = false;
  std::optional<ContentWriteResult> content;  // set when a content file was attempted
};

// SAVE (btnsaveClick): asks for the scan-info file (an empty default name: the
// dialog keeps the name it last had) and writes it; asks whether to save the
// contents, asks for the content file ("spcontent") and writes it from the
// live source. A scan-info file that cannot be written is reported and ends
// the command.
SaveResult SaveScanInfo(ScanInfoContext& ctx);

// OPEN (Button3Click) without its dialogs, for the command line and tests:
// Edit2 becomes scanFileId (a text that is not a number stops before the store
// is touched); the file replaces the store (a rejected file leaves it as it
// was); the fragment list and the start-page index are rebuilt; sectors per
// cluster = edtsecs, or 8 when that is not a number. The assembly flags keep
// their values (sized to the new store). Answers whether the store was replaced.
bool LoadScanInfoFile(ScanInfoContext& ctx, const std::string& path);

// Opens a content file and turns content mode on. "error,无法打开文件" when it
// cannot be opened (content mode unchanged). With a trailer, the key is taken
// and, when edtsecs is empty, sectors per cluster too (edtsecs shows it). A
// file that does not match the store is reported; its reads fail.
bool OpenContentFile(ScanInfoContext& ctx, const std::string& path);

struct OpenResult {
  bool storeReplaced = false;
  bool contentOpened = false;
};

// OPEN (Button3Click): the open dialog, LoadScanInfoFile, the start-page index
// rebuilt even when the dialog was cancelled, the question, the second open
// dialog and OpenContentFile. Bringing the fragment list tab to the front is
// the window's part.
OpenResult OpenScanInfo(ScanInfoContext& ctx);

}  // namespace sorrelon
