/*
 * CSRC - the C source writer (".c"): an address range as a "static const unsigned char"
 * array named after the file's base name, 16 bytes a line, 0xFF where there is no data.
 */
#pragma once

#include <cstdint>

#include "data/DATAIMAGE.h"

// Writes First ... Last: 0, or -1 (reported; the old file is unchanged).
int CSRC_Write(DataImage* pImage, const char* sPath, uint32_t First, uint32_t Last, DataFileMsgFunc* pfMsg,
               void* pContext);
