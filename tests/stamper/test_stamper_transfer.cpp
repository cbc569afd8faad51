/*
 * Files on the simulated programmer: downloads in pieces, deletions, a transfer that fails
 * halfway, the gang programmer's module selection, uploads with their depth and entry limits,
 * and the file browser's actions. The programmer's files are looked at in the simulator's
 * state folder of the test.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/CRC32.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "project/PROJECT.h"
#include "stamper/STAMPER.h"
#include "stamper/STAMPER_Files.h"
#include "target/TARGET.h"
#include "sys/SYS.h"
#include "tests/TestFiles.h"
#include "StamperProject.h"

namespace {

// Every EMU_FILE_Write that reaches the library: offset and count.
struct Piece {
  std::string sFile;
  uint32_t Offset, NumBytes;
  bool operator==(const Piece&) const = default;
};
std::vector<Piece> g_aWrite;
int (*g_pfRealWrite)(const char*, const uint8_t*, uint32_t, uint32_t);
int _RecordWrite(const char* sFile, const uint8_t* pData, uint32_t Offset, uint32_t NumBytes) {
  g_aWrite.push_back({sFile, Offset, NumBytes});
  return g_pfRealWrite(sFile, pData, Offset, NumBytes);
}

bool Exists(const std::string& s) {
  struct stat st;
  return stat(s.c_str(), &st) == 0;
}

class TransferTest : public StamperProject {
protected:
  void SetUp() override {
    StamperProject::SetUp();
    if (HasFatalFailure()) return;
    static const STAMPER_HOOKS Hooks = {nullptr, [] { return TARGET_Connect(); }, TARGET_CheckStandAloneCore,
                                        TARGET_IsGangProgrammer, TARGET_SelectGangModule};
    STAMPER_SetHooks(&Hooks);
    g_aWrite.clear();
  }
  void TearDown() override {
    STAMPER_SetHooks(nullptr);
    StamperProject::TearDown();
  }
  // The programmer's file as the simulator keeps it (module 0: the programmer itself).
  std::string ProgFile(const std::string& Name, int Module = 0) const {
    return Dir + "/sim/123456" + (Module ? "/module" + std::to_string(Module) : "") + "/files/" + Name;
  }
  void RecordWrites() {
    ASSERT_EQ(PROBE_Load(), 0);
    void* h = dlopen(PROBE_GetLibraryPath(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    g_pfRealWrite = reinterpret_cast<decltype(g_pfRealWrite)>(dlsym(h, "XRELAYARM_EMU_FILE_Write"));
    dlclose(h);
    ASSERT_NE(g_pfRealWrite, nullptr);
    ASSERT_EQ(PROBE_SetEntry("XRELAYARM_EMU_FILE_Write", reinterpret_cast<void*>(_RecordWrite)), 0);
  }
  void OpenProbe() { ASSERT_TRUE(TARGET_OpenProbe(true, false)) << Gui.Log; }
  void EditGeneral(bool On, std::vector<int> aModule) {
    PROJECT_GENERAL G;
    PROJECT_GetGeneral(&G);
    G.UseATEModuleSelection = On;
    std::memset(G.aATEModuleSel, 0, sizeof(G.aATEModuleSel));
    for (int m : aModule)
      G.aATEModuleSel[m - 1] = 1;
    PROJECT_SetGeneral(&G);
  }
  static STAMPER_DOWNLOAD_ENTRY Entry(const char* sName, const std::string& Data) {
    STAMPER_DOWNLOAD_ENTRY e{};
    std::snprintf(e.acName, sizeof(e.acName), "%s", sName);
    e.pData = reinterpret_cast<const uint8_t*>(Data.data());
    e.NumBytes = (int32_t)Data.size();
    e.Crc = CRC32_Update(0, Data.data(), Data.size());
    return e;
  }
  std::string Bytes(size_t n, int Seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
      s[i] = char(i * 31 + Seed + (i >> 9));
    return s;
  }
};

} // namespace

TEST_F(TransferTest, LargeFileGoesInPiecesAndTakesItsNameWhenComplete) {
  RecordWrites();
  OpenProbe();
  std::string Data = Bytes(300000);
  STAMPER_DOWNLOAD_ENTRY e = Entry("Stamper.dat", Data);
  ASSERT_EQ(STAMPER_DownloadFiles("Programmer", "", &e, 1, nullptr), 0) << Gui.Log;
  std::vector<Piece> Want = {{"Stamper.dat.part", 0, 0},
                             {"Stamper.dat.part", 0, 0x20000},
                             {"Stamper.dat.part", 0x20000, 0x20000},
                             {"Stamper.dat.part", 0x40000, 37856}};
  EXPECT_EQ(g_aWrite, Want);
  EXPECT_EQ(ReadAll(ProgFile("Stamper.dat")), Data);
  EXPECT_FALSE(Exists(ProgFile("Stamper.dat.part")));
  char ac[128];
  std::snprintf(ac, sizeof(ac), "Downloading (300000 bytes, CRC: 0x%.8X) ...", e.Crc);
  EXPECT_TRUE(Gui.Has("Downloading \"Stamper.dat\" (300000 bytes) to Programmer ...")) << Gui.Log;
  EXPECT_TRUE(Gui.Has(ac)) << Gui.Log;
}

TEST_F(TransferTest, NegativeSizeDeletesTheFile) {
  OpenProbe();
  std::string Data = Bytes(10);
  STAMPER_DOWNLOAD_ENTRY a[2] = {Entry("sub/a.txt", Data), Entry("sub/a.txt", "")};
  ASSERT_EQ(STAMPER_DownloadFiles("Programmer", "", a, 1, nullptr), 0) << Gui.Log;
  ASSERT_EQ(ReadAll(ProgFile("sub/a.txt")), Data);
  a[1].NumBytes = -1;
  ASSERT_EQ(STAMPER_DownloadFiles("Programmer", "", a + 1, 1, nullptr), 0) << Gui.Log;
  EXPECT_FALSE(Exists(ProgFile("sub/a.txt")));
  EXPECT_TRUE(Gui.Has("Removing \"sub\\a.txt\" from Programmer...")) << Gui.Log;
}

TEST_F(TransferTest, TransferFailingHalfwayLeavesNoHalfFileUnderTheName) {
  static const struct {
    const char* sCaps;
    bool OldStays; // a programmer that renames keeps the file that was there
  } aCase[] = {{"FileIO, FileBrowser", true}, {"FileIO", false}};
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.sCaps);
    TARGET_CloseProbe();
    Configure(std::string("Capabilities = ") + c.sCaps);
    OpenProbe();
    std::string Old = Bytes(100, 7), New = Bytes(300000, 3);
    STAMPER_DOWNLOAD_ENTRY e = Entry("Stamper.cfg", Old);
    ASSERT_EQ(STAMPER_DownloadFiles("Programmer", "", &e, 1, nullptr), 0) << Gui.Log;
    Gui.Log.clear();
    e = Entry("Stamper.cfg", New);
    ASSERT_EQ(PROBE_FailNthCall("XRELAYARM_EMU_FILE_Write", 3), 0); // creation, first piece, second piece
    EXPECT_EQ(STAMPER_DownloadFiles("Programmer", "", &e, 1, nullptr), -1);
    PROBE_ResetEntries();
    EXPECT_TRUE(Gui.Has("ERROR: Error while writing file content to Programmer. Offset: 131072. NumBytes Remaining: "
                        "168928 FileName: Stamper.cfg."))
        << Gui.Log;
    EXPECT_TRUE(Gui.Has("ERROR: Failed to download file\n")) << Gui.Log;
    if (c.OldStays) {
      EXPECT_EQ(ReadAll(ProgFile("Stamper.cfg")), Old);
    } else {
      EXPECT_FALSE(Exists(ProgFile("Stamper.cfg")));
    }
    EXPECT_FALSE(Exists(ProgFile("Stamper.cfg.part")));
  }
}

TEST_F(TransferTest, CancelBetweenPiecesStopsTheDownload) {
  // The user cancels once the first piece is through.
  struct CancelGUI : LogGUI {
    ProgressDialogState* CreateProgressDlg(const char*, const char*, int) override {
      auto* p = new ProgressDialogState{};
      p->pLock = SYS_MUTEX_Create(nullptr);
      p->pNotifyUser = p;
      p->pfNotify = [](void* pUser) {
        auto* s = static_cast<ProgressDialogState*>(pUser);
        if (s->Value >= 0x20000) s->Cancelled = true;
      };
      return p;
    }
    void DeleteProgressDlg(ProgressDialogState** pp) override {
      SYS_MUTEX_Delete(&(*pp)->pLock);
      delete *pp;
      *pp = nullptr;
    }
  } Cancel;
  APP_SetGUI(&Cancel);
  RecordWrites();
  OpenProbe();
  std::string Data = Bytes(300000);
  STAMPER_DOWNLOAD_ENTRY e = Entry("Stamper.dat", Data);
  APP_PROGRESS* pProgress = APP_ProgressCreate("", 0);
  int r = STAMPER_DownloadFiles("Programmer", "", &e, 1, pProgress);
  APP_ProgressDelete(&pProgress);
  APP_SetGUI(&Gui);
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(Cancel.Has("ERROR: Download canceled by user")) << Cancel.Log;
  EXPECT_EQ(g_aWrite.size(), 2u) << "the creation and one piece";
  EXPECT_FALSE(Exists(ProgFile("Stamper.dat")));
  EXPECT_FALSE(Exists(ProgFile("Stamper.dat.part")));
}

TEST_F(TransferTest, WithoutFileIONothingIsSent) {
  Configure("Capabilities = FileBrowser");
  OpenProbe();
  STAMPER_DOWNLOAD_ENTRY e = Entry("x.txt", "x");
  EXPECT_EQ(STAMPER_DownloadFiles("Programmer", "", &e, 1, nullptr), -1);
  EXPECT_TRUE(Gui.Has("ERROR: Connected programmer does not support file download.")) << Gui.Log;
  EXPECT_FALSE(Exists(ProgFile("x.txt")));
}

TEST_F(TransferTest, GangProgrammerModuleSelection) {
  static const struct {
    const char* sProbe;
    bool UseSelection;
    std::vector<int> aModule;
    const char* sError; // null: downloaded to the modules
  } aCase[] = {
      {"ProductId = 41", true, {}, "No gang programmer modules selected at\nProject Settings -> General"},
      {"ProductId = 41", false, {2},
       "Gang programmer module selection inactive.\nSet gang programmer module selection at\nProject Settings -> "
       "General"},
      {"ProductId = 28", true, {1},
       "The connected probe/ programmer is not a gang programmer,\nbut the gang programmer module selection is "
       "checked at\nProject Settings -> General"},
      {"ProductId = 41", true, {1, 3}, nullptr},
  };
  std::string Data = Bytes(1000);
  STAMPER_DOWNLOAD_ENTRY e = Entry("Stamper.cfg", Data);
  for (const auto& c : aCase) {
    SCOPED_TRACE(std::string(c.sProbe) + (c.UseSelection ? " selection on" : " selection off"));
    TARGET_Disconnect();
    TARGET_CloseProbe();
    std::system(("rm -rf '" + Dir + "/sim/123456'").c_str());
    Configure(c.sProbe);
    EditGeneral(c.UseSelection, c.aModule);
    Gui.Log.clear();
    int r = STAMPER_DownloadToProgrammer(&e, 1);
    for (int m = 0; m <= 4; m++) {
      bool Want = c.sError == nullptr && m && std::find(c.aModule.begin(), c.aModule.end(), m) != c.aModule.end();
      EXPECT_EQ(Exists(ProgFile("Stamper.cfg", m)), Want) << "module " << m << "\n" << Gui.Log;
    }
    if (c.sError) {
      EXPECT_EQ(r, -1);
      EXPECT_TRUE(Gui.Has(c.sError)) << Gui.Log;
    } else {
      EXPECT_EQ(r, 0) << Gui.Log;
      EXPECT_TRUE(Gui.Has("Downloading \"Stamper.cfg\" (1000 bytes) to Module 3 ...")) << Gui.Log;
    }
  }
}

TEST_F(TransferTest, StandAloneRefusals) {
  Configure("ProductId = 14"); // a programmer for RX cores only
  EXPECT_EQ(STAMPER_DownloadToProgrammer(nullptr, 0), -1);
  EXPECT_TRUE(Gui.Has("Selected CPU core is not supported by Stamper RX in stand-alone mode.")) << Gui.Log;
}

TEST_F(TransferTest, StamperFilesFromTheProjectAndTheData) {
  DataImage* pImage = DATAIMAGE_Create();
  std::string Data = Bytes(5000);
  DATAIMAGE_AddData(pImage, 0x08000000, 5000, Data.data());
  static CHexEditor* s_pWin = reinterpret_cast<CHexEditor*>(&s_pWin);
  struct WinGUI : LogGUI {
    CHexEditor* CreateDataWindow(DataImage*, const char*) override { return s_pWin; }
    CHexEditor* GetCurDataWindow() override { return s_pWin; }
    std::string Box;
    void ShowMsgBox(MsgBoxRequest* p) override {
      Box = p->sText;
      p->Result = p->DefaultResult;
    }
  } Win;
  APP_SetGUI(&Win);
  ASSERT_EQ(DATAJOBS_AddImageWindow(pImage, "t", nullptr), 0);
  int r = STAMPER_DownloadStamperFiles();
  DATAJOBS_OnWindowClosed(s_pWin);
  APP_SetGUI(&Gui);
  ASSERT_EQ(r, 0) << Win.Log;
  std::string Dat = ReadAll(ProgFile("Stamper.dat")), Cfg = ReadAll(ProgFile("Stamper.cfg"));
  EXPECT_EQ(Dat.size(), 2048u + 5120u);
  EXPECT_EQ(Dat.substr(2048, 5000), Data);
  EXPECT_EQ(Cfg.size() % 2048, 0u);
  EXPECT_EQ(Win.Box, "Successfully downloaded files to Stamper.");
}

TEST_F(TransferTest, SerialNumberFiles) {
  PROJECT_PRODUCTION P;
  PROJECT_GetProduction(&P);
  P.SNValue = 4711;
  PROJECT_SetProduction(&P);
  char acSerial[512], acList[512];
  PROJECT_GetSerialFileName(acSerial, sizeof(acSerial));
  PROJECT_GetSNListFileName(acList, sizeof(acList));
  // No serial file yet: made from SNValue; no list: only Serial.txt.
  ASSERT_EQ(STAMPER_DownloadSNFiles(), 0) << Gui.Log;
  EXPECT_EQ(ReadAll(acSerial), "4711");
  EXPECT_EQ(ReadAll(ProgFile("Serial.txt")), std::string("4711", 5));
  EXPECT_FALSE(Exists(ProgFile("SNList.txt")));
  // Both files; one that ends in NUL already keeps it single.
  WriteAll(acSerial, std::string("0x20\0", 5));
  WriteAll(acList, "0102\n0A0B\n");
  ASSERT_EQ(STAMPER_DownloadSNFiles(), 0) << Gui.Log;
  EXPECT_EQ(ReadAll(ProgFile("Serial.txt")), std::string("0x20\0", 5));
  EXPECT_EQ(ReadAll(ProgFile("SNList.txt")), "0102\n0A0B\n");
}

/*********************************************************************
 * Upload and the file browser
 */
namespace {

// Files on the programmer through the library (the probe must be open).
void Put(const std::string& Name, const std::string& Data) {
  XRELAYARM_EMU_FILE_Write(Name.c_str(), nullptr, 0, 0);
  XRELAYARM_EMU_FILE_Write(Name.c_str(), reinterpret_cast<const uint8_t*>(Data.data()), 0, (uint32_t)Data.size());
}

} // namespace

TEST_F(TransferTest, UploadCopiesFoldersWithinTheLimits) {
  OpenProbe();
  std::string Big = Bytes(0x30001);
  Put("cfg\\Stamper.cfg", Big);
  Put("cfg\\sub\\a.txt", "abc");
  Put("top.txt", "top");
  const char* as[] = {"cfg", "top.txt"};
  std::string PC = Dir + "/pc/out";
  ASSERT_EQ(STAMPER_Upload("Programmer", "", PC.c_str(), as, 2, STAMPER_MAX_FOLDER_DEPTH), 0) << Gui.Log;
  EXPECT_EQ(ReadAll(PC + "/cfg/Stamper.cfg"), Big);
  EXPECT_EQ(ReadAll(PC + "/cfg/sub/a.txt"), "abc");
  EXPECT_EQ(ReadAll(PC + "/top.txt"), "top");
  EXPECT_TRUE(Gui.Has("Uploading \"cfg\\Stamper.cfg\" (196609 bytes) from Programmer to " + PC + "/cfg ...")) << Gui.Log;

  static const struct {
    const char* sName;
    void (*pfMake)(void);
    const char* sRoot;
    const char* sError;
  } aCase[] = {
      {"five levels",
       [] { Put("d1\\d2\\d3\\d4\\d5\\f.txt", "x"); },
       "d1",
       "Max. folder depth reached (4)..."},
      {"65 entries",
       [] {
         for (int i = 0; i < 65; i++)
           Put("many\\f" + std::to_string(i) + ".txt", "x");
       },
       "many",
       "Failed to upload \"many\" from Programmer to "},
  };
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.sName);
    Gui.Log.clear();
    c.pfMake();
    const char* asRoot[] = {c.sRoot};
    EXPECT_EQ(STAMPER_Upload("Programmer", "", (Dir + "/pc2").c_str(), asRoot, 1, STAMPER_MAX_FOLDER_DEPTH), -1);
    EXPECT_TRUE(Gui.Has(c.sError)) << Gui.Log;
  }
  EXPECT_TRUE(Gui.Has("Max. number of entries reached (64)...")) << Gui.Log;
  // Four levels are fine.
  Put("e1\\e2\\e3\\e4\\f.txt", "deep");
  const char* asDeep[] = {"e1"};
  ASSERT_EQ(STAMPER_Upload("Programmer", "", (Dir + "/pc3").c_str(), asDeep, 1, STAMPER_MAX_FOLDER_DEPTH), 0)
      << Gui.Log;
  EXPECT_EQ(ReadAll(Dir + "/pc3/e1/e2/e3/e4/f.txt"), "deep");
}

TEST_F(TransferTest, BrowserActions) {
  Configure("Nickname = Line 3");
  auto Exec = [&](STAMPER_FILE_REQUEST R) {
    int r = STAMPER_ExecFileAction(&R);
    EXPECT_EQ(r, R.Result);
    return R;
  };
  STAMPER_FILE_REQUEST R{};
  R.Action = STAMPER_ACTION_IDENTIFY;
  R = Exec(R);
  ASSERT_EQ(R.Result, 0) << Gui.Log;
  EXPECT_STREQ(R.acDisplayName, "'Line 3'");

  R = STAMPER_FILE_REQUEST{};
  R.Action = STAMPER_ACTION_NEW_FOLDER;
  std::snprintf(R.acPath, sizeof(R.acPath), "/");
  std::snprintf(R.acName, sizeof(R.acName), "Lot7");
  EXPECT_EQ(Exec(R).Result, 0) << Gui.Log;
  EXPECT_TRUE(Exists(ProgFile("Lot7")));
  EXPECT_FALSE(Exists(ProgFile("Lot7/tmp.txt")));

  // Download of a local folder and a file into the new folder.
  std::system(("mkdir -p '" + Dir + "/local/d/sub'").c_str());
  WriteAll(Dir + "/local/d/sub/s.txt", "s");
  WriteAll(Dir + "/local/f.txt", "f");
  std::string sD = Dir + "/local/d", sF = Dir + "/local/f.txt";
  const char* asLocal[] = {sD.c_str(), sF.c_str()};
  R = STAMPER_FILE_REQUEST{};
  R.Action = STAMPER_ACTION_DOWNLOAD;
  std::snprintf(R.acPath, sizeof(R.acPath), "/Lot7");
  R.pasNames = asLocal;
  R.NumNames = 2;
  EXPECT_EQ(Exec(R).Result, 0) << Gui.Log;
  EXPECT_EQ(ReadAll(ProgFile("Lot7/d/sub/s.txt")), "s");
  EXPECT_EQ(ReadAll(ProgFile("Lot7/f.txt")), "f");

  // Listing: the folder itself and its parent come first, as the programmer lists them.
  XRELAYARM_FOLDER_ENTRY a[8];
  R = STAMPER_FILE_REQUEST{};
  R.Action = STAMPER_ACTION_LIST;
  std::snprintf(R.acPath, sizeof(R.acPath), "/Lot7");
  R.paEntries = a;
  R.MaxEntries = 8;
  EXPECT_EQ(Exec(R).Result, 4);
  EXPECT_STREQ(a[2].acName, "d");
  EXPECT_STREQ(a[3].acName, "f.txt");

  // Move into a subfolder, rename, delete.
  const char* asF[] = {"f.txt"};
  R = STAMPER_FILE_REQUEST{};
  R.Action = STAMPER_ACTION_MOVE;
  std::snprintf(R.acPath, sizeof(R.acPath), "/Lot7");
  std::snprintf(R.acName, sizeof(R.acName), "d");
  R.pasNames = asF;
  R.NumNames = 1;
  EXPECT_EQ(Exec(R).Result, 0) << Gui.Log;
  EXPECT_EQ(ReadAll(ProgFile("Lot7/d/f.txt")), "f");
  R = STAMPER_FILE_REQUEST{};
  R.Action = STAMPER_ACTION_RENAME;
  std::snprintf(R.acPath, sizeof(R.acPath), "/Lot7/d");
  std::snprintf(R.acName, sizeof(R.acName), "f.txt");
  std::snprintf(R.acNewName, sizeof(R.acNewName), "g.txt");
  EXPECT_EQ(Exec(R).Result, 0) << Gui.Log;
  EXPECT_EQ(ReadAll(ProgFile("Lot7/d/g.txt")), "f");
  const char* asDel[] = {"g.txt", "none.txt", "sub"};
  R = STAMPER_FILE_REQUEST{};
  R.Action = STAMPER_ACTION_DELETE;
  std::snprintf(R.acPath, sizeof(R.acPath), "/Lot7/d");
  R.pasNames = asDel;
  R.NumNames = 3;
  EXPECT_EQ(Exec(R).Result, -1);
  EXPECT_TRUE(Gui.Has("ERROR: Failed to delete 'Lot7\\d\\none.txt'.")) << Gui.Log;
  EXPECT_FALSE(Exists(ProgFile("Lot7/d/g.txt")));
  EXPECT_TRUE(Exists(ProgFile("Lot7/d/sub"))) << "the delete stops at the first failure";
}

TEST_F(TransferTest, IdentifyNeedsTheFileBrowser) {
  static const struct {
    const char* sConfig;
    const char* sName; // null: refused
  } aCase[] = {{"", "S/N 123456"}, {"Capabilities = FileIO", nullptr}, {"Capabilities = FileBrowser", nullptr}};
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.sConfig);
    TARGET_Disconnect();
    TARGET_CloseProbe();
    Configure(c.sConfig);
    Gui.Log.clear();
    STAMPER_FILE_REQUEST R{};
    R.Action = STAMPER_ACTION_IDENTIFY;
    int r = STAMPER_ExecFileAction(&R);
    if (c.sName) {
      EXPECT_EQ(r, 0) << Gui.Log;
      EXPECT_STREQ(R.acDisplayName, c.sName);
    } else {
      EXPECT_EQ(r, -1);
      EXPECT_TRUE(Gui.Has("ERROR: The connected probe/ programmer does not support file I/O.")) << Gui.Log;
    }
  }
}

TEST_F(TransferTest, LocalFolderTooDeepIsRefused) {
  OpenProbe();
  std::string Root = Dir + "/deep";
  std::system(("mkdir -p '" + Root + "/a/b/c/d'").c_str());
  WriteAll(Root + "/a/b/c/d/f.txt", "x");
  const char* as[] = {Root.c_str()};
  STAMPER_FILE_REQUEST R{};
  R.Action = STAMPER_ACTION_DOWNLOAD;
  std::snprintf(R.acPath, sizeof(R.acPath), "/");
  R.pasNames = as;
  R.NumNames = 1;
  EXPECT_EQ(STAMPER_ExecFileAction(&R), -1);
  EXPECT_TRUE(Gui.Has("exceeded max. folder depth (4).")) << Gui.Log;
  EXPECT_FALSE(Exists(ProgFile("deep")));
}
