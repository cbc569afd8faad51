/*
 * SYS - system services on Linux: POSIX files, pthreads, CLOCK_MONOTONIC and a settings-store
 * file in place of the registry.
 */
#include "sys/SYS.h"
#include "sys/UTIL.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

/*********************************************************************
 * Memory
 */
namespace {

// Every block starts with this header; the live blocks form a list so that their owners can
// be reported. 32 bytes keep the user part aligned for any type.
struct alignas(16) BlockHeader {
  BlockHeader* pPrev;
  BlockHeader* pNext;
  const char* sTag;
  size_t NumBytes;
};
static_assert(sizeof(BlockHeader) == 32);

std::mutex& MemLock() {
  static std::mutex m;
  return m;
}
BlockHeader* _pFirstBlock;
void (*_pfAllocFailure)(const char* sTitle, const char* sText);

void _Link(BlockHeader* p) {
  std::lock_guard<std::mutex> g(MemLock());
  p->pPrev = nullptr;
  p->pNext = _pFirstBlock;
  if (_pFirstBlock) _pFirstBlock->pPrev = p;
  _pFirstBlock = p;
}

void _Unlink(BlockHeader* p) {
  if (p->pPrev) {
    p->pPrev->pNext = p->pNext;
  } else {
    _pFirstBlock = p->pNext;
  }
  if (p->pNext) p->pNext->pPrev = p->pPrev;
}

void* _Alloc(size_t NumBytes, const char* sTag) {
  void* pRaw = (NumBytes <= SIZE_MAX - sizeof(BlockHeader)) ? std::malloc(sizeof(BlockHeader) + NumBytes) : nullptr;
  if (pRaw == nullptr) {
    char ac[128];
    UTIL_sprintf(ac, sizeof(ac), "Failed to allocate 0x%.8X bytes of memory!", (unsigned)NumBytes);
    std::fprintf(stderr, "Error: %s\n", ac);
    if (_pfAllocFailure) _pfAllocFailure("Error", ac);
    return nullptr;
  }
  BlockHeader* p = static_cast<BlockHeader*>(pRaw);
  p->sTag = sTag;
  p->NumBytes = NumBytes;
  _Link(p);
  return p + 1;
}

} // namespace

void* SYS_MEM_Alloc(size_t NumBytes, const char* sTag) { return _Alloc(NumBytes, sTag ? sTag : "<no tag>"); }

void* SYS_MEM_AllocNoTag(size_t NumBytes) { return _Alloc(NumBytes, "<no tag>"); }

int SYS_MEM_Free(void* p) {
  if (p == nullptr) return 0;
  BlockHeader* pBlock = static_cast<BlockHeader*>(p) - 1;
  {
    std::lock_guard<std::mutex> g(MemLock());
    _Unlink(pBlock);
  }
  std::free(pBlock);
  return 0;
}

void* SYS_MEM_Realloc(void* p, size_t NumBytes) {
  if (p == nullptr) return SYS_MEM_AllocNoTag(NumBytes);
  if (NumBytes > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  BlockHeader* pOld = static_cast<BlockHeader*>(p) - 1;
  std::lock_guard<std::mutex> g(MemLock());
  // The block is unlinked while it moves; on failure the old block stays valid and listed.
  _Unlink(pOld);
  BlockHeader* pNew = static_cast<BlockHeader*>(std::realloc(pOld, sizeof(BlockHeader) + NumBytes));
  BlockHeader* pListed = pNew ? pNew : pOld;
  if (pNew) pNew->NumBytes = NumBytes;
  pListed->pPrev = nullptr;
  pListed->pNext = _pFirstBlock;
  if (_pFirstBlock) _pFirstBlock->pPrev = pListed;
  _pFirstBlock = pListed;
  return pNew ? static_cast<void*>(pNew + 1) : nullptr;
}

int SYS_MEM_CountBlocks(const char* sTag) {
  std::lock_guard<std::mutex> g(MemLock());
  int n = 0;
  for (BlockHeader* p = _pFirstBlock; p; p = p->pNext) {
    if (sTag == nullptr || std::strcmp(p->sTag, sTag) == 0) n++;
  }
  return n;
}

int SYS_MEM_ReportBlocks(void (*pfReport)(const char* sTag, int numBlocks, size_t numBytes, void* pUser),
                         void* pUser) {
  std::map<std::string, std::pair<int, size_t>> byTag;
  int n = 0;
  {
    std::lock_guard<std::mutex> g(MemLock());
    for (BlockHeader* p = _pFirstBlock; p; p = p->pNext) {
      auto& e = byTag[p->sTag];
      e.first++;
      e.second += p->NumBytes;
      n++;
    }
  }
  if (pfReport) {
    for (auto& [tag, e] : byTag) pfReport(tag.c_str(), e.first, e.second, pUser);
  }
  return n;
}

void SYS_SetAllocFailureHandler(void (*pfHandler)(const char* sTitle, const char* sText)) {
  _pfAllocFailure = pfHandler;
}

/*********************************************************************
 * Files
 */
static thread_local int _LastError;

int SYS_GetLastError(void) { return _LastError; }
void SYS_SetLastError(int Error) { _LastError = Error; }

// Maps errno of an operation on sPath to the program's file error codes.
static void _SetErrorFromErrno(const char* sPath, int Err) {
  switch (Err) {
  case ENOENT: {
    // The file itself is missing when its directory exists; otherwise the path is wrong.
    char acDir[PATH_MAX];
    SYS_PATH_GetDir(acDir, sizeof(acDir), sPath ? sPath : "");
    if (acDir[0] == 0) UTIL_strcpy(acDir, ".", sizeof(acDir));
    _LastError = SYS_FILE_IsDir(acDir) ? SYS_ERR_FILE_NOT_FOUND : SYS_ERR_PATH_NOT_FOUND;
    break;
  }
  case ENOTDIR:
    _LastError = SYS_ERR_PATH_NOT_FOUND;
    break;
  case EACCES:
  case EPERM:
  case EROFS:
  case EISDIR:
    _LastError = SYS_ERR_ACCESS_DENIED;
    break;
  case ENAMETOOLONG:
  case EINVAL:
    _LastError = SYS_ERR_INVALID_NAME;
    break;
  case ENOSPC:
  case EDQUOT:
    _LastError = SYS_ERR_DISK_FULL;
    break;
  default:
    _LastError = SYS_ERR_OTHER;
    break;
  }
}

int SYS_FILE_Open(const char* sPath, unsigned Flags) {
  if (sPath == nullptr || sPath[0] == 0) {
    _LastError = SYS_ERR_INVALID_NAME;
    return -1;
  }
  int oflags = O_CLOEXEC;
  bool r = Flags & SYS_FILE_FLAG_READ, w = Flags & SYS_FILE_FLAG_WRITE;
  oflags |= (r && w) ? O_RDWR : (w ? O_WRONLY : O_RDONLY);
  if (Flags & SYS_FILE_FLAG_CREATE) {
    oflags |= O_CREAT;
    if (Flags & SYS_FILE_FLAG_EXCLUSIVE) {
      oflags |= O_EXCL;
    } else if (Flags & SYS_FILE_FLAG_TRUNCATE) {
      oflags |= O_TRUNC;
    }
  } else if (Flags & SYS_FILE_FLAG_TRUNCATE) {
    oflags |= O_TRUNC;
  }
  struct stat st;
  if (stat(sPath, &st) == 0 && S_ISDIR(st.st_mode) && !(Flags & SYS_FILE_FLAG_DIRECTORY)) {
    _LastError = SYS_ERR_ACCESS_DENIED;
    return -1;
  }
  int fd = open(sPath, oflags, 0666);
  if (fd < 0) {
    _SetErrorFromErrno(sPath, errno);
    return -1;
  }
  if (Flags & SYS_FILE_FLAG_APPEND) lseek(fd, 0, SEEK_END);
  _LastError = SYS_ERR_NONE;
  return fd;
}

int SYS_FILE_OpenEx(const char* sPath, unsigned Flags, int NumRetries, int DelayMs) {
  for (int i = 0;; i++) {
    int fd = SYS_FILE_Open(sPath, Flags);
    if (fd >= 0 || i >= NumRetries) return fd;
    if (DelayMs) SYS_Sleep(DelayMs);
  }
}

int SYS_FILE_OpenCreatePath(const char* sPath, unsigned Flags) {
  if (sPath == nullptr || sPath[0] == 0) {
    _LastError = SYS_ERR_INVALID_NAME;
    return -1;
  }
  if (Flags & SYS_FILE_FLAG_CREATE) {
    char acDir[512];
    SYS_PATH_GetDir(acDir, sizeof(acDir), sPath);
    const char* sName = std::strrchr(sPath, '/');
    sName = sName ? sName + 1 : sPath;
    if (sName[0] == 0) {
      _LastError = SYS_ERR_INVALID_NAME;
      return -1;
    }
    if (acDir[0] && SYS_DIR_Create(acDir) < 0) return -1;
  }
  return SYS_FILE_Open(sPath, Flags);
}

int SYS_FILE_Read(int hFile, void* pBuffer, uint32_t NumBytes) {
  uint8_t* p = static_cast<uint8_t*>(pBuffer);
  uint32_t done = 0;
  while (done < NumBytes) {
    ssize_t n = read(hFile, p + done, NumBytes - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      _SetErrorFromErrno(nullptr, errno);
      return -1;
    }
    if (n == 0) break;
    done += (uint32_t)n;
  }
  return (int)done;
}

int SYS_FILE_Write(int hFile, const void* pBuffer, uint32_t NumBytes) {
  const uint8_t* p = static_cast<const uint8_t*>(pBuffer);
  uint32_t done = 0;
  while (done < NumBytes) {
    ssize_t n = write(hFile, p + done, NumBytes - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      _SetErrorFromErrno(nullptr, errno);
      return done ? (int)done : -1;
    }
    done += (uint32_t)n;
  }
  return (int)done;
}

int64_t SYS_FILE_Seek(int hFile, int64_t Distance, int Origin) {
  int whence = (Origin == 1) ? SEEK_CUR : (Origin == 2) ? SEEK_END : SEEK_SET;
  off_t r = lseek(hFile, (off_t)Distance, whence);
  return r < 0 ? -1 : (int64_t)r;
}

uint32_t SYS_FILE_GetSize(int hFile) {
  int64_t s = SYS_FILE_GetSize64(hFile);
  return s < 0 ? 0 : (uint32_t)s;
}

int64_t SYS_FILE_GetSize64(int hFile) {
  struct stat st;
  if (fstat(hFile, &st) != 0) return -1;
  return (int64_t)st.st_size;
}

void SYS_FILE_Close(int hFile) {
  if (hFile >= 0) close(hFile);
}

int SYS_FILE_Delete(const char* sPath) {
  if (sPath) unlink(sPath);
  return 0;
}

bool SYS_FILE_IsReadOnly(const char* sPath) {
  struct stat st;
  if (sPath == nullptr || stat(sPath, &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return access(sPath, W_OK) != 0;
}

int SYS_FILE_GetAttributes(const char* sPath) {
  struct stat st;
  if (sPath == nullptr || stat(sPath, &st) != 0) {
    _SetErrorFromErrno(sPath, errno);
    return -1;
  }
  int a = S_ISDIR(st.st_mode) ? SYS_FILE_ATTR_DIRECTORY : 0;
  if (!S_ISDIR(st.st_mode) && access(sPath, W_OK) != 0) a |= SYS_FILE_ATTR_READONLY;
  return a ? a : SYS_FILE_ATTR_NORMAL;
}

bool SYS_FILE_IsFile(const char* sPath) {
  struct stat st;
  return sPath && stat(sPath, &st) == 0 && !S_ISDIR(st.st_mode);
}

bool SYS_FILE_IsDir(const char* sPath) {
  struct stat st;
  return sPath && stat(sPath, &st) == 0 && S_ISDIR(st.st_mode);
}

int SYS_FILE_DirExists(const char* sPath) {
  char acDir[512];
  SYS_PATH_GetDir(acDir, sizeof(acDir), sPath ? sPath : "");
  if (acDir[0] == 0) return SYS_FILE_IsDir(".") ? 1 : 0;
  return SYS_FILE_IsDir(acDir) ? 1 : 0;
}

static void _ToSysTime(const struct timespec& ts, SYS_TIME* p, bool Local) {
  struct tm t;
  time_t sec = ts.tv_sec;
  if (Local) {
    localtime_r(&sec, &t);
  } else {
    gmtime_r(&sec, &t);
  }
  p->Year = (uint16_t)(t.tm_year + 1900);
  p->Month = (uint16_t)(t.tm_mon + 1);
  p->Day = (uint16_t)t.tm_mday;
  p->Hour = (uint16_t)t.tm_hour;
  p->Minute = (uint16_t)t.tm_min;
  p->Second = (uint16_t)t.tm_sec;
  p->Millisecond = (uint16_t)(ts.tv_nsec / 1000000);
}

int SYS_FILE_GetTime(int hFile, SYS_TIME* pLastAccess, SYS_TIME* pLastWrite) {
  struct stat st;
  if (fstat(hFile, &st) != 0) return -1;
  if (pLastAccess) _ToSysTime(st.st_atim, pLastAccess, false);
  if (pLastWrite) _ToSysTime(st.st_mtim, pLastWrite, false);
  return 0;
}

int SYS_DIR_List(const char* sDir, void (*pfCallback)(const SYS_FILE_INFO* pInfo, void* pUser), void* pUser) {
  DIR* d = sDir ? opendir(sDir) : nullptr;
  if (d == nullptr) return -1;
  int n = 0;
  errno = 0;
  while (struct dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    std::string full = std::string(sDir) + "/" + e->d_name;
    struct stat st;
    SYS_FILE_INFO Info{};
    if (stat(full.c_str(), &st) == 0) {
      _ToSysTime(st.st_mtim, &Info.LastWrite, false);
      Info.SizeLow = (uint32_t)((uint64_t)st.st_size & 0xFFFFFFFFu);
      Info.SizeHigh = (uint32_t)((uint64_t)st.st_size >> 32);
      Info.Attributes = S_ISDIR(st.st_mode) ? SYS_FILE_ATTR_DIRECTORY : SYS_FILE_ATTR_NORMAL;
    }
    Info.sName = e->d_name;
    Info.sDir = sDir;
    if (pfCallback) pfCallback(&Info, pUser);
    n++;
    errno = 0;
  }
  int err = errno;
  closedir(d);
  return err ? -1 : n;
}

static int _DirCreate(const std::string& Path, int Depth) {
  if (Depth > 128) return -1;
  struct stat st;
  if (stat(Path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : -1;
  size_t cut = Path.find_last_of('/', Path.size() > 1 ? Path.size() - 2 : 0);
  if (cut != std::string::npos && cut > 0) {
    if (_DirCreate(Path.substr(0, cut), Depth + 1) < 0) return -1;
  }
  if (mkdir(Path.c_str(), 0777) != 0 && errno != EEXIST) {
    _SetErrorFromErrno(Path.c_str(), errno);
    return -1;
  }
  return SYS_FILE_IsDir(Path.c_str()) ? 0 : -1;
}

int SYS_DIR_Create(const char* sPath) {
  if (sPath == nullptr || sPath[0] == 0) return -1;
  std::string p(sPath);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return _DirCreate(p, 0);
}

int SYS_FILE_BeginReplace(SYS_ATOMIC_FILE* pFile, const char* sPath) {
  pFile->hFile = -1;
  pFile->sTmpPath[0] = 0;
  if (sPath == nullptr || sPath[0] == 0 || std::strlen(sPath) >= sizeof(pFile->sPath)) {
    _LastError = SYS_ERR_INVALID_NAME;
    return -1;
  }
  UTIL_strcpy(pFile->sPath, sPath, sizeof(pFile->sPath));
  // Replace the file a link points at, not the link.
  char acReal[PATH_MAX];
  if (realpath(sPath, acReal) && std::strlen(acReal) < sizeof(pFile->sPath)) {
    UTIL_strcpy(pFile->sPath, acReal, sizeof(pFile->sPath));
  }
  if (SYS_FILE_IsReadOnly(pFile->sPath)) {
    _LastError = SYS_ERR_ACCESS_DENIED;
    return -1;
  }
  UTIL_sprintf(pFile->sTmpPath, sizeof(pFile->sTmpPath), "%s.tmpXXXXXX", pFile->sPath);
  int fd = mkstemp(pFile->sTmpPath);
  if (fd < 0) {
    _SetErrorFromErrno(pFile->sPath, errno);
    pFile->sTmpPath[0] = 0;
    return -1;
  }
  struct stat st;
  mode_t mode = 0644;
  if (stat(pFile->sPath, &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  pFile->hFile = fd;
  return 0;
}

int SYS_FILE_CommitReplace(SYS_ATOMIC_FILE* pFile) {
  if (pFile->hFile < 0) return -1;
  int r = 0;
  if (fsync(pFile->hFile) != 0) {
    _SetErrorFromErrno(pFile->sPath, errno);
    r = -1;
  }
  if (close(pFile->hFile) != 0 && r == 0) {
    _SetErrorFromErrno(pFile->sPath, errno);
    r = -1;
  }
  pFile->hFile = -1;
  if (r == 0 && rename(pFile->sTmpPath, pFile->sPath) != 0) {
    _SetErrorFromErrno(pFile->sPath, errno);
    r = -1;
  }
  if (r != 0) unlink(pFile->sTmpPath);
  pFile->sTmpPath[0] = 0;
  return r;
}

void SYS_FILE_AbortReplace(SYS_ATOMIC_FILE* pFile) {
  if (pFile->hFile >= 0) close(pFile->hFile);
  pFile->hFile = -1;
  if (pFile->sTmpPath[0]) unlink(pFile->sTmpPath);
  pFile->sTmpPath[0] = 0;
}

/*********************************************************************
 * Paths
 */
int SYS_PATH_GetModuleFileName(char* sDest, int DestSize) {
  char ac[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", ac, sizeof(ac) - 1);
  if (n <= 0 || n >= DestSize) {
    if (DestSize > 0) sDest[0] = 0;
    return -1;
  }
  ac[n] = 0;
  UTIL_strcpy(sDest, ac, DestSize);
  return 0;
}

int SYS_PATH_GetModuleDir(char* sDest, int DestSize) {
  char ac[PATH_MAX];
  if (SYS_PATH_GetModuleFileName(ac, sizeof(ac)) < 0) return -1;
  SYS_PATH_GetDir(sDest, DestSize, ac);
  return sDest[0] ? 0 : -1;
}

static const char* _LastComponent(const char* sPath) {
  const char* s = std::strrchr(sPath, '/');
  const char* b = std::strrchr(sPath, '\\');
  if (b > s) s = b;
  return s ? s + 1 : sPath;
}

void SYS_PATH_GetExt(char* sDest, int DestSize, const char* sPath) {
  if (DestSize <= 0) return;
  sDest[0] = 0;
  const char* sName = _LastComponent(sPath);
  const char* sDot = std::strrchr(sName, '.');
  if (sDot && (int)std::strlen(sDot) < DestSize) UTIL_strcpy(sDest, sDot, DestSize);
}

void SYS_PATH_GetName(char* sDest, int DestSize, const char* sPath) {
  if (DestSize <= 0) return;
  sDest[0] = 0;
  const char* sName = _LastComponent(sPath);
  const char* sDot = std::strrchr(sName, '.');
  size_t n = sDot ? (size_t)(sDot - sName) : std::strlen(sName);
  if ((int)n < DestSize) {
    std::memcpy(sDest, sName, n);
    sDest[n] = 0;
  }
}

void SYS_PATH_GetDir(char* sDest, int DestSize, const char* sPath) {
  if (DestSize <= 0) return;
  sDest[0] = 0;
  const char* sName = _LastComponent(sPath);
  size_t n = (size_t)(sName - sPath);
  if ((int)n < DestSize) {
    std::memcpy(sDest, sPath, n);
    sDest[n] = 0;
  }
}

void SYS_PATH_Make(char* sDest, int DestSize, const char* sDrive, const char* sDir, const char* sName,
                   const char* sExt) {
  if (DestSize <= 0) return;
  sDest[0] = 0;
  if (sDrive) UTIL_strcat(sDest, sDrive, DestSize);
  if (sDir && sDir[0] && std::strcmp(sDir, "\\") != 0) {
    UTIL_strcat(sDest, sDir, DestSize);
    size_t n = std::strlen(sDest);
    if (n && sDest[n - 1] != '/' && sDest[n - 1] != '\\') UTIL_strcat(sDest, "/", DestSize);
  }
  if (sName) UTIL_strcat(sDest, sName, DestSize);
  if (sExt && sExt[0]) {
    if (sExt[0] != '.') UTIL_strcat(sDest, ".", DestSize);
    UTIL_strcat(sDest, sExt, DestSize);
  }
}

void SYS_PATH_ToNative(char* sPath) {
  if (sPath == nullptr) return;
  UTIL_ReplaceChar(sPath, '\\', '/');
  if (sPath[0] == '/' && sPath[1] == '/') std::memmove(sPath, sPath + 1, std::strlen(sPath));
}

bool SYS_PATH_IsAbsolute(const char* sPath) { return sPath && (sPath[0] == '/' || sPath[0] == '\\'); }

void SYS_PATH_Resolve(char* sDest, int DestSize, const char* sBase, const char* sPath) {
  if (DestSize <= 0) return;
  sDest[0] = 0;
  if (sPath == nullptr) return;
  if (SYS_PATH_IsAbsolute(sPath) || sBase == nullptr || sBase[0] == 0) {
    UTIL_strcpy(sDest, sPath, DestSize);
    SYS_PATH_ToNative(sDest);
    return;
  }
  std::string dir(sBase);
  if (SYS_FILE_IsFile(sBase)) {
    size_t cut = dir.find_last_of("/\\");
    dir = (cut == std::string::npos) ? std::string() : dir.substr(0, cut + 1);
  }
  std::string r = dir;
  if (!r.empty() && r.back() != '/' && r.back() != '\\' && sPath[0] != '/' && sPath[0] != '\\') r += '/';
  r += sPath;
  UTIL_strcpy(sDest, r.c_str(), DestSize);
  SYS_PATH_ToNative(sDest);
}

static std::string _ConfigHome() {
  const char* s = getenv("XDG_CONFIG_HOME");
  if (s && s[0] == '/') return s;
  const char* h = getenv("HOME");
  return std::string(h && h[0] ? h : "/tmp") + "/.config";
}

int SYS_PATH_GetAppDataDir(char* sDest, int DestSize) {
  std::string d = _ConfigHome() + "/KORVEN";
  if (SYS_DIR_Create(d.c_str()) < 0 || (int)d.size() >= DestSize) {
    if (DestSize > 0) sDest[0] = 0;
    return -1;
  }
  UTIL_strcpy(sDest, d.c_str(), DestSize);
  return 0;
}

int SYS_PATH_GetSettingsDir(char* sDest, int DestSize) {
  // A separate settings folder can be forced, so that scripts and tests do not share one.
  const char* sForced = getenv("TFORGE_SETTINGS_DIR");
  if (sForced && sForced[0]) {
    std::string d(sForced);
    if (d.back() != '/') d += '/';
    if (SYS_DIR_Create(d.c_str()) == 0 && (int)d.size() < DestSize) {
      UTIL_strcpy(sDest, d.c_str(), DestSize);
      return 0;
    }
  }
  char acDir[512];
  if (SYS_PATH_GetModuleDir(acDir, sizeof(acDir)) == 0) {
    std::string probe = std::string(acDir) + "KORVENXXXXXX";
    std::vector<char> buf(probe.begin(), probe.end());
    buf.push_back(0);
    int fd = mkstemp(buf.data());
    if (fd >= 0) {
      close(fd);
      unlink(buf.data());
      UTIL_strcpy(sDest, acDir, DestSize);
      return 0;
    }
  }
  if (SYS_PATH_GetAppDataDir(acDir, sizeof(acDir)) < 0) return -1;
  UTIL_strcat(acDir, "/", sizeof(acDir));
  UTIL_strcpy(sDest, acDir, DestSize);
  return 0;
}

/*********************************************************************
 * Settings store
 *
 * One file per root; sections are key paths, values are written as
 *   "Name"=dword:0000002A | "Name"="text" | "Name"=hex:01,02
 * Names and paths compare without regard to case, as the registry does.
 */
struct SYS_REG_KEY {
  int Root;
  std::string Path;
};

namespace {

struct RegValue {
  uint32_t Type;
  std::vector<uint8_t> Data;
};
struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};
using RegSection = std::map<std::string, RegValue, NoCase>;
using RegFile = std::map<std::string, RegSection, NoCase>;

std::mutex _RegLock;

std::string _RegPath(int Root) {
  if (Root == SYS_REG_ROOT_LOCAL_MACHINE) return "/etc/xdg/KORVEN/registry.ini";
  return _ConfigHome() + "/KORVEN/registry.ini";
}

std::string _Unquote(const std::string& s, size_t& i) {
  std::string r;
  if (i >= s.size() || s[i] != '"') return r;
  for (i++; i < s.size() && s[i] != '"'; i++) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      i++;
      r += (s[i] == 'n') ? '\n' : (s[i] == 'r') ? '\r' : s[i];
    } else {
      r += s[i];
    }
  }
  if (i < s.size()) i++;
  return r;
}

std::string _Quote(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      r += '\\';
      r += c;
    } else if (c == '\n') {
      r += "\\n";
    } else if (c == '\r') {
      r += "\\r";
    } else {
      r += c;
    }
  }
  return r + "\"";
}

RegFile _RegLoad(int Root) {
  RegFile f;
  FILE* fp = std::fopen(_RegPath(Root).c_str(), "r");
  if (fp == nullptr) return f;
  std::string section;
  char line[4096];
  while (std::fgets(line, sizeof(line), fp)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (s.empty() || s[0] == ';' || s[0] == '#') continue;
    if (s[0] == '[' && s.back() == ']') {
      section = s.substr(1, s.size() - 2);
      f[section];
      continue;
    }
    size_t i = 0;
    std::string name = _Unquote(s, i);
    if (i >= s.size() || s[i] != '=') continue;
    i++;
    RegValue v;
    if (s.compare(i, 6, "dword:") == 0) {
      uint32_t x = (uint32_t)std::strtoul(s.c_str() + i + 6, nullptr, 16);
      v.Type = SYS_REG_DWORD;
      v.Data.resize(4);
      std::memcpy(v.Data.data(), &x, 4);
    } else if (s.compare(i, 4, "hex:") == 0) {
      v.Type = SYS_REG_BINARY;
      const char* p = s.c_str() + i + 4;
      while (*p) {
        char* e;
        unsigned long b = std::strtoul(p, &e, 16);
        if (e == p) break;
        v.Data.push_back((uint8_t)b);
        p = (*e == ',') ? e + 1 : e;
      }
    } else {
      v.Type = SYS_REG_SZ;
      std::string t = _Unquote(s, i);
      v.Data.assign(t.begin(), t.end());
      v.Data.push_back(0);
    }
    f[section][name] = std::move(v);
  }
  std::fclose(fp);
  return f;
}

int _RegSave(int Root, const RegFile& f) {
  std::string path = _RegPath(Root);
  char acDir[512];
  SYS_PATH_GetDir(acDir, sizeof(acDir), path.c_str());
  SYS_DIR_Create(acDir);
  std::string text;
  for (auto& [sec, vals] : f) {
    text += "[" + sec + "]\n";
    for (auto& [name, v] : vals) {
      text += _Quote(name) + "=";
      if (v.Type == SYS_REG_DWORD && v.Data.size() == 4) {
        uint32_t x;
        std::memcpy(&x, v.Data.data(), 4);
        char ac[16];
        std::snprintf(ac, sizeof(ac), "dword:%08X", x);
        text += ac;
      } else if (v.Type == SYS_REG_SZ) {
        std::string t(v.Data.begin(), v.Data.end());
        t = t.c_str();
        text += _Quote(t);
      } else {
        text += "hex:";
        for (size_t k = 0; k < v.Data.size(); k++) {
          char ac[4];
          std::snprintf(ac, sizeof(ac), "%s%02x", k ? "," : "", v.Data[k]);
          text += ac;
        }
      }
      text += "\n";
    }
    text += "\n";
  }
  SYS_ATOMIC_FILE af;
  if (SYS_FILE_BeginReplace(&af, path.c_str()) < 0) return SYS_REG_ERROR_ACCESS;
  if (SYS_FILE_Write(af.hFile, text.data(), (uint32_t)text.size()) != (int)text.size()) {
    SYS_FILE_AbortReplace(&af);
    return SYS_REG_ERROR_ACCESS;
  }
  return SYS_FILE_CommitReplace(&af) == 0 ? 0 : SYS_REG_ERROR_ACCESS;
}

// Serialises read-modify-write of the store between processes too.
struct RegFileLock {
  int fd = -1;
  explicit RegFileLock(int Root) {
    if (Root != SYS_REG_ROOT_CURRENT_USER) return;
    std::string p = _RegPath(Root) + ".lock";
    char acDir[512];
    SYS_PATH_GetDir(acDir, sizeof(acDir), p.c_str());
    SYS_DIR_Create(acDir);
    fd = open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) flock(fd, LOCK_EX);
  }
  ~RegFileLock() {
    if (fd >= 0) close(fd);
  }
};

} // namespace

SYS_REG_KEY* SYS_REG_OpenKey(int Root, const char* sSubKey) {
  if (sSubKey == nullptr) return nullptr;
  std::string path(sSubKey);
  while (!path.empty() && path.back() == '\\') path.pop_back();
  std::lock_guard<std::mutex> g(_RegLock);
  RegFile f = _RegLoad(Root);
  if (f.find(path) == f.end()) return nullptr;
  return new SYS_REG_KEY{Root, path};
}

SYS_REG_KEY* SYS_REG_CreateKey(int Root, const char* sSubKey) {
  if (sSubKey == nullptr) return nullptr;
  std::string path(sSubKey);
  while (!path.empty() && path.back() == '\\') path.pop_back();
  if (Root == SYS_REG_ROOT_LOCAL_MACHINE) return SYS_REG_OpenKey(Root, path.c_str());
  std::lock_guard<std::mutex> g(_RegLock);
  RegFileLock fl(Root);
  RegFile f = _RegLoad(Root);
  if (f.find(path) == f.end()) {
    f[path];
    if (_RegSave(Root, f) != 0) return nullptr;
  }
  return new SYS_REG_KEY{Root, path};
}

void SYS_REG_CloseKey(SYS_REG_KEY* pKey) { delete pKey; }

int SYS_REG_ReadValue(SYS_REG_KEY* pKey, const char* sName, uint32_t* pType, void* pBuffer, uint32_t* pSize) {
  if (pKey == nullptr) return 1;
  std::lock_guard<std::mutex> g(_RegLock);
  RegFile f = _RegLoad(pKey->Root);
  auto s = f.find(pKey->Path);
  if (s == f.end()) return SYS_REG_ERROR_NOT_FOUND;
  auto v = s->second.find(sName ? sName : "");
  if (v == s->second.end()) return SYS_REG_ERROR_NOT_FOUND;
  if (pType) *pType = v->second.Type;
  if (pBuffer == nullptr) {
    if (pSize) *pSize = (uint32_t)v->second.Data.size();
    return 0;
  }
  if (pSize == nullptr) return SYS_REG_ERROR_MORE_DATA;
  if (*pSize < v->second.Data.size()) {
    *pSize = (uint32_t)v->second.Data.size();
    return SYS_REG_ERROR_MORE_DATA;
  }
  std::memcpy(pBuffer, v->second.Data.data(), v->second.Data.size());
  *pSize = (uint32_t)v->second.Data.size();
  return 0;
}

int SYS_REG_WriteValue(SYS_REG_KEY* pKey, const char* sName, uint32_t Type, const void* pData, uint32_t Size) {
  if (pKey == nullptr) return 1;
  if (pKey->Root != SYS_REG_ROOT_CURRENT_USER) return SYS_REG_ERROR_ACCESS;
  std::lock_guard<std::mutex> g(_RegLock);
  RegFileLock fl(pKey->Root);
  RegFile f = _RegLoad(pKey->Root);
  RegValue v;
  v.Type = Type;
  const uint8_t* p = static_cast<const uint8_t*>(pData);
  if (p) v.Data.assign(p, p + Size);
  f[pKey->Path][sName ? sName : ""] = std::move(v);
  return _RegSave(pKey->Root, f);
}

int SYS_REG_DeleteValue(SYS_REG_KEY* pKey, const char* sName) {
  if (pKey == nullptr) return 1;
  if (pKey->Root != SYS_REG_ROOT_CURRENT_USER) return SYS_REG_ERROR_ACCESS;
  std::lock_guard<std::mutex> g(_RegLock);
  RegFileLock fl(pKey->Root);
  RegFile f = _RegLoad(pKey->Root);
  auto s = f.find(pKey->Path);
  if (s == f.end() || s->second.erase(sName ? sName : "") == 0) return SYS_REG_ERROR_NOT_FOUND;
  return _RegSave(pKey->Root, f);
}

uint32_t SYS_GetWindowsVersion(void) { return 0x1000; }

/*********************************************************************
 * Threads and events
 */
struct SYS_HANDLE_OBJ {
  std::atomic<int> RefCount{1};
  std::mutex Lock;
  std::condition_variable Cond;
  bool Signalled = false;
  bool ManualReset = true;
  bool IsThread = false;
  bool Suspended = false;
  void (*pfRoutine)(void*) = nullptr;
  void* pArg = nullptr;
  std::string Name;
  pthread_t Thread{};     // thread handles: joinable until waited for or released
  std::mutex JoinLock;
  bool Joined = false;
};

static void _Release(SYS_HANDLE_OBJ* p) {
  if (p == nullptr || p->RefCount.fetch_sub(1) != 1) return;
  // Nobody waits for this thread any more: the system takes back what is left of it.
  if (p->IsThread && !p->Joined) pthread_detach(p->Thread);
  delete p;
}

// The routine of a thread may have returned while the thread still runs its thread-local
// clean-up (also that of libraries it called). A wait on a thread handle ends only when the
// thread is gone, so that nothing of it is left when, say, the process ends next.
static void _JoinThread(SYS_HANDLE_OBJ* p) {
  std::lock_guard<std::mutex> g(p->JoinLock);
  if (p->Joined || pthread_equal(p->Thread, pthread_self())) return;
  pthread_join(p->Thread, nullptr);
  p->Joined = true;
}

static thread_local std::string _ThreadName;

static void* _ThreadMain(void* pv) {
  SYS_HANDLE_OBJ* p = static_cast<SYS_HANDLE_OBJ*>(pv);
  _ThreadName = p->Name;
  if (!p->Name.empty()) {
    char ac[16]; // the kernel keeps 15 characters of a name
    UTIL_strcpy(ac, p->Name.c_str(), sizeof(ac));
    pthread_setname_np(pthread_self(), ac);
  }
  {
    std::unique_lock<std::mutex> g(p->Lock);
    p->Cond.wait(g, [p] { return !p->Suspended; });
  }
  p->pfRoutine(p->pArg);
  {
    std::lock_guard<std::mutex> g(p->Lock);
    p->Signalled = true;
  }
  p->Cond.notify_all();
  _Release(p);
  return nullptr;
}

SYS_HANDLE SYS_THREAD_Start(void (*pfRoutine)(void* pArg), void* pArg, uint64_t* pThreadId, const char* sName,
                            unsigned Flags) {
  if (pfRoutine == nullptr) return nullptr;
  SYS_HANDLE_OBJ* p = new SYS_HANDLE_OBJ;
  p->IsThread = true;
  p->pfRoutine = pfRoutine;
  p->pArg = pArg;
  p->Suspended = (Flags & SYS_THREAD_FLAG_SUSPENDED) != 0;
  if (sName) p->Name.assign(sName, strnlen(sName, 64));
  p->RefCount = 2; // the caller's handle and the running thread
  // The thread's own reference cannot be the last before the caller has this handle, so
  // p->Thread is set before anybody can detach or join it.
  if (pthread_create(&p->Thread, nullptr, _ThreadMain, p) != 0) {
    delete p;
    return nullptr;
  }
  if (pThreadId) *pThreadId = (uint64_t)(uintptr_t)p->Thread;
  return p;
}

void SYS_THREAD_Resume(SYS_HANDLE h) {
  if (h == nullptr || !h->IsThread) return;
  {
    std::lock_guard<std::mutex> g(h->Lock);
    h->Suspended = false;
  }
  h->Cond.notify_all();
}

const char* SYS_THREAD_GetName(void) { return _ThreadName.c_str(); }

uint64_t SYS_GetCurrentThreadId(void) { return (uint64_t)(uintptr_t)pthread_self(); }

int SYS_THREAD_WaitForNamedToEnd(const char* sName, int TimeoutMs) {
  char acName[16];
  UTIL_strcpy(acName, sName ? sName : "", sizeof(acName));
  uint32_t t0 = SYS_TIME_GetMs();
  for (;;) {
    bool Found = false;
    if (DIR* pDir = opendir("/proc/self/task")) {
      while (dirent* e = readdir(pDir)) {
        if (e->d_name[0] == '.') continue;
        char acComm[32] = "";
        std::string Path = std::string("/proc/self/task/") + e->d_name + "/comm";
        int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue; // the thread has just ended
        ssize_t n = read(fd, acComm, sizeof(acComm) - 1);
        close(fd);
        if (n <= 0) continue;
        acComm[acComm[n - 1] == '\n' ? n - 1 : n] = 0;
        if (std::strcmp(acComm, acName) == 0) Found = true;
      }
      closedir(pDir);
    }
    if (!Found) return 0;
    if ((int)(SYS_TIME_GetMs() - t0) >= TimeoutMs) return SYS_WAIT_TIMEOUT;
    SYS_Sleep(1);
  }
}

SYS_HANDLE SYS_EVENT_Create(bool ManualReset, bool InitiallySignalled) {
  SYS_HANDLE_OBJ* p = new SYS_HANDLE_OBJ;
  p->ManualReset = ManualReset;
  p->Signalled = InitiallySignalled;
  return p;
}

void SYS_EVENT_Set(SYS_HANDLE h) {
  if (h == nullptr) return;
  {
    std::lock_guard<std::mutex> g(h->Lock);
    h->Signalled = true;
  }
  if (h->ManualReset) {
    h->Cond.notify_all();
  } else {
    h->Cond.notify_one();
  }
}

void SYS_EVENT_Reset(SYS_HANDLE h) {
  if (h == nullptr) return;
  std::lock_guard<std::mutex> g(h->Lock);
  h->Signalled = false;
}

int SYS_EVENT_Wait(SYS_HANDLE h, int TimeoutMs) {
  if (h == nullptr) return SYS_WAIT_OK;
  std::unique_lock<std::mutex> g(h->Lock);
  auto ready = [h] { return h->Signalled; };
  if (TimeoutMs < 0) {
    h->Cond.wait(g, ready);
  } else if (!h->Cond.wait_for(g, std::chrono::milliseconds(TimeoutMs), ready)) {
    return SYS_WAIT_TIMEOUT;
  }
  if (!h->ManualReset && !h->IsThread) h->Signalled = false;
  g.unlock();
  if (h->IsThread) _JoinThread(h);
  return SYS_WAIT_OK;
}

void SYS_HANDLE_Close(SYS_HANDLE h) { _Release(h); }

/*********************************************************************
 * Mutexes
 */
struct SYS_MUTEX {
  std::recursive_mutex Local; // the unnamed lock, and the in-process part of a named one
  bool IsNamed = false;
  int LockFd = -1;   // named: flock()ed while owned
  int Depth = 0;     // named: recursion depth of the owning thread
};

SYS_MUTEX* SYS_MUTEX_Create(const char* sName) {
  SYS_MUTEX* p = new (std::nothrow) SYS_MUTEX;
  if (p == nullptr) return nullptr;
  if (sName && sName[0]) {
    const char* sRun = getenv("XDG_RUNTIME_DIR");
    std::string dir = (sRun && sRun[0] == '/') ? sRun : "/tmp";
    std::string name(sName);
    for (char& c : name) {
      if (c == '/' || c == '\\') c = '_';
    }
    std::string path = dir + "/KORVEN-" + name + ".lock";
    p->LockFd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    p->IsNamed = true;
  }
  return p;
}

int SYS_MUTEX_Lock(SYS_MUTEX* p, int TimeoutMs) {
  if (p == nullptr) return 0;
  uint64_t t0 = SYS_TIME_GetTicks();
  auto expired = [&] { return TimeoutMs >= 0 && SYS_TIME_GetUsSince(t0) > (uint64_t)TimeoutMs * 1000u; };
  // Spin for the first 10 ms, then sleep 1 ms between tries.
  auto pause = [&] {
    if (SYS_TIME_GetUsSince(t0) > 10000) {
      SYS_Sleep(1);
    } else {
      std::this_thread::yield();
    }
  };
  if (TimeoutMs < 0) {
    p->Local.lock();
  } else {
    while (!p->Local.try_lock()) {
      if (expired()) return SYS_WAIT_TIMEOUT;
      pause();
    }
  }
  if (!p->IsNamed || p->LockFd < 0) return 0;
  if (p->Depth++ > 0) return 0;
  while (flock(p->LockFd, LOCK_EX | LOCK_NB) != 0) {
    if (expired()) {
      p->Depth--;
      p->Local.unlock();
      return SYS_WAIT_TIMEOUT;
    }
    pause();
  }
  return 0;
}

int SYS_MUTEX_Unlock(SYS_MUTEX* p) {
  if (p == nullptr) return 1;
  if (p->IsNamed && p->LockFd >= 0 && --p->Depth == 0) flock(p->LockFd, LOCK_UN);
  p->Local.unlock();
  return 0;
}

void SYS_MUTEX_Delete(SYS_MUTEX** pp) {
  if (pp == nullptr || *pp == nullptr) return;
  if ((*pp)->LockFd >= 0) close((*pp)->LockFd);
  delete *pp;
  *pp = nullptr;
}

void SYS_Sleep(int Ms) {
  if (Ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

/*********************************************************************
 * Time
 */
static uint64_t _MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

static uint64_t _StartNs() {
  static const uint64_t t0 = _MonotonicNs();
  return t0;
}

void SYS_TIME_GetLocal(SYS_TIME* pTime) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  _ToSysTime(ts, pTime, true);
}

uint32_t SYS_TIME_GetMs(void) {
  uint64_t t0 = _StartNs();
  return (uint32_t)((_MonotonicNs() - t0) / 1000000u);
}

uint64_t SYS_TIME_GetTicks(void) {
  uint64_t t0 = _StartNs();
  return _MonotonicNs() - t0;
}

uint64_t SYS_TIME_TicksToUs(uint64_t Ticks) { return (Ticks + 500u) / 1000u; }

uint64_t SYS_TIME_GetUsSince(uint64_t StartTicks) { return SYS_TIME_TicksToUs(SYS_TIME_GetTicks() - StartTicks); }

void SYS_FreeLibraries(void) {
  // Nothing is looked up at run time on this platform: thread names and the timer are POSIX.
}

/*********************************************************************
 * Dynamic buffer
 */
static void _DynError(DYNBUFFER* pBuf, const char* sFormat, uint32_t Value) {
  if (pBuf->pfError == nullptr) return;
  char ac[160];
  UTIL_sprintf(ac, sizeof(ac), sFormat, Value);
  pBuf->pfError(ac);
}

int DYNBUFFER_Init(DYNBUFFER* pBuf, void (*pfError)(const char* sText), uint32_t MaxSize, uint32_t InitSize,
                   int32_t FillValue) {
  pBuf->pfError = pfError;
  pBuf->MaxSize = MaxSize;
  pBuf->FillValue = FillValue;
  pBuf->CurSize = 0;
  pBuf->pData = static_cast<uint8_t*>(SYS_MEM_Alloc(InitSize ? InitSize : 1, "DYNBUFFER: dynamic buffer"));
  if (pBuf->pData == nullptr) {
    _DynError(pBuf, "Cannot allocate %d bytes of memory for dynamic buffer", InitSize);
    return -2;
  }
  pBuf->CurSize = InitSize;
  if (FillValue >= 0) std::memset(pBuf->pData, FillValue & 0xFF, InitSize);
  return 0;
}

int DYNBUFFER_Ensure(DYNBUFFER* pBuf, uint32_t Offset) {
  if (Offset < pBuf->CurSize) return 0;
  if (Offset >= pBuf->MaxSize) {
    _DynError(pBuf,
              "Debugger accesses memory in dynamic buffer at offset 0x%.8X which is out of array bounds.", Offset);
    return -3;
  }
  uint64_t NewSize = std::max<uint64_t>((uint64_t)Offset + 1, (uint64_t)pBuf->CurSize * 2);
  if (NewSize > pBuf->MaxSize) NewSize = pBuf->MaxSize;
  uint8_t* pNew = static_cast<uint8_t*>(SYS_MEM_Alloc((size_t)NewSize, "DYNBUFFER: dynamic buffer"));
  if (pNew == nullptr) {
    _DynError(pBuf, "Cannot allocate %d bytes of memory for dynamic buffer", (uint32_t)NewSize);
    return -2;
  }
  if (pBuf->pData) std::memcpy(pNew, pBuf->pData, pBuf->CurSize);
  if (pBuf->FillValue >= 0) std::memset(pNew + pBuf->CurSize, pBuf->FillValue & 0xFF, (size_t)NewSize - pBuf->CurSize);
  SYS_MEM_Free(pBuf->pData);
  pBuf->pData = pNew;
  pBuf->CurSize = (uint32_t)NewSize;
  return 0;
}

int DYNBUFFER_Free(DYNBUFFER* pBuf) {
  if (pBuf->pData == nullptr) return 0;
  SYS_MEM_Free(pBuf->pData);
  std::memset(pBuf, 0, sizeof(*pBuf));
  return 0;
}

/*********************************************************************
 * Processes
 */
uint32_t SYS_PROCESS_GetId(void) {
  return (uint32_t)getpid();
}

bool SYS_PROCESS_IsRunning(uint32_t ProcessId) {
  if (ProcessId == 0 || ProcessId > (uint32_t)INT_MAX) return false;
  return kill((pid_t)ProcessId, 0) == 0 || errno == EPERM;
}
