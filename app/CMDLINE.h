/*
 * CMDLINE - the command line: the option table, its two passes and the settings they leave.
 *
 * CMDLINE_InstallHooks() runs before the main window starts; the start-up job then calls
 * CMDLINE_Parse with mode 2 (settings pass) and later with mode 1 (action pass). Action
 * handlers call the operations of CMDLINE_OPERATIONS directly on the worker thread; a slot
 * that no subsystem has filled makes its option fail with an error and exit code 1.
 */
#pragma once

#include <cstdint>

enum { CMDLINE_MODE_ACTION = 1, CMDLINE_MODE_SETTINGS = 2 };
enum { CMDLINE_NUM_OPTIONS = 43, CMDLINE_STRING_SIZE = 512, CMDLINE_IDCODE_MAX = 32 };

// rest of the argument after the option text, length of the option text, mode
//   -> 0 go on, 1 stop the pass successfully, negative stop it with failure
typedef int CMDLINE_HANDLER(const char* sArg, int OptionLen, int Mode);

struct CMDLINE_OPTION {
  const char* sOption;
  uint32_t Flags; // 0x1 action pass, 0x2 settings pass
  CMDLINE_HANDLER* pfHandler;
  const char* sHelp;
};
extern const CMDLINE_OPTION CMDLINE_OptionTable[CMDLINE_NUM_OPTIONS];

// Installs the command-line stages of the start-up job, the data-file and project operations
// and what the project jobs ask the command line.
void CMDLINE_InstallHooks(void);

int CMDLINE_Parse(int argc, char** argv, int Mode);         // 0 all handled, 1 stopped at -exit, -1 failure
const CMDLINE_OPTION* CMDLINE_FindOption(const char* sArg); // the first entry it begins with, or null
// Takes a string from *ps (quotes, an unquoted comma ends it) and advances *ps. 0, or -1 (logged).
int CMDLINE_GetString(char* sDest, int DestSize, const char** ps);
// A path of the PC in native form, absolute against the working directory ("" stays "").
void CMDLINE_MakeAbsolute(char* sDest, int DestSize, const char* sPath);
// The help text: "Valid command line options:" and every option with its help. Length written.
int CMDLINE_GetHelpText(char* sDest, int DestSize);

/*********************************************************************
 * Settings left by the settings pass
 */
struct CMDLINE_CONNECTION {
  uint8_t Kind; // 0 USB by device number, 1 USB by serial number, 2 TCP/IP
  char acHost[128];
  uint32_t Number;
};
// What the project's General record says (ConnectMode, USBPort, USBSerialNo, HostName).
struct CMDLINE_PROJECT_CONNECTION {
  int ConnectMode;
  uint32_t USBPort;
  uint32_t USBSerialNo;
  const char* sHostName;
};
// The connection to use: the command-line override, else the project's. Always 0.
int CMDLINE_GetConnection(CMDLINE_CONNECTION* pConn, const CMDLINE_PROJECT_CONNECTION* pProject);
bool CMDLINE_HasConnectionOverride(void);
bool CMDLINE_IsDataFileGiven(void);
bool CMDLINE_IsAutoUpdateProject(void);
const char* CMDLINE_GetDevicesXMLPath(void); // "" when not given
const char* CMDLINE_GetIDCode(void);         // "" when not given

/*********************************************************************
 * The address range of "-delrange" / "-readrange" and the menu commands that share them
 */
enum { CMDLINE_RANGE_DELETE = 0, CMDLINE_RANGE_READ = 1 };
// sArg "<SADDR>,<EADDR>" or empty (then the dialog asks). 0 with the range, 1 cancelled, -1 error.
int CMDLINE_GetAddressRange(const char* sArg, int Purpose, uint32_t* pFirst, uint32_t* pLast);
bool CMDLINE_GetRememberedRange(uint32_t* pFirst, uint32_t* pLast); // false before any range

/*********************************************************************
 * The operations the action handlers call; null slots are reported as not available.
 * Every operation returns 0, or negative on failure (having reported its own error).
 */
struct CMDLINE_OPERATIONS {
  int (*pfOpenProject)(const char* sPath, bool OpenDataFile);
  int (*pfSaveProjectAs)(const char* sPath);
  int (*pfSaveProject)(void);
  // -save, -saveas and -merge do nothing while no data window is open (null: windows are open).
  bool (*pfIsDataWindowOpen)(void);
  int (*pfOpenDataFile)(const char* sPath, uint32_t StartAddr, bool HasStartAddr);
  int (*pfSaveDataFileAs)(const char* sPath, bool HasRange, uint32_t First, uint32_t Last);
  int (*pfSaveDataFile)(void);
  int (*pfMergeDataFile)(const char* sPath, uint32_t Addr, bool HasAddr);
  int (*pfRelocate)(int32_t Offset);
  int (*pfDeleteRange)(uint32_t First, uint32_t Last);
  int (*pfEliminateBlank)(void);
  int (*pfConnect)(void);
  int (*pfDisconnect)(void);
  int (*pfEraseSectors)(void);
  bool (*pfAreAllSectorsSelected)(void);
  int (*pfEraseChip)(void);
  int (*pfProgram)(bool Verify);
  int (*pfAutoProgram)(void);
  int (*pfVerify)(void);
  int (*pfReadChip)(void);
  int (*pfReadRange)(uint32_t First, uint32_t Last);
  int (*pfReadSectors)(void);
  bool (*pfGetReadRangeProposal)(uint32_t* pFirst, uint32_t* pLast); // selected sectors / first bank
  int (*pfSaveStamperConfig)(const char* sPath);
  int (*pfSaveStamperData)(const char* sPath);
  int (*pfDownloadStamper)(void);
  int (*pfSecureChip)(void);
  int (*pfCheckBlank)(void);
  int (*pfStartApp)(void);
};
CMDLINE_OPERATIONS* CMDLINE_GetOperations(void);
