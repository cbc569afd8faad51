// The fuzz input as a file, for readers that take a path: a name private to this process.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string FuzzTempPath(const char* sTag, const char* sExt) {
  const char* sDir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(sDir) + "/tforge-fuzz-" + std::to_string(getpid()) + sTag + sExt;
}

// Writes the input to sPath; false when the file cannot be written.
inline bool FuzzWriteFile(const std::string& sPath, const uint8_t* pData, size_t Size) {
  FILE* f = std::fopen(sPath.c_str(), "wb");
  if (f == nullptr) return false;
  std::fwrite(pData, 1, Size, f);
  std::fclose(f);
  return true;
}
