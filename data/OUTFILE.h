/*
 * OUTFILE - the buffered output file of every data-file writer, and the frame of a save.
 *
 * OUTFILE_Create opens a temporary file beside the target, OUTFILE_Write collects bytes in a
 * 32 KB buffer and writes it whenever it is full, OUTFILE_Close flushes and renames the file
 * over the target only when everything was written, so a failed save leaves the old file as
 * it was. Where the directory refuses a temporary file but the file itself may be written, the
 * text is collected in memory and written over the file at close, after the writer succeeded.
 * The first error text is kept in the caller's buffer; later ones are dropped.
 * OUTFILE_SaveImage wraps a writer's body: patches folded, change counter restored on failure,
 * the error text reported at level 2.
 */
#pragma once

#include <cstdint>

#include "data/DATAIMAGE.h"

struct OutFile;

enum { OUTFILE_BUFFER_SIZE = 0x8000 };

// Buffer object, or null with the reason in sErr ("Could not write file. ...").
OutFile* OUTFILE_Create(const char* sPath, char* sErr, int ErrSize);
// Appends NumBytes bytes, or that many bytes of 0xFF when pData is null.
void OUTFILE_Write(OutFile* pFile, const void* pData, uint64_t NumBytes);
// Room for NumBytes (at most OUTFILE_BUFFER_SIZE) to format into; OUTFILE_Commit takes what was used.
char* OUTFILE_Reserve(OutFile* pFile, uint32_t NumBytes);
void OUTFILE_Commit(OutFile* pFile, uint32_t NumBytes);
// Sets the error text (the first one stays) and drops everything written from now on.
void OUTFILE_SetError(OutFile* pFile, const char* sText);
// Flushes, closes, replaces the target (or drops the temporary file after an error), frees;
// 0, or -1 when an error text was set.
int OUTFILE_Close(OutFile* pFile);

// Writes pImage to sPath with pfBody between create and close; 0, or -1 (reported, image
// still counted as modified).
typedef void OUTFILE_BODY(DataImage* pImage, OutFile* pFile, void* pUser);
int OUTFILE_SaveImage(DataImage* pImage, const char* sPath, OUTFILE_BODY* pfBody, void* pUser,
                      DataFileMsgFunc* pfMsg, void* pContext);
