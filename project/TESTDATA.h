/*
 * TESTDATA - "Generate test data": counting words over the selected sectors of all banks, with
 * a start-up stub for the device's core at the base of the first bank.
 *
 * TESTDATA_FitLayout cuts the selected sectors (data-less ranges) to the requested start and
 * size; TESTDATA_Fill turns what is left into data; TESTDATA_Run is the whole job (dialog, log,
 * progress and the new data window). The steps apart can be tested without a GUI.
 */
#pragma once

#include <cstdint>

struct DataImage;
struct JobContext;

enum { TESTDATA_STUB_NONE = 0, TESTDATA_STUB_CORTEX_M = 1, TESTDATA_STUB_ARM = 2, TESTDATA_STUB_POWERPC = 3 };
enum { TESTDATA_MAX_STUB = 3072, TESTDATA_BLOCK_SIZE = 0x10000 };

int TESTDATA_GetStubKind(uint32_t CoreID); // by the core family, the core word's top byte
// The stub of Kind for a bank at Base in the target's byte order: bytes written (at most
// TESTDATA_MAX_STUB), 0 when the kind has none.
int TESTDATA_GetStub(int Kind, bool BigEndian, uint32_t Base, uint8_t* pDest);
// Drops everything below StartAddr and beyond the first MaxSize bytes of pLayout:
// 0 all of it fits, 1 less space than requested (truncated), -1 no space at all.
int TESTDATA_FitLayout(DataImage* pLayout, uint32_t StartAddr, uint32_t MaxSize);

// Called before each range and after each block; true cancels.
typedef bool TESTDATA_PROGRESS(void* pUser, int Range, int NumRanges, uint32_t First, uint32_t Last,
                               uint32_t NumBytesDone);
// Fills every range of pLayout into pResult with 32-bit words counting up from 0 (one counter
// for all ranges) and writes the stub over the start of the range at FirstBankBase when it
// fits. 0, 1 cancelled, -1 out of memory.
int TESTDATA_Fill(DataImage* pLayout, DataImage* pResult, bool BigEndian, uint32_t FirstBankBase,
                  int StubKind, TESTDATA_PROGRESS* pfProgress, void* pUser);

int TESTDATA_Run(void);                  // the job on the worker: 0, 1 cancelled, -1 failed
void TESTDATA_Job(JobContext* pContext); // "Generate test data"
