// Text helpers: number parsing and formatting as the window's fields do it,
// trimming, the date-time stamp of the logs, and safe file names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sorrelon {

// Removes leading and trailing spaces and control characters.
std::string_view Trim(std::string_view s);

// Whole-text decimal integer (optional sign, surrounding spaces allowed),
// within the type's range; nullopt otherwise.
std::optional<int64_t> ParseInt64(std::string_view s);
std::optional<int32_t> ParseInt32(std::string_view s);

// "%.2f" with a '.' separator.
std::string FormatFixed2(double v);

// Current local date and time, "YYYY-MM-DD HH:MM:SS" (short date, a space,
// long time), appended directly to progress lines.
std::string NowStamp();

// True when `hay` contains `needle`, ignoring ASCII case.
bool ContainsNoCase(std::string_view hay, std::string_view needle);
// Compares ignoring ASCII case: <0, 0, >0.
int CompareNoCase(std::string_view a, std::string_view b);

// A file name made from text read from a disk: keeps the last path component
// (after '/' or '\\' or ':'), drops control characters, turns a name of only
// dots into nothing; an empty result becomes `fallback`.
std::string SafeFileName(std::string_view name, std::string_view fallback = "noname.mdf");

// Text after the last '\\' (or '/'), the whole text when there is none.
std::string_view LastPathComponent(std::string_view path);

}  // namespace sorrelon
