/*
 * MCUDB_Names - core names and the device-name aliases of older projects.
 */
#include "mcudb/MCUDB.h"

#include <iterator>

#include "sys/UTIL.h"

namespace {

struct NamedWord {
  uint32_t Word; // core word without revision and patch level (low byte)
  const char* sName;
};

// Full-word names inside the families that need them (the probe library's core identifiers).
const NamedWord _aCoreWord[] = {
    {0x0B360000, "ARM1136"},    {0x0B360200, "ARM1136J"},    {0x0B360300, "ARM1136J-S"},
    {0x0B360400, "ARM1136JF"},  {0x0B360500, "ARM1136JF-S"}, {0x0B560000, "ARM1156"},
    {0x0B760000, "ARM1176"},    {0x0B760400, "ARM1176J"},    {0x0B760500, "ARM1176J-S"},
    {0x0B760600, "ARM1176JF"},  {0x0B760700, "ARM1176JF-S"}, {0x0E000000, "Cortex-M4"},
    {0x0E010000, "Cortex-M7"},  {0x0E020000, "Cortex-M33"},  {0x0E030000, "Cortex-M55"},
    {0x0E040000, "STAR"},       {0x0E050000, "Cortex-M85"},  {0x08010000, "Cortex-A7"},
    {0x08020000, "Cortex-A9"},  {0x08030000, "Cortex-A12"},  {0x08040000, "Cortex-A15"},
    {0x08050000, "Cortex-A17"}, {0x14010000, "Cortex-A57"},  {0x14020000, "Cortex-A72"},
    {0x14030000, "Cortex-A35"}, {0x14040000, "Cortex-R52"},  {0x14050000, "Cortex-A55"},
    {0x14060000, "Cortex-A32"}, {0x11010000, "MIPS M4K"},    {0x11020000, "MIPS MicroAptiv"},
    {0x11030000, "MIPS M14K"},  {0x16040000, "Xtensa LX7"},  {0x16050000, "HiFi 1"},
    {0x16060000, "HiFi 3"},     {0x16070000, "HiFi 3z"},     {0x16080000, "HiFi 4"},
    {0x16090000, "HiFi 5"},     {0x160A0000, "Fusion F1"},
};

// Family name when no full word matches.
const char* const _asFamily[] = {
    "None",
    "Cortex-M1",
    "Coldfire",
    "Cortex-M3",
    "Simulator",
    "XScale",
    "Cortex-M0",
    "ARM7",
    "Cortex-A8",
    "ARM9",
    "ARM10",
    "ARM11",
    "Cortex-R4",
    "RX",
    "Unknown Cortex-M4 like",
    "Cortex-A5",
    "PowerPC (Nexus 2+)",
    "MIPS",
    "8051",
    "RISC-V",
    "Cortex-A53",
    "BT5511",
    "Unknown type",
};

// RX parts by byte 2 (1 ...).
const char* const _asRX[] = {"RX610", "RX62N", "RX62T", "RX63N", "RX630", "RX631", "RX621", "RX62G",
                             "RX66T", "RX72T", "RX66N", "RX72M", "RX72N", "RX660", "RX210", "RX21A",
                             "RX220", "RX230", "RX231", "RX23T", "RX26T", "RX111", "RX110", "RX113",
                             "RX130", "RX140", "RX13T", "RX64M", "RX71M"};

bool _IsCortex(uint32_t Family) {
  return Family == 1 || Family == 3 || Family == 6 || Family == 8 || Family == 12 || Family == 14 ||
         Family == 15 || Family == 20;
}

struct AliasPair {
  const char* sOld;
  const char* sNew;
};

/*
 * Device names that older projects store, and their names in the current database. Rows run
 * by vendor; the first match counts.
 */
const AliasPair _aDeviceAlias[] = {
    // Freescale
    {"Freescale MK10N512VMD100", "Freescale MK10DN512xxx10"},
    {"Freescale MK20N512VMD100", "Freescale MK20DN512xxx10"},
    {"Freescale MK40N512VMD100", "Freescale MK40DN512xxx10"},
    {"Freescale MK60N512VMD100", "Freescale MK60DN512xxx10"},
    // Atmel
    {"Atmel AT91SAM3A2C", "Atmel ATSAM3A2C"},
    {"Atmel AT91SAM3A4C", "Atmel ATSAM3A4C"},
    {"Atmel AT91SAM3A8C", "Atmel ATSAM3A8C"},
    {"Atmel AT91SAM3N1A", "Atmel ATSAM3N1A"},
    {"Atmel AT91SAM3N1B", "Atmel ATSAM3N1B"},
    {"Atmel AT91SAM3N1C", "Atmel ATSAM3N1C"},
    {"Atmel AT91SAM3N2A", "Atmel ATSAM3N2A"},
    {"Atmel AT91SAM3N2B", "Atmel ATSAM3N2B"},
    {"Atmel AT91SAM3N2C", "Atmel ATSAM3N2C"},
    {"Atmel AT91SAM3N4A", "Atmel ATSAM3N4A"},
    {"Atmel AT91SAM3N4B", "Atmel ATSAM3N4B"},
    {"Atmel AT91SAM3N4C", "Atmel ATSAM3N4C"},
    {"Atmel AT91SAM3S1A", "Atmel ATSAM3S1A"},
    {"Atmel AT91SAM3S1B", "Atmel ATSAM3S1B"},
    {"Atmel AT91SAM3S1C", "Atmel ATSAM3S1C"},
    {"Atmel AT91SAM3S2A", "Atmel ATSAM3S2A"},
    {"Atmel AT91SAM3S2B", "Atmel ATSAM3S2B"},
    {"Atmel AT91SAM3S2C", "Atmel ATSAM3S2C"},
    {"Atmel AT91SAM3S4A", "Atmel ATSAM3S4A"},
    {"Atmel AT91SAM3S4B", "Atmel ATSAM3S4B"},
    {"Atmel AT91SAM3S4C", "Atmel ATSAM3S4C"},
    {"Atmel AT91SAM3U1C", "Atmel ATSAM3U1C"},
    {"Atmel AT91SAM3U1E", "Atmel ATSAM3U1E"},
    {"Atmel AT91SAM3U2C", "Atmel ATSAM3U2C"},
    {"Atmel AT91SAM3U2E", "Atmel ATSAM3U2E"},
    {"Atmel AT91SAM3U4C", "Atmel ATSAM3U4C"},
    {"Atmel AT91SAM3U4E", "Atmel ATSAM3U4E"},
    {"Atmel AT91SAM3X4C", "Atmel ATSAM3X4C"},
    {"Atmel AT91SAM3X4E", "Atmel ATSAM3X4E"},
    {"Atmel AT91SAM3X8C", "Atmel ATSAM3X8C"},
    {"Atmel AT91SAM3X8E", "Atmel ATSAM3X8E"},
    // NXP
    {"NXP (Philips) LPC2101", "NXP LPC2101"},
    {"NXP (Philips) LPC2102", "NXP LPC2102"},
    {"NXP (Philips) LPC2103", "NXP LPC2103"},
    {"NXP (Philips) LPC2104", "NXP LPC2104"},
    {"NXP (Philips) LPC2105", "NXP LPC2105"},
    {"NXP (Philips) LPC2106", "NXP LPC2106"},
    {"NXP (Philips) LPC2114", "NXP LPC2114"},
    {"NXP (Philips) LPC2119", "NXP LPC2119"},
    {"NXP (Philips) LPC2124", "NXP LPC2124"},
    {"NXP (Philips) LPC2129", "NXP LPC2129"},
    {"NXP (Philips) LPC2131", "NXP LPC2131"},
    {"NXP (Philips) LPC2132", "NXP LPC2132"},
    {"NXP (Philips) LPC2134", "NXP LPC2134"},
    {"NXP (Philips) LPC2136", "NXP LPC2136"},
    {"NXP (Philips) LPC2138", "NXP LPC2138"},
    {"NXP (Philips) LPC2141", "NXP LPC2141"},
    {"NXP (Philips) LPC2142", "NXP LPC2142"},
    {"NXP (Philips) LPC2144", "NXP LPC2144"},
    {"NXP (Philips) LPC2146", "NXP LPC2146"},
    {"NXP (Philips) LPC2148", "NXP LPC2148"},
    {"NXP (Philips) LPC2194", "NXP LPC2194"},
    {"NXP (Philips) LPC2212", "NXP LPC2212"},
    {"NXP (Philips) LPC2214", "NXP LPC2214"},
    {"NXP (Philips) LPC2292", "NXP LPC2292"},
    {"NXP (Philips) LPC2294", "NXP LPC2294"},
    {"NXP (Philips) LPC2364", "NXP LPC2364"},
    {"NXP (Philips) LPC2366", "NXP LPC2366"},
    {"NXP (Philips) LPC2368", "NXP LPC2368"},
    {"NXP (Philips) LPC2378", "NXP LPC2378"},
    {"NXP (Philips) LPC2387", "NXP LPC2387"},
    {"NXP (Philips) LPC2388", "NXP LPC2388"},
    {"NXP (Philips) LPC2458", "NXP LPC2458"},
    {"NXP (Philips) LPC2468", "NXP LPC2468"},
    {"NXP (Philips) LPC2478", "NXP LPC2478"},
    // Infineon
    {"Infineon XMC1201-T028F0016", "Infineon XMC1201-0016"},
    {"Infineon XMC1201-T028F0032", "Infineon XMC1201-0032"},
    {"Infineon XMC1302-T038X0200", "Infineon XMC1302-0200"},
    {"Infineon XMC4500-F144x1024", "Infineon XMC4500-1024"},
    // Xilinx
    {"Xilinx Zynq 7010", "Xilinx XC7Z010"},
    {"Xilinx Zynq 7020", "Xilinx XC7Z020"},
    {"Xilinx Zynq 7030", "Xilinx XC7Z030"},
    {"Xilinx Zynq 7045", "Xilinx XC7Z045"},
    // ZMDI
    {"ZMDI ZAMC4100", "IDT ZAMC4100"},
    // Nordic
    {"Nordic Semi nRF51922_xxAA", "Nordic Semi nRF51822_xxAA"},
    // Single rows
    {"Realtek RTL8762", "Realtek RTL8762A"},
    {"Itron TRIFECTA (Allow info blocks)", "Itron TRIFECTA (info blocks)"},
};

// Flash device names that older projects store for their external bank.
const AliasPair _aFlashAlias[] = {
    {"LPC1111 internal", "LPC1111/103 internal"},
    {"LPC11U24 internal", "LPC11U24/301 internal"},
    {"nRF51922_xxAA internal", "nRF51822_xxAA internal"},
    {"MK10x128xxxxxx internal (allow security)", "MK10DX128xxx10 internal (allow security)"},
    {"XMC4500 internal", "XMC4500-1024 internal"},
    {"XMC1302-T038X0200 internal", "XMC1302-0200 internal"},
};

template <size_t N> const char* _Resolve(const AliasPair (&aPair)[N], const char* sName) {
  if (sName == nullptr) return sName;
  for (const AliasPair& p : aPair) {
    if (UTIL_stricmp(p.sOld, sName) == 0) return p.sNew;
  }
  return sName;
}

} // namespace

void MCUDB_GetCoreName(uint32_t Core, char* sDest, int DestSize) {
  if (Core > 0x16FFFFFFu) {
    UTIL_strcpy(sDest, "Unspecified", DestSize);
    return;
  }
  uint32_t Family = Core >> 24, Byte2 = (Core >> 16) & 0xFF, Byte1 = (Core >> 8) & 0xFF;
  uint32_t Revision = (Core >> 4) & 0xF, Patch = Core & 0xF;
  char acName[64];
  UTIL_strcpy(acName, _asFamily[Family], sizeof(acName));
  for (const NamedWord& w : _aCoreWord) {
    if (w.Word == (Core & 0xFFFFFF00u)) UTIL_strcpy(acName, w.sName, sizeof(acName));
  }
  switch (Family) {
  case 6:
    if (Byte2 == 1) UTIL_strcpy(acName, "Cortex-M23", sizeof(acName));
    break;
  case 7:
  case 9: {
    static const struct {
      uint32_t Byte2;
      const char* sCore;
    } aARM9[] = {{0, "TDMI"}, {32, "20T"},  {34, "22T"}, {38, "26EJ"},
                 {70, "46E"}, {102, "66E"}, {104, "68E"}};
    if (Family == 7 && Byte2 == 0) UTIL_strcat(acName, "TDMI", sizeof(acName));
    for (const auto& a : aARM9) {
      if (Family == 9 && a.Byte2 == Byte2) UTIL_strcat(acName, a.sCore, sizeof(acName));
    }
    if (Byte1 == 1) UTIL_strcat(acName, "-S", sizeof(acName));
    break;
  }
  case 12: {
    static const char* const asR[] = {"Cortex-R4", "Cortex-R5", "Cortex-R8", "Cortex-R7"};
    UTIL_strcpy(acName, asR[Byte2 <= 3 ? Byte2 : 0], sizeof(acName));
    break;
  }
  case 13:
    if (Byte2 >= 1 && Byte2 <= std::size(_asRX)) UTIL_strcpy(acName, _asRX[Byte2 - 1], sizeof(acName));
    break;
  case 16:
    if (Byte2 == 1) UTIL_strcpy(acName, "PowerPC (Nexus 1)", sizeof(acName));
    break;
  default:
    break;
  }
  if (_IsCortex(Family) && (Revision != 15 || Patch != 15)) {
    char ac[16];
    UTIL_strcat(acName, " ", sizeof(acName));
    if (Revision != 15) {
      UTIL_sprintf(ac, sizeof(ac), "r%u", Revision);
      UTIL_strcat(acName, ac, sizeof(acName));
    }
    if (Patch != 15) {
      UTIL_sprintf(ac, sizeof(ac), "p%u", Patch);
      UTIL_strcat(acName, ac, sizeof(acName));
    }
  } else if ((Family == 7 || Family == 9) && Revision != 15) {
    char ac[16];
    UTIL_sprintf(ac, sizeof(ac), " Rev.%u", Revision);
    UTIL_strcat(acName, ac, sizeof(acName));
  }
  UTIL_strcpy(sDest, acName, DestSize);
}

const char* MCUDB_ResolveDeviceAlias(const char* sName) {
  return _Resolve(_aDeviceAlias, sName);
}

const char* FLASHDEV_ResolveAlias(const char* sName) {
  return _Resolve(_aFlashAlias, sName);
}
