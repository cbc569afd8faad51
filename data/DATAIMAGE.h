/*
 * DATAIMAGE - the sparse image of a 32-bit address space that every data file is read into.
 *
 * An image is a set of ascending ranges that never overlap or touch (each with its own bytes,
 * or data-less to describe an address set) plus patch bytes layered on top, folded into the
 * ranges only by DATAIMAGE_ApplyPatches. Create, fill through the readers or DATAIMAGE_AddData,
 * read with DATAIMAGE_GetBlock, free with DATAIMAGE_Delete. Every public operation takes the
 * image's own lock for at most DATAIMAGE_LOCK_TIMEOUT_MS; when it cannot have it, it leaves the
 * image alone and returns its failure value (DATAIMAGE_ERR_LOCK where the result is a status).
 * Operations on two or three images lock them in the order in which they were created.
 * Last addresses are inclusive; a null image does nothing and returns 0.
 */
#pragma once

#include <cstdint>

struct DataImage;

enum {
  DATAIMAGE_LOCK_TIMEOUT_MS = 10000,
  DATAIMAGE_ERR_LOCK = -258, // the image lock was not had within the time-out
};

// The message callback of every reader and writer: level 0 information, 1 warning, 2 error.
typedef void DataFileMsgFunc(void* pContext, int Level, const char* sText);

DataImage* DATAIMAGE_Create(void);            // empty image (change counter 1), or null
// Frees ranges, patches, lock and image; an image whose lock another thread keeps beyond the
// time-out is left alone (reported on stderr), not freed under that thread.
void DATAIMAGE_Delete(DataImage* pImage);
void DATAIMAGE_DeleteEx(DataImage** ppImage); // the same, and clears the pointer

// 0; -1 when the bytes overlap existing data, would wrap past 0xFFFFFFFF, mix data-less with
// data ranges or memory runs out (nothing is changed). A null source adds a data-less range.
int DATAIMAGE_AddData(DataImage* pImage, uint32_t Addr, uint32_t NumBytes, const void* pSrc);
int DATAIMAGE_Fill(DataImage* pImage, uint32_t Addr, uint32_t NumBytes, uint8_t Value); // as AddData
// Stores every byte into the range that holds it or adds it; 0, or -1 (out of memory / wrap).
int DATAIMAGE_WriteBytes(DataImage* pImage, uint32_t Addr, uint32_t NumBytes, const void* pSrc);
// Copies Addr ... Addr + NumBytes - 1 (fill value where no data), patches applied; 0.
int DATAIMAGE_Read(DataImage* pImage, uint32_t Addr, uint32_t NumBytes, void* pDest, uint8_t FillValue);
int DATAIMAGE_DeleteRange(DataImage* pImage, uint32_t First, uint32_t Last); // 0, or -1 out of memory
// Moves every range and patch by Offset; 0, or -1 when a range would cross 0xFFFFFFFF or 0
// (nothing is moved: ranges must stay ascending).
int DATAIMAGE_Relocate(DataImage* pImage, int32_t Offset);

uint32_t DATAIMAGE_GetNumRanges(DataImage* pImage);
// Start and length of range number Index (from 0): non-null (the image) when that range exists,
// else null with 0 and 0. Walking all indices in order is linear.
const void* DATAIMAGE_GetRange(DataImage* pImage, uint32_t Index, uint32_t* pStart, uint32_t* pNumBytes);
uint32_t DATAIMAGE_GetStartAddr(DataImage* pImage); // first address of the first range; 0 when empty
uint32_t DATAIMAGE_GetEndAddr(DataImage* pImage);   // last address of the last range; 0 when empty
uint32_t DATAIMAGE_GetNumBytes(DataImage* pImage);  // sum of the range lengths

// Block search, the basis of programming, CRC, eliminate and the writers: the first data at or
// after Addr not beyond LastAddr, widened over gaps of at most MaxGap bytes, aligned to
// 2^StartAlignBits / 2^SizeAlignBits, at most MaxSize bytes (0: no limit). pData receives the
// bytes (FillValue where none), pMask 1 where data is; both may be null. Block length, 0 = none.
uint32_t DATAIMAGE_GetBlock(DataImage* pImage, uint32_t Addr, uint32_t LastAddr, uint32_t MaxGap,
                            uint8_t FillValue, uint8_t* pData, uint8_t* pMask, uint32_t* pBlockAddr,
                            uint32_t MaxSize, int StartAlignBits, int SizeAlignBits);

// 0; 1 when a source range overlaps the destination or an add of a range or patch fails (the
// destination is then as before). Data-less source ranges become 0xFF bytes.
int DATAIMAGE_Merge(DataImage* pDest, DataImage* pSrc);
// Adds the parts of the source ranges inside ranges of the mask: bytes added, or -1.
int DATAIMAGE_MergeMasked(DataImage* pDest, DataImage* pSrc, DataImage* pMask);
bool DATAIMAGE_Overlaps(DataImage* pA, DataImage* pB);
bool DATAIMAGE_IntersectsRange(DataImage* pImage, uint32_t First, uint32_t Last);
bool DATAIMAGE_ContainsBlock(DataImage* pImage, uint32_t Addr, uint32_t NumBytes);
// Index of the first range of pImage that, moved by Offset, does not lie in one range of
// pContainer; -1 when all do (and for an empty image).
int DATAIMAGE_FindUncontained(DataImage* pContainer, DataImage* pImage, int32_t Offset);
// Deletes every run of at least MinRun bytes of 0xFF; 0, or -1 out of memory.
int DATAIMAGE_EliminateBlank(DataImage* pImage, uint32_t MinRun, int StartAlignBits, int SizeAlignBits);

// 1 value from a patch, 0 from a range, -1 no data, -2 inside a data-less range.
int DATAIMAGE_GetByte(DataImage* pImage, uint32_t Addr, uint8_t* pValue);
int DATAIMAGE_GetU16(DataImage* pImage, uint32_t Addr, uint16_t* pValue); // 1 / 0 / -1, little-endian
int DATAIMAGE_GetU32(DataImage* pImage, uint32_t Addr, uint32_t* pValue); // 1 / 0 / -1, little-endian
int DATAIMAGE_SetPatch8(DataImage* pImage, uint32_t Addr, uint8_t Value);   // index of the entry, or -1
int DATAIMAGE_SetPatch16(DataImage* pImage, uint32_t Addr, uint16_t Value); // index of the first entry, or -1
int DATAIMAGE_SetPatch32(DataImage* pImage, uint32_t Addr, uint32_t Value); // index of the first entry, or -1
void DATAIMAGE_RemovePatch(DataImage* pImage, uint32_t Addr); // every entry with that address
uint32_t DATAIMAGE_GetNumPatches(DataImage* pImage);
// Per byte: adds missing data, patches differing data; true when anything was added.
bool DATAIMAGE_WritePatched(DataImage* pImage, uint32_t Addr, uint32_t NumBytes, const void* pSrc);
// Folds every patch into the ranges, frees the patches, clears the change counter; 0, or -1
// when a patch outside the ranges cannot become a range (patches and counter are then kept).
int DATAIMAGE_ApplyPatches(DataImage* pImage);

bool DATAIMAGE_IsModified(DataImage* pImage); // change counter non-zero
uint32_t DATAIMAGE_GetChangeCounter(DataImage* pImage);
void DATAIMAGE_SetChangeCounter(DataImage* pImage, uint32_t Counter); // readers clear it, writers restore it
// Holds the image's lock across several operations (the lock is recursive); 0 or DATAIMAGE_ERR_LOCK.
int DATAIMAGE_Lock(DataImage* pImage);
void DATAIMAGE_Unlock(DataImage* pImage);
// How long operations wait for an image lock (default DATAIMAGE_LOCK_TIMEOUT_MS); for tests.
void DATAIMAGE_SetLockTimeout(int TimeoutMs);

// The functions through which the data window reads and patches images.
struct DataImageAccess {
  uint32_t (*pfGetStartAddr)(DataImage* pImage);
  uint32_t (*pfGetEndAddr)(DataImage* pImage);
  int (*pfGetByte)(DataImage* pImage, uint32_t Addr, uint8_t* pValue);
  int (*pfGetU16)(DataImage* pImage, uint32_t Addr, uint16_t* pValue);
  int (*pfGetU32)(DataImage* pImage, uint32_t Addr, uint32_t* pValue);
  int (*pfSetPatch8)(DataImage* pImage, uint32_t Addr, uint8_t Value);
  int (*pfSetPatch16)(DataImage* pImage, uint32_t Addr, uint16_t Value);
  int (*pfSetPatch32)(DataImage* pImage, uint32_t Addr, uint32_t Value);
};
const DataImageAccess* DataImageAccessTable(void); // the table, never null

// CRC of the image: the bytes of every range in ascending order (patches included), 0 when empty.
uint32_t DATAIMAGE_CalcCRC(DataImage* pImage);
