/*
 * XRelayArm.cpp - the entry points of the probe library over the simulator back end.
 *
 * Every entry point takes the library lock, checks its arguments and the state it needs
 * (probe open, target connected, core halted), calls the back end, reports a failure through
 * the error-out handler and records the call with its arguments and result in the log file.
 * A later back end for real hardware replaces the Session's target, not this layer.
 */
#include "xrelayarm.h"

#include "At32f425.h"
#include "DeviceDb.h"
#include "FlashStore.h"
#include "LoaderScript.h"
#include "ProgFs.h"
#include "SimConfig.h"
#include "Util.h"

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace xr;

namespace {

/* The library ships with the program and carries its version (V7.92e is 79205). */
constexpr int kVersion = XRELAY_VERSION;
constexpr uint32_t kSwdId = 0x2BA01477u, kJtagId = 0x4BA00477u;
constexpr uint32_t kMinVTargetMv = 1200;
constexpr uint32_t kWorkAreaLimit = 1u << 20;

struct SavedRange {
  uint32_t addr;
  std::vector<uint8_t> data;
};

struct Session {
  std::recursive_mutex mu;
  XRELAYARM_LOG_FUNC* errorOut = nullptr;
  XRELAYARM_LOG_FUNC* logOut = nullptr;
  FILE* log = nullptr;
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  std::string lastError;
  bool hasError = false;
  VirtualClock clock;

  DeviceDb db;
  std::vector<DeviceDb> formerDbs; /* replaced, still referred to by what they handed out */
  std::string dbPath;              /* "" = beside the library */
  std::vector<ProbeConfig> probes;
  bool probesLoaded = false;
  std::string configPath, configText;
  struct timespec configTime = {};
  int selectedPort = 0;
  int module = 0;

  bool open = false, lost = false;
  int probe = -1;
  uint32_t calls = 0;
  int64_t roundTrips = 0; /* since the library was loaded */
  std::map<int, int64_t> pfuncCalls; /* XRELAY_GetpFunc index: calls of its function */
  std::map<int, Script> scripts;     /* loaded loader scripts by handle */
  int nextScript = 1;
  uint32_t vtargetMv = 0;
  FlashStore store; /* declared before the target, which keeps pointers into it */
  std::unique_ptr<At32f425> target;
  std::string stateDir;
  ProgFs fs;

  bool connected = false;
  int tif = XRELAYARM_TIF_SWD;
  uint32_t speedKHz = 4000;
  bool adaptive = false;
  uint32_t core = 0; /* selected core word, 0 none */
  std::string device;
  int endian = 0;
  int resetType = 0, resetDelay = 0, resetPullsReset = 1;
  bool resetHeld = false;
  int irPre = 0, drPre = 0;
  bool chainPosSet = false; /* ConfigJTAG named the target's position in the chain */
  std::vector<XRELAYARM_JTAG_DEVICE_CONF> chain;
  std::vector<std::string> chainNames;
  std::vector<SavedRange> workArea;
  uint32_t queuedBits = 0;
  std::string scriptFile;
  std::vector<XRELAYARM_INDICATOR_STATE> indicators;
  std::string openError;
  std::string firmwareCopy;

  ~Session() {
    target.reset();
    store.Close();
    if (log) fclose(log);
  }
};

Session& S() {
  static Session s;
  return s;
}

/* ---- errors and log -------------------------------------------------------------------- */

int Fail(const std::string& text) {
  Session& s = S();
  s.lastError = text;
  s.hasError = true;
  if (s.errorOut) s.errorOut(text.c_str());
  if (s.log) fprintf(s.log, "    ERROR: %s\n", text.c_str());
  return -1;
}

class CallLog {
public:
  CallLog(const char* name, std::string args) : name_(name), args_(std::move(args)) {}
  ~CallLog() {
    Session& s = S();
    if (!s.log) return;
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s.t0).count();
    fprintf(s.log, "T%010.3f %s(%s) returns %s\n", ms, name_, args_.c_str(), result_.c_str());
    fflush(s.log);
  }
  int Ret(int v) {
    result_ = std::to_string(v);
    return v;
  }
  uint32_t RetU(uint32_t v) {
    result_ = Format("0x%08X", v);
    return v;
  }
  const char* RetS(const char* v) {
    result_ = v ? Format("\"%s\"", v) : "NULL";
    return v;
  }
  void Note(std::string r) { result_ = std::move(r); }

private:
  const char* name_;
  std::string args_;
  std::string result_ = "void";
};

#define LOCKED std::lock_guard<std::recursive_mutex> lock_(S().mu)
#define CALL(...)                                                                                            \
  LOCKED;                                                                                                    \
  CallLog call_(__func__, Format(__VA_ARGS__))

/* ---- state ----------------------------------------------------------------------------- */

std::string StateRoot() {
  if (const char* d = getenv("XRELAY_SIM_DIR"); d && *d) return d;
  if (const char* x = getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/KORVEN/xrelay-sim";
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/state/KORVEN/xrelay-sim";
}

int LoadDb() {
  Session& s = S();
  if (s.db.IsLoaded()) return 0;
  std::string err;
  std::string path = s.dbPath.empty() ? LibraryDir() + "/xrelay-devices.ini" : s.dbPath;
  if (s.db.Load(path, err) != 0) return Fail(err);
  return 0;
}

/* The configuration is read again whenever no probe is open, so that a changed file applies
   to the next connection. */
int LoadProbes() {
  Session& s = S();
  if (s.probesLoaded && s.open) return 0;
  std::string path, err;
  if (LoadSimConfig(s.probes, path, err) != 0) return Fail(err);
  s.probesLoaded = true;
  s.configPath = path;
  struct stat st {};
  s.configTime = stat(path.c_str(), &st) == 0 ? st.st_mtim : timespec{};
  if (!ReadTextFile(path, s.configText)) s.configText.clear();
  return 0;
}

/* While a probe is open, a change of the configuration file moves its target voltage (and
   nothing else), so that a test can change the supply of a connected target. Every call looks
   at the file's time; reading the status (what a voltage monitor does) also at its text, since
   two writes in a row may carry the same time. */
void RefreshVTarget(bool readText) {
  Session& s = S();
  struct stat st {};
  if (s.configPath.empty() || stat(s.configPath.c_str(), &st) != 0) return;
  if (!readText && st.st_mtim.tv_sec == s.configTime.tv_sec && st.st_mtim.tv_nsec == s.configTime.tv_nsec)
    return;
  s.configTime = st.st_mtim;
  std::string text;
  if (!ReadTextFile(s.configPath, text) || text == s.configText) return;
  s.configText = text;
  std::vector<ProbeConfig> probes;
  std::string path, err;
  if (LoadSimConfig(probes, path, err) != 0 || s.probe < 0 || static_cast<size_t>(s.probe) >= probes.size())
    return; /* a half-written file: keep what the probe has */
  ProbeConfig& now = s.probes[static_cast<size_t>(s.probe)];
  const ProbeConfig& changed = probes[static_cast<size_t>(s.probe)];
  if (changed.serialNo != now.serialNo || changed.vtargetMv == now.vtargetMv) return;
  now.vtargetMv = changed.vtargetMv;
  s.vtargetMv = changed.vtargetMv;
}

ProbeConfig* CurrentProbe() {
  Session& s = S();
  return s.open && s.probe >= 0 ? &s.probes[static_cast<size_t>(s.probe)] : nullptr;
}

/* Virtual time passes on the link: a core that runs goes on running meanwhile, so a transfer
   of the host overlaps what the RAMCode does on the target. A caller on another thread (the
   program's voltage monitor) leaves the core to the next call of the thread that runs it:
   that call catches up with the time. */
void Spend(double us, bool letCoreRun = true) {
  Session& s = S();
  s.clock.us += us;
  if (s.target && letCoreRun) s.target->RunAlong();
}

/* Every call that talks to the probe is one round trip and counts; injected faults strike
   after their count. */
int NeedOpen(const char* what, bool letCoreRun = true) {
  Session& s = S();
  if (!s.open) return Fail(Format("%s: no connection to a probe is open", what));
  if (s.lost) return Fail(Format("%s: communication with the probe failed (USB connection lost)", what));
  ProbeConfig& p = *CurrentProbe();
  s.calls++;
  if (p.lostAfterCalls && s.calls > p.lostAfterCalls) {
    s.lost = true;
    s.connected = false;
    return Fail(Format("%s: communication with the probe failed (USB connection lost)", what));
  }
  RefreshVTarget(false);
  /* once: a later change of the supply (command or configuration) holds */
  if (p.voltageAfterCalls && s.calls == p.voltageAfterCalls + 1) s.vtargetMv = p.voltageChangeMv;
  s.roundTrips++;
  Spend(p.roundTripUs, letCoreRun);
  return 0;
}

int NeedConnected(const char* what) {
  if (NeedOpen(what) != 0) return -1;
  if (!S().connected) return Fail(Format("%s: not connected to the target", what));
  if (S().vtargetMv < kMinVTargetMv)
    return Fail(Format("%s: target lost power (VTarget = %u mV)", what, S().vtargetMv));
  return 0;
}

int NeedHalted(const char* what) {
  if (NeedConnected(what) != 0) return -1;
  if (S().target->IsRunning()) return Fail(Format("%s: CPU is not halted", what));
  return 0;
}

void AccountTransfer(uint32_t numBytes) {
  Session& s = S();
  /* A transfer costs about 46 interface clocks per 32-bit word on SWD (JTAG: 41). */
  double bitsPerByte = s.tif == XRELAYARM_TIF_SWD ? 46.0 / 4 : 41.0 / 4;
  double khz = s.adaptive ? 4000 : s.speedKHz;
  Spend(numBytes * bitsPerByte * 1000.0 / khz);
}

uint32_t EffectiveSpeed() {
  Session& s = S();
  ProbeConfig* p = CurrentProbe();
  return p ? std::min(s.speedKHz, p->maxSpeedKHz) : s.speedKHz;
}

/* What a scan of the target interface finds: on JTAG the configured chain, else (and without
   a chain) the core's debug port alone. Nothing answers without supply. */
std::vector<JtagDevice> Scan() {
  Session& s = S();
  ProbeConfig* p = CurrentProbe();
  std::vector<JtagDevice> found;
  if (!p || s.vtargetMv < kMinVTargetMv) return found;
  uint32_t coreId = p->hasCoreId ? p->coreId : s.tif == XRELAYARM_TIF_SWD ? kSwdId : kJtagId;
  if (s.tif == XRELAYARM_TIF_JTAG && !p->chain.empty()) {
    found = p->chain;
  } else {
    JtagDevice d;
    d.core = true;
    d.name = s.tif == XRELAYARM_TIF_SWD ? "ARM CoreSight SW-DP" : "ARM CoreSight JTAG-DP";
    found.push_back(d);
  }
  for (auto& d : found) {
    if (d.core) d.id = coreId;
    if (d.name.empty()) d.name = d.core ? "ARM CoreSight JTAG-DP" : "Unknown device";
  }
  return found;
}

/* Index of the core in the scan: at the position that ConfigJTAG gave (when the IR bits before
   it match too), else the first core; -1 when there is none there. */
int CoreIndex(const std::vector<JtagDevice>& scan) {
  Session& s = S();
  if (s.tif == XRELAYARM_TIF_JTAG && s.chainPosSet) {
    if (s.drPre >= static_cast<int>(scan.size()) || !scan[static_cast<size_t>(s.drPre)].core) return -1;
    int ir = 0;
    for (int i = 0; i < s.drPre; i++)
      ir += static_cast<int>(scan[static_cast<size_t>(i)].irLen);
    return ir == s.irPre ? s.drPre : -1;
  }
  for (size_t i = 0; i < scan.size(); i++)
    if (scan[i].core) return static_cast<int>(i);
  return -1;
}

uint32_t CoreIdOf(const std::vector<JtagDevice>& scan) {
  int i = CoreIndex(scan);
  return i < 0 ? 0 : scan[static_cast<size_t>(i)].id;
}

int CoreClass(uint32_t core) {
  uint32_t fam = core >> 24;
  return fam == 1 || fam == 3 || fam == 6 || fam == 14 ? 1 : 0;
}

int OpenProbe() {
  Session& s = S();
  if (LoadProbes() != 0 || LoadDb() != 0) return -1;
  if (s.selectedPort < 0 || s.selectedPort >= static_cast<int>(s.probes.size()))
    return Fail(Format("No probe found at USB port %d", s.selectedPort));
  ProbeConfig& p = s.probes[static_cast<size_t>(s.selectedPort)];
  for (int slot : p.emptyGangSlots)
    if (slot == s.module)
      return Fail(Format("Gang programmer module #%d does not answer (the slot is empty)", s.module));
  int dev = s.db.Find(p.device);
  const DbDevice* d = s.db.Get(dev);
  if (!d || d->banks.empty())
    return Fail(Format("Simulated target: unknown device \"%s\"", p.device.c_str()));
  TargetConfig tc = p.target;
  tc.flashSize = d->banks[0].Size();
  tc.ramSize = d->ramSize;
  auto target = std::make_unique<At32f425>(tc, s.clock);
  std::string err;
  s.stateDir =
      StateRoot() + "/" + std::to_string(p.serialNo) + (s.module ? "/module" + std::to_string(s.module) : "");
  if (s.store.Open(s.stateDir, tc.flashSize, At32f425::kBootMemSize, At32f425::kUserDataSize, err) != 0)
    return Fail(err);
  target->UseCells(s.store.Cells());
  if (target->Open(err) != 0) {
    s.store.Close();
    return Fail(err);
  }
  target->Reset(false); /* power-up: the application runs */
  s.fs.SetRoot(s.stateDir + "/files");
  s.target = std::move(target);
  s.probe = s.selectedPort;
  s.open = true;
  s.lost = false;
  s.calls = 0;
  s.vtargetMv = p.vtargetMv;
  s.connected = false;
  s.speedKHz = 4000;
  s.adaptive = false;
  s.workArea.clear();
  s.irPre = s.drPre = 0;
  s.chainPosSet = false;
  s.chain.clear();
  s.chainNames.clear();
  return 0;
}

void CloseProbe() {
  Session& s = S();
  s.target.reset();
  s.store.Close();
  s.open = false;
  s.connected = false;
  s.lost = false;
  s.probe = -1;
  s.workArea.clear();
}

/* ---- core names ------------------------------------------------------------------------ */

std::string CoreName(uint32_t core) {
  if (core <= 0xFF) core = core << 24 | 0x00FFFFu; /* a family alone */
  if (core > 0x16FFFFFFu) return "Unspecified";
  uint32_t fam = core >> 24, b2 = (core >> 16) & 0xFF, b1 = (core >> 8) & 0xFF;
  uint32_t rev = (core >> 4) & 0xF, patch = core & 0xF;
  static const char* const kNames[] = {"None", "Cortex-M1", "Coldfire", "Cortex-M3", "Simulator", "XScale",
                                       "",     "ARM7",      "",         "ARM9",      "ARM10",     "ARM11",
                                       "",     "RX",        "",         "Cortex-A5", "PowerPC",   "MIPS",
                                       "8051", "RISC-V",    "",         "BT5511",    ""};
  std::string name = kNames[fam];
  bool cortex = false;
  switch (fam) {
  case 1:
  case 3:
  case 15:
    cortex = true;
    break;
  case 6:
    name = b2 == 1 ? "Cortex-M23" : "Cortex-M0";
    cortex = true;
    break;
  case 7:
    name = std::string("ARM7") + (b2 == 0 ? "TDMI" : "") + (b1 == 1 ? "-S" : "");
    break;
  case 8: {
    static const char* const a[] = {"Cortex-A8",  "Cortex-A7",  "Cortex-A9",
                                    "Cortex-A12", "Cortex-A15", "Cortex-A17"};
    name = b2 < 6 ? a[b2] : "Cortex-A8";
    cortex = true;
    break;
  }
  case 9:
    name = std::string("ARM9") + (b2 == 0 ? "TDMI" : "") + (b1 == 1 ? "-S" : "");
    break;
  case 12: {
    static const char* const r[] = {"Cortex-R4", "Cortex-R5", "Cortex-R8", "Cortex-R7"};
    name = b2 < 4 ? r[b2] : "Cortex-R4";
    cortex = true;
    break;
  }
  case 14: {
    static const char* const m[] = {"Cortex-M4",  "Cortex-M7", "Cortex-M33",
                                    "Cortex-M55", "STAR",      "Cortex-M85"};
    name = b2 < 6 ? m[b2] : "Unknown Cortex-M4 like";
    cortex = true;
    break;
  }
  case 16:
    name = b2 ? "PowerPC (Nexus 2+)" : "PowerPC (Nexus 1)";
    break;
  case 20: {
    static const char* const a[] = {"Cortex-A53", "Cortex-A57", "Cortex-A72", "Cortex-A35",
                                    "Cortex-R52", "Cortex-A55", "Cortex-A32"};
    name = b2 < 7 ? a[b2] : "Cortex-A53";
    cortex = true;
    break;
  }
  case 22:
    name = b2 == 4 ? "Xtensa LX7" : "Unknown type";
    break;
  default:
    break;
  }
  if (cortex) {
    if (rev != 15 || patch != 15) name += " ";
    if (rev != 15) name += Format("r%u", rev);
    if (patch != 15) name += Format("p%u", patch);
  } else if ((fam == 7 || fam == 9) && rev != 15) {
    name += Format(" Rev.%u", rev);
  }
  return name;
}

/* ---- commands -------------------------------------------------------------------------- */

int ExecOne(const std::string& cmd, std::string& err) {
  Session& s = S();
  std::string name, value;
  size_t eq = cmd.find('=');
  if (eq != std::string::npos) {
    name = Trim(std::string_view(cmd).substr(0, eq));
    value = Trim(std::string_view(cmd).substr(eq + 1));
  } else {
    size_t sp = cmd.find_first_of(" \t");
    name = Trim(std::string_view(cmd).substr(0, sp));
    value = sp == std::string::npos ? "" : Trim(std::string_view(cmd).substr(sp + 1));
  }
  uint32_t v = 0;
  auto needNumber = [&](uint32_t max) {
    if (!ParseU32(value, v) || v > max) {
      err = Format("Command \"%s\": invalid value \"%s\"", name.c_str(), value.c_str());
      return false;
    }
    return true;
  };
  auto noValue = [&]() {
    if (!value.empty()) {
      err = Format("Command \"%s\" takes no value", name.c_str());
      return false;
    }
    return true;
  };
  if (IEquals(name, "SetIsTForge") || IEquals(name, "EnableFlashDL") || IEquals(name, "DisableFlashDL") ||
      IEquals(name, "DisablePowerSupplyOnClose") || IEquals(name, "SuppressEmuUSBDialog")) {
    return noValue() ? 0 : -1;
  }
  if (IEquals(std::string_view(name).substr(0, 5), "DisHD")) {
    return 0; /* the program hands on a first argument "-DisHD..." as it is: nothing to do here */
  }
  if (IEquals(name, "SupplyPower") || IEquals(name, "SetCheckModeAfterRead") ||
      IEquals(name, "SetAllowRemoteRead") || IEquals(name, "SetAllowRemoteWrite") ||
      IEquals(name, "SetEnableMemCache") || IEquals(name, "SetAllowFlashCache") ||
      IEquals(name, "SetOnlyFreeMCUDBOnDLLUnload")) {
    return needNumber(1) ? 0 : -1;
  }
  if (IEquals(name, "SetVTrefTmp")) {
    if (!needNumber(5500)) return -1;
    if (s.open) s.vtargetMv = v; /* the probe drives its reference with this voltage */
    return 0;
  }
  if (IEquals(name, "SetSimVTarget")) {
    /* The simulated board's supply, for tests: applies to the open probe at once. */
    if (!needNumber(0xFFFF)) return -1;
    if (!s.open) {
      err = "Command \"SetSimVTarget\": no probe is open";
      return -1;
    }
    s.vtargetMv = v;
    return 0;
  }
  if (IEquals(name, "SetMSGBoxTimeout")) {
    if (value == "-1") return 0;
    return needNumber(0x7FFFFFFF) ? 0 : -1;
  }
  if (IEquals(name, "Device")) {
    if (LoadDb() != 0) {
      err = s.lastError;
      return -1;
    }
    if (s.db.Find(value) < 0) {
      err = Format("Unknown device \"%s\"", value.c_str());
      return -1;
    }
    s.device = value;
    return 0;
  }
  if (IEquals(name, "ExcludeFlashCacheRange")) {
    auto parts = Split(value, '-');
    uint32_t a, b;
    if (parts.size() != 2 || !ParseU32(parts[0], a) || !ParseU32(parts[1], b) || b < a) {
      err = Format("Command \"%s\": invalid range \"%s\"", name.c_str(), value.c_str());
      return -1;
    }
    return 0;
  }
  if (IEquals(name, "SetRXIDCode")) {
    if (value.empty() || value.size() > 32 ||
        value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      err = Format("Command \"%s\": an ID code is up to 32 hexadecimal digits", name.c_str());
      return -1;
    }
    return 0;
  }
  if (IEquals(name, "SelectModule")) {
    if (LoadProbes() != 0) {
      err = s.lastError;
      return -1;
    }
    int port = s.open ? s.probe : s.selectedPort;
    int modules = port >= 0 && port < static_cast<int>(s.probes.size()) ? s.probes[port].gangModules : 0;
    if (!needNumber(24)) return -1;
    if (v != 0 && v > static_cast<uint32_t>(modules)) { /* 0: the unit itself, on any probe */
      err = modules ? Format("Gang programmer module #%u does not exist (1..%d)", v, modules)
                    : std::string("The selected probe is not a gang programmer");
      return -1;
    }
    if (s.open) {
      err = "Close the connection to the gang programmer before selecting a module";
      return -1;
    }
    s.module = static_cast<int>(v);
    return 0;
  }
  if (IEquals(name, "XRelayDevicesXMLPath")) {
    if (value.empty()) {
      err = "Command \"XRelayDevicesXMLPath\": no path given";
      return -1;
    }
    DeviceDb db;
    if (db.Load(value, err) != 0) return -1;
    /* Names, sector tables and loader descriptors handed out before stay valid until the
       library is unloaded: the old database is kept (moving it leaves its devices in place). */
    if (s.db.IsLoaded()) s.formerDbs.push_back(std::move(s.db));
    s.db = std::move(db);
    s.dbPath = value;
    return 0;
  }
  if (IEquals(name, "scriptfile")) {
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') {
      err = "Command \"scriptfile\": the path must stand between double quotes";
      return -1;
    }
    std::string path = value.substr(1, value.size() - 2);
    std::vector<uint8_t> data;
    if (!ReadFile(path, data)) {
      err = Format("Could not open script file \"%s\"", path.c_str());
      return -1;
    }
    s.scriptFile = path;
    return 0;
  }
  err = Format("Unknown command \"%s\"", cmd.c_str());
  return -1;
}

/* ---- memory helpers -------------------------------------------------------------------- */

int ReadTarget(const char* what, uint32_t addr, uint32_t numBytes, void* data) {
  if (NeedConnected(what) != 0) return -1;
  if (numBytes && !data) return Fail(Format("%s: no buffer given", what));
  if (numBytes > 0x10000000u)
    return Fail(Format("%s: 0x%X bytes is beyond any target memory", what, numBytes));
  std::string err;
  AccountTransfer(numBytes);
  if (S().target->Read(addr, numBytes, static_cast<uint8_t*>(data), err) != 0) return Fail(err);
  return 0;
}

int WriteTarget(const char* what, uint32_t addr, uint32_t numBytes, const void* data) {
  if (NeedConnected(what) != 0) return -1;
  if (numBytes && !data) return Fail(Format("%s: no data given", what));
  if (numBytes > 0x10000000u)
    return Fail(Format("%s: 0x%X bytes is beyond any target memory", what, numBytes));
  std::string err;
  AccountTransfer(numBytes);
  int rc = S().target->Write(addr, numBytes, static_cast<const uint8_t*>(data), err);
  if (rc != 0) return Fail(err);
  return 0;
}

template <typename T>
int ReadUnits(const char* what, uint32_t addr, uint32_t numItems, T* data, uint8_t* status) {
  if (NeedConnected(what) != 0) return -1;
  if (numItems && !data) return Fail(Format("%s: no buffer given", what));
  if (numItems > 0x4000000u) return Fail(Format("%s: %u items is beyond any target memory", what, numItems));
  if (addr % sizeof(T)) return Fail(Format("%s: address 0x%08X is not aligned", what, addr));
  AccountTransfer(numItems * sizeof(T));
  std::string err;
  int failed = -1;
  for (uint32_t i = 0; i < numItems; i++) {
    T v{};
    bool ok = S().target->Read(addr + i * sizeof(T), sizeof(T), reinterpret_cast<uint8_t*>(&v), err) == 0;
    data[i] = ok ? v : T{};
    if (status) status[i] = ok ? 0 : 1;
    if (!ok && failed < 0) failed = static_cast<int>(i);
  }
  if (failed >= 0) return Fail(err);
  return static_cast<int>(numItems);
}

int RegsCommon(const char* what, const uint32_t* idx, void* values, uint8_t* status, uint32_t n, bool write,
               bool wide) {
  if (NeedHalted(what) != 0) return -1;
  if (n && (!idx || !values)) return Fail(Format("%s: no register list given", what));
  if (n > 4096) return Fail(Format("%s: %u registers is more than any core has", what, n));
  AccountTransfer(n * 4);
  std::string err, first;
  for (uint32_t i = 0; i < n; i++) {
    int rc;
    if (write) {
      uint64_t v = wide ? static_cast<const uint64_t*>(values)[i] : static_cast<const uint32_t*>(values)[i];
      rc = S().target->WriteReg(idx[i], static_cast<uint32_t>(v), err);
    } else {
      uint32_t v = 0;
      rc = S().target->ReadReg(idx[i], v, err);
      if (wide)
        static_cast<uint64_t*>(values)[i] = v;
      else
        static_cast<uint32_t*>(values)[i] = v;
    }
    if (status) status[i] = rc == 0 ? 0 : 1;
    if (rc != 0 && first.empty()) first = err;
  }
  if (!first.empty()) return Fail(first);
  return 0;
}

int RunCommon(const char* what) {
  if (NeedHalted(what) != 0) return -1;
  std::string err;
  if (S().target->Go(err) != 0) return Fail(err);
  return 0;
}

/* ---- XRELAY_GetpFunc functions --------------------------------------------------------- */

int FileCaps(const char* what, bool browse) {
  if (NeedOpen(what) != 0) return -1;
  ProbeConfig& p = *CurrentProbe();
  if (!p.fileIo || (browse && !p.fileBrowse)) {
    Fail(Format("%s: the connected probe/ programmer does not support this file function", what));
    return XRELAYARM_ERR_NOT_SUPPORTED;
  }
  return 0;
}

int FolderList(const char* sFolder, XRELAYARM_FOLDER_ENTRY* paEntries, int MaxEntries) {
  CALL("\"%s\", %p, %d", sFolder ? sFolder : "(null)", static_cast<void*>(paEntries), MaxEntries);
  if (int rc = FileCaps("List folder", true); rc != 0) return call_.Ret(rc);
  std::string err;
  int n = S().fs.List(sFolder, paEntries, MaxEntries, err);
  return call_.Ret(n < 0 ? Fail(err) : n);
}

int FileMove(const char* sOldPath, const char* sNewPath) {
  CALL("\"%s\", \"%s\"", sOldPath ? sOldPath : "(null)", sNewPath ? sNewPath : "(null)");
  if (int rc = FileCaps("Move file", true); rc != 0) return call_.Ret(rc);
  std::string err;
  int rc = S().fs.Move(sOldPath, sNewPath, err);
  return call_.Ret(rc < 0 ? Fail(err) : rc);
}

const void* AlgoInfo(uint32_t Core, uint32_t BankAddr, const uint8_t* pOrganisation) {
  CALL("0x%08X, 0x%08X, %p", Core, BankAddr, static_cast<const void*>(pOrganisation));
  S().pfuncCalls[XRELAY_PFUNC_ALGO_INFO]++;
  call_.Note("NULL"); /* no built-in algorithms: every bank has a loader of its own */
  return nullptr;
}

int BeforeFlash(void) {
  CALL("%s", "");
  S().pfuncCalls[XRELAY_PFUNC_BEFORE_FLASH]++;
  return call_.Ret(0);
}

int AfterFlash(void) {
  CALL("%s", "");
  S().pfuncCalls[XRELAY_PFUNC_AFTER_FLASH]++;
  return call_.Ret(0);
}

int ScriptTranslate(const char* sScriptFile, void* (*pfAlloc)(uint32_t NumBytes), uint8_t** ppCompiled,
                    uint32_t* pNumBytes) {
  CALL("\"%s\", %p, %p, %p", sScriptFile ? sScriptFile : "(null)", reinterpret_cast<void*>(pfAlloc),
       static_cast<void*>(ppCompiled), static_cast<void*>(pNumBytes));
  S().pfuncCalls[XRELAY_PFUNC_SCRIPT_TRANSLATE]++;
  if (!sScriptFile || !pfAlloc || !ppCompiled || !pNumBytes)
    return call_.Ret(Fail("Loader script: translate needs a file, an allocator and two results"));
  *ppCompiled = nullptr;
  *pNumBytes = 0;
  std::string text, err;
  if (!ReadTextFile(sScriptFile, text)) return call_.Ret(Fail(Format("Loader script: cannot read \"%s\"", sScriptFile)));
  std::vector<uint8_t> compiled;
  if (TranslateScript(text, compiled, err) != 0) return call_.Ret(Fail(Format("%s (%s)", err.c_str(), sScriptFile)));
  auto* out = static_cast<uint8_t*>(pfAlloc(static_cast<uint32_t>(compiled.size())));
  if (!out) return call_.Ret(Fail("Loader script: the caller's allocator gave no memory"));
  memcpy(out, compiled.data(), compiled.size());
  *ppCompiled = out;
  *pNumBytes = static_cast<uint32_t>(compiled.size());
  return call_.Ret(0);
}

int ScriptLoad(const uint8_t* pCompiled, uint32_t NumBytes) {
  CALL("%p, %u", static_cast<const void*>(pCompiled), NumBytes);
  Session& s = S();
  s.pfuncCalls[XRELAY_PFUNC_SCRIPT_LOAD]++;
  Script script;
  std::string err;
  if (script.Load(pCompiled, NumBytes, err) != 0) return call_.Ret(Fail(err));
  int handle = s.nextScript++;
  s.scripts[handle] = std::move(script);
  return call_.Ret(handle);
}

int ScriptUnload(int Handle) {
  CALL("%d", Handle);
  S().pfuncCalls[XRELAY_PFUNC_SCRIPT_UNLOAD]++;
  if (S().scripts.erase(Handle) == 0) return call_.Ret(Fail(Format("Loader script: no script %d loaded", Handle)));
  return call_.Ret(0);
}

const Script* FindScript(int handle) {
  auto it = S().scripts.find(handle);
  if (it == S().scripts.end()) {
    Fail(Format("Loader script: no script %d loaded", handle));
    return nullptr;
  }
  return &it->second;
}

int ScriptHasFunc(int Handle, const char* sFunction) {
  CALL("%d, \"%s\"", Handle, sFunction ? sFunction : "(null)");
  S().pfuncCalls[XRELAY_PFUNC_SCRIPT_HAS_FUNC]++;
  const Script* script = FindScript(Handle);
  if (!script) return call_.Ret(-1);
  return call_.Ret(sFunction && script->HasFunction(sFunction) ? 1 : 0);
}

int ScriptCall(int Handle, const char* sFunction, int32_t* pResult) {
  CALL("%d, \"%s\", %p", Handle, sFunction ? sFunction : "(null)", static_cast<void*>(pResult));
  S().pfuncCalls[XRELAY_PFUNC_SCRIPT_CALL]++;
  if (!sFunction || !pResult) return call_.Ret(Fail("Loader script: call needs a function name and a result"));
  const Script* script = FindScript(Handle);
  if (!script) return call_.Ret(-1);
  std::string err;
  auto write = [](uint32_t addr, unsigned size, uint32_t value, std::string&) {
    return WriteTarget("Loader script", addr, size, &value); /* reports its own failure */
  };
  int32_t result = 0;
  if (script->Call(sFunction, write, result, err) != 0) return call_.Ret(err.empty() ? -1 : Fail(err));
  *pResult = result;
  call_.Note(Format("0 (result %d)", result));
  return 0;
}

int LoaderDesc(int DeviceIndex, uint32_t BankAddr, uint32_t Flags, const char* sLoaderName,
               XRELAYARM_LOADER_DESC* pDesc) {
  CALL("%d, 0x%08X, %u, \"%s\", %p", DeviceIndex, BankAddr, Flags, sLoaderName ? sLoaderName : "(null)",
       static_cast<void*>(pDesc));
  if (!pDesc) return call_.Ret(Fail("Loader information: no descriptor given"));
  if (pDesc->SizeOfStruct < sizeof(XRELAYARM_LOADER_DESC))
    return call_.Ret(Fail(Format("Loader information: descriptor size %u, expected %zu", pDesc->SizeOfStruct,
                                 sizeof(XRELAYARM_LOADER_DESC))));
  if (LoadDb() != 0) return call_.Ret(-1);
  std::string err;
  if (S().db.GetLoaderDesc(DeviceIndex, BankAddr, sLoaderName, *pDesc, err) != 0) return call_.Ret(Fail(err));
  return call_.Ret(0);
}

} // namespace

/* ======================================================================================== */

extern "C" {

int XRELAYARM_GetDLLVersion(void) {
  CALL("%s", "");
  return call_.Ret(kVersion);
}

const char* XRELAYARM_GetCompileDateTime(void) {
  CALL("%s", "");
  return call_.RetS(__DATE__ " " __TIME__);
}

int XRELAYARM_ExecCommand(const char* sIn, char* sError, int BufferSize) {
  CALL("\"%s\", %p, %d", sIn ? sIn : "(null)", static_cast<void*>(sError), BufferSize);
  CopyText(sError, BufferSize, "");
  std::string err;
  int rc = sIn ? ExecOne(Trim(sIn), err) : (err = "No command given", -1);
  if (rc != 0) {
    CopyText(sError, BufferSize, err);
    Fail(err);
  }
  return call_.Ret(rc);
}

void XRELAYARM_SetErrorOutHandler(XRELAYARM_LOG_FUNC* pfErrorOut) {
  CALL("%p", reinterpret_cast<void*>(pfErrorOut));
  S().errorOut = pfErrorOut;
}

void XRELAYARM_SetLogFile(const char* sFilename) {
  LOCKED;
  Session& s = S();
  if (s.log) {
    fclose(s.log);
    s.log = nullptr;
  }
  if (sFilename && *sFilename) {
    s.log = fopen(sFilename, "a");
    if (!s.log) {
      Fail(Format("Could not open the log file \"%s\"", sFilename));
      return;
    }
    fprintf(s.log, "X-Relay probe library V%d.%02d%c log started\n", kVersion / 10000, kVersion / 100 % 100,
            'a' + kVersion % 100 - 1);
    CallLog(__func__, Format("\"%s\"", sFilename));
  }
}

char XRELAYARM_IsOpen(void) {
  CALL("%s", "");
  Session& s = S();
  return static_cast<char>(call_.Ret(s.open && !s.lost ? 1 : 0));
}

void XRELAYARM_Close(void) {
  CALL("%s", "");
  if (S().open) CloseProbe();
}

int XRELAYARM_GetHWStatus(XRELAYARM_HW_STATUS* pStat) {
  CALL("%p", static_cast<void*>(pStat));
  if (!pStat) return call_.Ret(Fail("GetHWStatus: no status record given"));
  if (NeedOpen("GetHWStatus", false) != 0) return call_.Ret(-1); /* polled by a thread of its own */
  RefreshVTarget(true);
  memset(pStat, 0, sizeof *pStat);
  pStat->VTarget = static_cast<uint16_t>(S().vtargetMv);
  pStat->tres = 1;
  pStat->trst = 1;
  pStat->tms = 1;
  call_.Note(Format("0 (VTarget = %u mV)", pStat->VTarget));
  return 0;
}

int XRELAYARM_SelectUSB(int Port) {
  CALL("%d", Port);
  if (LoadProbes() != 0) return call_.Ret(-1);
  if (Port < 0 || Port >= static_cast<int>(S().probes.size()))
    return call_.Ret(Fail(Format("No probe found at USB port %d", Port)));
  if (S().open) return call_.Ret(Fail("Close the open probe before selecting another one"));
  S().selectedPort = Port;
  return call_.Ret(0);
}

int XRELAYARM_EMU_SelectByUSBSN(uint32_t SerialNo) {
  CALL("%u", SerialNo);
  if (LoadProbes() != 0) return call_.Ret(-1);
  for (size_t i = 0; i < S().probes.size(); i++) {
    if (S().probes[i].serialNo == SerialNo) {
      if (S().open && S().probe != static_cast<int>(i))
        return call_.Ret(Fail("Close the open probe before selecting another one"));
      S().selectedPort = static_cast<int>(i);
      return call_.Ret(static_cast<int>(i));
    }
  }
  Fail(Format("No probe with S/N %u found", SerialNo));
  return call_.Ret(-1);
}

int XRELAYARM_SelectIP(const char* sHost, int Port) {
  CALL("\"%s\", %d", sHost ? sHost : "(null)", Port);
  return call_.Ret(
      Fail(Format("Cannot connect to \"%s\" over TCP/IP: this library serves simulated USB probes only",
                  sHost ? sHost : "")));
}

const char* XRELAYARM_OpenEx(XRELAYARM_LOG_FUNC* pfLog, XRELAYARM_LOG_FUNC* pfErrorOut) {
  CALL("%p, %p", reinterpret_cast<void*>(pfLog), reinterpret_cast<void*>(pfErrorOut));
  Session& s = S();
  if (pfErrorOut) s.errorOut = pfErrorOut;
  s.logOut = pfLog;
  if (s.open && !s.lost) return call_.RetS(nullptr);
  if (s.open) CloseProbe();
  if (OpenProbe() != 0) {
    s.openError = s.lastError;
    return call_.RetS(s.openError.c_str());
  }
  if (s.logOut) s.logOut(Format("Connected to probe S/N %u (simulated)", CurrentProbe()->serialNo).c_str());
  return call_.RetS(nullptr);
}

int XRELAYARM_GetSN(void) {
  CALL("%s", "");
  if (NeedOpen("GetSN") != 0) return call_.Ret(-1);
  return call_.Ret(static_cast<int>(CurrentProbe()->serialNo));
}

int XRELAYARM_GetFirmwareString(char* sBuffer, int BufferSize) {
  CALL("%p, %d", static_cast<void*>(sBuffer), BufferSize);
  if (!sBuffer || BufferSize <= 0) return call_.Ret(Fail("GetFirmwareString: no buffer given"));
  sBuffer[0] = 0;
  if (NeedOpen("GetFirmwareString") != 0) return call_.Ret(-1);
  CopyText(sBuffer, BufferSize, CurrentProbe()->firmware);
  return call_.Ret(static_cast<int>(strlen(sBuffer)));
}

int XRELAYARM_EMU_GetProductId(void) {
  CALL("%s", "");
  if (NeedOpen("EMU_GetProductId") != 0) return call_.Ret(-1);
  return call_.Ret(CurrentProbe()->productId);
}

int XRELAYARM_EMU_HasCapEx(int CapEx) {
  CALL("%d", CapEx);
  if (NeedOpen("EMU_HasCapEx") != 0) return call_.Ret(0);
  ProbeConfig& p = *CurrentProbe();
  int has = CapEx == XRELAYARM_CAP_EX_FILE_IO       ? p.fileIo
            : CapEx == XRELAYARM_CAP_EX_FILE_BROWSE ? p.fileBrowse
                                                    : 0;
  return call_.Ret(has ? 1 : 0);
}

int XRELAYARM_GetFeatureString(char* sBuffer, int BufferSize) {
  CALL("%p, %d", static_cast<void*>(sBuffer), BufferSize);
  if (!sBuffer || BufferSize <= 0) return call_.Ret(Fail("GetFeatureString: no buffer given"));
  sBuffer[0] = 0;
  if (NeedOpen("GetFeatureString") != 0) return call_.Ret(-1);
  CopyText(sBuffer, BufferSize, "FlashDL, FlashBP, GDB");
  return call_.Ret(static_cast<int>(strlen(sBuffer)));
}

int XRELAYARM_GetConfigData(int* pIRPre, int* pDRPre) {
  CALL("%p, %p", static_cast<void*>(pIRPre), static_cast<void*>(pDRPre));
  if (!pIRPre || !pDRPre) return call_.Ret(Fail("GetConfigData: no result variables given"));
  if (NeedOpen("GetConfigData") != 0) return call_.Ret(-1);
  *pIRPre = S().irPre;
  *pDRPre = S().drPre;
  return call_.Ret(0);
}

int XRELAYARM_ReadEmuConfigMem(uint8_t* pData, uint32_t Offset, uint32_t NumBytes) {
  CALL("%p, %u, %u", static_cast<void*>(pData), Offset, NumBytes);
  if (NumBytes && !pData) return call_.Ret(Fail("ReadEmuConfigMem: no buffer given"));
  if (Offset > 256 || NumBytes > 256 - Offset)
    return call_.Ret(Fail(
        Format("ReadEmuConfigMem: 0x%X bytes at %u leave the 256-byte configuration", NumBytes, Offset)));
  if (NeedOpen("ReadEmuConfigMem") != 0) return call_.Ret(-1);
  uint8_t mem[256];
  memset(mem, 0xFF, sizeof mem);
  const std::string& nick = CurrentProbe()->nickname;
  if (!nick.empty()) {
    memset(mem + 80, 0, 32);
    memcpy(mem + 80, nick.data(), std::min<size_t>(nick.size(), 31));
  }
  if (NumBytes) memcpy(pData, mem + Offset, NumBytes);
  return call_.Ret(0);
}

int XRELAYARM_INDICATORS_SetState(const XRELAYARM_INDICATOR_STATE* paStates, int NumStates) {
  CALL("%p, %d", static_cast<const void*>(paStates), NumStates);
  if (NumStates < 0 || NumStates > 64 || (NumStates && !paStates))
    return call_.Ret(Fail("INDICATORS_SetState: invalid state list"));
  if (NeedOpen("INDICATORS_SetState") != 0) return call_.Ret(-1);
  S().indicators.assign(paStates, paStates + NumStates);
  return call_.Ret(0);
}

/* ---- interface ------------------------------------------------------------------------- */

int XRELAYARM_TIF_Select(int Interface) {
  CALL("%d", Interface);
  if (NeedOpen("TIF_Select") != 0) return call_.Ret(-1);
  if (Interface != XRELAYARM_TIF_JTAG && Interface != XRELAYARM_TIF_SWD && Interface != XRELAYARM_TIF_FINE &&
      Interface != XRELAYARM_TIF_CJTAG)
    return call_.Ret(Fail(Format("Unknown target interface %d", Interface)));
  S().tif = Interface;
  S().connected = false;
  return call_.Ret(0);
}

int XRELAYARM_SetSpeed(uint32_t Speed) {
  CALL("%u", Speed);
  if (NeedOpen("SetSpeed") != 0) return call_.Ret(-1);
  Session& s = S();
  if (Speed == XRELAYARM_SPEED_ADAPTIVE) {
    /* A probe without adaptive clocking keeps its fixed speed; GetSpeed tells which it is. */
    if (CurrentProbe()->adaptive) s.adaptive = true;
    return call_.Ret(0);
  }
  if (Speed == 0) return call_.Ret(Fail("SetSpeed: a speed of 0 kHz"));
  s.adaptive = false;
  s.speedKHz = Speed;
  return call_.Ret(0);
}

int XRELAYARM_SetMaxSpeed(void) {
  CALL("%s", "");
  if (NeedOpen("SetMaxSpeed") != 0) return call_.Ret(-1);
  S().adaptive = false;
  S().speedKHz = CurrentProbe()->maxSpeedKHz;
  return call_.Ret(0);
}

int XRELAYARM_GetSpeed(void) {
  CALL("%s", "");
  if (NeedOpen("GetSpeed") != 0) return call_.Ret(-2);
  return call_.Ret(S().adaptive ? -1 : static_cast<int>(EffectiveSpeed()));
}

int XRELAYARM_ConfigJTAG(int IRPre, int DRPre) {
  CALL("%d, %d", IRPre, DRPre);
  if (IRPre < 0 || DRPre < 0 || IRPre > 1024 || DRPre > XRELAYARM_MAX_JTAG_DEVICES)
    return call_.Ret(
        Fail(Format("ConfigJTAG: invalid chain position (IRPre = %d, DRPre = %d)", IRPre, DRPre)));
  if (NeedOpen("ConfigJTAG") != 0) return call_.Ret(-1);
  S().irPre = IRPre;
  S().drPre = DRPre;
  S().chainPosSet = true;
  return call_.Ret(0);
}

int XRELAYARM_JTAG_ConfigDevices(uint32_t NumDevices, const XRELAYARM_JTAG_DEVICE_CONF* paConf) {
  CALL("%u, %p", NumDevices, static_cast<const void*>(paConf));
  if (NumDevices > XRELAYARM_MAX_JTAG_DEVICES || (NumDevices && !paConf))
    return call_.Ret(Fail("JTAG_ConfigDevices: invalid device list"));
  if (NeedOpen("JTAG_ConfigDevices") != 0) return call_.Ret(-1);
  Session& s = S();
  s.chain.assign(paConf, paConf + NumDevices);
  s.chainNames.clear();
  for (auto& c : s.chain) {
    if (c.SizeOfStruct != 20 && c.SizeOfStruct != sizeof(XRELAYARM_JTAG_DEVICE_CONF))
      return call_.Ret(Fail(Format("JTAG_ConfigDevices: record size %u", c.SizeOfStruct)));
    s.chainNames.push_back(c.sName ? c.sName : "");
  }
  for (size_t i = 0; i < s.chain.size(); i++)
    s.chain[i].sName = s.chainNames[i].c_str();
  return call_.Ret(0);
}

uint32_t XRELAYARM_JTAG_GetDeviceId(uint32_t DeviceIndex) {
  CALL("%u", DeviceIndex);
  if (NeedOpen("JTAG_GetDeviceId") != 0) return call_.RetU(0);
  auto scan = Scan();
  return call_.RetU(DeviceIndex < scan.size() ? scan[DeviceIndex].id : 0);
}

int XRELAYARM_JTAG_GetDeviceInfo(uint32_t DeviceIndex, char* sName, int BufferSize) {
  CALL("%u, %p, %d", DeviceIndex, static_cast<void*>(sName), BufferSize);
  CopyText(sName, BufferSize, "");
  if (NeedOpen("JTAG_GetDeviceInfo") != 0) return call_.Ret(-1);
  auto scan = Scan();
  if (DeviceIndex >= scan.size()) return call_.Ret(Fail(Format("No JTAG device #%u in the chain", DeviceIndex)));
  CopyText(sName, BufferSize, scan[DeviceIndex].name);
  return call_.Ret(static_cast<int>(scan[DeviceIndex].irLen));
}

int XRELAYARM_GetIdData(XRELAYARM_ID_DATA* pIdData) {
  CALL("%p", static_cast<void*>(pIdData));
  if (!pIdData) return call_.Ret(Fail("GetIdData: no record given"));
  memset(pIdData, 0, sizeof *pIdData);
  if (NeedOpen("GetIdData") != 0) return call_.Ret(-1);
  auto scan = Scan(); /* empty without supply: nothing answers */
  pIdData->NumDevices = static_cast<int32_t>(scan.size());
  for (size_t i = 0; i < scan.size(); i++) {
    pIdData->aId[i] = scan[i].id;
    pIdData->aIRLen[i] = static_cast<uint8_t>(scan[i].irLen);
    pIdData->ScanLen += scan[i].irLen;
  }
  pIdData->CoreId = CoreIdOf(scan);
  return call_.Ret(0);
}

int XRELAYARM_StoreCmd(uint8_t Cmd) {
  CALL("%u", Cmd);
  if (NeedOpen("StoreCmd") != 0) return call_.Ret(-1);
  S().queuedBits += 4;
  return call_.Ret(static_cast<int>(S().queuedBits));
}

int XRELAYARM_StoreData(const uint32_t* pData, int NumBits) {
  CALL("%p, %d", static_cast<const void*>(pData), NumBits);
  if (!pData || NumBits < 1 || NumBits > 32) return call_.Ret(Fail("StoreData: 1..32 bits of data expected"));
  if (NeedOpen("StoreData") != 0) return call_.Ret(-1);
  S().queuedBits += static_cast<uint32_t>(NumBits);
  return call_.Ret(static_cast<int>(S().queuedBits));
}

int XRELAYARM_WriteBits(void) {
  CALL("%s", "");
  if (NeedOpen("WriteBits") != 0) return call_.Ret(-1);
  AccountTransfer((S().queuedBits + 7) / 8);
  S().queuedBits = 0;
  return call_.Ret(0);
}

/* ---- core and reset -------------------------------------------------------------------- */

int XRELAYARM_CORE_Select(uint32_t Core) {
  CALL("0x%08X", Core);
  if (Core > 0x16FFFFFFu) return call_.Ret(Fail(Format("CORE_Select: unknown core 0x%08X", Core)));
  S().core = Core;
  return call_.Ret(0);
}

int XRELAYARM_Connect(void) {
  CALL("%s", "");
  if (NeedOpen("Connect") != 0) return call_.Ret(-1);
  Session& s = S();
  if (s.vtargetMv < kMinVTargetMv)
    return call_.Ret(
        Fail(Format("Could not connect: target voltage too low (VTarget = %u mV)", s.vtargetMv)));
  if (s.tif == XRELAYARM_TIF_FINE)
    return call_.Ret(Fail("Could not connect: the target does not answer on FINE"));
  if (s.core && !CoreClass(s.core))
    return call_.Ret(Fail(
        Format("Could not connect: no %s core found, the target has a Cortex-M4", CoreName(s.core).c_str())));
  if (CoreIndex(Scan()) < 0)
    return call_.Ret(Fail(Format("Could not connect: no Cortex-M core at the configured JTAG chain position "
                                 "(IRPre = %d, DRPre = %d)",
                                 s.irPre, s.drPre)));
  s.connected = true;
  s.hasError = false;
  AccountTransfer(64);
  return call_.Ret(0);
}

uint32_t XRELAYARM_GetId(void) {
  CALL("%s", "");
  if (!S().open || !S().connected || S().lost) return call_.RetU(0);
  return call_.RetU(CoreIdOf(Scan()));
}

int XRELAYARM_GetDeviceFamily(void) {
  CALL("%s", "");
  if (S().open && S().connected) return call_.Ret(S().core ? static_cast<int>(S().core >> 24) : 14);
  if (S().core) return call_.Ret(static_cast<int>(S().core >> 24));
  return call_.Ret(Fail("GetDeviceFamily: no core selected or connected"));
}

int XRELAYARM_Core2CoreName(uint32_t Core, char* sBuffer, int BufferSize) {
  CALL("0x%08X, %p, %d", Core, static_cast<void*>(sBuffer), BufferSize);
  if (!sBuffer || BufferSize <= 0) return call_.Ret(Fail("Core2CoreName: no buffer given"));
  std::string n = CoreName(Core);
  CopyText(sBuffer, BufferSize, n);
  return call_.Ret(static_cast<int>(strlen(sBuffer)));
}

int XRELAYARM_SetEndian(int BigEndian) {
  CALL("%d", BigEndian);
  if (BigEndian != 0 && BigEndian != 1)
    return call_.Ret(Fail(Format("SetEndian: invalid value %d", BigEndian)));
  int prev = S().endian;
  if (BigEndian) return call_.Ret(Fail("SetEndian: the Cortex-M4 target is little endian only"));
  S().endian = BigEndian;
  return call_.Ret(prev);
}

int XRELAYARM_MeasureCPUSpeedEx(uint32_t RAMAddr, int PreserveMem, int AllowFail) {
  CALL("0x%08X, %d, %d", RAMAddr, PreserveMem, AllowFail);
  /* The probe stops a running core for the measurement and lets it go on afterwards; the
     measuring loop runs in the RAM given, which it leaves as it was. */
  if (NeedConnected("MeasureCPUSpeed") != 0) return call_.Ret(-1);
  ProbeConfig& p = *CurrentProbe();
  if (!p.canMeasureClock) return call_.Ret(0); /* not supported on this probe */
  auto cannot = [&](const std::string& text) { return AllowFail ? 0 : Fail(text); };
  if (!S().target->IsRam(RAMAddr, 64))
    return call_.Ret(cannot(Format("Failed to measure CPU speed: no RAM for the measurement at 0x%08X", RAMAddr)));
  Spend(2000); /* the measuring loop */
  if (p.clockMeasureFails)
    return call_.Ret(cannot("Failed to measure CPU speed: the measuring loop did not stop"));
  return call_.Ret(static_cast<int>(S().target->CpuClockHz()));
}

int XRELAYARM_MeasureCPUSpeed(uint32_t RAMAddr, int PreserveMem) {
  return XRELAYARM_MeasureCPUSpeedEx(RAMAddr, PreserveMem, 0);
}

int XRELAYARM_Halt(void) {
  CALL("%s", "");
  if (NeedConnected("Halt") != 0) return call_.Ret(-1);
  S().target->Halt();
  return call_.Ret(0);
}

int XRELAYARM_IsHalted(void) {
  CALL("%s", "");
  if (NeedConnected("IsHalted") != 0) return call_.Ret(-1);
  int halted = S().target->PollHalted();
  std::string fault = S().target->TakeFault();
  if (!fault.empty()) Fail(fault);
  return call_.Ret(halted);
}

int XRELAYARM_Go(void) {
  CALL("%s", "");
  return call_.Ret(RunCommon("Go"));
}

int XRELAYARM_GoIntDis(void) {
  CALL("%s", "");
  /* No interrupt source is simulated: running with interrupts masked is the same run. */
  return call_.Ret(RunCommon("GoIntDis"));
}

int XRELAYARM_SetBP(uint32_t BPIndex, uint32_t Addr) {
  CALL("%u, 0x%08X", BPIndex, Addr);
  if (NeedConnected("SetBP") != 0) return call_.Ret(-1);
  std::string err;
  if (S().target->SetBreakpoint(BPIndex, Addr, err) != 0) return call_.Ret(Fail(err));
  return call_.Ret(0);
}

int XRELAYARM_HasError(void) {
  CALL("%s", "");
  return call_.Ret(S().hasError ? 1 : 0);
}

static int DoReset(const char* what, bool halt) {
  if (NeedConnected(what) != 0) return -1;
  Session& s = S();
  s.target->Reset(halt);
  s.clock.us += s.resetDelay * 1000.0;
  return 0;
}

int XRELAYARM_Reset(void) {
  CALL("%s", "");
  return call_.Ret(DoReset("Reset", true));
}

int XRELAYARM_ResetNoHalt(void) {
  CALL("%s", "");
  return call_.Ret(DoReset("ResetNoHalt", false));
}

int XRELAYARM_ResetPullsRESET(int OnOff) {
  CALL("%d", OnOff);
  int prev = S().resetPullsReset;
  S().resetPullsReset = OnOff ? 1 : 0;
  return call_.Ret(prev);
}

int XRELAYARM_SetResetType(int ResetType) {
  CALL("%d", ResetType);
  if (ResetType < 0 || ResetType > 0xFF)
    return call_.Ret(Fail(Format("SetResetType: invalid type %d", ResetType)));
  int prev = S().resetType;
  S().resetType = ResetType;
  return call_.Ret(prev);
}

int XRELAYARM_SetResetDelay(int Delay) {
  CALL("%d", Delay);
  if (Delay < 0 || Delay > 0xFFFF)
    return call_.Ret(Fail(Format("SetResetDelay: invalid delay %d ms", Delay)));
  int prev = S().resetDelay;
  S().resetDelay = Delay;
  return call_.Ret(prev);
}

int XRELAYARM_SetRESET(void) {
  CALL("%s", "");
  if (NeedOpen("SetRESET") != 0) return call_.Ret(-1);
  if (S().resetHeld) S().target->Reset(false); /* leaving reset starts the application */
  S().resetHeld = false;
  return call_.Ret(0);
}

int XRELAYARM_ClrRESET(void) {
  CALL("%s", "");
  if (NeedOpen("ClrRESET") != 0) return call_.Ret(-1);
  S().resetHeld = true;
  S().target->Halt();
  return call_.Ret(0);
}

/* ---- memory and registers -------------------------------------------------------------- */

int XRELAYARM_ReadMem(uint32_t Addr, uint32_t NumBytes, void* pData) {
  CALL("0x%08X, 0x%X, %p", Addr, NumBytes, pData);
  return call_.Ret(ReadTarget("ReadMem", Addr, NumBytes, pData));
}

int XRELAYARM_ReadMemEx(uint32_t Addr, uint32_t NumBytes, void* pData, uint32_t Flags) {
  CALL("0x%08X, 0x%X, %p, 0x%X", Addr, NumBytes, pData, Flags);
  int rc = ReadTarget("ReadMemEx", Addr, NumBytes, pData);
  return call_.Ret(rc < 0 ? rc : static_cast<int>(NumBytes));
}

int XRELAYARM_ReadMemU8(uint32_t Addr, uint32_t NumItems, uint8_t* pData, uint8_t* pStatus) {
  CALL("0x%08X, %u, %p, %p", Addr, NumItems, static_cast<void*>(pData), static_cast<void*>(pStatus));
  return call_.Ret(ReadUnits("ReadMemU8", Addr, NumItems, pData, pStatus));
}

int XRELAYARM_ReadMemU16(uint32_t Addr, uint32_t NumItems, uint16_t* pData, uint8_t* pStatus) {
  CALL("0x%08X, %u, %p, %p", Addr, NumItems, static_cast<void*>(pData), static_cast<void*>(pStatus));
  return call_.Ret(ReadUnits("ReadMemU16", Addr, NumItems, pData, pStatus));
}

int XRELAYARM_ReadMemU32(uint32_t Addr, uint32_t NumItems, uint32_t* pData, uint8_t* pStatus) {
  CALL("0x%08X, %u, %p, %p", Addr, NumItems, static_cast<void*>(pData), static_cast<void*>(pStatus));
  return call_.Ret(ReadUnits("ReadMemU32", Addr, NumItems, pData, pStatus));
}

int XRELAYARM_WriteMem(uint32_t Addr, uint32_t NumBytes, const void* pData) {
  CALL("0x%08X, 0x%X, %p", Addr, NumBytes, pData);
  return call_.Ret(WriteTarget("WriteMem", Addr, NumBytes, pData));
}

int XRELAYARM_WriteMemEx(uint32_t Addr, uint32_t NumBytes, const void* pData, uint32_t Flags) {
  CALL("0x%08X, 0x%X, %p, 0x%X", Addr, NumBytes, pData, Flags);
  int rc = WriteTarget("WriteMemEx", Addr, NumBytes, pData);
  return call_.Ret(rc < 0 ? rc : static_cast<int>(NumBytes));
}

int XRELAYARM_WriteU8(uint32_t Addr, uint8_t Data) {
  CALL("0x%08X, 0x%02X", Addr, Data);
  return call_.Ret(WriteTarget("WriteU8", Addr, 1, &Data));
}

int XRELAYARM_WriteU16(uint32_t Addr, uint16_t Data) {
  CALL("0x%08X, 0x%04X", Addr, Data);
  if (Addr & 1u) return call_.Ret(Fail(Format("WriteU16: address 0x%08X is not aligned", Addr)));
  return call_.Ret(WriteTarget("WriteU16", Addr, 2, &Data));
}

int XRELAYARM_WriteU32(uint32_t Addr, uint32_t Data) {
  CALL("0x%08X, 0x%08X", Addr, Data);
  if (Addr & 3u) return call_.Ret(Fail(Format("WriteU32: address 0x%08X is not aligned", Addr)));
  return call_.Ret(WriteTarget("WriteU32", Addr, 4, &Data));
}

int XRELAYARM_WA_AddRange(uint32_t Addr, uint32_t NumBytes) {
  CALL("0x%08X, 0x%X", Addr, NumBytes);
  Session& s = S();
  size_t held = 0;
  for (const auto& r : s.workArea)
    held += r.data.size();
  if (NumBytes > kWorkAreaLimit || held + NumBytes > kWorkAreaLimit)
    return call_.Ret(Fail(Format("WA_AddRange: more than %u bytes to preserve", kWorkAreaLimit)));
  SavedRange r{Addr, std::vector<uint8_t>(NumBytes)};
  if (ReadTarget("WA_AddRange", Addr, NumBytes, r.data.data()) != 0) return call_.Ret(-1);
  s.workArea.push_back(std::move(r));
  return call_.Ret(0);
}

int XRELAYARM_WA_Restore(void) {
  CALL("%s", "");
  Session& s = S();
  int rc = 0;
  /* Newest first, so that overlapping ranges end as they were before the first save. */
  for (auto it = s.workArea.rbegin(); it != s.workArea.rend(); ++it)
    if (WriteTarget("WA_Restore", it->addr, static_cast<uint32_t>(it->data.size()), it->data.data()) != 0)
      rc = -1;
  s.workArea.clear();
  return call_.Ret(rc);
}

int XRELAYARM_ReadReg(uint32_t RegIndex, uint32_t* pData) {
  CALL("%u, %p", RegIndex, static_cast<void*>(pData));
  if (!pData) return call_.Ret(Fail("ReadReg: no result variable given"));
  *pData = 0;
  int rc = RegsCommon("ReadReg", &RegIndex, pData, nullptr, 1, false, false);
  if (rc == 0) call_.Note(Format("0 (0x%08X)", *pData));
  return rc == 0 ? 0 : call_.Ret(rc);
}

int XRELAYARM_WriteReg(uint32_t RegIndex, uint32_t Data) {
  CALL("%u, 0x%08X", RegIndex, Data);
  return call_.Ret(RegsCommon("WriteReg", &RegIndex, &Data, nullptr, 1, true, false));
}

int XRELAYARM_ReadRegs(const uint32_t* paRegIndex, uint32_t* paData, uint8_t* paStatus, uint32_t NumRegs) {
  CALL("%p, %p, %p, %u", static_cast<const void*>(paRegIndex), static_cast<void*>(paData),
       static_cast<void*>(paStatus), NumRegs);
  return call_.Ret(RegsCommon("ReadRegs", paRegIndex, paData, paStatus, NumRegs, false, false));
}

int XRELAYARM_WriteRegs(const uint32_t* paRegIndex, const uint32_t* paData, uint8_t* paStatus,
                        uint32_t NumRegs) {
  CALL("%p, %p, %p, %u", static_cast<const void*>(paRegIndex), static_cast<const void*>(paData),
       static_cast<void*>(paStatus), NumRegs);
  return call_.Ret(
      RegsCommon("WriteRegs", paRegIndex, const_cast<uint32_t*>(paData), paStatus, NumRegs, true, false));
}

int XRELAY_ReadRegs_64(const uint32_t* paRegIndex, uint64_t* paData, uint8_t* paStatus, uint32_t NumRegs) {
  CALL("%p, %p, %p, %u", static_cast<const void*>(paRegIndex), static_cast<void*>(paData),
       static_cast<void*>(paStatus), NumRegs);
  return call_.Ret(RegsCommon("ReadRegs_64", paRegIndex, paData, paStatus, NumRegs, false, true));
}

int XRELAY_WriteRegs_64(const uint32_t* paRegIndex, const uint64_t* paData, uint8_t* paStatus,
                        uint32_t NumRegs) {
  CALL("%p, %p, %p, %u", static_cast<const void*>(paRegIndex), static_cast<const void*>(paData),
       static_cast<void*>(paStatus), NumRegs);
  return call_.Ret(
      RegsCommon("WriteRegs_64", paRegIndex, const_cast<uint64_t*>(paData), paStatus, NumRegs, true, true));
}

int XRELAYARM_WriteICEReg(uint32_t RegIndex, uint32_t Value, int AllowDelay) {
  CALL("%u, 0x%08X, %d", RegIndex, Value, AllowDelay);
  if (NeedConnected("WriteICEReg") != 0) return call_.Ret(-1);
  return call_.Ret(Fail("WriteICEReg: the Cortex-M4 target has no EmbeddedICE"));
}

int XRELAYARM_WriteDebugReg(uint32_t RegIndex, uint32_t Data) {
  CALL("0x%08X, 0x%08X", RegIndex, Data);
  if (NeedConnected("WriteDebugReg") != 0) return call_.Ret(-1);
  if ((RegIndex & 3u) || RegIndex < 0xE0000000u)
    return call_.Ret(Fail(Format("WriteDebugReg: 0x%08X is not a debug register address", RegIndex)));
  return call_.Ret(WriteTarget("WriteDebugReg", RegIndex, 4, &Data));
}

int XRELAYARM_CP15_ReadReg(uint32_t RegIndex, uint32_t* pData) {
  CALL("%u, %p", RegIndex, static_cast<void*>(pData));
  if (pData) *pData = 0;
  if (NeedConnected("CP15_ReadReg") != 0) return call_.Ret(-1);
  return call_.Ret(Fail("CP15_ReadReg: the Cortex-M4 target has no CP15"));
}

int XRELAYARM_CP15_WriteReg(uint32_t RegIndex, uint32_t Data) {
  CALL("%u, 0x%08X", RegIndex, Data);
  if (NeedConnected("CP15_WriteReg") != 0) return call_.Ret(-1);
  return call_.Ret(Fail("CP15_WriteReg: the Cortex-M4 target has no CP15"));
}

/* ---- device database ------------------------------------------------------------------- */

int XRELAYARM_DEVICE_GetIndex(const char* sDeviceName) {
  CALL("\"%s\"", sDeviceName ? sDeviceName : "(null)");
  if (!sDeviceName) return call_.Ret(Fail("DEVICE_GetIndex: no name given"));
  if (LoadDb() != 0) return call_.Ret(-1);
  return call_.Ret(S().db.Find(sDeviceName));
}

int XRELAYARM_DEVICE_GetInfo(int DeviceIndex, XRELAYARM_DEVICE_INFO* pInfo) {
  CALL("%d, %p", DeviceIndex, static_cast<void*>(pInfo));
  if (LoadDb() != 0) return call_.Ret(-1);
  if (DeviceIndex == -1) return call_.Ret(S().db.Count());
  if (!pInfo) return call_.Ret(Fail("DEVICE_GetInfo: no record given"));
  if (pInfo->SizeOfStruct < XRELAYARM_DEVICE_INFO_SIZE)
    return call_.Ret(Fail(Format("DEVICE_GetInfo: record size %u, expected %d", pInfo->SizeOfStruct,
                                 XRELAYARM_DEVICE_INFO_SIZE)));
  if (DeviceIndex < 0 || DeviceIndex >= S().db.Count()) return call_.Ret(-1); /* past the end: no error */
  S().db.FillInfo(DeviceIndex, *pInfo);
  return call_.Ret(0);
}

int XRELAY_DEVICE_GetInfo(int DeviceIndex, XRELAYARM_DEVICE_INFO* pInfo) {
  return XRELAYARM_DEVICE_GetInfo(DeviceIndex, pInfo);
}

const char* XRELAY_DEVICE_GetLoaderName(int DeviceIndex, uint32_t BankAddr, uint32_t Flags, int LoaderIndex) {
  CALL("%d, 0x%08X, %u, %d", DeviceIndex, BankAddr, Flags, LoaderIndex);
  if (LoadDb() != 0) return call_.RetS(nullptr);
  const DbDevice* d = S().db.Get(DeviceIndex);
  const DbBank* b = d ? d->FindBank(BankAddr) : nullptr;
  if (!b || LoaderIndex < 0 || LoaderIndex >= static_cast<int>(b->loaders.size())) return call_.RetS(nullptr);
  return call_.RetS(b->loaders[static_cast<size_t>(LoaderIndex)].name.c_str());
}

/* ---- programmer files ------------------------------------------------------------------ */

int XRELAYARM_EMU_FILE_Write(const char* sFile, const uint8_t* pData, uint32_t Offset, uint32_t NumBytes) {
  CALL("\"%s\", %p, %u, %u", sFile ? sFile : "(null)", static_cast<const void*>(pData), Offset, NumBytes);
  if (FileCaps("EMU_FILE_Write", false) != 0) return call_.Ret(-1);
  std::string err;
  int n = S().fs.Write(sFile, pData, Offset, NumBytes, err);
  return call_.Ret(n < 0 ? Fail(err) : n);
}

int XRELAYARM_EMU_FILE_Read(const char* sFile, uint8_t* pData, uint32_t Offset, uint32_t NumBytes) {
  CALL("\"%s\", %p, %u, %u", sFile ? sFile : "(null)", static_cast<void*>(pData), Offset, NumBytes);
  if (FileCaps("EMU_FILE_Read", false) != 0) return call_.Ret(-1);
  std::string err;
  int n = S().fs.Read(sFile, pData, Offset, NumBytes, err);
  return call_.Ret(n < 0 ? Fail(err) : n);
}

int XRELAYARM_EMU_FILE_GetSize(const char* sFile) {
  CALL("\"%s\"", sFile ? sFile : "(null)");
  if (FileCaps("EMU_FILE_GetSize", false) != 0) return call_.Ret(-1);
  std::string err;
  int n = S().fs.GetSize(sFile, err);
  return call_.Ret(n < 0 && !err.empty() ? Fail(err) : n); /* "not a file" is an answer, not an error */
}

int XRELAYARM_EMU_FILE_Delete(const char* sFile) {
  CALL("\"%s\"", sFile ? sFile : "(null)");
  if (FileCaps("EMU_FILE_Delete", false) != 0) return call_.Ret(-1);
  std::string err;
  int rc = S().fs.Delete(sFile, err);
  return call_.Ret(rc < 0 ? Fail(err) : rc);
}

void* XRELAY_GetpFunc(int Index) {
  CALL("%d", Index);
  void* f = nullptr;
  switch (Index) {
  case XRELAY_PFUNC_ALGO_INFO:
    f = reinterpret_cast<void*>(&AlgoInfo);
    break;
  case XRELAY_PFUNC_BEFORE_FLASH:
    f = reinterpret_cast<void*>(&BeforeFlash);
    break;
  case XRELAY_PFUNC_AFTER_FLASH:
    f = reinterpret_cast<void*>(&AfterFlash);
    break;
  case XRELAY_PFUNC_SCRIPT_TRANSLATE:
    f = reinterpret_cast<void*>(&ScriptTranslate);
    break;
  case XRELAY_PFUNC_SCRIPT_LOAD:
    f = reinterpret_cast<void*>(&ScriptLoad);
    break;
  case XRELAY_PFUNC_SCRIPT_UNLOAD:
    f = reinterpret_cast<void*>(&ScriptUnload);
    break;
  case XRELAY_PFUNC_SCRIPT_HAS_FUNC:
    f = reinterpret_cast<void*>(&ScriptHasFunc);
    break;
  case XRELAY_PFUNC_SCRIPT_CALL:
    f = reinterpret_cast<void*>(&ScriptCall);
    break;
  case XRELAY_PFUNC_FOLDER_LIST:
    f = reinterpret_cast<void*>(&FolderList);
    break;
  case XRELAY_PFUNC_FILE_MOVE:
    f = reinterpret_cast<void*>(&FileMove);
    break;
  case XRELAY_PFUNC_LOADER_DESC:
    f = reinterpret_cast<void*>(&LoaderDesc);
    break;
  default:
    break; /* not supported */
  }
  call_.Note(f ? "function" : "NULL");
  return f;
}

int64_t XRELAYARM_SIM_GetVirtualTimeUs(void) {
  CALL("%s", "");
  int64_t us = static_cast<int64_t>(S().clock.us);
  call_.Note(std::to_string(us));
  return us;
}

int64_t XRELAYARM_SIM_GetNumPFuncCalls(int Index) {
  CALL("%d", Index);
  auto it = S().pfuncCalls.find(Index);
  int64_t n = it == S().pfuncCalls.end() ? 0 : it->second;
  call_.Note(std::to_string(n));
  return n;
}

int64_t XRELAYARM_SIM_GetNumRoundTrips(void) {
  CALL("%s", "");
  int64_t n = S().roundTrips;
  call_.Note(std::to_string(n));
  return n;
}

} // extern "C"
