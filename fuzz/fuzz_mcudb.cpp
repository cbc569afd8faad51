/*
 * Fuzz targets of the device and loader database (chosen at build time by FUZZ_MCUDB_*):
 * CMSIS flash algorithms handed over in memory, compressed flash-loader images and compiled
 * loader scripts, the packed-stream unpacker alone, and the flash device list. Whatever the
 * input, a parse either succeeds with a description that stays inside its image or fails
 * and leaves nothing behind.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "data/DATAIMAGE.h"
#include "mcudb/FLASHCSV.h"
#include "mcudb/MCUDB_Layout.h"
#include "mcudb/MCUDB_Loader.h"
#include "mcudb/RAMCODE.h"

namespace {

[[maybe_unused]] void _CheckInfo(const CMSISInfo& Info) {
  if (Info.ImageSize > MCUDB_MAX_RAMCODE_SIZE) std::abort();
  // Touch every byte of the image: ASan finds an image shorter than its size.
  volatile uint8_t Sum = 0;
  for (uint32_t i = 0; i < Info.ImageSize; i++)
    Sum = static_cast<uint8_t>(Sum + Info.pImage[i]);
  (void)Sum;
  MCUDB_LAYOUT_GetNumSectors(Info.aRegion);
  MCUDB_LAYOUT_GetSize(Info.aRegion, 1, true);
}

[[maybe_unused]] void _Parse(int Kind, const uint8_t* pData, size_t Size, uint32_t Flags) {
  static const SectorRegion aDev[] = {{16, 0x400, 0}, {0, 0, 0}};
  CMSISInfo Info;
  if (MCUDB_ParseFlashLoader(Kind, pData, uint32_t(Size), nullptr, (Flags & 2) ? aDev : nullptr, nullptr,
                             &Info, Flags & MCUDB_PARSE_FLAG_DEVICE_LAYOUT) == 0) {
    _CheckInfo(Info);
  } else if (Info.pImage != nullptr) {
    std::abort(); // a failed parse keeps nothing
  }
  MCUDB_FreeCMSISInfo(&Info);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
  if (Size > (1u << 20)) return 0;
#if defined(FUZZ_MCUDB_CMSIS_ALGO)
  _Parse(MCUDB_LOADER_KIND_CMSIS_IMAGE, pData, Size, Size & 3);
#elif defined(FUZZ_MCUDB_KFLC)
  // The image itself, or a compiled script: the first byte chooses.
  if (Size > 0 && (pData[0] & 1)) {
    MCUDB_CFI_CONFIG Cfi{};
    MCUDB_ReadCFIConfig(pData + 1, uint32_t(Size - 1), &Cfi);
    MCUDB_ALGO_INFO* pInfo = nullptr;
    if (MCUDB_ReadAlgoParams(pData + 1, uint32_t(Size - 1), nullptr, 0, &pInfo) == 0)
      MCUDB_FreeAlgoInfo(&pInfo);
  }
  _Parse(MCUDB_LOADER_KIND_CMSIS_IMAGE, pData, Size, 0);
#elif defined(FUZZ_MCUDB_RAMCODE)
  // The first two bytes choose the output room: short rooms reach the "output full" paths.
  uint32_t Room = Size >= 2 ? (uint32_t(pData[0]) | uint32_t(pData[1]) << 8) : 0;
  std::vector<uint8_t> Out(Room);
  int n = RAMCODE_Decompress(Size >= 2 ? pData + 2 : pData, uint32_t(Size >= 2 ? Size - 2 : Size), Out.data(),
                             Room);
  if (n > int(Room)) std::abort();
#else
  FLASHCSV_LIST* pList = FLASHCSV_Create();
  int n = FLASHCSV_Parse(pList, reinterpret_cast<const char*>(pData), uint32_t(Size));
  if (n != FLASHCSV_GetNumDevices(pList)) std::abort();
  DataImage* pImage = DATAIMAGE_Create();
  for (int i = 0; i < n; i++) {
    const FLASH_DEVICE* d = FLASHCSV_GetDevice(pList, i);
    uint32_t Addr, SectorSize;
    uint64_t NumSectors = MCUDB_LAYOUT_GetNumSectors(d->aRegion);
    if (NumSectors)
      MCUDB_LAYOUT_GetSector(d->aRegion, 2, 0x60000000, uint32_t(NumSectors - 1), &Addr, &SectorSize);
    MCUDB_LAYOUT_GetSize(d->aRegion, 4, true);
    if (NumSectors <= 4096) MCUDB_LAYOUT_AddRanges(d->aRegion, 1, 0, nullptr, 0, pImage);
  }
  DATAIMAGE_Delete(pImage);
  FLASHCSV_Delete(pList);
#endif
  return 0;
}
