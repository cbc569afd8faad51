/*
 * DATAFILE - the file-type dispatch of data files and the texts the readers share.
 *
 * The type is chosen by the extension (from the last dot of the file name, ASCII letters
 * compared without case): ".mot" ".srec" ".s19" ".s28" ".s37" ".s" Motorola S-record, ".hex"
 * and ".mcs" Intel HEX, ".elf" ELF (read only), ".bin" ".raw" binary at a start address or
 * for an address range, ".c" C source (write only). ".mcs" is Intel HEX because an Intel
 * MCS-86 file is an Intel HEX file; the file dialogs offer it as such. Anything else reports
 * "Unsupported file type (*%s)". Every reader leaves the image's change counter at 0.
 */
#pragma once

#include <cstdint>

#include "data/DATAIMAGE.h"

enum {
  DATAFILE_TYPE_NONE = 0,
  DATAFILE_TYPE_SREC = 1,
  DATAFILE_TYPE_HEX = 2,
  DATAFILE_TYPE_ELF = 3,
  DATAFILE_TYPE_BIN = 4,
  DATAFILE_TYPE_C = 5,
};
enum { DATAFILE_ERR_UNSUPPORTED = -2 };

int DATAFILE_GetType(const char* sPath);   // DATAFILE_TYPE_*, NONE for an unknown extension
bool DATAFILE_CanRead(int Type);           // a reader exists for the type
bool DATAFILE_CanWrite(int Type);          // a writer exists for the type
bool DATAFILE_NeedsStartAddr(int Type);    // binary: read at a start address
bool DATAFILE_NeedsAddrRange(int Type);    // binary and C: written for an address range

// Reads sPath into pImage with the reader of its type (StartAddr for binary files only);
// 0, the reader's negative result, or DATAFILE_ERR_UNSUPPORTED (reported at level 2).
int DATAFILE_Read(DataFileMsgFunc* pfMsg, void* pContext, DataImage* pImage, const char* sPath, uint32_t StartAddr);
// Writes pImage to sPath with the writer of its type; binary and C files cover First ... Last
// (First above Last is refused), the other formats the whole image. 0, -1, or
// DATAFILE_ERR_UNSUPPORTED (reported at level 2).
int DATAFILE_Write(DataImage* pImage, const char* sPath, uint32_t First, uint32_t Last, DataFileMsgFunc* pfMsg,
                   void* pContext);

// "Could not open file [%s]\n..." for the last system error of opening sPath.
void DATAFILE_FormatOpenError(char* sDest, int DestSize, const char* sPath);
// "Unsupported file type (*%s)" with the extension of sPath.
void DATAFILE_FormatUnsupported(char* sDest, int DestSize, const char* sPath);
// "Invalid address range 0x%X - 0x%X: start address above end address".
void DATAFILE_FormatInvalidRange(char* sDest, int DestSize, uint32_t First, uint32_t Last);

// The filter strings of the file dialogs.
#define DATAFILE_FILTER_SAVE                                                                                      \
  "Motorola S file (*.mot);;Motorola S file (*.srec);;Motorola S file (*.s19);;Motorola S file "                  \
  "(*.s28);;Motorola S file (*.s37);;Motorola S file (*.s);;Intel Hex file (*.hex);;Intel MCS-86 Hex file "       \
  "(*.mcs);;Binary file (*.bin);;Binary file (*.raw);;ANSI \"C\" file (*.c)"
#define DATAFILE_FILTER_MERGE_DEFAULT "Data files (*.mot *.srec *.s19 *.s28 *.s37 *.s *.hex *.bin *.raw)"
#define DATAFILE_FILTER_OPEN                                                                                      \
  "All files (*.*);;Data files (*.mot *.srec *.s19 *.s28 *.s37 *.s *.hex *.bin *.raw);;Motorola S files (*.mot " \
  "*.srec *.s19 *.s28 *.37 *.s);;Intel Hex files (*.hex *.mcs);;Binary files (*.bin *raw);;ELF files (*.elf)"
#define DATAFILE_FILTER_WINDOW_OPEN                                                                               \
  "Data files (*.mot *.srec *.s19 *.s28 *.s37 *.s *.hex *.bin *.raw);;Motorola S files (*.mot *.srec *.s19 "      \
  "*.s28 *.37 *.s);;Intel Hex files (*.hex *.mcs);;Binary files (*.bin *raw);;ELF files (*.elf)"
