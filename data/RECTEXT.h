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
// Reports "Error in line %d: %s" at level 2.
void RECTEXT_ReportLineError(DataFileMsgFunc* pfMsg, void* pContext, uint32_t LineIndex, const char* sError);
