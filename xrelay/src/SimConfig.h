/*
 * SimConfig.h - the probes of the simulator, read from the configuration file
 * (XRELAY_SIM_CONFIG, else xrelay-sim.ini beside the library; without any file one default
 * probe). Each "[Probe]" section is one probe on the next USB port. Keys are listed in
 * xrelay/README.md.
 */
#pragma once

#include "At32f425.h"

#include <cstdint>
#include <string>
#include <vector>

namespace xr {

/* One device of the simulated JTAG chain; core: the debug port of the simulated CPU. */
struct JtagDevice {
  uint32_t id = 0;
  uint32_t irLen = 4;
  std::string name;
  bool core = false;
};

struct ProbeConfig {
  uint32_t serialNo = 123456;
  int productId = 28;
  std::string firmware = "X-Relay Sim V1.00 compiled " __DATE__;
  bool fileIo = true;
  bool fileBrowse = true;
  std::string nickname;
  int gangModules = 0;
  bool rs232 = false;
  uint32_t vtargetMv = 3300;
  std::string device = "AT32F425C8T7";
  uint32_t maxSpeedKHz = 12000;
  /* Virtual time of one round trip between host and probe: a full-speed USB probe answers a
     command in the next 1 ms frame. */
  uint32_t roundTripUs = 1000;
  bool adaptive = false;
  bool hasCoreId = false;
  uint32_t coreId = 0;            /* the core's debug port ID when hasCoreId, else by interface */
  std::vector<JtagDevice> chain;  /* empty: the core's debug port alone */
  bool canMeasureClock = true;    /* false: MeasureCPUSpeed answers 0 (not supported) */
  std::vector<int> emptyGangSlots; /* gang modules that can be selected but hold no module */
  /* faults of the probe itself */
  uint32_t lostAfterCalls = 0;    /* 0: never */
  uint32_t voltageAfterCalls = 0; /* 0: never */
  uint32_t voltageChangeMv = 0;
  bool clockMeasureFails = false;
  TargetConfig target; /* geometry filled from the device database at open */
};

/* The defaults of a probe model by its product id: firmware text, adaptive clocking, RS232
   signals, gang modules. The keys of a [Probe] section override them. */
void ApplyModel(ProbeConfig& p, int productId);

/* 0, or negative with err; probes gets at least the default probe when the file is absent. */
int LoadSimConfig(std::vector<ProbeConfig>& probes, std::string& path, std::string& err);

} // namespace xr
