/*
 * ProgFs.h - the file system of a simulated programmer, kept in a directory of the host.
 * Paths are relative to the programmer's root, with backslashes or slashes; "." and ".."
 * components and empty paths are refused, so nothing outside the root can be reached.
 * Writing a file creates the folders above it.
 */
#pragma once

#include "xrelayarm.h"

#include <cstdint>
#include <string>

namespace xr {

class ProgFs {
public:
  void SetRoot(const std::string& root) { root_ = root; }
  /* All: count or 0 for success, negative with err on failure. */
  int Write(const char* name, const uint8_t* data, uint32_t offset, uint32_t numBytes, std::string& err);
  int Read(const char* name, uint8_t* data, uint32_t offset, uint32_t numBytes, std::string& err);
  /* -1 without err when the name is not a file. */
  int GetSize(const char* name, std::string& err);
  int Delete(const char* name, std::string& err);
  int List(const char* folder, XRELAYARM_FOLDER_ENTRY* entries, int maxEntries, std::string& err);
  int Move(const char* from, const char* to, std::string& err);

private:
  /* Host path of a programmer path; false with err when the path is not acceptable. */
  bool HostPath(const char* name, bool allowRoot, std::string& path, std::string& err) const;
  std::string root_;
};

} // namespace xr
