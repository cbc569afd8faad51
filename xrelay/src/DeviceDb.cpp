#include "DeviceDb.h"

#include "Util.h"

#include <cstddef>
#include <cstring>

namespace xr {

static_assert(sizeof(XRELAYARM_DEVICE_INFO) == XRELAYARM_DEVICE_INFO_SIZE, "device record size is fixed");
static_assert(sizeof(XRELAYARM_LOADER_DESC) == 72, "loader descriptor size is fixed");
static_assert(offsetof(XRELAYARM_LOADER_DESC, Flags) == 68, "loader flags sit at byte 68");
static_assert(sizeof(XRELAYARM_FOLDER_ENTRY) == 276, "folder entry size is fixed");
static_assert(sizeof(XRELAYARM_FLASH_BANK_INFO) == 32, "bank record size is fixed");

uint32_t DbBank::Size() const {
  uint32_t end = 0;
  for (const auto& r : regions) {
    if (r.NumSectors == 0) break;
    if (r.Offset > end) end = r.Offset;
    end += r.NumSectors * r.SectorSize;
  }
  return end;
}

const DbBank* DbDevice::FindBank(uint32_t base) const {
  for (const auto& b : banks)
    if (b.base == base) return &b;
  return nullptr;
}

int ParseSectorLayout(const std::string& text, std::vector<XRELAYARM_SECTOR_REGION>& regions,
                      std::string& err) {
  regions.clear();
  uint32_t next = 0;
  for (const auto& part : Split(text, ',')) {
    size_t star = part.find('*');
    size_t at = part.find('@');
    uint32_t count = 0, size = 0, offset = next;
    if (star == std::string::npos || !ParseU32(part.substr(0, star), count) ||
        !ParseU32(part.substr(star + 1, at == std::string::npos ? std::string::npos : at - star - 1), size) ||
        (at != std::string::npos && !ParseU32(part.substr(at + 1), offset)) || count == 0 || size == 0) {
      err = Format("invalid sector run \"%s\" (expected COUNT*SIZE or COUNT*SIZE@OFFSET)", part.c_str());
      return -1;
    }
    if (regions.size() == 8) {
      err = "more than 8 sector runs";
      return -1;
    }
    regions.push_back({count, size, offset});
    next = offset + count * size;
  }
  regions.push_back({0, 0, 0});
  return 0;
}

static int ParseDevice(const IniSection& sec, const std::string& dir, DbDevice& dev, std::string& err) {
  auto need = [&](const char* key) -> const std::string* {
    const std::string* v = sec.Find(key);
    if (!v) err = Format("device at line %d lacks \"%s\"", sec.line, key);
    return v;
  };
  const std::string *name = need("Name"), *manu = need("Manufacturer"), *core = need("Core");
  if (!name || !manu || !core) return -1;
  dev.name = *name;
  dev.manu = *manu;
  if (const std::string* f = sec.Find("Family")) dev.family = *f;
  if (!ParseU32(*core, dev.core)) {
    err = Format("device \"%s\": invalid core word \"%s\"", name->c_str(), core->c_str());
    return -1;
  }
  if (const std::string* ram = sec.Find("RAM")) {
    auto parts = Split(*ram, ',');
    if (parts.size() != 2 || !ParseU32(parts[0], dev.ramAddr) || !ParseU32(parts[1], dev.ramSize)) {
      err = Format("device \"%s\": RAM must be \"address, size\"", name->c_str());
      return -1;
    }
  }
  if (const std::string* e = sec.Find("Endian")) {
    if (IEquals(*e, "Big"))
      dev.endian = 1;
    else if (!IEquals(*e, "Little")) {
      err = Format("device \"%s\": Endian must be Little or Big", name->c_str());
      return -1;
    }
  }
  for (const auto& [key, value] : sec.items) {
    if (IEquals(key, "Bank")) {
      auto parts = Split(value, '|');
      DbBank bank;
      if (parts.size() != 3 || !ParseU32(parts[1], bank.base)) {
        err = Format("device \"%s\": Bank must be \"name | base | sectors\"", name->c_str());
        return -1;
      }
      bank.name = parts[0];
      std::string e2;
      if (ParseSectorLayout(parts[2], bank.regions, e2) != 0) {
        err = Format("device \"%s\", bank \"%s\": %s", name->c_str(), bank.name.c_str(), e2.c_str());
        return -1;
      }
      if (dev.banks.size() == XRELAYARM_MAX_FLASH_BANKS) {
        err = Format("device \"%s\": more than 16 banks", name->c_str());
        return -1;
      }
      dev.banks.push_back(std::move(bank));
    } else if (IEquals(key, "Loader")) {
      auto parts = Split(value, '|');
      uint32_t base = 0;
      DbLoader ld;
      if ((parts.size() != 4 && parts.size() != 5) || !ParseU32(parts[0], base) || !ParseU32(parts[2], ld.kind)) {
        err = Format("device \"%s\": Loader must be \"bank base | name | kind | file [| script file]\"",
                     name->c_str());
        return -1;
      }
      DbBank* bank = nullptr;
      for (auto& b : dev.banks)
        if (b.base == base) bank = &b;
      if (!bank) {
        err = Format("device \"%s\": loader \"%s\" for a bank at 0x%08X that is not declared before it",
                     name->c_str(), parts[1].c_str(), base);
        return -1;
      }
      ld.name = parts[1];
      auto resolve = [&](const std::string& f) { return f.empty() || f[0] == '/' ? f : dir + "/" + f; };
      ld.file = resolve(parts[3]);
      if (parts.size() == 5) ld.scriptFile = resolve(parts[4]);
      if (ld.kind == XRELAYARM_LOADER_KIND_CMSIS_IMAGE && !ReadFile(ld.file, ld.image)) {
        err = Format("device \"%s\": cannot read the loader image \"%s\"", name->c_str(), ld.file.c_str());
        return -1;
      }
      bank->loaders.push_back(std::move(ld));
    }
  }
  return 0;
}

int DeviceDb::Load(const std::string& path, std::string& err) {
  std::string text;
  if (!ReadTextFile(path, text)) {
    err = Format("Could not read the device database \"%s\"", path.c_str());
    return -1;
  }
  std::vector<IniSection> sections;
  std::string e2;
  if (ParseIni(text, sections, e2) != 0) {
    err = Format("Device database \"%s\": %s", path.c_str(), e2.c_str());
    return -1;
  }
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  std::vector<DbDevice> devices;
  for (const auto& sec : sections) {
    if (!IEquals(sec.name, "Device")) continue;
    DbDevice dev;
    if (ParseDevice(sec, dir, dev, e2) != 0) {
      err = Format("Device database \"%s\": %s", path.c_str(), e2.c_str());
      return -1;
    }
    devices.push_back(std::move(dev));
  }
  devices_ = std::move(devices);
  path_ = path;
  loaded_ = true;
  return 0;
}

const DbDevice* DeviceDb::Get(int index) const {
  return index >= 0 && index < Count() ? &devices_[static_cast<size_t>(index)] : nullptr;
}

int DeviceDb::Find(const std::string& name) const {
  std::string n = Trim(name);
  for (int i = 0; i < Count(); i++) {
    const DbDevice& d = devices_[static_cast<size_t>(i)];
    if (IEquals(n, d.name) || IEquals(n, d.manu + " " + d.name)) return i;
  }
  return -1;
}

void DeviceDb::FillInfo(int index, XRELAYARM_DEVICE_INFO& info) const {
  const DbDevice& d = devices_[static_cast<size_t>(index)];
  memset(&info, 0, sizeof info);
  info.SizeOfStruct = sizeof info;
  info.Core = d.core;
  info.sName = d.name.c_str();
  info.sManu = d.manu.c_str();
  info.sFamily = d.family.c_str();
  info.RAMAddr = d.ramAddr;
  info.RAMSize = d.ramSize;
  info.EndianMode = d.endian;
  info.NumBanks = static_cast<uint32_t>(d.banks.size());
  if (!d.banks.empty()) {
    info.FlashAddr = d.banks[0].base;
    info.FlashSize = d.banks[0].Size();
  }
  for (size_t i = 0; i < d.banks.size(); i++) {
    const DbBank& b = d.banks[i];
    XRELAYARM_FLASH_BANK_INFO& out = info.aFlashBank[i];
    out.paSectors = b.regions.data();
    out.sName = b.name.c_str();
    out.BaseAddr = b.base;
    out.LoaderKind = b.loaders.empty() ? 0 : b.loaders[0].kind;
    out.NumRegions = static_cast<uint32_t>(b.regions.size() - 1);
  }
}

int DeviceDb::GetLoaderDesc(int index, uint32_t bankAddr, const char* loaderName, XRELAYARM_LOADER_DESC& desc,
                            std::string& err) const {
  const DbDevice* d = Get(index);
  if (!d) {
    err = Format("Unknown device index %d", index);
    return -1;
  }
  const DbBank* bank = d->FindBank(bankAddr);
  if (!bank) {
    err = Format("Device \"%s\" has no flash bank at 0x%08X", d->name.c_str(), bankAddr);
    return -1;
  }
  const DbLoader* ld = nullptr;
  std::string want = loaderName ? loaderName : "Default";
  for (const auto& l : bank->loaders)
    if (IEquals(l.name, want)) ld = &l;
  if (!ld && IEquals(want, "Default") && !bank->loaders.empty()) ld = &bank->loaders[0];
  if (!ld) {
    err = Format("Flash bank \"%s\" @ 0x%08X of \"%s\" has no loader \"%s\"", bank->name.c_str(), bankAddr,
                 d->name.c_str(), want.c_str());
    return -1;
  }
  memset(&desc, 0, sizeof desc);
  desc.SizeOfStruct = sizeof desc;
  desc.LoaderKind = ld->kind;
  desc.sAlgoFile = ld->file.c_str();
  if (ld->kind == XRELAYARM_LOADER_KIND_CMSIS_IMAGE) {
    desc.pImage = ld->image.data();
    desc.ImageSize = static_cast<uint32_t>(ld->image.size());
  }
  if (!ld->scriptFile.empty()) desc.sScriptFile = ld->scriptFile.c_str();
  desc.paSectors = bank->regions.data();
  desc.NumRegions = static_cast<uint32_t>(bank->regions.size() - 1);
  desc.Flags = 1;
  return 0;
}

} // namespace xr
