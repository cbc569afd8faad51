/*
 * SYS - the thin layer between T-Forge and the operating system.
 *
 * Owns tagged memory, files and paths, directories, the settings store that stands in for
 * the registry, threads with names, events, mutexes and time. Everything else calls these
 * operations instead of the system directly, so that failures are reported in one place.
 * Results: 0 or a count for success, negative for failure, unless an operation says otherwise.
 */
#pragma once

#include <cstddef>
#include <cstdint>

/*********************************************************************
 * Memory
 *
 * Every block carries its tag, the constant text naming its owner ("APP: <Erase> Job params").
 * The allocator keeps the live blocks in a list so that tests and a debug session can ask
 * which owners still hold memory.
 */
void* SYS_MEM_Alloc(size_t numBytes, const char* sTag); // block, or null (reported once, here)
void* SYS_MEM_AllocNoTag(size_t numBytes);               // block, or null (reported once, here)
int SYS_MEM_Free(void* p);                               // 0; null is ignored
void* SYS_MEM_Realloc(void* p, size_t numBytes);         // block, or null without a message
// Number of live blocks carrying exactly this tag (null: all blocks).
int SYS_MEM_CountBlocks(const char* sTag);
// Calls pfReport once per distinct tag that still holds blocks; returns the number of blocks.
int SYS_MEM_ReportBlocks(void (*pfReport)(const char* sTag, int numBlocks, size_t numBytes, void* pUser),
                         void* pUser);
// Where allocation failures are shown besides standard error (the GUI installs a box).
void SYS_SetAllocFailureHandler(void (*pfHandler)(const char* sTitle, const char* sText));

/*********************************************************************
 * Files
 *
 * A file is a descriptor; -1 means invalid. Open flags are the bit values below.
 */
enum {
  SYS_FILE_FLAG_READ = 0x01,
  SYS_FILE_FLAG_WRITE = 0x02,
  SYS_FILE_FLAG_SHARE_READ = 0x04,
  SYS_FILE_FLAG_SHARE_WRITE = 0x08,
  SYS_FILE_FLAG_CREATE = 0x10,
  SYS_FILE_FLAG_TRUNCATE = 0x20,
  SYS_FILE_FLAG_APPEND = 0x40,
  SYS_FILE_FLAG_EXCLUSIVE = 0x80,
  SYS_FILE_FLAG_SHARE_DELETE = 0x100,
  SYS_FILE_FLAG_OVERLAPPED = 0x200,
  SYS_FILE_FLAG_DIRECTORY = 0x400,
};

// Last file error of this thread, in the program's terms (set by every failing file operation).
enum {
  SYS_ERR_NONE = 0,
  SYS_ERR_FILE_NOT_FOUND = 2,
  SYS_ERR_PATH_NOT_FOUND = 3,
  SYS_ERR_ACCESS_DENIED = 5,
  SYS_ERR_INVALID_DRIVE = 15,
  SYS_ERR_DISK_FULL = 112,
  SYS_ERR_INVALID_NAME = 123,
  SYS_ERR_OTHER = 1000,
};
int SYS_GetLastError(void);
void SYS_SetLastError(int Error);

struct SYS_TIME {
  uint16_t Year;
  uint16_t Month;
  uint16_t Day;
  uint16_t Hour;
  uint16_t Minute;
  uint16_t Second;
  uint16_t Millisecond;
};

struct SYS_FILE_INFO {
  SYS_TIME LastWrite;
  const char* sName;
  const char* sDir;
  uint32_t SizeLow;
  uint32_t SizeHigh;
  uint32_t Attributes; // SYS_FILE_ATTR_*
};
enum { SYS_FILE_ATTR_READONLY = 0x01, SYS_FILE_ATTR_DIRECTORY = 0x10, SYS_FILE_ATTR_NORMAL = 0x80 };

int SYS_FILE_Open(const char* sPath, unsigned Flags);                                     // fd or -1
int SYS_FILE_OpenEx(const char* sPath, unsigned Flags, int NumRetries, int DelayMs);      // fd or -1
int SYS_FILE_OpenCreatePath(const char* sPath, unsigned Flags);                           // fd or -1
int SYS_FILE_Read(int hFile, void* pBuffer, uint32_t NumBytes);        // bytes read or -1
int SYS_FILE_Write(int hFile, const void* pBuffer, uint32_t NumBytes); // bytes written or -1
int64_t SYS_FILE_Seek(int hFile, int64_t Distance, int Origin);        // new position or -1
uint32_t SYS_FILE_GetSize(int hFile);
int64_t SYS_FILE_GetSize64(int hFile); // size or -1
void SYS_FILE_Close(int hFile);
int SYS_FILE_Delete(const char* sPath); // 0
int SYS_FILE_GetAttributes(const char* sPath); // SYS_FILE_ATTR_* or -1
bool SYS_FILE_IsFile(const char* sPath);
bool SYS_FILE_IsDir(const char* sPath);
bool SYS_FILE_IsReadOnly(const char* sPath); // the file exists and may not be written by this user
int SYS_FILE_DirExists(const char* sPath);    // 1 when the directory part of the path is a directory
int SYS_FILE_GetTime(int hFile, SYS_TIME* pLastAccess, SYS_TIME* pLastWrite); // 0 or -1
int SYS_DIR_List(const char* sDir, void (*pfCallback)(const SYS_FILE_INFO* pInfo, void* pUser),
                 void* pUser); // number of entries or -1
int SYS_DIR_Create(const char* sPath); // 0 or -1

/*
 * Atomic replace: a file is written to a temporary file in its own directory and renamed over
 * the old one only after everything was written and flushed, so a full disk or a crash never
 * leaves a truncated file behind.
 */
struct SYS_ATOMIC_FILE {
  int hFile;          // descriptor of the temporary file, -1 when not open
  char sTmpPath[520]; // the temporary file
  char sPath[512];    // the file it replaces
};
int SYS_FILE_BeginReplace(SYS_ATOMIC_FILE* pFile, const char* sPath); // 0, or -1 (last error set)
int SYS_FILE_CommitReplace(SYS_ATOMIC_FILE* pFile);                  // 0, or -1: the old file is unchanged
void SYS_FILE_AbortReplace(SYS_ATOMIC_FILE* pFile);                  // drops the temporary file

/*********************************************************************
 * Paths (at most 512 characters unless said)
 */
int SYS_PATH_GetModuleFileName(char* sDest, int DestSize); // 0 or -1
int SYS_PATH_GetModuleDir(char* sDest, int DestSize);      // with trailing '/'; 0 or -1
void SYS_PATH_GetExt(char* sDest, int DestSize, const char* sPath);  // ".hex"; empty when it does not fit
void SYS_PATH_GetName(char* sDest, int DestSize, const char* sPath); // name without dir and extension
void SYS_PATH_GetDir(char* sDest, int DestSize, const char* sPath);  // directory with trailing '/', or empty
void SYS_PATH_Make(char* sDest, int DestSize, const char* sDrive, const char* sDir, const char* sName,
                   const char* sExt);
void SYS_PATH_ToNative(char* sPath);  // backslashes become slashes; a leading "//" becomes "/"
bool SYS_PATH_IsAbsolute(const char* sPath);
void SYS_PATH_Resolve(char* sDest, int DestSize, const char* sBase, const char* sPath);
int SYS_PATH_GetAppDataDir(char* sDest, int DestSize);  // "$XDG_CONFIG_HOME/KORVEN", created; 0 or -1
int SYS_PATH_GetSettingsDir(char* sDest, int DestSize); // with trailing '/'; 0 or -1

/*********************************************************************
 * Settings store (the registry's place): "$XDG_CONFIG_HOME/KORVEN/registry.ini" for the
 * current user, "/etc/xdg/KORVEN/registry.ini" (read only) for the local machine; one
 * section per key path, typed values.
 */
enum { SYS_REG_ROOT_CURRENT_USER = 1, SYS_REG_ROOT_LOCAL_MACHINE = 2 };
enum { SYS_REG_SZ = 1, SYS_REG_BINARY = 3, SYS_REG_DWORD = 4 };
enum { SYS_REG_ERROR_NOT_FOUND = 2, SYS_REG_ERROR_ACCESS = 5, SYS_REG_ERROR_MORE_DATA = 234 };
struct SYS_REG_KEY;
SYS_REG_KEY* SYS_REG_CreateKey(int Root, const char* sSubKey); // opened or created, or null
SYS_REG_KEY* SYS_REG_OpenKey(int Root, const char* sSubKey);   // existing key, or null
void SYS_REG_CloseKey(SYS_REG_KEY* pKey);
// 0 or the error; no buffer: only the type is read; no key: 1. *pSize: in room, out bytes.
int SYS_REG_ReadValue(SYS_REG_KEY* pKey, const char* sName, uint32_t* pType, void* pBuffer, uint32_t* pSize);
int SYS_REG_WriteValue(SYS_REG_KEY* pKey, const char* sName, uint32_t Type, const void* pData, uint32_t Size);
int SYS_REG_DeleteValue(SYS_REG_KEY* pKey, const char* sName);
uint32_t SYS_GetWindowsVersion(void); // 0x1000: not Windows

/*********************************************************************
 * Threads, events, mutexes
 *
 * A handle names a thread or an event; waiting on a thread handle waits for its end.
 */
struct SYS_HANDLE_OBJ;
typedef SYS_HANDLE_OBJ* SYS_HANDLE;
enum { SYS_WAIT_OK = 0, SYS_WAIT_TIMEOUT = 258, SYS_WAIT_FAILED = -1 };
enum { SYS_THREAD_FLAG_SUSPENDED = 1 };

SYS_HANDLE SYS_THREAD_Start(void (*pfRoutine)(void* pArg), void* pArg, uint64_t* pThreadId, const char* sName,
                            unsigned Flags); // handle or null
void SYS_THREAD_Resume(SYS_HANDLE hThread);
const char* SYS_THREAD_GetName(void); // full name given to the calling thread, or ""
uint64_t SYS_GetCurrentThreadId(void);
SYS_HANDLE SYS_EVENT_Create(bool ManualReset, bool InitiallySignalled); // handle or null
void SYS_EVENT_Set(SYS_HANDLE hEvent);
void SYS_EVENT_Reset(SYS_HANDLE hEvent);
int SYS_EVENT_Wait(SYS_HANDLE hEvent, int TimeoutMs); // 0, 258 on time-out, -1; null counts as signalled
void SYS_HANDLE_Close(SYS_HANDLE h);

struct SYS_MUTEX;
SYS_MUTEX* SYS_MUTEX_Create(const char* sName); // named: across processes; unnamed: recursive lock
int SYS_MUTEX_Lock(SYS_MUTEX* pMutex, int TimeoutMs); // 0 when owned, 258 on time-out
int SYS_MUTEX_Unlock(SYS_MUTEX* pMutex);              // 0; null: 1
void SYS_MUTEX_Delete(SYS_MUTEX** ppMutex);
void SYS_Sleep(int Ms);

// Processes of this machine.
uint32_t SYS_PROCESS_GetId(void);            // id of this process
bool SYS_PROCESS_IsRunning(uint32_t ProcessId); // a process with this id exists
// Waits until no thread of this process carries the given name (as the kernel keeps it, 15
// characters at most) any more. 0, or 258 on time-out.
int SYS_THREAD_WaitForNamedToEnd(const char* sName, int TimeoutMs);

// Holds a mutex for the lifetime of a scope (waiting without time limit).
class SYS_MUTEX_GUARD {
public:
  explicit SYS_MUTEX_GUARD(SYS_MUTEX* p) : _p(p) { SYS_MUTEX_Lock(_p, -1); }
  ~SYS_MUTEX_GUARD() { SYS_MUTEX_Unlock(_p); }
  SYS_MUTEX_GUARD(const SYS_MUTEX_GUARD&) = delete;
  SYS_MUTEX_GUARD& operator=(const SYS_MUTEX_GUARD&) = delete;

private:
  SYS_MUTEX* _p;
};

/*********************************************************************
 * Time
 */
void SYS_TIME_GetLocal(SYS_TIME* pTime);
uint32_t SYS_TIME_GetMs(void);      // milliseconds since the first call
uint64_t SYS_TIME_GetTicks(void);   // nanosecond ticks since the first call
uint64_t SYS_TIME_TicksToUs(uint64_t Ticks);
uint64_t SYS_TIME_GetUsSince(uint64_t StartTicks);
void SYS_FreeLibraries(void);

/*********************************************************************
 * Dynamic buffer
 */
struct DYNBUFFER {
  uint8_t* pData;
  uint32_t MaxSize;
  uint32_t CurSize;
  int32_t FillValue; // negative: no fill
  void (*pfError)(const char* sText);
};
int DYNBUFFER_Init(DYNBUFFER* pBuf, void (*pfError)(const char* sText), uint32_t MaxSize, uint32_t InitSize,
                   int32_t FillValue);                // 0 or -2
int DYNBUFFER_Ensure(DYNBUFFER* pBuf, uint32_t Offset); // 0, -2 or -3
int DYNBUFFER_Free(DYNBUFFER* pBuf);                  // 0
