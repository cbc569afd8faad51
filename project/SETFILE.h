/*
 * SETFILE - the sectioned settings text behind the project file: one document in memory.
 *
 * A document is text of "[SECTION]" lines and key lines "  Key = value" (CR LF); keys may also
 * stand before the first section (the section-less area, named by a null section). The module
 * holds a single current document: SETFILE_Open or SETFILE_Create, then reads and writes of
 * single keys (a write rewrites the key's line in place or inserts it: keys of "CPU" in write
 * order, keys of every other section alphabetically), SETFILE_Save, SETFILE_Close. Lines it is
 * not asked about keep their text and order. One lock guards everything; any thread may call.
 * Reads and writes report their errors (APP_ErrorOut) and return -1; a missing key returns -1
 * without a message, so that callers take their defaults.
 */
#pragma once

#include <cstdint>

enum { SETFILE_PATH_SIZE = 512, SETFILE_MAX_COUNT = 0x7FFF, SETFILE_MAX_LIST_TEXT = 3968 };

int SETFILE_Create(const char* sPath); // 0, or -1: the file exists or the path is too long (reported)
int SETFILE_Open(const char* sPath);   // 0, or -1 (reported; no document is open then)
// Writes the document when it changed (or to another path than its own): 0, -1, or -2 for a
// read-only file. sPath (may be null) replaces the stored path first. The file is replaced
// atomically: a failed save leaves the old file as it was.
int SETFILE_Save(const char* sPath);
void SETFILE_Close(void);
int SETFILE_IsOpen(void);          // 1 open, 0 not, -1 after shut-down
const char* SETFILE_GetPath(void); // path of the open document, or null
void SETFILE_Clear(void);          // empties the text (counts a change): before a complete rewrite
int SETFILE_GetChangeCount(void);  // 0 after open and save, 1 after create, +1 per write
void SETFILE_Shutdown(void);       // frees lock and text; every later call fails (process exit)
// The whole text (for tests and diagnostics): bytes copied (without NUL), or -1.
int SETFILE_GetText(char* sDest, int DestSize);

// Reads: 0, or -1 (missing key silently, parse errors reported).
int SETFILE_ReadU32(const char* sSection, const char* sKey, uint32_t* pValue);
int SETFILE_ReadString(const char* sSection, const char* sKey, char* sDest, int DestSize);
int SETFILE_ReadBytes(const char* sSection, const char* sKey, uint8_t* pDest, int Capacity);
int SETFILE_ReadBits(const char* sSection, const char* sKey, uint8_t* pBits, int NumBits);
int SETFILE_ReadRanges(const char* sSection, const char* sKey, uint8_t* pBits, int NumBits);

// Writes (without effect when no document is open).
void SETFILE_WriteInt(const char* sSection, const char* sKey, int Value);
void SETFILE_WriteHex(const char* sSection, const char* sKey, uint32_t Value);
void SETFILE_WriteString(const char* sSection, const char* sKey, const char* sText); // null: nothing
void SETFILE_WriteBytes(const char* sSection, const char* sKey, const uint8_t* pData,
                        int NumBytes); // 0: nothing
void SETFILE_WriteRanges(const char* sSection, const char* sKey, const uint8_t* pBits, int NumBits);
