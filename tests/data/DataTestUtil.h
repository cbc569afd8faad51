/*
 * Helpers of the data tests: a scratch directory per test, files in and out, the messages a
 * reader or writer reports, images as plain {address: bytes} maps, and peer tools.
 */
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "data/DATAIMAGE.h"

namespace dt {

using Bytes = std::vector<uint8_t>;
using ImageMap = std::map<uint32_t, Bytes>; // start address -> bytes of one range

struct Msg {
  int Level;
  std::string Text;
};

struct MsgLog {
  std::vector<Msg> aMsg;
  static void Func(void* pContext, int Level, const char* sText) {
    static_cast<MsgLog*>(pContext)->aMsg.push_back(Msg{Level, sText});
  }
  std::string Errors() const {
    std::string s;
    for (const Msg& m : aMsg) {
      if (m.Level == 2) s += (s.empty() ? "" : "|") + m.Text;
    }
    return s;
  }
};

inline void WriteFile(const std::string& sPath, const std::string& sContent) {
  std::ofstream f(sPath, std::ios::binary);
  f << sContent;
}
inline void WriteFile(const std::string& sPath, const Bytes& Content) {
  std::ofstream f(sPath, std::ios::binary);
  f.write(reinterpret_cast<const char*>(Content.data()), (std::streamsize)Content.size());
}
inline std::string ReadFile(const std::string& sPath) {
  std::ifstream f(sPath, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The image's ranges with their bytes (patches included).
inline ImageMap ToMap(DataImage* p) {
  ImageMap m;
  uint32_t n = DATAIMAGE_GetNumRanges(p);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t start = 0, len = 0;
    DATAIMAGE_GetRange(p, i, &start, &len);
    Bytes b(len);
    DATAIMAGE_Read(p, start, len, b.data(), 0xFF);
    m[start] = std::move(b);
  }
  return m;
}

inline DataImage* FromMap(const ImageMap& m) {
  DataImage* p = DATAIMAGE_Create();
  for (auto& kv : m) DATAIMAGE_AddData(p, kv.first, (uint32_t)kv.second.size(), kv.second.data());
  return p;
}

struct ImageDeleter {
  void operator()(DataImage* p) const { DATAIMAGE_Delete(p); }
};
using ImagePtr = std::unique_ptr<DataImage, ImageDeleter>;

// Output of a shell command, and its exit status.
inline int RunCmd(const std::string& sCmd, std::string* pOut = nullptr) {
  std::string cmd = "( " + sCmd + " ) 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (f == nullptr) return -1;
  std::string out;
  char ac[4096];
  size_t n;
  while ((n = fread(ac, 1, sizeof(ac), f)) > 0) out.append(ac, n);
  int st = pclose(f);
  if (pOut) *pOut = out;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

inline bool HaveTool(const char* sName) { return RunCmd(std::string("command -v ") + sName + " >/dev/null") == 0; }

// A scratch directory per test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
  void SetUp() override {
    char ac[] = "/tmp/tforge-data-XXXXXX";
    ASSERT_NE(mkdtemp(ac), nullptr);
    Dir = ac;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(Dir, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(Dir, ec);
  }
  std::string Path(const std::string& sName) const { return Dir + "/" + sName; }
  std::string Dir;
};

} // namespace dt

#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace dt {
// Runs f with the rights of an ordinary user: as root, in a child process that drops to
// "nobody", since root may write read-only files. Returns what f returned.
inline std::string AsOrdinaryUser(const std::function<std::string()>& f) {
  if (geteuid() != 0) return f();
  int fd[2];
  if (pipe(fd) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    std::string s = (setgid(65534) == 0 && setuid(65534) == 0) ? f() : "setuid failed";
    ssize_t n = write(fd[1], s.data(), s.size());
    (void)n;
    _exit(0);
  }
  close(fd[1]);
  std::string out;
  char ac[1024];
  ssize_t n;
  while ((n = read(fd[0], ac, sizeof(ac))) > 0) out.append(ac, (size_t)n);
  close(fd[0]);
  int st;
  waitpid(pid, &st, 0);
  return out;
}
} // namespace dt
