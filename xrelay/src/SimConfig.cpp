#include "SimConfig.h"

#include "Util.h"

#include <cstdlib>
#include <sys/stat.h>

namespace xr {

namespace {

struct Model {
  int productId;
  const char* firmware;
  bool adaptive, rs232;
  int gangModules;
};

/* The simulated probe models. The stand-alone programmers (10, 14, 15, 34) name the cores
   they can program on their own at the start of their firmware text. */
const Model kModels[] = {
    {28, "X-Relay Sim V1.00 compiled " __DATE__, false, false, 0},
    {10, "X-Relay ARM / Stamper ARM V4.10 compiled " __DATE__, true, true, 0},
    {14, "X-Relay RX / Stamper RX V4.10 compiled " __DATE__, false, true, 0},
    {15, "X-Relay PPC / Stamper PPC V4.10 compiled " __DATE__, false, true, 0},
    {34, "X-Relay PRO / Stamper PRO V4.10 compiled " __DATE__, true, true, 0},
    {41, "X-Relay Gang ARM V2.00 compiled " __DATE__, false, false, 4},
    {42, "X-Relay Gang PRO V2.00 compiled " __DATE__, true, false, 8},
};

int ParseProbe(const IniSection& sec, ProbeConfig& p, std::string& err) {
  /* The model first, so that the other keys override its defaults in any order. */
  if (const std::string* id = sec.Find("ProductId")) {
    uint32_t v = 0;
    if (ParseU32(*id, v)) ApplyModel(p, static_cast<int>(v));
  }
  bool uidSet = false;
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
    } else if (IEquals(key, "RoundTripUs")) {
      if (!num || v > 1000000) return bad();
      p.roundTripUs = v;
    } else if (IEquals(key, "AdaptiveClocking")) {
      if (!num) return bad();
      p.adaptive = v != 0;
    } else if (IEquals(key, "CoreId")) {
      if (!num) return bad();
      p.hasCoreId = true;
      p.coreId = v;
    } else if (IEquals(key, "JtagDevice")) {
      /* ID (or "Core" for the CPU's debug port), IR length, name */
      auto parts = Split(value, ',');
      JtagDevice d;
      uint32_t ir = 0;
      if (parts.size() < 2 || !ParseU32(parts[1], ir) || ir < 2 || ir > 32) return bad();
      if (IEquals(parts[0], "Core"))
        d.core = true;
      else if (!ParseU32(parts[0], d.id))
        return bad();
      d.irLen = ir;
      for (size_t i = 2; i < parts.size(); i++)
        d.name += (i > 2 ? ", " : "") + parts[i];
      if (p.chain.size() >= 32) return bad();
      p.chain.push_back(std::move(d));
    } else if (IEquals(key, "MeasureClock")) {
      if (!num) return bad();
      p.canMeasureClock = v != 0;
    } else if (IEquals(key, "HextHz")) {
      if (!num || v < 1000000 || v > 50000000) return bad();
      p.target.hextHz = v;
    } else if (IEquals(key, "UniqueId")) {
      auto parts = Split(value, ',');
      if (parts.size() != 3) return bad();
      for (size_t i = 0; i < 3; i++)
        if (!ParseU32(parts[i], p.target.uid[i])) return bad();
      uidSet = true;
    } else if (IEquals(key, "EmptyGangSlots")) {
      p.emptyGangSlots.clear();
      for (const auto& part : Split(value, ',')) {
        uint32_t slot = 0;
        if (part.empty()) continue;
        if (!ParseU32(part, slot) || slot < 1 || slot > 24) return bad();
        p.emptyGangSlots.push_back(static_cast<int>(slot));
      }
    } else if (IEquals(key, "FaultClockMeasureFails")) {
      if (!num) return bad();
      p.clockMeasureFails = v != 0;
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
    } else if (IEquals(key, "FaultStuckByteAt")) {
      if (!range(f, f.stuckByte, f.stuckByteAddr, nullptr)) return bad();
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
  if (!uidSet) p.target.uid[0] = p.serialNo; /* a different chip on every probe */
  return 0;
}

} // namespace

void ApplyModel(ProbeConfig& p, int productId) {
  p.productId = productId;
  for (const Model& m : kModels) {
    if (m.productId != productId) continue;
    p.firmware = m.firmware;
    p.adaptive = m.adaptive;
    p.rs232 = m.rs232;
    p.gangModules = m.gangModules;
  }
}

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
