/*
 * LoaderScript.h - the loader scripts of the probe library: a small text language whose
 * functions a flash loader runs around programming (FLASH_Prepare, FLASH_Restore) and whose
 * data entries carry loader parameters (FLASH_AlgoParams, FLASH_CFIConfig).
 *
 * Order of use: Translate a script file into its compiled form (the "PCV2" layout that the
 * program reads data entries from), Load that into a Script, then ask for and Call its
 * functions. Text form (xrelay/README.md): "function NAME" ... "end" with the statements
 * "write8|write16|write32 ADDRESS VALUE" and "return VALUE"; "data NAME WORD..."; "#" comments.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace xr {

struct ScriptStatement {
  uint8_t op = 0; /* ScriptOp */
  uint32_t addr = 0;
  uint32_t value = 0;
};

enum ScriptOp : uint8_t { kScriptWrite8 = 1, kScriptWrite16 = 2, kScriptWrite32 = 3, kScriptReturn = 4 };

struct ScriptFunction {
  std::string name;
  std::vector<ScriptStatement> code;
};

class Script {
public:
  /* Reads a compiled script; 0, or negative with err. */
  int Load(const uint8_t* compiled, uint32_t numBytes, std::string& err);
  bool HasFunction(const std::string& name) const { return Find(name) != nullptr; }
  /* Runs a function: 0 with its result, or negative with err when a write fails or it is not
     there. write(address, size in bytes, value) is 0 or negative with err. */
  int Call(const std::string& name,
           const std::function<int(uint32_t, unsigned, uint32_t, std::string&)>& write, int32_t& result,
           std::string& err) const;

private:
  const ScriptFunction* Find(const std::string& name) const;
  std::vector<ScriptFunction> functions_;
};

/* Compiles script text; 0, or negative with err naming the line. */
int TranslateScript(const std::string& text, std::vector<uint8_t>& compiled, std::string& err);

} // namespace xr
