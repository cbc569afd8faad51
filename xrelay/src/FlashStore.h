/*
 * FlashStore.h - the flash cells of a simulated chip, kept in the state file flash.bin of its
 * probe: the magic "XRSIMFL1", the sizes of main flash, boot memory and user system data
 * (u32 each), then the cells. The file is mapped shared, so every program or erase step is
 * in the file the moment the chip does it, as on a real chip: another process sees it, and
 * a crash loses nothing. A missing file, or one of another layout, is replaced as a whole
 * (temporary file, then rename), keeping the cells that fit.
 */
#pragma once

#include <cstdint>
#include <string>

namespace xr {

class FlashStore {
public:
  FlashStore() = default;
  FlashStore(const FlashStore&) = delete;
  FlashStore& operator=(const FlashStore&) = delete;
  ~FlashStore() { Close(); }

  /* 0, or negative with err. */
  int Open(const std::string& dir, uint32_t mainSize, uint32_t bootSize, uint32_t userSize, std::string& err);
  uint8_t* Cells() const { return map_ ? map_ + kHeaderSize : nullptr; }
  void Close();

  static constexpr size_t kHeaderSize = 20;

private:
  uint8_t* map_ = nullptr;
  size_t size_ = 0;
};

} // namespace xr
