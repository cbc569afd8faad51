/* Test helper: a process of its own that opens the simulated probe and prints target memory
   as hexadecimal digits, to show what an earlier process left on the target. */
#include "xrelayarm.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: xrelay_readflash <address> <count>\n");
    return 2;
  }
  uint32_t addr = static_cast<uint32_t>(strtoul(argv[1], nullptr, 0));
  uint32_t n = static_cast<uint32_t>(strtoul(argv[2], nullptr, 0));
  if (const char* err = XRELAYARM_OpenEx(nullptr, nullptr)) {
    fprintf(stderr, "%s\n", err);
    return 1;
  }
  std::vector<uint8_t> data(n);
  if (XRELAYARM_Connect() != 0 || XRELAYARM_ReadMem(addr, n, data.data()) != 0) return 1;
  for (uint8_t b : data)
    printf("%02X", b);
  printf("\n");
  XRELAYARM_Close();
  return 0;
}
