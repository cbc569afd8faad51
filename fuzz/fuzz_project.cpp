/*
 * Fuzz target for the project reader: any file either loads with every value in its range or
 * is refused, and a loaded project written, read and written again gives the same text.
 * A small device database stands behind the hooks when the first byte's low bit is set.
 */
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzFile.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "sys/UTIL.h"

namespace {

const char* const _asDevice[] = {"Cortex-M0", "NXP LPC2148", "Vendor Chip"};
int _FindDevice(const char* sName) {
  for (int i = 0; i < 3; i++) {
    if (UTIL_stricmp(sName, _asDevice[i]) == 0) return i;
  }
  return -1;
}
int _NumDevices(void) {
  return 3;
}
int _DeviceName(int Device, char* sDest, int DestSize) {
  UTIL_strcpy(sDest, _asDevice[Device], DestSize);
  return 0;
}
int _DeviceBanks(int Device, PROJECT_DEVICE_BANK* pa, int Max) {
  int n = Device < Max ? Device : Max;
  for (int i = 0; i < n; i++) {
    pa[i] = PROJECT_DEVICE_BANK{};
    UTIL_sprintf(pa[i].acName, sizeof(pa[i].acName), "Bank %d", i);
    pa[i].BaseAddr = 0x08000000u + 0x100000u * (uint32_t)i;
  }
  return n;
}
uint32_t _RAMSize(int Device) {
  return Device == 2 ? 0x5000 : 0;
}
int _FindFlashDevice(const char* sName) {
  return UTIL_stricmp(sName, "S29GL128") == 0 ? 0 : -1;
}
int _NumSectors(int, const PROJECT_BANK* p) {
  return p->IsInternal ? 40 : 1000;
}
bool _CanCheck(void) {
  return true;
}
bool _LoaderValid(int, int, const PROJECT_BANK*, const char* s) {
  return UTIL_stricmp(s, "Default") == 0 || UTIL_stricmp(s, "LoaderA") == 0;
}
const PROJECT_DEVICE_HOOKS _Hooks = {_FindDevice, _NumDevices,  _DeviceName,      _DeviceBanks,
                                     _RAMSize,    nullptr,      _FindFlashDevice, _NumSectors,
                                     _CanCheck,   _LoaderValid, nullptr,          nullptr};

std::string _Text() {
  std::vector<char> Buf(1 << 21);
  SETFILE_GetText(Buf.data(), (int)Buf.size());
  return Buf.data();
}

void _Check(bool b) {
  if (!b) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
  std::string sIn = FuzzTempPath("-prj", ".tforge"), sOut = FuzzTempPath("-prj-out", ".tforge");
  if (!FuzzWriteFile(sIn, pData, Size)) return 0;
  uint8_t Mode = Size ? pData[0] : 0;
  PROJECT_SetDeviceHooks((Mode & 1) ? &_Hooks : nullptr);
  _Check(SETFILE_Open(sIn.c_str()) == 0);
  if (PROJECT_Load((Mode & 2) != 0) == 0) {
    auto pTIF = std::make_unique<PROJECT_TIF>();
    auto pCPU = std::make_unique<PROJECT_CPU>();
    auto pFlash = std::make_unique<PROJECT_FLASH>();
    PROJECT_GetTIF(pTIF.get());
    PROJECT_GetCPU(pCPU.get());
    PROJECT_GetFlash(pFlash.get());
    _Check(pTIF->Speed0 >= 1 && pTIF->Speed0 <= 100000 && pTIF->NumDevices <= 32);
    _Check(pCPU->RAMSize >= 0x400 && pCPU->RAMSize <= 0x100000 && pCPU->NumInitSteps <= 256);
    _Check(pFlash->NumBanks >= 1 && pFlash->NumBanks <= 16);
    PROJECT_Write();
    std::string First = _Text();
    _Check(SETFILE_Save(sOut.c_str()) == 0);
    _Check(SETFILE_Open(sOut.c_str()) == 0);
    _Check(PROJECT_Load(false) == 0);
    PROJECT_Write();
    _Check(_Text() == First);
  }
  PROJECT_Close();
  SETFILE_Close();
  unlink(sIn.c_str());
  unlink(sOut.c_str());
  return 0;
}
