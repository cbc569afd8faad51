#include "SimConfig.h"

#include "Util.h"

#include <cstdlib>
#include <sys/stat.h>

namespace xr {

namespace {

int ParseProbe(const IniSection& sec, ProbeConfig& p, std::string& err) {
  for (const auto& [key, value] : sec.items) {
    uint32_t v = 0;
    bool num = ParseU32(value, v);
    auto bad = [&]() {
      err = Format("probe at line %d: invalid value \"%s\" for %s", sec.line, value.c_str(), key.c_str());
      return -1;
    };
    auto range = [&](TargetFaults& f, bool& on, uint32_t& first, uint32_t* last) {
      auto parts = Split(value, '-');
      uint32_t a = 0, b = 0;
      if (value.empty()) {
        on = false;
        return true;
      }
      if (!ParseU32(parts[0], a) || (parts.size() == 2 && !ParseU32(parts[1], b)) || parts.size() > 2)
        return false;
      (void)f;
      on = true;
      first = a;
      if (last) *last = parts.size() == 2 ? b : a;
      return true;
    };
    TargetFaults& f = p.target.faults;
    if (IEquals(key, "SerialNumber")) {
      if (!num) return bad();
      p.serialNo = v;
    } else if (IEquals(key, "ProductId")) {
      if (!num) return bad();
      p.productId = static_cast<int>(v);
    } else if (IEquals(key, "Firmware")) {
      p.firmware = value;
    } else if (IEquals(key, "Capabilities")) {
      p.fileIo = p.fileBrowse = false;
      for (const auto& c : Split(value, ',')) {
        if (IEquals(c, "FileIO"))
          p.fileIo = true;
        else if (IEquals(c, "FileBrowser"))
          p.fileBrowse = true;
        else if (!c.empty())
          return bad();
      }
    } else if (IEquals(key, "Nickname")) {
      p.nickname = value.substr(0, 31);
    } else if (IEquals(key, "GangModules")) {
      if (!num || v > 24) return bad();
      p.gangModules = static_cast<int>(v);
    } else if (IEquals(key, "RS232")) {
      if (!num) return bad();
      p.rs232 = v != 0;
    } else if (IEquals(key, "VTarget")) {
      if (!num) return bad();
      p.vtargetMv = v;
    } else if (IEquals(key, "Device")) {
      p.device = value;
    } else if (IEquals(key, "MaxSpeed")) {
      if (!num || v == 0) return bad();
      p.maxSpeedKHz = v;
    } else if (IEquals(key, "AdaptiveClocking")) {
      if (!num) return bad();
      p.adaptive = v != 0;
    } else if (IEquals(key, "ProtectedAreaStatus")) {
      if (!num) return bad();
      p.target.slibStatus = v;
    } else if (IEquals(key, "ProtectedAreaRange")) {
      if (!num) return bad();
      p.target.slibRange = v;
    } else if (IEquals(key, "RunSliceUs")) {
      if (!num || v == 0) return bad();
      p.target.runSliceUs = v;
    } else if (IEquals(key, "FaultLostAfterCalls")) {
      if (!num) return bad();
      p.lostAfterCalls = v;
    } else if (IEquals(key, "FaultVoltageAfterCalls")) {
      if (!num) return bad();
      p.voltageAfterCalls = v;
    } else if (IEquals(key, "FaultVoltage")) {
      if (!num) return bad();
      p.voltageChangeMv = v;
    } else if (IEquals(key, "FaultProgramErrorAt")) {
      if (!range(f, f.programError, f.programErrorAddr, nullptr)) return bad();
    } else if (IEquals(key, "FaultEraseErrorAt")) {
      if (!range(f, f.eraseError, f.eraseErrorAddr, nullptr)) return bad();
    } else if (IEquals(key, "FaultReadErrorAt")) {
      if (!range(f, f.readError, f.readErrorFirst, &f.readErrorLast)) return bad();
    } else if (IEquals(key, "FaultCoreNeverHalts")) {
      if (!num) return bad();
      f.coreNeverHalts = v != 0;
    } else if (IEquals(key, "FaultFlashNeverReady")) {
      if (!num) return bad();
      f.flashNeverReady = v != 0;
    } else {
      err = Format("probe at line %d: unknown key \"%s\"", sec.line, key.c_str());
      return -1;
    }
  }
  return 0;
}

} // namespace

int LoadSimConfig(std::vector<ProbeConfig>& probes, std::string& path, std::string& err) {
  const char* env = getenv("XRELAY_SIM_CONFIG");
  path = env && *env ? env : LibraryDir() + "/xrelay-sim.ini";
  probes.clear();
  std::string text;
  if (!ReadTextFile(path, text)) {
    if (env && *env) {
      err = Format("Could not read the simulator configuration \"%s\"", path.c_str());
      return -1;
    }
    probes.emplace_back(); /* no file beside the library: the default probe */
    return 0;
  }
  std::vector<IniSection> sections;
  std::string e2;
  if (ParseIni(text, sections, e2) != 0) {
    err = Format("Simulator configuration \"%s\": %s", path.c_str(), e2.c_str());
    return -1;
  }
  for (const auto& sec : sections) {
    if (!IEquals(sec.name, "Probe")) {
      err = Format("Simulator configuration \"%s\": unknown section [%s]", path.c_str(), sec.name.c_str());
      return -1;
    }
    ProbeConfig p;
    if (ParseProbe(sec, p, e2) != 0) {
      err = Format("Simulator configuration \"%s\": %s", path.c_str(), e2.c_str());
      return -1;
    }
    probes.push_back(std::move(p));
  }
  if (probes.empty()) {
    err = Format("Simulator configuration \"%s\" declares no probe", path.c_str());
    return -1;
  }
  return 0;
}

} // namespace xr
