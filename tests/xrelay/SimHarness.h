/*
 * SimHarness.h - drives the probe library through its C interface the way the program's
 * RAMCode runner does: a private simulator folder and configuration per test, a flash
 * algorithm downloaded into target RAM, its functions called with r0-r2 and a breakpoint
 * return, the result read from r0.
 */
#pragma once

#include "xrelayarm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace xrt {

std::string ProgramDir(); /* where the library and the algorithms are */

/* The loadable part of a CMSIS flash algorithm (ELF32 little endian), read for the tests. */
struct Algorithm {
  std::vector<uint8_t> image; /* PrgCode, PrgData and the FlashDevice head */
  uint32_t prgData = 0;
  uint32_t flashDevice = 0;              /* offset of FlashDevice in the image */
  std::vector<uint8_t> flashDeviceBytes; /* all 4256 bytes */
  std::vector<std::pair<std::string, uint32_t>> functions;
  int32_t Entry(const std::string& name) const; /* -1 when absent */
  static Algorithm Load(const std::string& path);
};

/* Reads the library's error texts into one list. */
std::vector<std::string>& ErrorTexts();
void CollectError(const char* text);

class SimTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  /* Writes the [Probe] section (after the defaults S/N 123456, 3.3 V, 64 KB chip). */
  void Configure(const std::string& probeLines, const std::string& extraProbes = "");
  /* Fills the state of probe sn with the given main flash, boot memory and user data bytes. */
  void SeedFlash(uint32_t sn, uint32_t mainSize, uint8_t mainValue, uint8_t bootValue = 0xFF,
                 uint8_t userValue = 0xFF);
  /* The same with the given main flash bytes (boot memory and user system data erased). */
  void SeedFlashImage(uint32_t sn, const std::vector<uint8_t>& main);
  void OpenAndConnect();
  void DownloadAlgorithm(const std::string& file, uint32_t base);
  /* Calls a function of the downloaded algorithm; its r0, or -1000 - n on a failure of the call. */
  int64_t Call(const std::string& function, uint32_t r0 = 0, uint32_t r1 = 0, uint32_t r2 = 0);
  std::vector<uint8_t> Read(uint32_t addr, uint32_t n);
  uint32_t Reg(uint32_t index);
  uint32_t BufferAddr() const { return breakpoint_ + 8; }
  bool ErrorContains(const std::string& part) const;

  std::string dir_;
  Algorithm algo_;
  uint32_t base_ = 0, breakpoint_ = 0;
  int maxPolls_ = 1000;

private:
  std::vector<uint8_t> mainImage_; /* for SeedFlashImage */
};

} // namespace xrt
