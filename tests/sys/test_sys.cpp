// Files, directories, the settings store, mutexes, events, threads and the dynamic buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

class TempDir : public ::testing::Test {
protected:
  void SetUp() override {
    char ac[] = "/tmp/tforge-sys-XXXXXX";
    Dir = mkdtemp(ac);
    setenv("XDG_CONFIG_HOME", (Dir + "/config").c_str(), 1);
  }
  void TearDown() override { std::system(("rm -rf " + Dir).c_str()); }
  std::string Read(const std::string& Path) {
    std::ifstream f(Path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  std::string Dir;
};

TEST_F(TempDir, OpenFlagsCreateAndTruncate) {
  std::string p = Dir + "/a.txt";
  EXPECT_EQ(SYS_FILE_Open(p.c_str(), 0x01), -1); // open existing only
  EXPECT_EQ(SYS_GetLastError(), SYS_ERR_FILE_NOT_FOUND);
  int h = SYS_FILE_Open(p.c_str(), 0x36); // write, others may read, new empty file
  ASSERT_GE(h, 0);
  EXPECT_EQ(SYS_FILE_Write(h, "hello", 5), 5);
  SYS_FILE_Close(h);
  EXPECT_EQ(SYS_FILE_Open(p.c_str(), 0x92), -1); // create only when missing
  h = SYS_FILE_Open(p.c_str(), 0x41 | 0x02); // append
  SYS_FILE_Write(h, "!", 1);
  SYS_FILE_Close(h);
  EXPECT_EQ(Read(p), "hello!");
  h = SYS_FILE_Open(p.c_str(), 0x01);
  EXPECT_EQ(SYS_FILE_GetSize(h), 6u);
  char ac[8] = {0};
  EXPECT_EQ(SYS_FILE_Seek(h, -2, 2), 4);
  EXPECT_EQ(SYS_FILE_Read(h, ac, 8), 2);
  EXPECT_STREQ(ac, "o!");
  SYS_TIME w{};
  EXPECT_EQ(SYS_FILE_GetTime(h, nullptr, &w), 0);
  EXPECT_GE(w.Year, 2024);
  SYS_FILE_Close(h);
  EXPECT_EQ(SYS_FILE_Open((Dir + "/nodir/x").c_str(), 0x01), -1);
  EXPECT_EQ(SYS_GetLastError(), SYS_ERR_PATH_NOT_FOUND);
  EXPECT_EQ(SYS_FILE_Open(Dir.c_str(), 0x01), -1); // a directory needs 0x400
  EXPECT_GE(SYS_FILE_Open(Dir.c_str(), 0x401), 0);
}

TEST_F(TempDir, DirectoriesAndPaths) {
  std::string Deep = Dir + "/a/b/c";
  EXPECT_EQ(SYS_DIR_Create(Deep.c_str()), 0);
  EXPECT_EQ(SYS_DIR_Create(Deep.c_str()), 0); // existing directory: success
  std::ofstream(Dir + "/file") << "x";
  EXPECT_EQ(SYS_DIR_Create((Dir + "/file").c_str()), -1); // leaf exists as a file
  EXPECT_TRUE(SYS_FILE_IsDir(Deep.c_str()));
  EXPECT_TRUE(SYS_FILE_IsFile((Dir + "/file").c_str()));
  int h = SYS_FILE_OpenCreatePath((Dir + "/x/y/z.bin").c_str(), 0x32);
  EXPECT_GE(h, 0);
  SYS_FILE_Close(h);
  struct Seen {
    int n = 0;
    bool Dir = false;
  } s;
  EXPECT_EQ(SYS_DIR_List((Dir + "/x").c_str(),
                         [](const SYS_FILE_INFO* p, void* u) {
                           auto* s = static_cast<Seen*>(u);
                           s->n++;
                           s->Dir = p->Attributes & SYS_FILE_ATTR_DIRECTORY;
                         },
                         &s),
            1);
  EXPECT_TRUE(s.Dir);
  char ac[512];
  SYS_PATH_GetExt(ac, sizeof(ac), "/p/q.r/data.hex");
  EXPECT_STREQ(ac, ".hex");
  SYS_PATH_GetExt(ac, 3, "/p/data.hex"); // does not fit
  EXPECT_STREQ(ac, "");
  SYS_PATH_GetName(ac, sizeof(ac), "/p/q.r/data.hex");
  EXPECT_STREQ(ac, "data");
  SYS_PATH_Make(ac, sizeof(ac), nullptr, "/etc/k", "Default", "tforge");
  EXPECT_STREQ(ac, "/etc/k/Default.tforge");
  SYS_PATH_Resolve(ac, sizeof(ac), (Dir + "/file").c_str(), "sub\\d.hex");
  EXPECT_EQ(std::string(ac), Dir + "/sub/d.hex");
  SYS_PATH_Resolve(ac, sizeof(ac), Dir.c_str(), "d.hex"); // base is a directory
  EXPECT_EQ(std::string(ac), Dir + "/d.hex");
  SYS_PATH_Resolve(ac, sizeof(ac), Dir.c_str(), "/abs/d.hex");
  EXPECT_STREQ(ac, "/abs/d.hex");
  char p[] = "\\\\srv\\x\\y";
  SYS_PATH_ToNative(p);
  EXPECT_STREQ(p, "/srv/x/y");
  EXPECT_EQ(SYS_PATH_GetModuleDir(ac, sizeof(ac)), 0);
  EXPECT_EQ(ac[strlen(ac) - 1], '/');
}

TEST_F(TempDir, FailedReplaceKeepsTheOldFile) {
  std::string p = Dir + "/project.tforge";
  std::ofstream(p) << "good";
  SYS_ATOMIC_FILE f;
  ASSERT_EQ(SYS_FILE_BeginReplace(&f, p.c_str()), 0);
  SYS_FILE_Write(f.hFile, "half", 4);
  SYS_FILE_AbortReplace(&f);
  EXPECT_EQ(Read(p), "good");
  ASSERT_EQ(SYS_FILE_BeginReplace(&f, p.c_str()), 0);
  SYS_FILE_Write(f.hFile, "new", 3);
  EXPECT_EQ(SYS_FILE_CommitReplace(&f), 0);
  EXPECT_EQ(Read(p), "new");
  // Nothing of the temporary files is left behind.
  int n = SYS_DIR_List(Dir.c_str(), [](const SYS_FILE_INFO*, void*) {}, nullptr);
  EXPECT_EQ(n, 1);
  if (geteuid() != 0) {
    chmod(p.c_str(), 0444);
    EXPECT_EQ(SYS_FILE_BeginReplace(&f, p.c_str()), -1);
    EXPECT_EQ(SYS_GetLastError(), SYS_ERR_ACCESS_DENIED);
  }
}

TEST_F(TempDir, SettingsStoreKeepsTypedValues) {
  SYS_REG_KEY* k = SYS_REG_CreateKey(SYS_REG_ROOT_CURRENT_USER, "Software\\KORVEN\\T-Forge");
  ASSERT_NE(k, nullptr);
  uint32_t v = 2;
  EXPECT_EQ(SYS_REG_WriteValue(k, "DontShowAgainStartTForge", SYS_REG_DWORD, &v, 4), 0);
  const char* s = "/tmp/with \"quote\" and \\ back\nslash";
  EXPECT_EQ(SYS_REG_WriteValue(k, "Recent0", SYS_REG_SZ, s, (uint32_t)strlen(s) + 1), 0);
  SYS_REG_CloseKey(k);
  // Paths and names compare without regard to case.
  k = SYS_REG_OpenKey(SYS_REG_ROOT_CURRENT_USER, "software\\korven\\t-forge\\");
  ASSERT_NE(k, nullptr);
  uint32_t Type = 0, Got = 0, Size = 4;
  EXPECT_EQ(SYS_REG_ReadValue(k, "dontshowagainstarttforge", &Type, &Got, &Size), 0);
  EXPECT_EQ(Type, (uint32_t)SYS_REG_DWORD);
  EXPECT_EQ(Got, 2u);
  char ac[128];
  Size = sizeof(ac);
  EXPECT_EQ(SYS_REG_ReadValue(k, "Recent0", &Type, ac, &Size), 0);
  EXPECT_STREQ(ac, s);
  Size = 4;
  EXPECT_EQ(SYS_REG_ReadValue(k, "Recent0", &Type, ac, &Size), SYS_REG_ERROR_MORE_DATA);
  EXPECT_EQ(SYS_REG_ReadValue(k, "Missing", &Type, ac, &Size), SYS_REG_ERROR_NOT_FOUND);
  EXPECT_EQ(SYS_REG_DeleteValue(k, "Recent0"), 0);
  EXPECT_EQ(SYS_REG_ReadValue(k, "Recent0", &Type, nullptr, &Size), SYS_REG_ERROR_NOT_FOUND);
  SYS_REG_CloseKey(k);
  EXPECT_EQ(SYS_REG_ReadValue(nullptr, "x", &Type, ac, &Size), 1);
  EXPECT_EQ(SYS_REG_OpenKey(SYS_REG_ROOT_CURRENT_USER, "Software\\Nobody"), nullptr);
  EXPECT_EQ(SYS_GetWindowsVersion(), 0x1000u);
}

TEST(SysMutex, TimeoutZeroOnALockHeldElsewhere) {
  SYS_MUTEX* m = SYS_MUTEX_Create(nullptr);
  SYS_HANDLE Held = SYS_EVENT_Create(true, false), Release = SYS_EVENT_Create(true, false);
  struct Ctx {
    SYS_MUTEX* m;
    SYS_HANDLE Held, Release;
  } c{m, Held, Release};
  SYS_HANDLE t = SYS_THREAD_Start(
      [](void* p) {
        Ctx* c = static_cast<Ctx*>(p);
        SYS_MUTEX_Lock(c->m, -1);
        SYS_EVENT_Set(c->Held);
        SYS_EVENT_Wait(c->Release, -1);
        SYS_MUTEX_Unlock(c->m);
      },
      &c, nullptr, "holder", 0);
  ASSERT_EQ(SYS_EVENT_Wait(Held, 5000), 0);
  uint64_t t0 = SYS_TIME_GetTicks();
  EXPECT_EQ(SYS_MUTEX_Lock(m, 0), SYS_WAIT_TIMEOUT);
  EXPECT_LT(SYS_TIME_GetUsSince(t0), 1000000u); // returned without waiting for the holder
  EXPECT_EQ(SYS_MUTEX_Lock(m, 30), SYS_WAIT_TIMEOUT);
  SYS_EVENT_Set(Release);
  EXPECT_EQ(SYS_EVENT_Wait(t, 5000), 0); // a thread handle is signalled when the thread ends
  EXPECT_EQ(SYS_MUTEX_Lock(m, 0), 0);
  EXPECT_EQ(SYS_MUTEX_Lock(m, 0), 0); // recursive for its owner
  SYS_MUTEX_Unlock(m);
  SYS_MUTEX_Unlock(m);
  SYS_HANDLE_Close(t);
  SYS_HANDLE_Close(Held);
  SYS_HANDLE_Close(Release);
  SYS_MUTEX_Delete(&m);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(SYS_MUTEX_Lock(nullptr, 0), 0);
  EXPECT_EQ(SYS_MUTEX_Unlock(nullptr), 1);
}

TEST(SysMutex, NamedMutexExcludesAnotherHolderOfTheName) {
  SYS_MUTEX* a = SYS_MUTEX_Create("tforge-test-named");
  SYS_MUTEX* b = SYS_MUTEX_Create("tforge-test-named");
  ASSERT_EQ(SYS_MUTEX_Lock(a, 0), 0);
  EXPECT_EQ(SYS_MUTEX_Lock(b, 20), SYS_WAIT_TIMEOUT);
  SYS_MUTEX_Unlock(a);
  EXPECT_EQ(SYS_MUTEX_Lock(b, 1000), 0);
  SYS_MUTEX_Unlock(b);
  SYS_MUTEX_Delete(&a);
  SYS_MUTEX_Delete(&b);
}

TEST(SysEvent, AutoAndManualReset) {
  SYS_HANDLE a = SYS_EVENT_Create(false, true);
  EXPECT_EQ(SYS_EVENT_Wait(a, 0), 0);
  EXPECT_EQ(SYS_EVENT_Wait(a, 0), SYS_WAIT_TIMEOUT); // auto-reset: consumed
  SYS_HANDLE m = SYS_EVENT_Create(true, false);
  SYS_EVENT_Set(m);
  EXPECT_EQ(SYS_EVENT_Wait(m, 0), 0);
  EXPECT_EQ(SYS_EVENT_Wait(m, 0), 0);
  EXPECT_EQ(SYS_EVENT_Wait(nullptr, 0), 0);
  SYS_HANDLE_Close(a);
  SYS_HANDLE_Close(m);
}

TEST(SysThread, NameAndSuspendedStart) {
  struct Ctx {
    std::string Name;
  } c;
  SYS_HANDLE t = SYS_THREAD_Start([](void* p) { static_cast<Ctx*>(p)->Name = SYS_THREAD_GetName(); }, &c, nullptr,
                                  "Target voltage monitor", SYS_THREAD_FLAG_SUSPENDED);
  EXPECT_EQ(SYS_EVENT_Wait(t, 50), SYS_WAIT_TIMEOUT);
  SYS_THREAD_Resume(t);
  EXPECT_EQ(SYS_EVENT_Wait(t, 5000), 0);
  EXPECT_EQ(c.Name, "Target voltage monitor"); // the full name, beyond the kernel's 15 characters
  SYS_HANDLE_Close(t);
}

// A thread's thread-local clean-up runs after its routine returned; waiting for the thread, by
// its handle or by its name, must cover it, or the program may end beside it.
struct SlowThreadLocal {
  std::atomic<bool>* pDone = nullptr;
  ~SlowThreadLocal() {
    if (pDone == nullptr) return;
    SYS_Sleep(50);
    pDone->store(true);
  }
};
thread_local SlowThreadLocal _SlowLocal;

TEST(SysThread, WaitsCoverTheThreadLocalCleanUp) {
  struct Ctx {
    std::atomic<bool> Done{false};
    SYS_HANDLE Go = SYS_EVENT_Create(true, false);
    SYS_HANDLE Started = SYS_EVENT_Create(true, false); // the thread has its name
  } c;
  auto Routine = [](void* p) {
    Ctx* c = static_cast<Ctx*>(p);
    SYS_EVENT_Set(c->Started);
    SYS_EVENT_Wait(c->Go, -1);
    _SlowLocal.pDone = &c->Done;
  };
  SYS_HANDLE t = SYS_THREAD_Start(Routine, &c, nullptr, "tf-slow-end", 0);
  SYS_EVENT_Set(c.Go);
  EXPECT_EQ(SYS_EVENT_Wait(t, 5000), 0);
  EXPECT_TRUE(c.Done.load()) << "the handle was signalled before the thread had ended";
  EXPECT_EQ(SYS_EVENT_Wait(t, 0), 0); // waiting again (already joined) still answers
  SYS_HANDLE_Close(t);

  // A thread nobody holds a handle of: found by its name until it has ended.
  c.Done = false;
  SYS_EVENT_Reset(c.Go);
  SYS_EVENT_Reset(c.Started);
  SYS_HANDLE_Close(SYS_THREAD_Start(Routine, &c, nullptr, "tf-slow-end", 0));
  ASSERT_EQ(SYS_EVENT_Wait(c.Started, 5000), 0);
  EXPECT_EQ(SYS_THREAD_WaitForNamedToEnd("tf-slow-end", 0), SYS_WAIT_TIMEOUT);
  SYS_EVENT_Set(c.Go);
  EXPECT_EQ(SYS_THREAD_WaitForNamedToEnd("tf-slow-end", 5000), 0);
  EXPECT_TRUE(c.Done.load());
  EXPECT_EQ(SYS_THREAD_WaitForNamedToEnd("no such thread", 0), 0);
  SYS_HANDLE_Close(c.Go);
  SYS_HANDLE_Close(c.Started);
}

std::string _LastDynError;

TEST(DynBuffer, GrowsFillsAndRefusesBeyondMaximum) {
  DYNBUFFER b;
  auto err = [](const char* s) { _LastDynError = s; };
  ASSERT_EQ(DYNBUFFER_Init(&b, err, 100, 10, 0xAA), 0);
  EXPECT_EQ(DYNBUFFER_Ensure(&b, 5), 0);
  EXPECT_EQ(b.CurSize, 10u);
  EXPECT_EQ(DYNBUFFER_Ensure(&b, 10), 0);
  EXPECT_EQ(b.CurSize, 20u); // twice the current size
  EXPECT_EQ(b.pData[19], 0xAA);
  EXPECT_EQ(DYNBUFFER_Ensure(&b, 70), 0);
  EXPECT_EQ(b.CurSize, 71u);
  EXPECT_EQ(DYNBUFFER_Ensure(&b, 99), 0);
  EXPECT_EQ(b.CurSize, 100u); // limited to the maximum
  EXPECT_EQ(DYNBUFFER_Ensure(&b, 100), -3);
  EXPECT_EQ(_LastDynError,
            "Debugger accesses memory in dynamic buffer at offset 0x00000064 which is out of array bounds.");
  DYNBUFFER_Free(&b);
  EXPECT_EQ(b.pData, nullptr);
  EXPECT_EQ(b.MaxSize, 0u);
}

TEST(SysMem, TagsNameTheOwnersOfLiveBlocks) {
  int Before = SYS_MEM_CountBlocks("test: block");
  void* a = SYS_MEM_Alloc(10, "test: block");
  void* b = SYS_MEM_Alloc(20, "test: block");
  EXPECT_EQ(SYS_MEM_CountBlocks("test: block"), Before + 2);
  b = SYS_MEM_Realloc(b, 4000);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SYS_MEM_CountBlocks("test: block"), Before + 2); // keeps its tag when it moves
  struct R {
    size_t Bytes = 0;
  } r;
  SYS_MEM_ReportBlocks(
      [](const char* sTag, int, size_t n, void* u) {
        if (std::string(sTag) == "test: block") static_cast<R*>(u)->Bytes = n;
      },
      &r);
  EXPECT_EQ(r.Bytes, 4010u);
  SYS_MEM_Free(a);
  SYS_MEM_Free(b);
  SYS_MEM_Free(nullptr);
  EXPECT_EQ(SYS_MEM_CountBlocks("test: block"), Before);
}

} // namespace
