/*
 * MCUDB_Layout - the sector-layout arithmetic that every bank shares: internal banks (from
 * the loader information), external banks (from the flash device list) and the project's banks.
 *
 * A layout is a SectorRegion list (at most eight, ending at NumSectors 0). Every operation
 * takes the organisation multiplier m (chips side by side on the bus; 0 or above 4 counts as
 * 1), by which sizes and offsets grow. Region offsets are from the bank base; a region whose
 * offset lies beyond the end of the previous one leaves a gap.
 */
#pragma once

#include <cstdint>

#include "data/DATAIMAGE.h"
#include "mcudb/MCUDB_Loader.h"

uint32_t MCUDB_LAYOUT_Multiplier(int OrgNumChips); // 1 ... 4
uint64_t MCUDB_LAYOUT_GetNumSectors(const SectorRegion* paRegion);
// Bytes from the bank base to the end of the last region (WithGaps), or the sectors' bytes only.
uint64_t MCUDB_LAYOUT_GetSize(const SectorRegion* paRegion, int OrgNumChips, bool WithGaps);
// Address and size of sector n; 0, or -1 past the last region (or beyond the 32-bit space).
int MCUDB_LAYOUT_GetSector(const SectorRegion* paRegion, int OrgNumChips, uint32_t BaseAddr, uint32_t n,
                           uint32_t* pAddr, uint32_t* pSize);
/*
 * Adds the sectors to pImage as data-less ranges (adjacent ones merge there): with a selection
 * bitmap (bit i = sector i, least significant bit first, NumSelBits bits) the selected ones,
 * without one every region whole. The number of sectors added, or -1 (out of memory, or a
 * range beyond the 32-bit space).
 */
int MCUDB_LAYOUT_AddRanges(const SectorRegion* paRegion, int OrgNumChips, uint32_t BaseAddr,
                           const uint8_t* pSel, uint32_t NumSelBits, DataImage* pImage);
// One line per region, "Gap\n" before one that leaves a gap; at most DestSize - 1 characters.
void MCUDB_LAYOUT_Format(const SectorRegion* paRegion, uint32_t BaseAddr, char* sDest, int DestSize);
