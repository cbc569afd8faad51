/*
 * BIN - raw binary files (".bin", ".raw"): the whole file is one range at a start address;
 * written for an address range, gaps filled with 0xFF, ending with the last data byte.
 */
#pragma once

#include <cstdint>

#include "data/DATAIMAGE.h"

// 0, or -1 (reported at level 2; bytes read before stay in the image); change counter 0 afterwards.
int BIN_Read(DataImage* pImage, const char* sPath, uint32_t StartAddr, DataFileMsgFunc* pfMsg, void* pContext);
// Writes First ... Last: 0, or -1 (reported; the old file is unchanged).
int BIN_Write(DataImage* pImage, const char* sPath, uint32_t First, uint32_t Last, DataFileMsgFunc* pfMsg,
              void* pContext);
