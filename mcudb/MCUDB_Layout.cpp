/*
 * MCUDB_Layout - sector-layout arithmetic.
 */
#include "mcudb/MCUDB_Layout.h"

#include "sys/UTIL.h"

namespace {

// Walks the regions with the running position; pfVisit(region, start) returns false to stop.
template <typename F> void _Walk(const SectorRegion* paRegion, uint32_t m, F&& Visit) {
  if (paRegion == nullptr) return;
  uint64_t Pos = 0;
  for (int i = 0; i < MCUDB_MAX_REGIONS && paRegion[i].NumSectors; i++) {
    const SectorRegion& r = paRegion[i];
    uint64_t Start = uint64_t(r.Offset) * m;
    if (Start > Pos) Pos = Start;
    uint64_t SectorSize = uint64_t(r.SectorSize) * m;
    if (!Visit(r, Pos, SectorSize)) return;
    Pos += SectorSize * r.NumSectors;
  }
}

} // namespace

uint32_t MCUDB_LAYOUT_Multiplier(int OrgNumChips) {
  return (OrgNumChips <= 0 || OrgNumChips > 4) ? 1u : uint32_t(OrgNumChips);
}

uint64_t MCUDB_LAYOUT_GetNumSectors(const SectorRegion* paRegion) {
  uint64_t n = 0;
  _Walk(paRegion, 1, [&](const SectorRegion& r, uint64_t, uint64_t) {
    n += r.NumSectors;
    return true;
  });
  return n;
}

uint64_t MCUDB_LAYOUT_GetSize(const SectorRegion* paRegion, int OrgNumChips, bool WithGaps) {
  uint64_t Size = 0, End = 0;
  _Walk(paRegion, MCUDB_LAYOUT_Multiplier(OrgNumChips),
        [&](const SectorRegion& r, uint64_t Start, uint64_t SectorSize) {
          if (WithGaps) Size += Start - End;
          Size += SectorSize * r.NumSectors;
          End = Start + SectorSize * r.NumSectors;
          return true;
        });
  return Size;
}

int MCUDB_LAYOUT_GetSector(const SectorRegion* paRegion, int OrgNumChips, uint32_t BaseAddr, uint32_t n,
                           uint32_t* pAddr, uint32_t* pSize) {
  int r = -1;
  uint64_t Left = n;
  _Walk(paRegion, MCUDB_LAYOUT_Multiplier(OrgNumChips),
        [&](const SectorRegion& Reg, uint64_t Start, uint64_t SectorSize) {
          if (Left >= Reg.NumSectors) {
            Left -= Reg.NumSectors;
            return true;
          }
          uint64_t Addr = BaseAddr + Start + Left * SectorSize;
          if (Addr + SectorSize - 1 <= 0xFFFFFFFFu && SectorSize <= 0xFFFFFFFFu) {
            if (pAddr) *pAddr = uint32_t(Addr);
            if (pSize) *pSize = uint32_t(SectorSize);
            r = 0;
          }
          return false;
        });
  return r;
}

int MCUDB_LAYOUT_AddRanges(const SectorRegion* paRegion, int OrgNumChips, uint32_t BaseAddr,
                           const uint8_t* pSel, uint32_t NumSelBits, DataImage* pImage) {
  int Count = 0;
  bool Failed = false;
  uint64_t Index = 0;
  _Walk(paRegion, MCUDB_LAYOUT_Multiplier(OrgNumChips),
        [&](const SectorRegion& r, uint64_t Start, uint64_t SectorSize) {
          uint64_t First = BaseAddr + Start;
          if (pSel == nullptr) {
            uint64_t NumBytes = SectorSize * r.NumSectors;
            if (NumBytes == 0) return true;
            if (First + NumBytes - 1 > 0xFFFFFFFFu ||
                DATAIMAGE_AddData(pImage, uint32_t(First), uint32_t(NumBytes), nullptr) < 0) {
              Failed = true;
              return false;
            }
            Count += int(r.NumSectors);
            return true;
          }
          for (uint32_t i = 0; i < r.NumSectors && Index < NumSelBits; i++, Index++) {
            if (((pSel[Index >> 3] >> (Index & 7)) & 1u) == 0 || SectorSize == 0) continue;
            uint64_t Addr = First + i * SectorSize;
            if (Addr + SectorSize - 1 > 0xFFFFFFFFu ||
                DATAIMAGE_AddData(pImage, uint32_t(Addr), uint32_t(SectorSize), nullptr) < 0) {
              Failed = true;
              return false;
            }
            Count++;
          }
          return Index < NumSelBits;
        });
  return Failed ? -1 : Count;
}

void MCUDB_LAYOUT_Format(const SectorRegion* paRegion, uint32_t BaseAddr, char* sDest, int DestSize) {
  if (DestSize <= 0) return;
  sDest[0] = 0;
  uint64_t End = 0;
  _Walk(paRegion, 1, [&](const SectorRegion& r, uint64_t Start, uint64_t SectorSize) {
    char ac[128];
    // Only a real gap is shown: contiguous regions may carry their offset too.
    if (Start > End) UTIL_strcat(sDest, "Gap\n", DestSize);
    End = Start + SectorSize * r.NumSectors;
    uint32_t First = uint32_t(BaseAddr + Start);
    uint32_t Last = uint32_t(BaseAddr + Start + SectorSize * r.NumSectors - 1);
    bool InKB = r.SectorSize >= 1024;
    UTIL_sprintf(ac, sizeof(ac), "0x%.4X_%.4X - 0x%.4X_%.4X %u * %u %s\n", First >> 16, First & 0xFFFF,
                 Last >> 16, Last & 0xFFFF, r.NumSectors, InKB ? r.SectorSize / 1024 : r.SectorSize,
                 InKB ? "KB" : "Bytes");
    UTIL_strcat(sDest, ac, DestSize);
    return true;
  });
}
