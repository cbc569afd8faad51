/*
 * HEX - Intel HEX files (".hex", ".mcs"): reader and writer.
 *
 * The reader takes data records (type 0) with 32-bit linear (type 4, and 0xFF) or 20-bit
 * segment (type 2) extended addresses and ignores every other record type; it stops at the
 * first error with "Error in line %d: %s". The writer produces data records of at most 32
 * bytes, an extended linear address record before the first record of every 64 KB window, and
 * the end-of-file record; a record never crosses a 64 KB window.
 */
#pragma once

#include "data/DATAIMAGE.h"

enum {
  HEX_ERR_OPEN = -1,
  HEX_ERR_MEMORY = -3,
  HEX_ERR_NOT_HEX = -4,
  HEX_ERR_SYNTAX = -5, // syntax, checksum, overlap or address error
};

// 0, or HEX_ERR_*; data read before an error stays in the image; change counter 0 afterwards.
int HEX_Read(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext);
// Writes the whole image (patches folded); 0, or -1 (reported; the old file is unchanged).
int HEX_Write(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext);
