#include "LoaderScript.h"

#include "Util.h"

#include <cstring>
#include <sstream>

namespace xr {

namespace {

/* Compiled layout: a 32-byte header ("PCV2", 8 bytes, number of entries at 12, offset of the
   data area at 16), one 8-byte entry per item (offset of its name record from the end of the
   entry table, offset of its data from the data area), the name records (name, NUL, then
   attributes as LEB128 tag, LEB128 length, value; a 0 ends them), then the data. */
constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kTagSize = 6;        /* size of the item's data */
constexpr uint32_t kTagKind = 7;        /* 1 function, 2 data */
constexpr uint32_t kKindFunction = 1, kKindData = 2;
constexpr uint32_t kStatementSize = 9;  /* op, address, value */

void PutLeb(std::vector<uint8_t>& out, uint32_t v) {
  do {
    uint8_t b = v & 0x7Fu;
    v >>= 7;
    out.push_back(static_cast<uint8_t>(b | (v ? 0x80u : 0)));
  } while (v);
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; i++)
    out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t Get32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool GetLeb(const uint8_t* p, uint32_t size, uint32_t& pos, uint32_t& v) {
  v = 0;
  for (int shift = 0; shift < 35 && pos < size; shift += 7) {
    uint8_t b = p[pos++];
    v |= static_cast<uint32_t>(b & 0x7Fu) << shift;
    if (!(b & 0x80u)) return true;
  }
  return false;
}

struct Item {
  std::string name;
  uint32_t kind;
  std::vector<uint8_t> data;
};

/* A number as the script writes it: decimal, 0x hexadecimal, or negative decimal. */
bool ParseValue(const std::string& s, uint32_t& v) {
  if (!s.empty() && s[0] == '-') {
    if (!ParseU32(s.substr(1), v)) return false;
    v = 0u - v;
    return true;
  }
  return ParseU32(s, v);
}

} // namespace

int TranslateScript(const std::string& text, std::vector<uint8_t>& compiled, std::string& err) {
  std::vector<Item> items;
  Item* fn = nullptr; /* the function being read */
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  auto fail = [&](const std::string& what) {
    err = Format("Loader script, line %d: %s", lineNo, what.c_str());
    return -1;
  };
  while (std::getline(in, line)) {
    lineNo++;
    if (size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
      w.push_back(word);
    if (w.empty()) continue;
    const std::string& kw = w[0];
    if (IEquals(kw, "function") || IEquals(kw, "data")) {
      if (fn) return fail("\"" + kw + "\" inside function " + fn->name + " (missing \"end\")");
      if (w.size() < 2) return fail("\"" + kw + "\" without a name");
      for (const Item& it : items)
        if (IEquals(it.name, w[1])) return fail("\"" + w[1] + "\" is defined twice");
      bool isData = IEquals(kw, "data");
      if (!isData && w.size() != 2) return fail("a function takes no arguments");
      items.push_back({w[1], isData ? kKindData : kKindFunction, {}});
      if (isData) {
        for (size_t i = 2; i < w.size(); i++) {
          uint32_t v = 0;
          if (!ParseValue(w[i], v)) return fail("\"" + w[i] + "\" is not a number");
          Put32(items.back().data, v);
        }
      } else {
        fn = &items.back();
      }
    } else if (IEquals(kw, "end")) {
      if (!fn || w.size() != 1) return fail("\"end\" without a function");
      fn = nullptr;
    } else {
      if (!fn) return fail("\"" + kw + "\" outside a function");
      uint8_t op = IEquals(kw, "write8")    ? kScriptWrite8
                   : IEquals(kw, "write16") ? kScriptWrite16
                   : IEquals(kw, "write32") ? kScriptWrite32
                   : IEquals(kw, "return")  ? kScriptReturn
                                            : 0;
      if (!op) return fail("unknown statement \"" + kw + "\"");
      size_t numArgs = op == kScriptReturn ? 1 : 2;
      if (w.size() != numArgs + 1) return fail(Format("\"%s\" takes %zu value(s)", kw.c_str(), numArgs));
      uint32_t a = 0, b = 0;
      if (!ParseValue(w[1], a) || (numArgs == 2 && !ParseValue(w[2], b)))
        return fail("\"" + line + "\": not a number");
      fn->data.push_back(op);
      Put32(fn->data, numArgs == 2 ? a : 0);
      Put32(fn->data, numArgs == 2 ? b : a);
    }
  }
  if (fn) return fail("function " + fn->name + " has no \"end\"");

  std::vector<uint8_t> names, data, table;
  for (const Item& it : items) {
    Put32(table, static_cast<uint32_t>(names.size()));
    Put32(table, static_cast<uint32_t>(data.size()));
    names.insert(names.end(), it.name.begin(), it.name.end());
    names.push_back(0);
    PutLeb(names, kTagKind);
    PutLeb(names, 1);
    names.push_back(static_cast<uint8_t>(it.kind));
    PutLeb(names, kTagSize);
    PutLeb(names, 4);
    Put32(names, static_cast<uint32_t>(it.data.size()));
    names.push_back(0);
    data.insert(data.end(), it.data.begin(), it.data.end());
  }
  compiled.assign({'P', 'C', 'V', '2'});
  compiled.resize(kHeaderSize, 0);
  uint32_t dataOffset = kHeaderSize + static_cast<uint32_t>(table.size() + names.size());
  uint32_t numEntries = static_cast<uint32_t>(items.size());
  memcpy(&compiled[12], &numEntries, 4);
  memcpy(&compiled[16], &dataOffset, 4);
  compiled.insert(compiled.end(), table.begin(), table.end());
  compiled.insert(compiled.end(), names.begin(), names.end());
  compiled.insert(compiled.end(), data.begin(), data.end());
  return 0;
}

int Script::Load(const uint8_t* p, uint32_t size, std::string& err) {
  functions_.clear();
  auto bad = [&](const char* what) {
    functions_.clear();
    err = Format("Loader script: %s", what);
    return -1;
  };
  if (!p || size < kHeaderSize || memcmp(p, "PCV2", 4) != 0) return bad("not a compiled script");
  uint32_t numEntries = Get32(p + 12), dataOffset = Get32(p + 16);
  if (numEntries > (size - kHeaderSize) / 8 || dataOffset > size) return bad("entry table out of range");
  uint32_t namesOffset = kHeaderSize + 8 * numEntries;
  for (uint32_t i = 0; i < numEntries; i++) {
    const uint8_t* e = p + kHeaderSize + 8 * i;
    uint64_t nameAt = static_cast<uint64_t>(namesOffset) + Get32(e);
    if (nameAt >= size || !memchr(p + nameAt, 0, size - nameAt)) return bad("name out of range");
    std::string name(reinterpret_cast<const char*>(p + nameAt));
    uint32_t pos = static_cast<uint32_t>(nameAt + name.size() + 1), kind = 0, dataSize = 0;
    for (;;) {
      uint32_t tag = 0, len = 0;
      if (!GetLeb(p, size, pos, tag)) return bad("attributes out of range");
      if (tag == 0) break;
      if (!GetLeb(p, size, pos, len) || len > size - pos) return bad("attributes out of range");
      uint32_t v = 0;
      for (uint32_t k = 0; k < len && k < 4; k++)
        v |= static_cast<uint32_t>(p[pos + k]) << (8 * k);
      if (tag == kTagKind) kind = v;
      if (tag == kTagSize) dataSize = v;
      pos += len;
      if (pos < size && p[pos] == 0) break;
    }
    uint64_t dataAt = static_cast<uint64_t>(dataOffset) + Get32(e + 4);
    if (dataAt + dataSize > size) return bad("data out of range");
    if (kind != kKindFunction) continue;
    if (dataSize % kStatementSize) return bad("broken function");
    ScriptFunction f{name, {}};
    for (uint32_t k = 0; k < dataSize; k += kStatementSize) {
      const uint8_t* s = p + dataAt + k;
      if (s[0] < kScriptWrite8 || s[0] > kScriptReturn) return bad("unknown statement");
      f.code.push_back({s[0], Get32(s + 1), Get32(s + 5)});
    }
    functions_.push_back(std::move(f));
  }
  return 0;
}

const ScriptFunction* Script::Find(const std::string& name) const {
  for (const auto& f : functions_)
    if (IEquals(f.name, name)) return &f;
  return nullptr;
}

int Script::Call(const std::string& name,
                 const std::function<int(uint32_t, unsigned, uint32_t, std::string&)>& write, int32_t& result,
                 std::string& err) const {
  const ScriptFunction* f = Find(name);
  if (!f) {
    err = Format("Loader script: no function \"%s\"", name.c_str());
    return -1;
  }
  result = 0;
  for (const ScriptStatement& s : f->code) {
    if (s.op == kScriptReturn) {
      result = static_cast<int32_t>(s.value);
      return 0;
    }
    unsigned size = s.op == kScriptWrite8 ? 1 : s.op == kScriptWrite16 ? 2 : 4;
    if (write(s.addr, size, s.value, err) != 0) return -1;
  }
  return 0;
}

} // namespace xr
