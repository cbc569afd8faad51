/*
 * CMDLINE - the option table, the settings and action passes and their handlers.
 */
#include "app/CMDLINE.h"
#include "app/CMDLINE_Test.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/APP.h"
#include "core/APP_Log.h"
#include "data/DATAFILE.h"
#include "data/DATAJOBS.h"
#include "probe/PROBE.h"
#include "project/PROJJOBS.h"
#include "project/SETTINGS.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

// The maker's page on the security options of MCUs, named by -unsecurechip.
#define CMDLINE_SECURITY_INFO_URL "https://www.korven.example/mcu-security-options"

namespace {

struct CmdLineState {
  bool DataFileGiven = false;
  bool AutoUpdateProject = false;
  bool HasConnection = false;
  CMDLINE_CONNECTION Connection = {};
  char acDevicesXMLPath[512] = "";
  char acIDCode[CMDLINE_IDCODE_MAX + 1] = "";
  bool HasRange = false;
  uint32_t RangeFirst = 0;
  uint32_t RangeLast = 0;
};
CmdLineState _State;
CMDLINE_OPERATIONS _Ops;

void _ExecProbeCommand(const char* sCommand) {
  char acError[256] = "";
  XRELAYARM_ExecCommand(sCommand, acError, sizeof(acError));
}

void _Fail(const char* sText) {
  APP_ErrorOut(sText);
  APP_SetExitCode(1);
}

// An option whose operation this build does not carry: never skipped silently.
int _NotAvailable(const char* sOption) {
  char ac[256];
  UTIL_sprintf(ac, sizeof(ac), "Command line option [%s] is not available in this version of %s", sOption,
               APP_PRODUCT_NAME);
  _Fail(ac);
  return -1;
}

bool _IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void _SkipSpaces(const char** ps) {
  while (_IsSpace(**ps))
    (*ps)++;
}

bool _HasExt(const char* sPath, const char* sExt) {
  char acExt[32];
  SYS_PATH_GetExt(acExt, sizeof(acExt), sPath);
  return UTIL_stricmp(acExt, sExt) == 0;
}

} // namespace

// A path of the PC in native form, absolute against the working directory.
void CMDLINE_MakeAbsolute(char* sDest, int DestSize, const char* sPath) {
  char acPath[1024];
  UTIL_strcpy(acPath, sPath, sizeof(acPath));
  SYS_PATH_ToNative(acPath);
  if (SYS_PATH_IsAbsolute(acPath)) {
    UTIL_strcpy(sDest, acPath, DestSize);
    return;
  }
  char acCwd[1024];
  if (getcwd(acCwd, sizeof(acCwd) - 1) == nullptr) acCwd[0] = 0;
  UTIL_strcat(acCwd, "/", sizeof(acCwd));
  SYS_PATH_Resolve(sDest, DestSize, acCwd, acPath);
}

namespace {

int _ParseHex(const char** ps, uint32_t* pValue) {
  int64_t v;
  const char* s = *ps;
  if (UTIL_ParseHex(&s, &v) < 0 || v < 0 || v > 0xFFFFFFFFll) {
    char ac[300];
    UTIL_sprintf(ac, sizeof(ac), "Invalid hexadecimal number [%s]", *ps);
    _Fail(ac);
    return -1;
  }
  *pValue = (uint32_t)v;
  *ps = s;
  return 0;
}

// A comma between two values; "Separator has to be ','" when it is missing.
int _ExpectComma(const char** ps) {
  _SkipSpaces(ps);
  if (**ps != ',') {
    _Fail("Separator has to be ','");
    return -1;
  }
  (*ps)++;
  _SkipSpaces(ps);
  return 0;
}

int _ParseRange(const char* sArg, uint32_t* pFirst, uint32_t* pLast) {
  const char* s = sArg;
  _SkipSpaces(&s);
  if (_ParseHex(&s, pFirst) < 0 || _ExpectComma(&s) < 0 || _ParseHex(&s, pLast) < 0) return -1;
  return 0;
}

/*********************************************************************
 * Handlers
 */
int _OpenPrj(const char* sArg, int, int Mode) {
  if (Mode == CMDLINE_MODE_SETTINGS) {
    APP_SetProjectGiven(true);
    return 0;
  }
  if (_Ops.pfOpenProject == nullptr) return _NotAvailable("-openprj");
  char acPath[512];
  CMDLINE_MakeAbsolute(acPath, sizeof(acPath), sArg);
  return _Ops.pfOpenProject(acPath, !_State.DataFileGiven);
}

int _SaveProjectAs(const char* sArg, int, int) {
  if (_Ops.pfSaveProjectAs == nullptr) return _NotAvailable("-saveprjas");
  char acPath[512];
  CMDLINE_MakeAbsolute(acPath, sizeof(acPath), sArg);
  return _Ops.pfSaveProjectAs(acPath);
}

int _SaveProject(const char*, int, int) {
  if (_Ops.pfSaveProject == nullptr) return _NotAvailable("-saveprj");
  return _Ops.pfSaveProject();
}

int _OpenData(const char* sArg, int, int Mode) {
  if (Mode == CMDLINE_MODE_SETTINGS) {
    _State.DataFileGiven = true;
    return 0;
  }
  char acName[CMDLINE_STRING_SIZE];
  const char* s = sArg;
  if (CMDLINE_GetString(acName, sizeof(acName), &s) < 0) return -1;
  uint32_t Addr = 0;
  if (_HasExt(acName, ".bin") && *s == ',') {
    s++;
    _SkipSpaces(&s);
    if (_ParseHex(&s, &Addr) < 0) return -1;
  }
  char acPath[512];
  CMDLINE_MakeAbsolute(acPath, sizeof(acPath), acName);
  if (_HasExt(acPath, ".tforge")) {
    if (_Ops.pfOpenProject == nullptr) return _NotAvailable("-open");
    return _Ops.pfOpenProject(acPath, !_State.DataFileGiven);
  }
  if (_Ops.pfOpenDataFile == nullptr) return _NotAvailable("-open");
  return _Ops.pfOpenDataFile(acPath, Addr, _HasExt(acPath, ".bin"));
}

// .bin, .raw and .c files are written for an address range.
bool _IsRangeFile(const char* sName) {
  return _HasExt(sName, ".bin") || _HasExt(sName, ".raw") || _HasExt(sName, ".c");
}

// -save, -saveas and -merge act on the active data window; without any they do nothing.
bool _NoDataWindow(void) {
  return _Ops.pfIsDataWindowOpen && !_Ops.pfIsDataWindowOpen();
}

int _SaveAs(const char* sArg, int, int) {
  if (_NoDataWindow()) return 0;
  if (_Ops.pfSaveDataFileAs == nullptr) return _NotAvailable("-saveas");
  char acName[CMDLINE_STRING_SIZE];
  const char* s = sArg;
  if (CMDLINE_GetString(acName, sizeof(acName), &s) < 0) return -1;
  bool HasRange = false;
  uint32_t First = 0, Last = 0;
  if (_IsRangeFile(acName) && *s == ',') {
    s++;
    _SkipSpaces(&s);
    if (_ParseHex(&s, &First) < 0 || _ExpectComma(&s) < 0 || _ParseHex(&s, &Last) < 0) return -1;
    HasRange = true;
  }
  char acPath[512];
  CMDLINE_MakeAbsolute(acPath, sizeof(acPath), acName);
  return _Ops.pfSaveDataFileAs(acPath, HasRange, First, Last);
}

int _Merge(const char* sArg, int, int) {
  if (_NoDataWindow()) return 0;
  if (_Ops.pfMergeDataFile == nullptr) return _NotAvailable("-merge");
  char acName[CMDLINE_STRING_SIZE];
  const char* s = sArg;
  if (CMDLINE_GetString(acName, sizeof(acName), &s) < 0) return -1;
  uint32_t Addr = 0;
  if (_HasExt(acName, ".bin") && (_ExpectComma(&s) < 0 || _ParseHex(&s, &Addr) < 0)) return -1;
  char acPath[512];
  CMDLINE_MakeAbsolute(acPath, sizeof(acPath), acName);
  return _Ops.pfMergeDataFile(acPath, Addr, _HasExt(acPath, ".bin"));
}

int _Relocate(const char* sArg, int, int) {
  if (_Ops.pfRelocate == nullptr) return _NotAvailable("-relocate");
  const char* s = sArg;
  _SkipSpaces(&s);
  bool Negative = *s == '-';
  if (Negative) s++;
  uint32_t Offset = 0;
  if (_ParseHex(&s, &Offset) < 0) return -1;
  return _Ops.pfRelocate((int32_t)(Negative ? 0u - Offset : Offset));
}

int _DelRange(const char* sArg, int, int) {
  uint32_t First = 0, Last = 0;
  int r = CMDLINE_GetAddressRange(sArg, CMDLINE_RANGE_DELETE, &First, &Last);
  if (r != 0) return r < 0 ? -1 : 0;
  if (_Ops.pfDeleteRange == nullptr) return _NotAvailable("-delrange");
  return _Ops.pfDeleteRange(First, Last);
}

int _ReadRange(const char* sArg, int, int) {
  uint32_t First = 0, Last = 0;
  int r = CMDLINE_GetAddressRange(sArg, CMDLINE_RANGE_READ, &First, &Last);
  if (r != 0) return r < 0 ? -1 : 0;
  if (_Ops.pfReadRange == nullptr) return _NotAvailable("-readrange");
  return _Ops.pfReadRange(First, Last);
}

// Options that call one operation without arguments.
#define CMDLINE_SIMPLE_HANDLER(Name, Option, Call, Slot)                                                     \
  int Name(const char*, int, int) {                                                                          \
    if (_Ops.Slot == nullptr) return _NotAvailable(Option);                                                  \
    return _Ops.Call;                                                                                        \
  }
CMDLINE_SIMPLE_HANDLER(_Eliminate, "-eliminate", pfEliminateBlank(), pfEliminateBlank)
CMDLINE_SIMPLE_HANDLER(_Connect, "-connect", pfConnect(), pfConnect)
CMDLINE_SIMPLE_HANDLER(_Disconnect, "-disconnect", pfDisconnect(), pfDisconnect)
CMDLINE_SIMPLE_HANDLER(_EraseSectors, "-erasesectors", pfEraseSectors(), pfEraseSectors)
CMDLINE_SIMPLE_HANDLER(_ProgramVerify, "-programverify", pfProgram(true), pfProgram)
CMDLINE_SIMPLE_HANDLER(_Program, "-program", pfProgram(false), pfProgram)
CMDLINE_SIMPLE_HANDLER(_Auto, "-auto", pfAutoProgram(), pfAutoProgram)
CMDLINE_SIMPLE_HANDLER(_Production, "-production", pfAutoProgram(), pfAutoProgram)
CMDLINE_SIMPLE_HANDLER(_Verify, "-verify", pfVerify(), pfVerify)
CMDLINE_SIMPLE_HANDLER(_ReadChip, "-readchip", pfReadChip(), pfReadChip)
CMDLINE_SIMPLE_HANDLER(_ReadSectors, "-readsectors", pfReadSectors(), pfReadSectors)
CMDLINE_SIMPLE_HANDLER(_Download, "-download", pfDownloadStamper(), pfDownloadStamper)
CMDLINE_SIMPLE_HANDLER(_CheckBlank, "-checkblank", pfCheckBlank(), pfCheckBlank)
CMDLINE_SIMPLE_HANDLER(_StartApp, "-startapp", pfStartApp(), pfStartApp)
#undef CMDLINE_SIMPLE_HANDLER

int _EraseChip(const char*, int, int) {
  if (_Ops.pfEraseChip == nullptr) return _NotAvailable("-erasechip");
  if (_Ops.pfAreAllSectorsSelected && !_Ops.pfAreAllSectorsSelected()) {
    int r =
        APP_MsgBox("This operation will also erase not selected sectors.\nDo you really want to erase chip?",
                   "Yes", "No", 0, APP_ICON_QUESTION, 1);
    if (r != 0) return 0;
  }
  return _Ops.pfEraseChip();
}

int _SecureChip(const char*, int, int) {
  if (_Ops.pfSecureChip == nullptr) return _NotAvailable("-securechip");
  int r = APP_MsgBox("This operation will secure the entire chip.\nDo you really want to secure chip?", "Yes",
                     "No", 0, APP_ICON_QUESTION, 1);
  return r == 0 ? _Ops.pfSecureChip() : 0;
}

int _UnsecureChip(const char*, int, int) {
  APP_LogOut("Deprecated function \"-unsecurechip\" skipped, see " CMDLINE_SECURITY_INFO_URL);
  return 0;
}

int _Exit(const char*, int, int Mode) {
  if (Mode == CMDLINE_MODE_SETTINGS) {
    APP_SetAutoExit(true);
    return 0;
  }
  return 1;
}

// The help box is shown even while the command line runs; without any GUI it is printed.
int _Help(const char*, int, int) {
  const int Size = 16384;
  char* sText = static_cast<char*>(SYS_MEM_Alloc(Size, "APP: Command line help buffer"));
  if (sText == nullptr) return 0;
  CMDLINE_GetHelpText(sText, Size);
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) {
    MsgBoxRequest Req{};
    Req.sTitle = "Commandline";
    Req.sText = sText;
    Req.sButton0 = "OK";
    Req.Icon = APP_ICON_INFO;
    pGUI->ShowMsgBox(&Req);
  } else {
    std::printf("Commandline: %s\n", sText);
    std::fflush(stdout);
  }
  SYS_MEM_Free(sText);
  return 0;
}

int _TForgeLog(const char* sArg, int, int) {
  SETTINGS_SetTForgeLogOverride(sArg); // a name of 512 characters or more clears it
  return 0;
}

int _XRelayLog(const char* sArg, int, int) {
  SETTINGS_SetXRelayLogOverride(sArg);
  return 0;
}

int _Usb(const char* sArg, int, int) {
  int64_t v = UTIL_ParseU32(sArg);
  uint32_t Number = v < 0 ? 0 : (uint32_t)v;
  _State.Connection = CMDLINE_CONNECTION{};
  _State.Connection.Kind = Number > 3 ? 1 : 0;
  _State.Connection.Number = Number;
  _State.HasConnection = true;
  return 0;
}

int _Ip(const char* sArg, int, int) {
  _State.Connection = CMDLINE_CONNECTION{};
  _State.Connection.Kind = 2;
  UTIL_strcpy(_State.Connection.acHost, sArg, sizeof(_State.Connection.acHost));
  _State.HasConnection = true;
  return 0;
}

int _SaveCfg(const char* sArg, int, int) {
  if (_Ops.pfSaveStamperConfig == nullptr) return _NotAvailable("-savecfg");
  return _Ops.pfSaveStamperConfig(sArg);
}

int _SaveDat(const char* sArg, int, int) {
  if (_Ops.pfSaveStamperData == nullptr) return _NotAvailable("-savedat");
  return _Ops.pfSaveStamperData(sArg);
}

int _UpdatePrj(const char*, int, int) {
  _State.AutoUpdateProject = true;
  return 0;
}

int _DevicesXMLPath(const char* sArg, int, int) {
  if (UTIL_strlen(sArg) >= (int)sizeof(_State.acDevicesXMLPath)) {
    char ac[128];
    UTIL_sprintf(ac, sizeof(ac), "Path of -xrelaydevicesxmlpath too long (at most %d characters)",
                 (int)sizeof(_State.acDevicesXMLPath) - 1);
    _Fail(ac);
    return -1;
  }
  UTIL_strcpy(_State.acDevicesXMLPath, sArg, sizeof(_State.acDevicesXMLPath));
  return 0;
}

int _SetIDCode(const char* sArg, int, int) {
  if (UTIL_strlen(sArg) > CMDLINE_IDCODE_MAX) {
    // A wrong code would only show up as a failed authentication much later.
    APP_ErrorOutf("Set RXIDcode: \"%s\" is not a valid RX IDCode (too long).", sArg);
    APP_SetExitCode(1);
    return -1;
  }
  UTIL_strcpy(_State.acIDCode, sArg, sizeof(_State.acIDCode));
  return 0;
}

int _StartMode(int Mode) {
  APP_SetStartMode(Mode);
  APP_SetStartModeSet(true);
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->SetStartMode(Mode);
  return 0;
}
int _Min(const char*, int, int) {
  return _StartMode(2);
}
int _Hide(const char*, int, int) {
  return _StartMode(0);
}

int _Save(const char*, int, int) {
  if (_NoDataWindow()) return 0;
  if (_Ops.pfSaveDataFile == nullptr) return _NotAvailable("-save");
  return _Ops.pfSaveDataFile();
}

int _SaveCurrentDataFile(void) {
  return DATAJOBS_SaveFile(nullptr, 0, 0, false);
}
int _SaveDataFileAs(const char* sPath, bool HasRange, uint32_t First, uint32_t Last) {
  return DATAJOBS_SaveFile(sPath, First, Last, HasRange);
}

bool _IsDataWindowOpen(void) {
  return DATAJOBS_GetNumWindows() > 0;
}

int _RunCmdLine(int Mode, int argc, char** argv) {
  return CMDLINE_Parse(argc, argv, Mode);
}

#define H(Text) "\t\t " Text
#define HS(Text, Syntax) "\t\t " Text "\n\t\t   Syntax:\t " Syntax
#define L(Text) "  \t " Text
#define LS(Text, Syntax) "  \t " Text "\n\t\t   Syntax:\t " Syntax

} // namespace

const CMDLINE_OPTION CMDLINE_OptionTable[CMDLINE_NUM_OPTIONS] = {
    {"-openprj", 3, _OpenPrj, HS("Opens an existing project", "-openprj<FILENAME>")},
    {"-saveprjas", 1, _SaveProjectAs,
     LS("Saves current project in a different file", "-saveprjas<FILENAME>")},
    {"-saveprj", 1, _SaveProject, HS("Saves current project", "-saveprj")},
    {"-open", 3, _OpenData, HS("Opens a data file", "-open<FILENAME>[,<SADDR>]")},
    {"-saveas", 1, _SaveAs,
     HS("Saves current data file in a different file", "-saveas<FILENAME>[,<SADDR>,<EADDR>]")},
    {"-merge", 1, _Merge,
     HS("Merges a given data file with the one currently opened in T-Forge",
        "-merge<FILENAME> or -merge<FILENAME>.bin,<ADDR>")},
    {"-relocate", 1, _Relocate, HS("Relocates data by given offset", "-relocate<OFFSET>")},
    {"-delrange", 1, _DelRange, LS("Deletes data range", "-delrange<SADDR>,<EADDR>")},
    {"-eliminate", 1, _Eliminate, L("Eliminates blank areas in data file")},
    {"-connect", 1, _Connect, H("Connects to target")},
    {"-disconnect", 1, _Disconnect, L("Disconnects from target")},
    {"-erasesectors", 1, _EraseSectors, L("Erases selected sectors")},
    {"-erasechip", 1, _EraseChip, L("Erases entire flash chip")},
    {"-programverify", 1, _ProgramVerify, L("Programs and verifies target")},
    {"-program", 1, _Program, H("Programs target")},
    {"-auto", 1, _Auto, H("Erases, programs and verifies target")},
    {"-verify", 1, _Verify, H("Verifies target program")},
    {"-readchip", 1, _ReadChip, H("Reads the entire flash chip")},
    {"-readrange", 1, _ReadRange, LS("Reads specified range of target memory", "-readrange<SADDR>,<EADDR>")},
    {"-exit", 3, _Exit, H("Terminates application automatically")},
    {"-help", 2, _Help, H("Displays this box")},
    {"-?", 2, _Help, H("Displays this box")},
    {"?", 2, _Help, H("Displays this box")},
    {"-tforgelog", 2, _TForgeLog, HS("Sets a temporary T-Forge log file", "-tforgelog<FILENAME>")},
    {"-xrelaylog", 2, _XRelayLog, HS("Sets a temporary X-Relay log file", "-xrelaylog<FILENAME>")},
    {"-usb", 2, _Usb, HS("Overrides connection settings to USB S/N", "-usb<SN>")},
    {"-ip", 2, _Ip, HS("Overrides connection settings to IP", "-ip<xxx.xxx.xxx.xxx> or -ip<HostName>")},
    {"-savecfg", 1, _SaveCfg, HS("Saves emulator configuration file", "-savecfg<FILENAME>")},
    {"-savedat", 1, _SaveDat, HS("Saves emulator data file", "-savedat<FILENAME>")},
    {"-download", 1, _Download, L("Downloads configuration to emulator")},
    {"-updateprj", 3, _UpdatePrj,
     L("Automatically update the project in case of device information have been changed in recent "
       "versions")},
    {"-securechip", 1, _SecureChip, L("Secures target device")},
    {"-unsecurechip", 1, _UnsecureChip, L("deprecated function, see " CMDLINE_SECURITY_INFO_URL)},
    {"-checkblank", 1, _CheckBlank, L("Blank checks target")},
    {"-production", 1, _Production, H("Erases, programs and verifies target")},
    {"-readsectors", 1, _ReadSectors, L("Reads selected sectors")},
    {"-startapp", 1, _StartApp, H("Starts target application")},
    {"-xrelaydevicesxmlpath", 2, _DevicesXMLPath,
     HS("Sets the path to the XRelayDevices.xml file", "-xrelaydevicesxmlpath<PATH>")},
    {"-setrxidcode", 2, _SetIDCode,
     HS("Sets the RXIDCode to be used by the DLL.",
        "-setrxidcode<IDCodeString> (32 Characters, 16 IDCode bytes)")},
    {"-setcpuidcode", 2, _SetIDCode,
     HS("Sets the CPU ID code to be used by the DLL (e.g. during authentication process).",
        "-setcpuidcode<IDCodeString>")},
    {"-min", 2, _Min, H("Starts T-Forge minimized")},
    {"-hide", 2, _Hide, H("Starts T-Forge hidden")},
    {"-save", 1, _Save, HS("Saves current data file", "-save[<SADDR>,<EADDR>]")},
};

#undef H
#undef HS
#undef L
#undef LS

namespace {

enum { HELP_ENTRY = 20 };

// The table entry and the length of the text it matched; "--help" and "-h", a Linux user's
// first tries, stand for -help.
const CMDLINE_OPTION* _Find(const char* sArg, int* pLen) {
  if (sArg == nullptr) return nullptr;
  int ArgLen = UTIL_strlen(sArg);
  for (const CMDLINE_OPTION& o : CMDLINE_OptionTable) {
    int n = UTIL_strlen(o.sOption);
    if (ArgLen >= n && UTIL_strnicmp(o.sOption, sArg, n) == 0) {
      if (pLen) *pLen = n;
      return &o;
    }
  }
  if (UTIL_stricmp(sArg, "--help") == 0 || UTIL_stricmp(sArg, "-h") == 0) {
    if (pLen) *pLen = ArgLen;
    return &CMDLINE_OptionTable[HELP_ENTRY];
  }
  return nullptr;
}

void _FreeList(char** papList) {
  if (papList == nullptr) return;
  for (char** pp = papList; *pp; pp++)
    SYS_MEM_Free(*pp);
  SYS_MEM_Free(papList);
}

// An option and every following argument that is no option form one element, joined
// without a separator; any other argument is an element by itself. Null when out of memory.
char** _PreParse(int argc, char** argv) {
  char** papList =
      static_cast<char**>(SYS_MEM_Alloc(sizeof(char*) * (size_t)(argc + 1), "CLI Parser: PreParsedArgs"));
  if (papList == nullptr) return nullptr;
  std::memset(papList, 0, sizeof(char*) * (size_t)(argc + 1));
  int NumElements = 0;
  for (int i = 0; i < argc;) {
    int j = i + 1;
    size_t Len = std::strlen(argv[i]);
    if (_Find(argv[i], nullptr)) {
      while (j < argc && _Find(argv[j], nullptr) == nullptr)
        Len += std::strlen(argv[j++]);
    }
    char* s = static_cast<char*>(SYS_MEM_Alloc(Len + 1, "CLI Parser: Buffer"));
    if (s == nullptr) {
      _FreeList(papList);
      return nullptr;
    }
    s[0] = 0;
    for (int k = i; k < j; k++)
      std::strcat(s, argv[k]);
    papList[NumElements++] = s;
    i = j;
  }
  return papList;
}

void _EndPass(void) {
  char ac[64];
  UTIL_sprintf(ac, sizeof(ac), "SetMSGBoxTimeout = %i", -1);
  _ExecProbeCommand(ac);
  APP_SetCmdLineActive(false);
}

} // namespace

/*********************************************************************
 * The passes
 */
const CMDLINE_OPTION* CMDLINE_FindOption(const char* sArg) {
  return _Find(sArg, nullptr);
}

int CMDLINE_Parse(int argc, char** argv, int Mode) {
  APP_SetCmdLineActive(true);
  _ExecProbeCommand("SetMSGBoxTimeout = 0");
  char** papList = _PreParse(argc, argv);
  if (papList == nullptr) {
    APP_SetExitCode(1);
    APP_SetCmdLineActive(false);
    return -1;
  }
  int Result = 0;
  bool Ended = false; // the pass stopped where the flags are to stay as they are
  for (int i = 1; papList[i]; i++) {
    const char* sElement = papList[i];
    // A first argument "-DisHD..." went to the probe library before the passes.
    if (i == 1 && std::strncmp(sElement, "-DisHD", 6) == 0) continue;
    int Len = 0;
    const CMDLINE_OPTION* pOption = _Find(sElement, &Len);
    int r;
    if (pOption) {
      if ((pOption->Flags & (uint32_t)Mode) == 0) continue;
      r = pOption->pfHandler(sElement + Len, Len, Mode);
    } else if (_HasExt(sElement, ".tforge")) {
      r = _OpenPrj(sElement, 0, Mode);
    } else {
      char ac[1100];
      UTIL_sprintf(ac, sizeof(ac), "CMDLINE: Incorrect command line option [%s] detected!", sElement);
      _Fail(ac);
      r = -1;
    }
    if (r < 0 || APP_GetExitCode()) {
      // A failed handler must not let the process report success.
      APP_SetExitCode(1);
      APP_SetCmdLineActive(false);
      Result = -1;
      Ended = true;
      break;
    }
    if (r == 1) {
      Result = 1;
      Ended = true;
      break;
    }
    if (pOption == nullptr) break; // nothing after a bare project file is handled
  }
  if (!Ended) _EndPass();
  _FreeList(papList);
  return Result;
}

int CMDLINE_GetString(char* sDest, int DestSize, const char** ps) {
  if (sDest == nullptr || DestSize <= 0) return 0;
  sDest[0] = 0;
  const char* s = (ps && *ps) ? *ps : "";
  _SkipSpaces(&s);
  bool Quoted = *s == '"';
  if (Quoted) s++;
  int n = 0;
  while (*s && *s != '\r' && *s != '\n') {
    if (*s == '"') {
      s++;
      break;
    }
    if (*s == ',' && !Quoted) break;
    if (n + 1 > DestSize - (n + 1)) {
      _Fail("CMDLINE_GetString: String to long");
      return -1;
    }
    sDest[n++] = *s++;
  }
  sDest[n] = 0;
  _SkipSpaces(&s);
  if (ps) *ps = s;
  if (n == 0) {
    _Fail("CMDLINE_GetString:  Missing string");
    return -1;
  }
  return 0;
}

int CMDLINE_GetHelpText(char* sDest, int DestSize) {
  UTIL_strcpy(sDest, "Valid command line options:\r\n\r\n", DestSize);
  for (const CMDLINE_OPTION& o : CMDLINE_OptionTable) {
    UTIL_strcat(sDest, o.sOption, DestSize);
    UTIL_strcat(sDest, o.sHelp, DestSize);
    UTIL_strcat(sDest, "\r\n", DestSize);
  }
  return UTIL_strlen(sDest);
}

/*********************************************************************
 * Settings of the passes
 */
int CMDLINE_GetConnection(CMDLINE_CONNECTION* pConn, const CMDLINE_PROJECT_CONNECTION* pProject) {
  if (pConn == nullptr) return 0;
  if (_State.HasConnection) {
    *pConn = _State.Connection;
    return 0;
  }
  *pConn = CMDLINE_CONNECTION{};
  if (pProject == nullptr) return 0;
  pConn->Kind = (uint8_t)pProject->ConnectMode;
  if (pConn->Kind == 0) pConn->Number = pProject->USBPort;
  if (pConn->Kind == 1) pConn->Number = pProject->USBSerialNo;
  if (pConn->Kind == 2)
    UTIL_strcpy(pConn->acHost, pProject->sHostName ? pProject->sHostName : "", sizeof(pConn->acHost));
  return 0;
}

bool CMDLINE_HasConnectionOverride(void) {
  return _State.HasConnection;
}
bool CMDLINE_IsDataFileGiven(void) {
  return _State.DataFileGiven;
}
bool CMDLINE_IsAutoUpdateProject(void) {
  return _State.AutoUpdateProject;
}
const char* CMDLINE_GetDevicesXMLPath(void) {
  return _State.acDevicesXMLPath;
}
const char* CMDLINE_GetIDCode(void) {
  return _State.acIDCode;
}
void CMDLINE_ResetForTest(void) {
  _State = CmdLineState{};
}
CMDLINE_OPERATIONS* CMDLINE_GetOperations(void) {
  return &_Ops;
}

/*********************************************************************
 * The address range
 */
int CMDLINE_GetAddressRange(const char* sArg, int Purpose, uint32_t* pFirst, uint32_t* pLast) {
  const char* s = sArg ? sArg : "";
  _SkipSpaces(&s);
  uint32_t First = 0, Last = 0;
  if (*s || APP_IsCmdLineActive()) {
    // A script names its range; nobody could answer the dialog.
    if (_ParseRange(s, &First, &Last) < 0) return -1;
  } else {
    // The menu commands come without text: ask, proposing the last range entered.
    if (_State.HasRange) {
      First = _State.RangeFirst;
      Last = _State.RangeLast;
    } else if (!(Purpose == CMDLINE_RANGE_READ && _Ops.pfGetReadRangeProposal &&
                 _Ops.pfGetReadRangeProposal(&First, &Last))) {
      First = Last = 0;
    }
    int64_t v0 = First, v1 = Last;
    EditValueField aField[2] = {{0, 0xFFFFFFFFll, &v0, "Start address (hex)", 1},
                                {0, 0xFFFFFFFFll, &v1, "End address (hex)", 1}};
    APP_GUI_REQUESTS* pGUI = APP_GetGUI();
    const char* sTitle = Purpose == CMDLINE_RANGE_DELETE ? " Enter address range" : "Enter address range";
    if (pGUI == nullptr || pGUI->ShowEditValueDialog(sTitle, aField, 2) != 0) return 1;
    if (v0 > v1) {
      // Swapping would guess; using the old range would act on addresses nobody entered.
      char ac[128];
      DATAFILE_FormatInvalidRange(ac, sizeof(ac), (uint32_t)v0, (uint32_t)v1);
      APP_ErrorBox(ac);
      return -1;
    }
    First = (uint32_t)v0;
    Last = (uint32_t)v1;
  }
  _State.HasRange = true;
  _State.RangeFirst = First;
  _State.RangeLast = Last;
  *pFirst = First;
  *pLast = Last;
  return 0;
}

bool CMDLINE_GetRememberedRange(uint32_t* pFirst, uint32_t* pLast) {
  if (!_State.HasRange) return false;
  *pFirst = _State.RangeFirst;
  *pLast = _State.RangeLast;
  return true;
}

namespace {
int _SaveProject(void) {
  return PROJJOBS_Save(false, nullptr);
}
int _SaveProjectAs(const char* sPath) {
  return PROJJOBS_Save(true, sPath);
}
} // namespace

void CMDLINE_InstallHooks(void) {
  APP_STARTUP_HOOKS* pHooks = APP_GetStartupHooks();
  pHooks->pfRunCmdLine = _RunCmdLine;
  pHooks->pfGetDevicesXMLPath = CMDLINE_GetDevicesXMLPath;
  _Ops.pfIsDataWindowOpen = _IsDataWindowOpen;
  _Ops.pfOpenDataFile = DATAJOBS_OpenFile;
  _Ops.pfSaveDataFileAs = _SaveDataFileAs;
  _Ops.pfSaveDataFile = _SaveCurrentDataFile;
  _Ops.pfMergeDataFile = DATAJOBS_MergeFile;
  _Ops.pfRelocate = DATAJOBS_Relocate;
  _Ops.pfDeleteRange = DATAJOBS_DeleteRange;
  _Ops.pfEliminateBlank = DATAJOBS_Eliminate;
  _Ops.pfOpenProject = PROJJOBS_Open;
  _Ops.pfSaveProject = _SaveProject;
  _Ops.pfSaveProjectAs = _SaveProjectAs;
  static const PROJJOBS_CMDLINE_HOOKS ProjectHooks = {CMDLINE_IsDataFileGiven, CMDLINE_IsAutoUpdateProject,
                                                      CMDLINE_MakeAbsolute};
  PROJJOBS_SetCmdLineHooks(&ProjectHooks);
}
