/*
 * APP_File - the application's whole-file routines: load a file (or a part) into memory, save
 * a buffer as a file, open and read with the program's error texts, and the CRC of a file.
 *
 * Errors are reported through the message routing of the application core (APP_ErrorOut);
 * saving replaces the file atomically, so a failed save leaves the old file as it was.
 */
#pragma once

#include <cstdint>

// Reads NumBytes (-1: to the end of the file) from FileOffset into pBuffer when it holds them,
// else into a new buffer (tag "APP_LoadFileEx(): temp. file buffer") that the caller then owns.
// The buffer, or null (a missing file is reported only with ReportMissing).
void* APP_LoadFileEx(const char* sPath, uint64_t FileOffset, void* pBuffer, uint32_t BufferSize, int64_t NumBytes,
                     uint32_t* pNumBytesRead, bool ReportMissing);
int APP_SaveFile(const char* sPath, const void* pData, uint32_t NumBytes); // 0, or -1 (reported)
int APP_OpenFile(const char* sPath, unsigned Flags);                      // descriptor, or -1 (reported)
// Bytes read, or -1 (reported with the path).
int APP_ReadFile(int hFile, const char* sPath, void* pBuffer, uint32_t NumBytes);
int APP_CalcFileCRC(const char* sPath, uint32_t* pCrc); // 0, or -1 (reported)
