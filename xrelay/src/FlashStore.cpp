#include "FlashStore.h"

#include "Util.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace xr {

namespace {
constexpr char kMagic[8] = {'X', 'R', 'S', 'I', 'M', 'F', 'L', '1'};
}

int FlashStore::Open(const std::string& dir, uint32_t mainSize, uint32_t bootSize, uint32_t userSize,
                     std::string& err) {
  Close();
  if (MakeDirs(dir) != 0) {
    err = Format("Could not create the simulator state folder \"%s\": %s", dir.c_str(), strerror(errno));
    return -1;
  }
  const std::string path = dir + "/flash.bin";
  const uint32_t sizes[3] = {mainSize, bootSize, userSize};
  const size_t total = kHeaderSize + static_cast<size_t>(mainSize) + bootSize + userSize;

  std::vector<uint8_t> old;
  bool fits = ReadFile(path, old) && old.size() == total && memcmp(old.data(), kMagic, 8) == 0 &&
              memcmp(&old[8], sizes, sizeof sizes) == 0;
  if (!fits) {
    std::vector<uint8_t> fresh(total, 0xFF);
    memcpy(fresh.data(), kMagic, 8);
    memcpy(&fresh[8], sizes, sizeof sizes);
    if (old.size() >= kHeaderSize && memcmp(old.data(), kMagic, 8) == 0) {
      /* Another chip size: keep what fits of each area. */
      uint32_t oldSizes[3];
      memcpy(oldSizes, &old[8], sizeof oldSizes);
      size_t from = kHeaderSize, to = kHeaderSize;
      for (int i = 0; i < 3; i++) {
        if (from + oldSizes[i] > old.size()) break;
        memcpy(&fresh[to], &old[from], std::min(oldSizes[i], sizes[i]));
        from += oldSizes[i];
        to += sizes[i];
      }
    }
    if (WriteFileAtomic(path, fresh.data(), fresh.size(), err) != 0) return -1;
  }
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    err = Format("Could not open the simulator state \"%s\": %s", path.c_str(), strerror(errno));
    return -1;
  }
  void* m = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (m == MAP_FAILED) {
    err = Format("Could not map the simulator state \"%s\": %s", path.c_str(), strerror(errno));
    return -1;
  }
  map_ = static_cast<uint8_t*>(m);
  size_ = total;
  return 0;
}

void FlashStore::Close() {
  if (!map_) return;
  msync(map_, size_, MS_ASYNC);
  munmap(map_, size_);
  map_ = nullptr;
  size_ = 0;
}

} // namespace xr
