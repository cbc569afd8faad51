/*
 * RECTEXT - the text side of the record formats (Intel HEX, Motorola S-record).
 *
 * A reader opens a RecTextWindow, which holds at most 60 000 characters of the file behind a
 * terminating NUL and is refilled whenever fewer than 1000 unparsed characters remain, so
 * files of any size are parsed in fixed memory. Every record fits in the margin (a count byte
 * allows at most 255 data bytes); a parser that still reaches the window's end before the file
 * ends reports RECTEXT_TOO_LONG. Writers format records with RECTEXT_PutRecord.
 */
#pragma once

#include <array>
#include <cstdint>

#include "data/DATAIMAGE.h"

enum {
  RECTEXT_WINDOW_SIZE = 60000,
  RECTEXT_REFILL_MARGIN = 1000,
};
#define RECTEXT_TOO_LONG "Record longer than the read buffer (1000 characters)"

struct RecTextWindow {
  int hFile;
  char* pText;       // RECTEXT_WINDOW_SIZE + 1 bytes
  uint32_t NumChars; // characters in the window; pText[NumChars] is NUL
  uint32_t Pos;      // next character to parse
  bool AtEof;        // the file has been read to its end
  bool ReadFailed;
};

// Opens the file and reads the first window. 0; -1 open failed (text in sErr); -3 no memory.
int RECTEXT_Open(RecTextWindow* pWin, const char* sPath, char* sErr, int ErrSize);
void RECTEXT_Close(RecTextWindow* pWin);
// Refills when fewer than the margin remain; call before every record.
void RECTEXT_Refill(RecTextWindow* pWin);
// True when Pos has reached the end of the window but not of the file.
inline bool RECTEXT_IsCut(const RecTextWindow* pWin) { return pWin->Pos >= pWin->NumChars && !pWin->AtEof; }

// Value of a hexadecimal digit (upper or lower case), or -1.
extern const std::array<int8_t, 256> RECTEXT_aHexValue;
extern const char RECTEXT_acHexDigit[16]; // upper case

// Appends "<sPrefix><bytes as upper-case hex><sSuffix>" of NumBytes bytes; returns the new end.
char* RECTEXT_PutHex(char* pDest, const uint8_t* pBytes, uint32_t NumBytes);
// A character of the file as a message shows it: printable ones as they are, others as '?'.
char RECTEXT_Printable(char c);
/*
 * Reading a record file: RECTEXT_ReadImage opens the window under the image lock, checks the
 * first character, and calls the format's record parser after the blanks before each record
 * until the end of the file, an end-of-file character (0x1A) or the first error, which it
 * reports with its line. Data read before an error stays in the image.
 */
enum {
  RECTEXT_ERR_OPEN = -1,
  RECTEXT_ERR_MEMORY = -3,
  RECTEXT_ERR_FORMAT = -4,
  RECTEXT_ERR_SYNTAX = -5,
};
struct RECTEXT_FORMAT {
  char cStart;              // every record, and so the file, starts with it
  const char* sNoMemory;    // the text when the window cannot be allocated
  const char* sWrongFormat; // the text when the file does not start with cStart
  void (*pfSkipSpace)(RecTextWindow* pWin, uint32_t* pLine); // blanks and line ends, counting lines
  // Parses the record at pWin->Pos and moves behind it: null, or the error text (may be sError).
  const char* (*pfParseRecord)(RecTextWindow* pWin, uint32_t* pLine, DataImage* pImage, void* pState, char* sError,
                               int ErrSize);
};
// 0, or RECTEXT_ERR_*; the change counter is 0 afterwards.
int RECTEXT_ReadImage(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext,
                      const RECTEXT_FORMAT* pFormat, void* pState);
/*
 * Reads hexadecimal byte pairs from *pPos: the count byte into pDest[0], then NumFixed - 1 +
 * count further bytes; *pSum receives the sum of all of them. Null, or the error text (with
 * pWin->Pos at the offending character).
 */
const char* RECTEXT_ReadBytes(RecTextWindow* pWin, uint32_t* pPos, uint8_t* pDest, uint32_t NumFixed, uint8_t* pSum);
// Hands the image's data to pfPiece in ascending pieces of at most MaxPiece bytes, read in
// blocks of 64 KB; with Split64K no piece crosses a 64 KB boundary.
void RECTEXT_ForEachPiece(DataImage* pImage, uint32_t MaxPiece, bool Split64K,
                          void (*pfPiece)(void* pUser, uint32_t Addr, const uint8_t* pData, uint32_t NumBytes),
                          void* pUser);

// Reports "Error in line %d: %s" at level 2.
void RECTEXT_ReportLineError(DataFileMsgFunc* pfMsg, void* pContext, uint32_t LineIndex, const char* sError);
