#include "Util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace xr {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n'))
    b++;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
    e--;
  return std::string(s.substr(b, e - b));
}

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

bool ParseU32(std::string_view text, uint32_t& value) {
  std::string s = Trim(text);
  if (s.empty()) return false;
  int base = 10;
  size_t i = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
  }
  uint64_t v = 0;
  for (; i < s.size(); i++) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * base + d;
    if (v > 0xFFFFFFFFu) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t pos = s.find(sep, start);
    parts.push_back(
        Trim(s.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start)));
    if (pos == std::string_view::npos) break;
    start = pos + 1;
  }
  return parts;
}

void CopyText(char* dst, int size, std::string_view s) {
  if (!dst || size <= 0) return;
  size_t n = std::min(s.size(), static_cast<size_t>(size - 1));
  memcpy(dst, s.data(), n);
  dst[n] = 0;
}

std::string Format(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string LibraryDir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryDir), &info) == 0 || !info.dli_fname) return ".";
  char resolved[4096];
  std::string path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& data) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  data.clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    data.insert(data.end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

bool ReadTextFile(const std::string& path, std::string& text) {
  std::vector<uint8_t> data;
  if (!ReadFile(path, data)) return false;
  text.assign(data.begin(), data.end());
  return true;
}

int WriteFileAtomic(const std::string& path, const void* data, size_t size, std::string& err) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    err = Format("Could not create \"%s\": %s", tmp.c_str(), strerror(errno));
    return -1;
  }
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t left = size;
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = Format("Could not write \"%s\": %s", tmp.c_str(), n < 0 ? strerror(errno) : "short write");
      close(fd);
      unlink(tmp.c_str());
      return -1;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    err = Format("Could not replace \"%s\": %s", path.c_str(), strerror(errno));
    unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

int MakeDirs(const std::string& path) {
  if (path.empty()) return -1;
  std::string cur;
  for (size_t i = 0; i <= path.size(); i++) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      cur = path.substr(0, i);
      if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

const std::string* IniSection::Find(std::string_view key) const {
  for (const auto& [k, v] : items)
    if (IEquals(k, key)) return &v;
  return nullptr;
}

int ParseIni(std::string_view text, std::vector<IniSection>& sections, std::string& err) {
  sections.clear();
  int lineNo = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    lineNo++;
    if (line.empty() || line[0] == '#' || line[0] == ';') {
      if (end == text.size()) break;
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']') {
        err = Format("line %d: a section name must end with ']'", lineNo);
        return -1;
      }
      sections.push_back({Trim(std::string_view(line).substr(1, line.size() - 2)), lineNo, {}});
    } else {
      size_t eq = line.find('=');
      if (eq == std::string::npos) {
        err = Format("line %d: expected \"Key = Value\"", lineNo);
        return -1;
      }
      if (sections.empty()) {
        err = Format("line %d: a value before the first section", lineNo);
        return -1;
      }
      sections.back().items.emplace_back(Trim(std::string_view(line).substr(0, eq)),
                                         Trim(std::string_view(line).substr(eq + 1)));
    }
    if (end == text.size()) break;
  }
  return 0;
}

} // namespace xr
