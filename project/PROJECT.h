/*
 * PROJECT - the project: its records in memory, the ".tforge" file they are read from and
 * written to, and the conversions of older files.
 *
 * At most one project exists. PROJECT_New or SETFILE_Open + PROJECT_Load make it; other code
 * reads and changes it only through the get and set operations on whole records (a set that
 * changes a record counts a modification); PROJECT_Write rewrites the whole document before
 * every save; PROJECT_Close forgets it. The device database is reached through the hooks of
 * PROJECT_DEVICE_HOOKS; while a hook is missing the project keeps what its file says.
 * Results: 0 or a count for success, negative for failure, unless an operation says otherwise.
 */
#pragma once

#include <cstdint>

#include "core/APP_Version.h"

enum {
  // The program's version as projects store it: V7.92e is 79205.
  PROJECT_APP_VERSION = APP_VERSION_MAJOR * 10000 + APP_VERSION_MINOR * 100 +
                        (APP_VERSION_SUFFIX[0] ? APP_VERSION_SUFFIX[0] - 'a' + 1 : 0),
  PROJECT_FILE_VERSION = 2,    // written, and the newest one read
  PROJECT_MAX_BANKS = 16,
  PROJECT_MAX_STEPS = 256,
  PROJECT_MAX_JTAG_DEVICES = 32,
  PROJECT_MAX_SECTORS = 65536,
  PROJECT_PATH_SIZE = 512,
};
#define PROJECT_EXTENSION ".tforge"
#define PROJECT_NEW_NAME "new project"
#define PROJECT_DEFAULT_LOADER "Default"

/*********************************************************************
 * Records (each read and written whole)
 */
struct PROJECT_GENERAL {
  char acCurrentFile[512]; // data file, relative to the project directory when it lies below it
  char acHostName[128];
  uint32_t DataFileSAddr;
  uint32_t ConnectMode; // 0 USB by number, 1 USB by serial number, 2 TCP/IP
  uint32_t USBPort;
  uint32_t USBSerialNo;
  uint32_t GUIMode;
  uint32_t UseATEModuleSelection;
  uint8_t aATEModuleSel[24];
};

struct PROJECT_JTAG_DEVICE {
  char acName[64];
  uint32_t ID;
  uint32_t IRLen;
};
struct PROJECT_TIF {
  uint32_t TargetIF;
  uint32_t UseMaxSpeed0;
  uint32_t UseMaxSpeed1;
  uint32_t UseAdaptive0;
  uint32_t UseAdaptive1;
  uint32_t Speed0; // kHz
  uint32_t Speed1; // kHz
  uint32_t MultipleTargets;
  uint32_t TAP_Number;
  uint32_t IRLen;
  uint32_t NumDevices;
  PROJECT_JTAG_DEVICE aDevice[PROJECT_MAX_JTAG_DEVICES];
};

struct PROJECT_STEP {
  uint32_t Action; // index into STEPS_Actions
  uint32_t Value0;
  uint32_t Value1;
  char acComment[256];
};
struct PROJECT_CPU {
  int32_t Device;       // index in the device database, -1 none (or no database)
  char acChipName[256]; // the device's name as the file names it ("vendor device")
  uint32_t CoreID;
  uint32_t CoreIDMask;
  uint32_t RAMAddr;
  uint32_t RAMSize;
  uint32_t ClockSpeed;
  uint32_t EndianMode; // 1 big-endian
  uint32_t CheckCoreID;
  uint32_t UseAutoSpeed;
  uint32_t UseScriptFile;
  char acScriptFile[512];
  uint32_t NumInitSteps;
  uint32_t NumExitSteps;
  PROJECT_STEP aInitStep[PROJECT_MAX_STEPS];
  PROJECT_STEP aExitStep[PROJECT_MAX_STEPS];
};

struct PROJECT_BANK {
  char acLoaderName[256]; // "Default": the device's own loader
  char acBankName[32];
  char acDeviceName[256]; // external flash device of an external bank
  int32_t Device;         // its index in the flash device list, -1 unknown
  uint32_t BaseAddr;
  uint8_t IsInternal; // one of the MCU device's own banks
  uint8_t HasLayout;  // sectors are known (internal, or an external device that is not detected)
  uint8_t Disabled;
  uint8_t AutoDetect;
  uint8_t CheckId;
  uint8_t OrgNumBits;
  uint8_t OrgNumChips;
  uint8_t BankSelMode; // 1 the bit set, 0 StartSector ... EndSector
  uint32_t StartSector;
  uint32_t EndSector;
  uint8_t abSectorSel[PROJECT_MAX_SECTORS / 8]; // bit n set: sector n selected
};
struct PROJECT_FLASH {
  uint32_t NumBanks; // 1 ... 16
  PROJECT_BANK aBank[PROJECT_MAX_BANKS];
};

struct PROJECT_PRODUCTION {
  uint32_t EraseType;
  uint32_t StartAppType;
  uint32_t AutoPerformsErase;
  uint32_t AutoPerformsProgram;
  uint32_t AutoPerformsVerify;
  uint32_t AutoPerformsSecure;
  uint32_t AutoPerformsStartApp;
  uint32_t AutoPerformsDisconnect;
  uint32_t EnableTargetPower;
  uint32_t ProgramSN;
  uint32_t TargetPowerDelay; // ms
  uint32_t SNAddr;
  uint32_t SNLen;
  uint32_t SNValue;
  uint32_t SNInc;
  uint32_t OverrideTimeouts;
  uint32_t TimeoutErase; // ms
  uint32_t TimeoutProgram;
  uint32_t TimeoutVerify;
  uint32_t MonitorVTref;
  uint32_t MonitorVTrefMin; // mV
  uint32_t MonitorVTrefMax;
  uint32_t EnableFixedVTref;
  uint32_t FixedVTref;
  char acSerialFile[512];
  char acSNListFile[512];
  // Production programming leaves the sectors alone that already hold their data (compared by
  // CRC before erasing). Written to the file only when set.
  uint32_t SkipUnchangedSectors;
};

struct PROJECT_PERFORMANCE {
  uint8_t PerfromBlankCheckPriorEraseSelectedSectors;
  uint8_t PerfromBlankCheckPriorEraseChip;
  uint8_t VerifyType; // 1 CRC, 2 read back
  uint8_t DisableSkipBlankDataOnProgram;
};

/*********************************************************************
 * The device database, as far as the project needs it. A null hook means the database
 * cannot tell: devices and flash devices stay as named, banks are not checked or updated.
 */
struct PROJECT_DEVICE_BANK {
  char acName[32];
  uint32_t BaseAddr;
  char acLoaderName[256]; // the probe library's loader for the bank, "" for the default one
};
struct PROJECT_DEVICE_HOOKS {
  int (*pfFindDevice)(const char* sName); // index (aliases included), or -1 unknown
  int (*pfGetNumDevices)(void);
  int (*pfGetDeviceName)(int Device, char* sDest, int DestSize); // 0, or -1
  // The device's own banks: count (at most MaxBanks), or -1.
  int (*pfGetDeviceBanks)(int Device, PROJECT_DEVICE_BANK* paBank, int MaxBanks);
  uint32_t (*pfGetDeviceRAMSize)(int Device);  // bytes, 0 when the device does not say
  uint32_t (*pfGetDeviceCoreID)(int Device);   // core word; its top byte is the core family
  int (*pfFindFlashDevice)(const char* sName); // external flash device index, or -1 unknown
  // Sectors of a project bank (internal ones of the device Device): count, or -1 when unknown.
  int (*pfGetBankNumSectors)(int Device, const PROJECT_BANK* pBank);
  bool (*pfCanCheckLoaders)(void);
  bool (*pfIsLoaderValid)(int Device, int BankIndex, const PROJECT_BANK* pBank, const char* sLoader);
  int (*pfCheckOverlap)(void); // overlapping banks of the current project (reported): number of problems
  // The selected sectors of all banks of the current project as data-less ranges added to
  // pImage, with the numbers of selected and of all sectors: number of ranges, or -1.
  int (*pfGetSelectedRanges)(struct DataImage* pImage, int* pNumSelected, int* pNumSectors);
};
void PROJECT_SetDeviceHooks(const PROJECT_DEVICE_HOOKS* pHooks); // null: no database
const PROJECT_DEVICE_HOOKS* PROJECT_GetDeviceHooks(void);

/*********************************************************************
 * The project's life
 */
// Starts a project with the new-project defaults on the open document (named sPath or "").
int PROJECT_New(const char* sPath);
// Reads the open document into the records with every conversion of older files. AutoUpdate
// (-updateprj) takes the outdated-bank update without asking. 0, or -1: the file is refused
// (newer format, or a conversion the user declined); the records are unchanged then.
int PROJECT_Load(bool AutoUpdate);
void PROJECT_Write(void);                // empties the document and writes every key
void PROJECT_Close(void);                // forgets the records (the caller closes the document)
void PROJECT_SetPath(const char* sPath); // after a save under another name: has a file name now
void PROJECT_SetUnmodified(void);
void PROJECT_SetModified(void);
// Called after every change of the modification count (the title and menus follow it).
void PROJECT_SetChangeNotifier(void (*pfNotify)(void));

/*********************************************************************
 * Records: a get copies (all zero, NumBanks 1, and "No project file opened." when none is
 * open: -1); a set stores and counts a modification only when the normalised record differs
 * (1 changed, 0 the same, -1 no project). Setting the CPU record applies the RAM size rule.
 */
int PROJECT_GetGeneral(PROJECT_GENERAL* p);
int PROJECT_SetGeneral(const PROJECT_GENERAL* p);
int PROJECT_GetTIF(PROJECT_TIF* p);
int PROJECT_SetTIF(const PROJECT_TIF* p);
int PROJECT_GetCPU(PROJECT_CPU* p);
int PROJECT_SetCPU(const PROJECT_CPU* p);
int PROJECT_GetFlash(PROJECT_FLASH* p);
int PROJECT_SetFlash(const PROJECT_FLASH* p);
int PROJECT_GetProduction(PROJECT_PRODUCTION* p);
int PROJECT_SetProduction(const PROJECT_PRODUCTION* p);
int PROJECT_GetPerformance(PROJECT_PERFORMANCE* p);
int PROJECT_SetPerformance(const PROJECT_PERFORMANCE* p);

/*********************************************************************
 * Convenience reads
 */
bool PROJECT_IsOpen(void);
void PROJECT_GetPath(char* sDest, int DestSize); // the path, or "new project"
bool PROJECT_HasFileName(void);
bool PROJECT_IsModified(void);
int PROJECT_GetModCount(void);
int PROJECT_GetFileVersion(void); // of the file last loaded (1 when it named none)
int PROJECT_GetAppVersion(void);
int PROJECT_GetNumBanks(void);
uint32_t PROJECT_GetBankBaseAddr(int Bank);
void PROJECT_GetBankLoader(int Bank, char* sDest, int DestSize);
int PROJECT_GetCurBank(void); // the bank "Select flash device" set, -1 for all
void PROJECT_SetCurBank(int Bank);
bool PROJECT_IsSectorSelected(int Bank, uint32_t Sector);

// RAM size rule: at most the device's RAM (1 MB when it gives none or more), else rounded down
// to one of the steps 1, 2, 4, 6, 8, 12, ... 768, 1024 KB.
uint32_t PROJECT_RoundRAMSize(uint32_t RAMSize, uint32_t DeviceRAMSize);
// "V%d.%.2d%s" of a version number (major * 10000 + minor * 100 + revision).
void PROJECT_FormatVersion(char* sDest, int DestSize, int Version);

/*********************************************************************
 * The data file of the project
 */
// Stores the data file and its start address (the path relative to the project directory
// when it lies below it); counts a modification when either differs. 0, 1 changed, -1.
int PROJECT_SetDataFile(const char* sPath, uint32_t StartAddr);
// The data file as an absolute native path (empty when none) and its start address.
int PROJECT_GetDataFile(char* sPath, int PathSize, uint32_t* pStartAddr);
// "<project>_Serial.txt" and "<project>_SNList.txt" beside the project ("new project" unsaved).
void PROJECT_GetSerialFileName(char* sDest, int DestSize);
void PROJECT_GetSNListFileName(char* sDest, int DestSize);
