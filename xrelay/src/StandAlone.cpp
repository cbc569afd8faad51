/*
 * StandAlone.cpp - the simulated Stamper programming a board on its own.
 *
 * Files (little-endian): a 256-byte envelope (text in bytes 0-247, the covered size at 248, a
 * CRC-32 at 252 over bytes 0-247 and 256 up to the covered size), then
 * - Stamper.cfg: blocks {u32 length, u32 id, payload} ended by {4, 0, 0}; the covered size is
 *   the whole file, a multiple of 2048;
 * - Stamper.dat: a table of {address, size, file offset, running CRC} entries ended by an
 *   all-zero one; the covered size is the header size H, the blocks' bytes follow it.
 *
 * The flash algorithm runs as on the programmer: its image at the start of the work RAM, a
 * 512-byte stack behind it, then a breakpoint instruction that is the return address of
 * every call, then one page buffer.
 */
#include "StandAlone.h"

#include "At32f425.h"
#include "ProgFs.h"
#include "Util.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace xr {
namespace {

constexpr uint32_t kEnvelope = 256;
constexpr uint32_t kStackSize = 512;
constexpr uint32_t kBreakpoint = 0xBE00BE00u;
constexpr uint32_t kMaxInitSteps = 10000; /* steps executed, so that a branch loop ends */

uint32_t Crc32(uint32_t crc, const uint8_t* p, size_t n) {
  while (n--) {
    crc ^= *p++;
    for (int k = 0; k < 8; k++)
      crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

uint32_t U32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool ReadProgFile(ProgFs& fs, const char* name, std::vector<uint8_t>& data, std::string& err) {
  std::string e;
  int size = fs.GetSize(name, e);
  if (size < 0) {
    err = Format("%s not found on the programmer", name);
    return false;
  }
  data.resize(static_cast<size_t>(size));
  if (size && fs.Read(name, data.data(), 0, static_cast<uint32_t>(size), e) != size) {
    err = Format("Could not read %s: %s", name, e.c_str());
    return false;
  }
  return true;
}

/* Checks text, size field and CRC; the covered size, or 0 with err. */
uint32_t CheckEnvelope(const char* name, const char* kind, const std::vector<uint8_t>& f, std::string& err) {
  std::string head = Format("Stamper %s File V1.0 - Generated ", kind);
  if (f.size() < kEnvelope || memcmp(f.data(), head.data(), head.size()) != 0) {
    err = Format("%s is no Stamper %s file", name, kind);
    return 0;
  }
  uint32_t covered = U32(&f[248]);
  if (covered < kEnvelope || covered % 2048 != 0 || covered > f.size()) {
    err = Format("%s is damaged: size field %u does not fit the file (%zu bytes)", name, covered, f.size());
    return 0;
  }
  uint32_t crc = Crc32(Crc32(0, f.data(), 248), f.data() + kEnvelope, covered - kEnvelope);
  if (crc != U32(&f[252])) {
    err = Format("%s is damaged: CRC 0x%08X does not match its contents (0x%08X)", name, U32(&f[252]), crc);
    return 0;
  }
  return covered;
}

struct Step {
  uint32_t action, v0, v1;
};

struct Bank {
  uint16_t kind = 0;
  struct Region {
    uint32_t count, size, start;
  };
  std::vector<Region> regions;
  std::vector<uint8_t> image;
  uint32_t pageSize = 0, emptyValue = 0xFF, prgData = 0, toProg = 0, toErase = 0;
  std::map<uint32_t, int32_t> entries; /* block id of the entry offset: offset */
  int32_t Entry(uint32_t id) const {
    auto it = entries.find(id);
    return it == entries.end() ? -1 : it->second;
  }
  bool Holds(uint32_t addr) const {
    for (const Region& r : regions)
      if (addr >= r.start && addr - r.start < static_cast<uint64_t>(r.count) * r.size) return true;
    return false;
  }
};

struct Config {
  std::map<uint32_t, std::vector<uint8_t>> single; /* blocks that occur once */
  std::vector<Step> initSteps, exitSteps;
  std::vector<Bank> banks;
  uint32_t Value(uint32_t id, uint32_t def = 0) const {
    auto it = single.find(id);
    if (it == single.end() || it->second.empty()) return def;
    const std::vector<uint8_t>& p = it->second;
    return p.size() >= 4 ? U32(p.data()) : p[0];
  }
  bool Has(uint32_t id) const { return single.count(id) != 0; }
};

bool ParseConfig(const std::vector<uint8_t>& f, uint32_t size, Config& cfg, std::string& err) {
  uint32_t pos = kEnvelope;
  Bank* bank = nullptr;
  auto fail = [&](const char* what, uint32_t id) {
    err = Format("Stamper.cfg: %s (block %u at offset 0x%X)", what, id, pos);
    return false;
  };
  for (;;) {
    if (size - pos < 8) return fail("the block list has no end", 0);
    uint32_t len = U32(&f[pos]), id = U32(&f[pos + 4]);
    if (len > size - pos - 8) return fail("a block runs past the end of the file", id);
    const uint8_t* p = &f[pos + 8];
    std::vector<uint8_t> payload(p, p + len);
    if (id == 0) return len == 4 && U32(p) == 0 ? true : fail("a bad end block", id);
    auto need = [&](uint32_t n) { return len == n || (fail("a block of the wrong length", id), false); };
    if (id == 207 || id == 209) {
      if (!need(12)) return false;
      (id == 207 ? cfg.initSteps : cfg.exitSteps).push_back({U32(p), U32(p + 4), U32(p + 8)});
    } else if (id == 301) {
      if (!need(112)) return false;
      cfg.banks.emplace_back();
      bank = &cfg.banks.back();
      bank->kind = static_cast<uint16_t>(p[0] | p[1] << 8);
      for (uint32_t r = 0; r < 8; r++) {
        const uint8_t* q = p + 16 + 12 * r;
        if (U32(q) == 0) break;
        bank->regions.push_back({U32(q), U32(q + 4), U32(q + 8)});
      }
    } else if (id > 301 && id < 400) {
      if (!bank) return fail("flash loader data before its bank", id);
      if (id == 306) {
        bank->image = std::move(payload);
      } else if (id == 308 || id == 321 || id == 327 || id == 333 || id == 334 || (id >= 303 && id <= 305)) {
        /* the reserved byte, the loader's script, parameters and flags: not needed here */
      } else {
        if (!need(4)) return false;
        uint32_t v = U32(p);
        switch (id) {
        case 307: bank->pageSize = v; break;
        case 309: bank->emptyValue = v; break;
        case 317: bank->prgData = v; break;
        case 318: bank->toProg = v; break;
        case 319: bank->toErase = v; break;
        default: bank->entries[id] = static_cast<int32_t>(v); break;
        }
      }
    } else {
      cfg.single[id] = std::move(payload);
    }
    pos += 8 + len;
  }
}

struct DatBlock {
  uint32_t addr;
  std::vector<uint8_t> bytes;
};

bool ParseData(const std::vector<uint8_t>& f, uint32_t header, std::vector<DatBlock>& blocks, std::string& err) {
  uint32_t crc = 0;
  for (uint32_t e = kEnvelope; ; e += 16) {
    if (header - e < 16) {
      err = "Stamper.dat: the range table has no end";
      return false;
    }
    const uint8_t* p = &f[e];
    uint32_t addr = U32(p), size = U32(p + 4), off = U32(p + 8), run = U32(p + 12);
    if (!addr && !size && !off && !run) return true;
    size_t n = blocks.size();
    if (off < header || off > f.size() || size > f.size() - off || size == 0 || size > 2048) {
      err = Format("Stamper.dat: range %zu (0x%08X, %u bytes) lies outside the file", n, addr, size);
      return false;
    }
    crc = Crc32(crc, &f[off], size);
    if (crc != run) {
      err = Format("Stamper.dat: range %zu at 0x%08X is damaged: CRC 0x%08X, expected 0x%08X", n, addr, crc, run);
      return false;
    }
    blocks.push_back({addr, std::vector<uint8_t>(&f[off], &f[off] + size)});
  }
}

/* The serial number's bytes: from SNList.txt when the programmer has one, else the number and
   its complement as two little-endian words. */
bool SerialBytes(ProgFs& fs, uint32_t sn, uint32_t len, std::vector<uint8_t>& out, std::string& err) {
  out.assign(32, 0);
  std::vector<uint8_t> list;
  std::string e;
  if (fs.GetSize("SNList.txt", e) >= 0) {
    if (!ReadProgFile(fs, "SNList.txt", list, err)) return false;
    std::string text(list.begin(), list.end());
    size_t at = 0;
    for (uint32_t k = 0; k < sn && at != std::string::npos; k++) {
      at = text.find('\n', at);
      if (at != std::string::npos) at++;
    }
    auto nibble = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (uint32_t i = 0; i < len; i++) {
      int hi = -1, lo = -1;
      if (at != std::string::npos && at + 2 * i + 2 <= text.size()) {
        hi = nibble(text[at + 2 * i]);
        lo = nibble(text[at + 2 * i + 1]);
      }
      if (hi < 0 || lo < 0) {
        err = Format("Could not read data for SN=%u from SNList.txt", sn);
        return false;
      }
      out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
  } else {
    uint32_t w[2] = {sn, ~sn};
    memcpy(out.data(), w, 8);
  }
  out.resize(len);
  return true;
}

class Runner {
public:
  Runner(At32f425& t, VirtualClock& clock, StandAloneResult& res) : t_(t), clock_(clock), res_(res) {}

  void Log(std::string line) { res_.log.push_back(std::move(line)); }

  bool RunSteps(const std::vector<Step>& steps, const char* which, std::string& err) {
    uint32_t var = 0;
    uint32_t executed = 0;
    for (size_t i = 0; i < steps.size(); i++) {
      if (++executed > kMaxInitSteps) {
        err = Format("%s steps: more than %u steps executed, the branches loop", which, kMaxInitSteps);
        return false;
      }
      const Step& s = steps[i];
      uint8_t b[4] = {};
      /* 7..9 and each trio from 12 on: 8, 16 and 32 bits */
      uint32_t trio = s.action < 12 ? s.action - 7 : (s.action - 12) % 3;
      unsigned width = trio == 0 ? 1 : trio == 1 ? 2 : 4;
      auto read = [&](uint32_t& v) {
        std::string e;
        if (t_.Read(s.v0, width, b, e) != 0) {
          err = Format("%s step %zu: Could not read target memory", which, i);
          return false;
        }
        v = width == 1 ? b[0] : width == 2 ? static_cast<uint32_t>(b[0] | b[1] << 8) : U32(b);
        return true;
      };
      auto write = [&](uint32_t v, unsigned w) {
        std::string e;
        for (unsigned k = 0; k < w; k++)
          b[k] = static_cast<uint8_t>(v >> 8 * k);
        t_.Write(s.v0, w, b, e); /* as on the probe, the result of a plain write is not checked */
      };
      uint32_t v = 0;
      switch (s.action) {
      case 0: clock_.us += s.v1 * 1000.0; break;
      case 2: case 3: case 10: case 11: case 37: break;
      case 4: {
        std::string e;
        if (t_.Go(e) != 0) { err = Format("%s step %zu: %s", which, i, e.c_str()); return false; }
        break;
      }
      case 5: t_.Halt(); break;
      case 6: t_.Reset(true); break;
      case 7: case 8: case 9:
        if (!read(var)) return false;
        break;
      case 12: case 13: case 14: case 18: case 19: case 20:
        if (s.action >= 18) write(s.v1, width);
        if (!read(v)) return false;
        if (v != s.v1) {
          err = Format("%s step %zu: verify of 0x%08X failed, read 0x%X, expected 0x%X", which, i, s.v0, v, s.v1);
          return false;
        }
        break;
      case 15: case 16: case 17: write(s.v1, width); break;
      case 24: var &= s.v1; break;
      case 25: var |= s.v1; break;
      case 26: var ^= s.v1; break;
      case 27: case 28:
        if ((var == 0) == (s.action == 27)) {
          if (s.v0 >= steps.size()) {
            err = Format("%s step %zu: branch to step %u, which does not exist", which, i, s.v0);
            return false;
          }
          i = static_cast<size_t>(s.v0) - 1; /* the loop's increment lands on it */
        }
        break;
      case 29: write(var, 1); break;
      case 30: write(var, 2); break;
      case 31: write(var, 4); break;
      default:
        err = Format("%s step %zu: action %u is not supported in stand-alone mode", which, i, s.action);
        return false;
      }
    }
    return true;
  }

  /* Downloads the bank's algorithm; false with err. */
  bool Load(const Bank& b, uint32_t ramAddr, uint32_t ramSize, std::string& err) {
    bank_ = &b;
    base_ = ramAddr;
    uint32_t image = (static_cast<uint32_t>(b.image.size()) + 7) & ~7u;
    bp_ = base_ + image + kStackSize;
    buffer_ = bp_ + 8;
    if (b.pageSize == 0 || b.pageSize > ramSize ||
        static_cast<uint64_t>(image) + kStackSize + 8 + b.pageSize > ramSize || !t_.IsRam(ramAddr, ramSize)) {
      err = Format("Flash bank @ 0x%08X: the flash algorithm (%zu bytes, pages of %u bytes) does not fit the "
                   "work RAM 0x%08X (%u bytes)",
                   FirstAddr(), b.image.size(), b.pageSize, ramAddr, ramSize);
      return false;
    }
    std::string e;
    uint8_t bp[4];
    memcpy(bp, &kBreakpoint, 4);
    std::vector<uint8_t> back(b.image.size());
    if (t_.Write(base_, static_cast<uint32_t>(b.image.size()), b.image.data(), e) != 0 ||
        t_.Read(base_, static_cast<uint32_t>(back.size()), back.data(), e) != 0 || back != b.image ||
        t_.Write(bp_, 4, bp, e) != 0) {
      err = Format("Flash bank @ 0x%08X: downloading the flash algorithm failed %s", FirstAddr(), e.c_str());
      return false;
    }
    return true;
  }

  /* Calls the entry whose offset block is id; its result, or false with err. */
  bool Call(uint32_t id, const char* what, uint32_t r0, uint32_t r1, uint32_t r2, uint32_t timeoutMs,
            uint32_t& result, std::string& err) {
    int32_t off = bank_->Entry(id);
    if (off < 0) {
      err = Format("Flash bank @ 0x%08X: the flash algorithm has no entry for %s", FirstAddr(), what);
      return false;
    }
    std::string e;
    const uint32_t regs[][2] = {{0, r0},  {1, r1},  {2, r2},         {9, base_ + bank_->prgData},
                                {13, bp_}, {14, bp_ | 1}, {15, base_ + static_cast<uint32_t>(off)},
                                {16, 0x01000000u}};
    for (const auto& r : regs)
      if (t_.WriteReg(r[0], r[1], e) != 0) {
        err = Format("Flash bank @ 0x%08X: %s: %s", FirstAddr(), what, e.c_str());
        return false;
      }
    double until = clock_.us + (timeoutMs ? timeoutMs : 10000) * 1000.0;
    if (t_.Go(e) != 0) {
      err = Format("Flash bank @ 0x%08X: %s: %s", FirstAddr(), what, e.c_str());
      return false;
    }
    while (!t_.PollHalted()) {
      if (clock_.us > until) {
        t_.Halt();
        err = Format("Timeout while %s, flash algorithm did not respond in time!", what);
        return false;
      }
    }
    uint32_t pc = 0;
    std::string fault = t_.TakeFault();
    t_.ReadReg(15, pc, e);
    if (!fault.empty() || pc != bp_) {
      err = Format("Flash bank @ 0x%08X: %s stopped at 0x%08X instead of returning%s%s", FirstAddr(), what, pc,
                   fault.empty() ? "" : ": ", fault.c_str());
      return false;
    }
    t_.ReadReg(0, result, e);
    return true;
  }

  bool CallOk(uint32_t id, const char* what, uint32_t r0, uint32_t r1, uint32_t r2, uint32_t timeoutMs,
              std::string& err) {
    uint32_t r = 0;
    if (!Call(id, what, r0, r1, r2, timeoutMs, r, err)) return false;
    if (r != 0) {
      err = Format("Flash bank @ 0x%08X: %s failed (result %u)", FirstAddr(), what, r);
      return false;
    }
    return true;
  }

  uint32_t Buffer() const { return buffer_; }
  uint32_t FirstAddr() const { return bank_->regions.empty() ? 0 : bank_->regions[0].start; }

private:
  At32f425& t_;
  VirtualClock& clock_;
  StandAloneResult& res_;
  const Bank* bank_ = nullptr;
  uint32_t base_ = 0, bp_ = 0, buffer_ = 0;
};

/* Entry point blocks of a CMSIS flash algorithm. */
constexpr uint32_t kInit = 310, kUnInit = 311, kEraseSector = 312, kProgramPage = 313, kEraseChip = 314;

/* One phase for one bank. All banks are erased before any is programmed: a chip erase through
   one bank's algorithm may reach the others. */
enum class Phase { Erase, Program, Verify };

bool ProgramBank(Phase phase, Runner& run, At32f425& t, const Config& cfg, const Bank& b,
                 const std::vector<DatBlock>& data, StandAloneResult& res, std::string& err) {
  if (b.kind != 8 || b.image.empty()) {
    err = Format("Flash bank @ 0x%08X: loader kind %u is not supported by this programmer", run.FirstAddr(), b.kind);
    return false;
  }
  bool override = cfg.Value(440) != 0;
  uint32_t toErase = override ? cfg.Value(441) : b.toErase, toProg = override ? cfg.Value(442) : b.toProg;
  uint32_t eraseMode = cfg.Value(403), verifyMode = cfg.Value(404), program = cfg.Value(410);
  uint32_t base = b.regions.empty() ? 0 : b.regions[0].start;
  std::vector<const DatBlock*> mine;
  for (const DatBlock& d : data)
    if (b.Holds(d.addr)) mine.push_back(&d);
  if (mine.empty() && eraseMode != 3) return true;

  if (phase == Phase::Erase && eraseMode != 0) {
    if (!run.CallOk(kInit, "initializing the flash algorithm", base, 0, 1, toErase, err)) return false;
    if (eraseMode == 3) {
      if (!run.CallOk(kEraseChip, "erasing the chip", 0, 0, 0, toErase, err)) return false;
      res.log.push_back(Format("Bank @ 0x%08X: chip erased", base));
    } else {
      uint32_t erased = 0;
      for (const Bank::Region& r : b.regions)
        for (uint32_t k = 0; k < r.count; k++) {
          uint32_t s = r.start + k * r.size;
          bool used = false;
          for (const DatBlock* d : mine)
            used |= d->addr < s + r.size && d->addr + d->bytes.size() > s;
          if (!used) continue;
          if (eraseMode == 2) { /* blank check first: a blank sector is left alone */
            std::vector<uint8_t> cur(r.size);
            std::string e;
            bool blank = t.Read(s, r.size, cur.data(), e) == 0;
            for (uint8_t c : cur)
              blank &= c == static_cast<uint8_t>(b.emptyValue);
            if (blank) continue;
          }
          if (!run.CallOk(kEraseSector, "erasing a sector", s, 0, 0, toErase, err)) return false;
          erased++;
        }
      res.log.push_back(Format("Bank @ 0x%08X: %u sector(s) erased", base, erased));
    }
    if (!run.CallOk(kUnInit, "uninitializing the flash algorithm", 1, 0, 0, toErase, err)) return false;
  }
  if (phase == Phase::Program && program && !mine.empty()) {
    if (!run.CallOk(kInit, "initializing the flash algorithm", base, 0, 2, toProg, err)) return false;
    for (const DatBlock* d : mine)
      for (uint32_t off = 0; off < d->bytes.size(); off += b.pageSize) {
        uint32_t n = std::min<uint32_t>(b.pageSize, static_cast<uint32_t>(d->bytes.size()) - off);
        std::string e;
        if (t.Write(run.Buffer(), n, &d->bytes[off], e) != 0) {
          err = e;
          return false;
        }
        if (!run.CallOk(kProgramPage, "programming flash", d->addr + off, n, run.Buffer(), toProg, err))
          return false;
        res.bytesProgrammed += n;
      }
    if (!run.CallOk(kUnInit, "uninitializing the flash algorithm", 2, 0, 0, toProg, err)) return false;
  }
  if (phase == Phase::Verify && verifyMode != 0 && !mine.empty()) {
    for (const DatBlock* d : mine) {
      std::vector<uint8_t> cur(d->bytes.size());
      std::string e;
      if (t.Read(d->addr, static_cast<uint32_t>(cur.size()), cur.data(), e) != 0) {
        err = e;
        return false;
      }
      if (cur != d->bytes) {
        size_t i = 0;
        while (cur[i] == d->bytes[i])
          i++;
        err = Format("Verify failed at 0x%08X: read 0x%02X, expected 0x%02X", d->addr + static_cast<uint32_t>(i),
                     cur[i], d->bytes[i]);
        return false;
      }
    }
    res.log.push_back(Format("Bank @ 0x%08X: verified", base));
  }
  return true;
}

} // namespace

int StamperRunStandAlone(At32f425& t, VirtualClock& clock, ProgFs& fs, StandAloneResult& res, std::string& err) {
  /* Everything is read and checked before the chip is touched. */
  std::vector<uint8_t> cfgFile, datFile;
  if (!ReadProgFile(fs, "Stamper.cfg", cfgFile, err) || !ReadProgFile(fs, "Stamper.dat", datFile, err)) return -1;
  uint32_t cfgSize = CheckEnvelope("Stamper.cfg", "Config", cfgFile, err);
  if (!cfgSize) return -1;
  if (cfgSize != cfgFile.size()) {
    err = Format("Stamper.cfg is damaged: size field %u, file %zu bytes", cfgSize, cfgFile.size());
    return -1;
  }
  uint32_t header = CheckEnvelope("Stamper.dat", "Data", datFile, err);
  if (!header) return -1;
  Config cfg;
  std::vector<DatBlock> data;
  if (!ParseConfig(cfgFile, cfgSize, cfg, err) || !ParseData(datFile, header, data, err)) return -1;
  uint32_t tif = cfg.Value(100);
  if (tif != 0 && tif != 1) {
    err = Format("Target interface %u is not supported in stand-alone mode", tif);
    return -1;
  }
  uint32_t speed = cfg.Value(101);
  if (speed == 0) {
    err = "Stamper.cfg: interface speed 0 Hz";
    return -1;
  }
  res.log.push_back(speed == 0xFFFFFFFFu ? Format("%s, adaptive clocking", tif ? "SWD" : "JTAG")
                                         : Format("%s at %u kHz", tif ? "SWD" : "JTAG", speed / 1000));
  if (cfg.Value(206) != cfg.initSteps.size() || cfg.Value(208) != cfg.exitSteps.size() ||
      cfg.Value(300) != cfg.banks.size()) {
    err = "Stamper.cfg: the step or bank counts do not match the blocks that follow them";
    return -1;
  }
  uint32_t core = cfg.Value(200);
  if (core >> 24 != 14 && core >> 24 != 6 && core >> 24 != 3) {
    err = Format("Core 0x%08X of Stamper.cfg does not match the target (Cortex-M)", core);
    return -1;
  }
  for (const DatBlock& d : data) {
    bool held = false;
    for (const Bank& b : cfg.banks)
      held |= b.Holds(d.addr);
    if (!held) {
      err = Format("Stamper.dat: range at 0x%08X lies in no flash bank of Stamper.cfg", d.addr);
      return -1;
    }
  }

  /* Serial number: written into the data where the configuration file names it. */
  bool programSn = cfg.Value(420) != 0;
  uint32_t sn = 0;
  if (programSn) {
    std::vector<uint8_t> text;
    if (!ReadProgFile(fs, "Serial.txt", text, err)) return -1;
    std::string s(text.begin(), text.end());
    s = Trim(s.substr(0, s.find('\0')));
    if (!ParseU32(s, sn)) {
      err = Format("Serial.txt holds no serial number (\"%s\")", s.c_str());
      return -1;
    }
    uint32_t addr = cfg.Value(421), len = std::min<uint32_t>(cfg.Value(423), 32);
    std::vector<uint8_t> bytes;
    if (!SerialBytes(fs, sn, len, bytes, err)) return -1;
    for (uint32_t i = 0; i < len; i++)
      for (DatBlock& d : data)
        if (addr + i >= d.addr && addr + i - d.addr < d.bytes.size()) d.bytes[addr + i - d.addr] = bytes[i];
    res.log.push_back(Format("Serial number %u at 0x%08X (%u bytes)", sn, addr, len));
  }

  Runner run(t, clock, res);
  t.Reset(true);
  if (!run.RunSteps(cfg.initSteps, "Init", err)) {
    t.Halt();
    return -1;
  }
  t.Halt();
  uint32_t ramAddr = cfg.Value(203), ramSize = cfg.Value(204);
  for (Phase phase : {Phase::Erase, Phase::Program, Phase::Verify})
    for (const Bank& b : cfg.banks) {
      if (!run.Load(b, ramAddr, ramSize, err) || !ProgramBank(phase, run, t, cfg, b, data, res, err)) {
        t.Halt();
        return -1;
      }
    }
  if (!run.RunSteps(cfg.exitSteps, "Exit", err)) {
    t.Halt();
    return -1;
  }
  res.log.push_back(Format("Target programmed (%u bytes)", res.bytesProgrammed));
  if (programSn) { /* the next board gets the next number; the old file stays until the new one is whole */
    std::string next = Format("%u", sn + cfg.Value(422));
    std::string e;
    fs.Delete("Serial.tmp", e);
    if (fs.Write("Serial.tmp", reinterpret_cast<const uint8_t*>(next.data()), 0,
                 static_cast<uint32_t>(next.size()), e) < 0 ||
        fs.Delete("Serial.txt", e) < 0 || fs.Move("Serial.tmp", "Serial.txt", e) < 0) {
      err = Format("Could not advance the serial number in Serial.txt: %s", e.c_str());
      return -1;
    }
  }
  if (cfg.Value(417)) {
    t.Reset(false);
    res.log.push_back("Target application started");
  } else {
    t.Halt();
  }
  return 0;
}

} // namespace xr
