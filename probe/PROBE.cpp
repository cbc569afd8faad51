/*
 * PROBE - dlopen binding of the probe library, one wrapper per entry point.
 */
#include "probe/PROBE.h"
#include "probe/PROBE_EntryPoints.h"
#include "probe/PROBE_Test.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <type_traits>

#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

enum {
#define PROBE_X(R, NAME, PARAMS, ARGS) PROBE_ID_##NAME,
  PROBE_ENTRY_POINTS(PROBE_X)
#undef PROBE_X
      PROBE_NUM_ENTRIES
};

struct EntryPoint {
  const char* sName;
  std::atomic<void*> pfLibrary;  // looked up in the library, kept after the first success
  std::atomic<void*> pfOverride; // set by a test
  std::atomic<int> FailCountdown; // > 0: the call that brings it to 0 fails
};

EntryPoint _aEntry[PROBE_NUM_ENTRIES] = {
#define PROBE_X(R, NAME, PARAMS, ARGS) {#NAME, {nullptr}, {nullptr}, {0}},
    PROBE_ENTRY_POINTS(PROBE_X)
#undef PROBE_X
};

std::mutex _LoadLock;
void* _hLib;
bool _LoadFailureShown;
std::string _LibPath;
std::string _TestLibPath;
void (*_pfShowMessage)(const char* sTitle, const char* sText);

void _ShowMessage(const char* sText) {
  std::fprintf(stderr, "X-Relay Error: %s\n", sText);
  if (_pfShowMessage) _pfShowMessage("X-Relay Error", sText);
}

void* _TryOpen(const std::string& Path) {
  if (Path.empty()) return nullptr;
  void* h = dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h) _LibPath = Path;
  return h;
}

// The directory of "InstallPath" under one key of one root, or "".
std::string _InstallPath(int Root, const char* sKey) {
  SYS_REG_KEY* pKey = SYS_REG_OpenKey(Root, sKey);
  if (pKey == nullptr) return std::string();
  char ac[512];
  uint32_t Size = sizeof(ac) - 1, Type = 0;
  std::string r;
  if (SYS_REG_ReadValue(pKey, "InstallPath", &Type, ac, &Size) == 0 && Type == SYS_REG_SZ) {
    ac[Size] = 0;
    r = ac;
  }
  SYS_REG_CloseKey(pKey);
  return r;
}

void* _Load() {
  std::lock_guard<std::mutex> g(_LoadLock);
  if (_hLib) return _hLib;
  if (!_TestLibPath.empty()) {
    _hLib = _TryOpen(_TestLibPath);
    return _hLib;
  }
  char acDir[512];
  std::string Local;
  if (SYS_PATH_GetModuleDir(acDir, sizeof(acDir)) == 0) Local = std::string(acDir) + PROBE_LIBRARY_NAME;
  _hLib = _TryOpen(Local);
  for (int Root : {SYS_REG_ROOT_CURRENT_USER, SYS_REG_ROOT_LOCAL_MACHINE}) {
    if (_hLib) break;
    std::string Dir = _InstallPath(Root, "Software\\KORVEN\\X-Relay");
    if (Dir.empty()) Dir = _InstallPath(Root, "Software\\KORVEN\\Stamper");
    if (Dir.empty()) continue;
    if (Dir.back() != '/') Dir += '/';
    _hLib = _TryOpen(Dir + PROBE_LIBRARY_NAME);
  }
  if (_hLib == nullptr && !_LoadFailureShown) {
    // Shown once: a missing library would otherwise raise a box at every call.
    _LoadFailureShown = true;
    std::string Text = "Target DLL " + Local + " not found !";
    _ShowMessage(Text.c_str());
  }
  return _hLib;
}

// The function to call for entry Id, or null; *pFail is set when this call is to fail.
void* _Resolve(int Id, bool* pFail) {
  EntryPoint& e = _aEntry[Id];
  *pFail = false;
  int c = e.FailCountdown.load();
  while (c > 0 && !e.FailCountdown.compare_exchange_weak(c, c - 1)) {
  }
  if (c == 1) {
    *pFail = true;
    return nullptr;
  }
  if (void* p = e.pfOverride.load()) return p;
  if (void* p = e.pfLibrary.load()) return p;
  void* h = _Load();
  void* p = h ? dlsym(h, e.sName) : nullptr;
  if (p == nullptr) {
    std::string Text = std::string("DLL function ") + e.sName + "(...) not found !";
    _ShowMessage(Text.c_str());
    return nullptr;
  }
  e.pfLibrary.store(p);
  return p;
}

template <typename R> R _FailResult() {
  if constexpr (std::is_void_v<R>) {
    return;
  } else if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else if constexpr (std::is_same_v<R, char> || std::is_unsigned_v<R>) {
    return R(0);
  } else {
    return R(-1);
  }
}

template <typename R> R _MissingResult() {
  if constexpr (!std::is_void_v<R>) return R{};
}

int _FindEntry(const char* sName) {
  for (int i = 0; i < PROBE_NUM_ENTRIES; i++) {
    if (sName && std::strcmp(_aEntry[i].sName, sName) == 0) return i;
  }
  return -1;
}

} // namespace

// The wrappers: the compiler checks each against the declaration in xrelayarm.h.
#define PROBE_X(R, NAME, PARAMS, ARGS)                                              \
  R NAME PARAMS {                                                                   \
    bool Fail;                                                                      \
    auto pf = reinterpret_cast<decltype(&NAME)>(_Resolve(PROBE_ID_##NAME, &Fail));  \
    if (Fail) return _FailResult<R>();                                              \
    if (pf == nullptr) return _MissingResult<R>();                                  \
    return pf ARGS;                                                                 \
  }
PROBE_ENTRY_POINTS(PROBE_X)
#undef PROBE_X

void PROBE_SetMessageHandler(void (*pfShow)(const char* sTitle, const char* sText)) { _pfShowMessage = pfShow; }

int PROBE_Load(void) { return _Load() ? 0 : -1; }

bool PROBE_IsLoaded(void) {
  std::lock_guard<std::mutex> g(_LoadLock);
  return _hLib != nullptr;
}

void PROBE_Unload(void) {
  std::lock_guard<std::mutex> g(_LoadLock);
  for (EntryPoint& e : _aEntry) e.pfLibrary.store(nullptr);
  if (_hLib) dlclose(_hLib);
  _hLib = nullptr;
  _LibPath.clear();
  _LoadFailureShown = false;
}

const char* PROBE_GetLibraryPath(void) { return _LibPath.c_str(); }

void PROBE_SetLibraryPathForTest(const char* sPath) {
  PROBE_Unload();
  std::lock_guard<std::mutex> g(_LoadLock);
  _TestLibPath = sPath ? sPath : "";
}

int PROBE_SetEntry(const char* sName, void* pfFunction) {
  int i = _FindEntry(sName);
  if (i < 0) return -1;
  _aEntry[i].pfOverride.store(pfFunction);
  return 0;
}

int PROBE_FailNthCall(const char* sName, int n) {
  int i = _FindEntry(sName);
  if (i < 0 || n < 1) return -1;
  _aEntry[i].FailCountdown.store(n);
  return 0;
}

void PROBE_ResetEntries(void) {
  for (EntryPoint& e : _aEntry) {
    e.pfOverride.store(nullptr);
    e.FailCountdown.store(0);
  }
}
