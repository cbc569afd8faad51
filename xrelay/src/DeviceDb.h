/*
 * DeviceDb.h - the device database of the probe library: devices with their cores, RAM and
 * flash banks, and per bank the loaders that program it. Read once from the database file
 * (xrelay-devices.ini beside the library, or the path given with "XRelayDevicesXMLPath");
 * loader files are named relative to the database file and read when it is loaded.
 */
#pragma once

#include "xrelayarm.h"

#include <cstdint>
#include <string>
#include <vector>

namespace xr {

struct DbLoader {
  std::string name;
  uint32_t kind = 0;
  std::string file;           /* absolute path */
  std::string scriptFile;     /* loader script, absolute path; "" none */
  std::vector<uint8_t> image; /* kind 12: the file's bytes, handed over in memory */
};

struct DbBank {
  std::string name;
  uint32_t base = 0;
  std::vector<XRELAYARM_SECTOR_REGION> regions; /* ends with a zero entry */
  std::vector<DbLoader> loaders;                /* the first is the default */
  uint32_t Size() const;
};

struct DbDevice {
  std::string name, manu, family;
  uint32_t core = 0;
  uint32_t ramAddr = 0, ramSize = 0;
  uint32_t endian = 0;
  std::vector<DbBank> banks;
  const DbBank* FindBank(uint32_t base) const;
};

class DeviceDb {
public:
  /* 0, or negative with err; on failure the database is left as it was. */
  int Load(const std::string& path, std::string& err);
  bool IsLoaded() const { return loaded_; }
  const std::string& Path() const { return path_; }
  int Count() const { return static_cast<int>(devices_.size()); }
  const DbDevice* Get(int index) const;
  /* Index by "Name" or "Manufacturer Name", any case; -1 when unknown. */
  int Find(const std::string& name) const;
  /* Fills the record handed out for a device (pointers into this database). */
  void FillInfo(int index, XRELAYARM_DEVICE_INFO& info) const;
  /* 0, or negative with err. */
  int GetLoaderDesc(int index, uint32_t bankAddr, const char* loaderName, XRELAYARM_LOADER_DESC& desc,
                    std::string& err) const;

private:
  bool loaded_ = false;
  std::string path_;
  std::vector<DbDevice> devices_;
};

/* Parses a sector layout "64*0x400" or "4*0x4000, 1*0x10000, 7*0x20000@0x20000"; 0 or negative. */
int ParseSectorLayout(const std::string& text, std::vector<XRELAYARM_SECTOR_REGION>& regions,
                      std::string& err);

} // namespace xr
