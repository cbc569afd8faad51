/*
 * Util.h - small helpers of the probe library: text, numbers, files and the sectioned
 * configuration text that the device database and the simulator configuration share.
 *
 * Configuration text: "[Section]" lines open a section, "Key = Value" lines fill it, "#" or
 * ";" at the start of a line makes it a comment. Sections of the same name may repeat.
 */
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace xr {

std::string Trim(std::string_view s);
bool IEquals(std::string_view a, std::string_view b);
bool IStartsWith(std::string_view s, std::string_view prefix);
/* Decimal or 0x-hexadecimal, the whole text; true when it parsed. */
bool ParseU32(std::string_view s, uint32_t& value);
/* Splits at sep, trimming every part. */
std::vector<std::string> Split(std::string_view s, char sep);
/* Bounded copy that always terminates; nothing when dst is null or size is not positive. */
void CopyText(char* dst, int size, std::string_view s);
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/* Directory of the library file itself (found through its own address), without a slash. */
std::string LibraryDir();
/* Whole file; false when it cannot be read. */
bool ReadFile(const std::string& path, std::vector<uint8_t>& data);
bool ReadTextFile(const std::string& path, std::string& text);
/* Writes a temporary file beside path and renames it over path: the old file stays whole
   when anything fails. 0, or negative with err set. */
int WriteFileAtomic(const std::string& path, const void* data, size_t size, std::string& err);
/* Creates the directory and its parents; 0 or negative. */
int MakeDirs(const std::string& path);

struct IniSection {
  std::string name;
  int line = 0;
  std::vector<std::pair<std::string, std::string>> items;
  const std::string* Find(std::string_view key) const;
};

/* 0, or negative with err naming the line. */
int ParseIni(std::string_view text, std::vector<IniSection>& sections, std::string& err);

} // namespace xr
