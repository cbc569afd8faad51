#include "SimHarness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace xrt {

std::string ProgramDir() {
  const char* d = getenv("TFORGE_PROGRAM_DIR");
  return d && *d ? d : XRELAY_TEST_PROGRAM_DIR;
}

namespace {
template <typename T> T Get(const std::vector<uint8_t>& f, size_t off) {
  T v{};
  if (off + sizeof(T) <= f.size()) memcpy(&v, &f[off], sizeof(T));
  return v;
}
} // namespace

int32_t Algorithm::Entry(const std::string& name) const {
  for (const auto& [n, v] : functions)
    if (n == name) return static_cast<int32_t>(v);
  return -1;
}

Algorithm Algorithm::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Algorithm a;
  if (f.size() < 52) return a;
  uint32_t shoff = Get<uint32_t>(f, 32);
  uint16_t shnum = Get<uint16_t>(f, 48), shstrndx = Get<uint16_t>(f, 50);
  auto sh = [&](int i, int field) { return Get<uint32_t>(f, shoff + 40u * i + 4u * field); };
  auto name = [&](uint32_t strtab, uint32_t off) {
    return std::string(reinterpret_cast<const char*>(&f[strtab + off]));
  };
  uint32_t shstr = sh(shstrndx, 4), end = 0;
  int symtab = -1;
  for (int i = 1; i < shnum; i++) {
    std::string n = name(shstr, sh(i, 0));
    if (sh(i, 1) == 2) symtab = i;
    if (n == "PrgData") a.prgData = sh(i, 3);
    if ((sh(i, 2) & 2u) && sh(i, 5)) end = std::max(end, sh(i, 3) + sh(i, 5));
  }
  std::vector<uint8_t> full(end, 0);
  for (int i = 1; i < shnum; i++)
    if ((sh(i, 2) & 2u) && sh(i, 5) && sh(i, 1) != 8) memcpy(&full[sh(i, 3)], &f[sh(i, 4)], sh(i, 5));
  uint32_t symOff = sh(symtab, 4), symSize = sh(symtab, 5), symStr = sh(sh(symtab, 6), 4);
  for (uint32_t s = 16; s + 16 <= symSize; s += 16) {
    std::string n = name(symStr, Get<uint32_t>(f, symOff + s));
    uint32_t value = Get<uint32_t>(f, symOff + s + 4), size = Get<uint32_t>(f, symOff + s + 8);
    uint8_t info = f[symOff + s + 12];
    if ((info & 0xF) == 2) a.functions.emplace_back(n, value);
    if (n == "FlashDevice" && value + size <= full.size()) {
      a.flashDevice = value;
      a.flashDeviceBytes.assign(full.begin() + value, full.begin() + value + size);
    }
  }
  /* As the host downloads it: up to the first two sector entries of FlashDevice. */
  full.resize(std::min<size_t>(full.size(), a.flashDevice + 160 + 16));
  a.image = std::move(full);
  return a;
}

std::vector<std::string>& ErrorTexts() {
  static std::vector<std::string> texts;
  return texts;
}

void CollectError(const char* text) {
  ErrorTexts().push_back(text ? text : "");
}

void SimTest::SetUp() {
  char tmpl[] = "/tmp/xrelay-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  setenv("XRELAY_SIM_DIR", (dir_ + "/state").c_str(), 1);
  Configure("");
  ErrorTexts().clear();
  XRELAYARM_SetErrorOutHandler(&CollectError);
}

void SimTest::TearDown() {
  XRELAYARM_Close();
  /* The probe selection outlives a connection, as on real hardware: back to the defaults. */
  XRELAYARM_ExecCommand("SelectModule = 0", nullptr, 0);
  Configure("");
  XRELAYARM_SelectUSB(0);
  XRELAYARM_SetLogFile(nullptr);
  unsetenv("XRELAY_SIM_CONFIG");
  unsetenv("XRELAY_SIM_DIR");
  std::string cmd = "rm -rf '" + dir_ + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
}

void SimTest::Configure(const std::string& probeLines, const std::string& extraProbes) {
  std::string path = dir_ + "/sim.ini";
  std::ofstream out(path);
  out << "[Probe]\nSerialNumber = 123456\nVTarget = 3300\nDevice = AT32F425C8T7\n"
      << probeLines << "\n"
      << extraProbes;
  out.close();
  setenv("XRELAY_SIM_CONFIG", path.c_str(), 1);
}

void SimTest::SeedFlash(uint32_t sn, uint32_t mainSize, uint8_t mainValue, uint8_t bootValue,
                        uint8_t userValue) {
  std::string d = dir_ + "/state/" + std::to_string(sn);
  ASSERT_EQ(system(("mkdir -p '" + d + "'").c_str()), 0);
  std::vector<uint8_t> out = {'X', 'R', 'S', 'I', 'M', 'F', 'L', '1'};
  uint32_t sizes[3] = {mainSize, 0x1000, 0x200};
  out.insert(out.end(), reinterpret_cast<uint8_t*>(sizes), reinterpret_cast<uint8_t*>(sizes) + 12);
  out.insert(out.end(), mainSize, mainValue);
  if (!mainImage_.empty()) std::copy(mainImage_.begin(), mainImage_.end(), out.end() - mainSize);
  out.insert(out.end(), 0x1000, bootValue);
  out.insert(out.end(), 0x200, userValue);
  std::ofstream(d + "/flash.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
}

void SimTest::SeedFlashImage(uint32_t sn, const std::vector<uint8_t>& main) {
  mainImage_ = main;
  SeedFlash(sn, static_cast<uint32_t>(main.size()), 0xFF);
  mainImage_.clear();
}

void SimTest::OpenAndConnect() {
  const char* err = XRELAYARM_OpenEx(nullptr, &CollectError);
  ASSERT_EQ(err, nullptr) << err;
  ASSERT_EQ(XRELAYARM_TIF_Select(XRELAYARM_TIF_SWD), 0);
  ASSERT_EQ(XRELAYARM_SetSpeed(4000), 0);
  ASSERT_EQ(XRELAYARM_Connect(), 0);
  ASSERT_EQ(XRELAYARM_Halt(), 0);
}

void SimTest::DownloadAlgorithm(const std::string& file, uint32_t base) {
  algo_ = Algorithm::Load(ProgramDir() + "/" + file);
  ASSERT_FALSE(algo_.image.empty()) << file;
  base_ = base;
  uint32_t image = (static_cast<uint32_t>(algo_.image.size()) + 7u) & ~7u;
  breakpoint_ = base + image + 512;
  ASSERT_EQ(XRELAYARM_WriteMem(base, static_cast<uint32_t>(algo_.image.size()), algo_.image.data()), 0);
  std::vector<uint8_t> back(algo_.image.size());
  ASSERT_EQ(XRELAYARM_ReadMem(base, static_cast<uint32_t>(back.size()), back.data()), 0);
  ASSERT_EQ(back, algo_.image);
  ASSERT_EQ(XRELAYARM_WriteU32(breakpoint_, 0xBE00BE00u), 0);
}

int64_t SimTest::Call(const std::string& function, uint32_t r0, uint32_t r1, uint32_t r2) {
  int32_t entry = algo_.Entry(function);
  if (entry < 0) return -1001;
  const uint32_t regs[] = {0, 1, 2, 9, 13, 14, 15, 16};
  const uint32_t values[] = {r0,
                             r1,
                             r2,
                             base_ + algo_.prgData,
                             breakpoint_,
                             breakpoint_ | 1u,
                             base_ + static_cast<uint32_t>(entry),
                             0x01000000u};
  if (XRELAYARM_WriteRegs(regs, values, nullptr, 8) != 0) return -1002;
  if (XRELAYARM_GoIntDis() != 0) return -1003;
  int polls = 0;
  while (XRELAYARM_IsHalted() == 0) {
    if (++polls >= maxPolls_) {
      XRELAYARM_Halt();
      return -1004; /* the core did not stop */
    }
  }
  uint32_t pc = 0, result = 0;
  if (XRELAYARM_ReadReg(15, &pc) != 0 || pc != breakpoint_) return -1005;
  if (XRELAYARM_ReadReg(0, &result) != 0) return -1006;
  return result;
}

std::vector<uint8_t> SimTest::Read(uint32_t addr, uint32_t n) {
  std::vector<uint8_t> data(n);
  EXPECT_EQ(XRELAYARM_ReadMem(addr, n, data.data()), 0) << std::hex << addr;
  return data;
}

uint32_t SimTest::Reg(uint32_t index) {
  uint32_t v = 0;
  EXPECT_EQ(XRELAYARM_ReadReg(index, &v), 0);
  return v;
}

bool SimTest::ErrorContains(const std::string& part) const {
  for (const auto& t : ErrorTexts())
    if (t.find(part) != std::string::npos) return true;
  return false;
}

} // namespace xrt
