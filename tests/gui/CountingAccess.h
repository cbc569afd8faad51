// The data image's access table with its reads counted and the width of every patch call
// recorded, for tests and benchmarks that show how much of an image the data window touches.
#pragma once

#include <vector>

#include "data/DATAIMAGE.h"

struct AccessCounts {
  static inline long NumReads = 0;
  static inline std::vector<int> aPatchWidth;
};

inline const DataImageAccess* CountingAccessTable() {
  static DataImageAccess t;
  t.pfGetStartAddr = DataImageAccessTable()->pfGetStartAddr;
  t.pfGetEndAddr = DataImageAccessTable()->pfGetEndAddr;
  t.pfGetByte = [](DataImage* p, uint32_t a, uint8_t* v) {
    AccessCounts::NumReads++;
    return DataImageAccessTable()->pfGetByte(p, a, v);
  };
  t.pfGetU16 = [](DataImage* p, uint32_t a, uint16_t* v) {
    AccessCounts::NumReads++;
    return DataImageAccessTable()->pfGetU16(p, a, v);
  };
  t.pfGetU32 = [](DataImage* p, uint32_t a, uint32_t* v) {
    AccessCounts::NumReads++;
    return DataImageAccessTable()->pfGetU32(p, a, v);
  };
  t.pfSetPatch8 = [](DataImage* p, uint32_t a, uint8_t v) {
    AccessCounts::aPatchWidth.push_back(1);
    return DataImageAccessTable()->pfSetPatch8(p, a, v);
  };
  t.pfSetPatch16 = [](DataImage* p, uint32_t a, uint16_t v) {
    AccessCounts::aPatchWidth.push_back(2);
    return DataImageAccessTable()->pfSetPatch16(p, a, v);
  };
  t.pfSetPatch32 = [](DataImage* p, uint32_t a, uint32_t v) {
    AccessCounts::aPatchWidth.push_back(4);
    return DataImageAccessTable()->pfSetPatch32(p, a, v);
  };
  return &t;
}
