/*
 * StandAlone.h - the stand-alone mode of a simulated Stamper: as a button press on the
 * programmer would, it reads the configuration file Stamper.cfg and the data file Stamper.dat
 * from the programmer's own file system, checks their envelopes and CRCs and programs the
 * attached chip on its own, running the flash algorithm carried in the configuration file on
 * the emulated core.
 *
 * The reader works from the file layout alone (it shares no code with the program that writes
 * the files), so that a run checks what the program wrote. Both files are read and checked
 * whole before the chip is touched: a damaged file leaves the target as it was.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace xr {

class At32f425;
class ProgFs;
struct VirtualClock;

struct StandAloneResult {
  std::vector<std::string> log; /* what the programmer's display would show, one line each */
  uint32_t bytesProgrammed = 0;
};

/* 0, or -1 with err (in the programmer's words) when a file is refused or a step fails. The
   target is left halted after a failure; after success it runs the application when the
   configuration says so. */
int StamperRunStandAlone(At32f425& target, VirtualClock& clock, ProgFs& fs, StandAloneResult& result,
                         std::string& err);

} // namespace xr
