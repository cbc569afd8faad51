/*
 * PROG - the flash operations on the target: erase, blank check, program, verify and read back.
 *
 * Every operation shares one frame: a programming request says what to do; the bank loop
 * (PROG_RunBanks) opens each enabled flash bank of the project, hands the per-bank step the
 * part of the request that lies in that bank, and closes the bank again; the sector runs
 * ("dirty runs") turn a bank's data into runs of whole sectors; the per-bank programming step
 * (PROG_BankStep) erases, programs and verifies those runs through the bank's flash module.
 * Production programming builds on the same loop and step.
 *
 * Everything runs on the job worker thread. An operation connects when needed, reports through
 * the log operations and shows a progress dialog that the user can cancel; its outcome is the
 * error flag of the log (and the exit code while the command line runs).
 */
#pragma once

#include <cstdint>

#include "flash/FLASH.h"

struct DataImage;
struct APP_PROGRESS;

// What one flash operation asks of the bank loop and the per-bank step.
struct PROG_REQUEST {
  DataImage* pRanges; // intersected with each bank: data to program or verify, or data-less ranges
  DataImage* pData;   // the data to program and verify (the same image as pRanges for programming)
  DataImage* pResult; // receives what is read back
  uint8_t Erase;
  uint8_t Program;
  uint8_t Verify;
  uint8_t EraseType;       // PROG_ERASE_SECTORS or PROG_ERASE_CHIP
  uint8_t BlankCheckFirst; // blank-check each piece before erasing it
  uint8_t VerifyType;      // PROG_VERIFY_CRC or PROG_VERIFY_READBACK
  int32_t MismatchSeen;    // 0, or -1 once verification found a difference
  int32_t BytesProgrammed; // over all banks
  int32_t FirstFailAddr;   // the first differing byte, or -1
  uint32_t TargetCRC;      // running CRC-32 of what was read, over ranges and banks
  uint32_t ExpectedCRC;    // and of what was expected
};
enum { PROG_ERASE_SECTORS = 1, PROG_ERASE_CHIP = 3 };
enum { PROG_VERIFY_CRC = 1, PROG_VERIFY_READBACK = 2 };

// A run of sectors of equal size within one bank.
struct SECTOR_RUN {
  uint32_t FirstSector; // index within the bank
  uint32_t Addr;
  uint32_t SectorSize;
  uint32_t NumSectors;
  uint32_t Spare; // 0
};
// Kept sorted by address; a run that continues the last one (same sector size, starting where
// it ends) lengthens it instead.
struct SECTOR_RUN_LIST {
  SECTOR_RUN* paRun;
  uint32_t NumRuns;
  uint32_t Capacity; // grows by 256 entries
};
int PROG_AddRun(SECTOR_RUN_LIST* pList, uint32_t FirstSector, uint32_t Addr, uint32_t SectorSize,
                uint32_t NumSectors); // 0, or -1 out of memory
uint64_t PROG_GetRunBytes(const SECTOR_RUN_LIST* pList);
int PROG_CopyRuns(SECTOR_RUN_LIST* pDest, const SECTOR_RUN_LIST* pSrc); // 0, or -1 out of memory
void PROG_FreeRuns(SECTOR_RUN_LIST* pList);

/*
 * The per-bank step: the opened bank, its handle, the request, the bank data (the part of the
 * request's ranges inside the bank's sectors) and the project's settings of the bank.
 * 0, or negative (ends the bank loop).
 */
typedef int PROG_BANK_STEP_FUNC(FlashModuleHandle* pHandle, FlashBank* pBank, PROG_REQUEST* pReq,
                                DataImage* pBankData, const BANK_INFO* pBankInfo);
/*
 * The bank loop. pRanges null: every enabled bank is handed to the step with no bank data.
 * pCounter (may be null) counts the bytes of the bank data of the banks whose step succeeded.
 * DetermineLayout: ask the module for the layout it finds on the target; PrepareRestore:
 * prepare the bank before the step and restore it after. 0, or negative.
 */
int PROG_RunBanks(PROG_BANK_STEP_FUNC* pfStep, PROG_REQUEST* pReq, DataImage* pRanges, uint32_t* pCounter,
                  bool DetermineLayout, bool PrepareRestore);
// The per-bank programming step: erase, program and verify the dirty runs as the request asks.
int PROG_BankStep(FlashModuleHandle* pHandle, FlashBank* pBank, PROG_REQUEST* pReq, DataImage* pBankData,
                  const BANK_INFO* pBankInfo);

// The sectors of the opened bank that hold any of the bank data, as runs. 0, or -1.
int PROG_DetermineDirtyRuns(FlashBank* pBank, DataImage* pBankData, SECTOR_RUN_LIST* pList,
                            uint64_t* pNumBytes);
int PROG_EraseRuns(FlashBank* pBank, FlashModuleHandle* pHandle, SECTOR_RUN_LIST* pList, int EraseType,
                   bool BlankCheckFirst); // 0, or negative
/*
 * Blank check of Addr ... LastAddr: true when blank. Otherwise *pFirstNonBlank and *pValue
 * tell the first byte that is not (both untouched when a failure or a missing function is the
 * reason). AdvanceProgress: each piece checked advances the progress dialog.
 */
bool PROG_BlankCheckRange(uint32_t Addr, uint32_t* pFirstNonBlank, FlashBank* pBank,
                          FlashModuleHandle* pHandle, uint32_t LastAddr, uint8_t EmptyValue, uint8_t* pValue,
                          bool AdvanceProgress);
int PROG_ProgramRuns(DataImage* pData, PROG_REQUEST* pReq, FlashModuleHandle* pHandle, FlashBank* pBank,
                     SECTOR_RUN_LIST* pList); // 0, or negative
int PROG_VerifyRuns(PROG_REQUEST* pReq, DataImage* pData, FlashModuleHandle* pHandle, FlashBank* pBank,
                    SECTOR_RUN_LIST* pList, int VerifyType); // 0, or negative
// Reads First ... Last (widened to whole words) into pResult; blank stretches are added filled
// with the empty value without being read. 0, or -1.
int PROG_ReadRange(DataImage* pResult, FlashBank* pBank, FlashModuleHandle* pHandle, uint32_t First,
                   uint32_t Last);
// Whether the data fits into the selected sectors, offering a relocation. 0 fits, -1 not.
int PROG_CheckDataFits(DataImage* pData);

// The operations; their outcome is also the log's error flag: 0 success, 1 cancelled by the
// user, -1 failure (reported).
int PROG_BlankCheck(void);
int PROG_EraseSectors(void);
int PROG_EraseChip(void);
int PROG_Program(DataImage* pData);
int PROG_ProgramVerify(DataImage* pData);
int PROG_Verify(DataImage* pData);
DataImage* PROG_ReadBack(uint32_t First, uint32_t Last); // the image read, or null
DataImage* PROG_ReadSelectedSectors(void);
DataImage* PROG_ReadChip(void);
// Reads (Kind 0 selected sectors, 1 entire chip, 2 First ... Last) into a new data window with
// its title. 0, or -1.
int PROG_ReadToWindow(int Kind, uint32_t First, uint32_t Last);

// Whether every sector of every enabled bank is selected (chip erase asks otherwise).
bool PROG_AreAllSectorsSelected(void);
// The first read range proposed: the run of contiguous selected sectors from the first selected
// sector on, or the base address of the first bank alone. false without a project.
bool PROG_GetReadRangeProposal(uint32_t* pFirst, uint32_t* pLast);

// The progress dialog of an operation built on the bank loop elsewhere (production programming):
// opened with its text, closed again at the end.
void PROG_BeginProgress(const char* sText);
void PROG_EndProgress(void);
// The progress dialog of the running operation (null: none) and whether its user cancelled.
APP_PROGRESS* PROG_GetProgress(void);
bool PROG_IsCancelled(void);

/*
 * Jobs, with the parameter blocks of core/APP_JobParams.h: "Check blank" none; "Erase flash" a
 * uint32_t (1 selected sectors, 3 chip); "Program flash" APP_PROGRAM_PARAMS; "Verify flash"
 * APP_IMAGE_PARAMS; "Read flash" a uint32_t (0 selected sectors, 1 entire chip, 2 a range, asked
 * for through PROG_SetReadRangeSource).
 */
void PROG_InstallJobs(void); // also the flash engine's hooks
// Asks for the range of "Read flash" (2) when the job brings none: 0 with the range, else cancelled.
void PROG_SetReadRangeSource(int (*pfAsk)(uint32_t* pFirst, uint32_t* pLast));
