/*
 * SREC - Motorola S-record files (".mot", ".srec", ".s19", ".s28", ".s37", ".s").
 *
 * The reader takes data from S1, S2 and S3 records, checks the checksum of every record and
 * ignores the others (S0, S4 ... S9 do not end parsing); records need not stand on lines of
 * their own. It stops at the first error with "Error in line %d: %s". The writer chooses S1,
 * S2 or S3 per record by the record's last address and always ends with S9030000FC.
 */
#pragma once

#include "data/DATAIMAGE.h"

enum {
  SREC_ERR_OPEN = -1,
  SREC_ERR_MEMORY = -3,
  SREC_ERR_NOT_SREC = -4,
  SREC_ERR_SYNTAX = -5, // syntax, count, checksum, overlap or address error
};

// 0, or SREC_ERR_*; data read before an error stays in the image; change counter 0 afterwards.
int SREC_Read(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext);
// Writes the whole image (patches folded); 0, or -1 (reported; the old file is unchanged).
int SREC_Write(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext);
