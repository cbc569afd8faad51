#include "ProgFs.h"

#include "Util.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace xr {

namespace {
constexpr uint32_t kMaxFileSize = 64u << 20; /* the programmer's storage */

int RemoveTree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) {
    DIR* d = opendir(path.c_str());
    if (!d) return -1;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    for (const auto& n : names)
      if (RemoveTree(path + "/" + n) != 0) return -1;
    return rmdir(path.c_str());
  }
  return unlink(path.c_str());
}
} // namespace

bool ProgFs::HostPath(const char* name, bool allowRoot, std::string& path, std::string& err) const {
  if (!name) {
    err = "No file name given";
    return false;
  }
  if (root_.empty()) {
    err = "The programmer's file system is not available";
    return false;
  }
  std::string rel;
  std::string part;
  auto flush = [&]() -> bool {
    if (part.empty()) return true;
    if (part == "." || part == "..") return false;
    rel += "/" + part;
    part.clear();
    return true;
  };
  for (const char* p = name; *p; p++) {
    if (*p == '\\' || *p == '/') {
      if (!flush()) break;
    } else {
      part += *p;
    }
  }
  if (!flush() || part == "." || part == "..") {
    err = Format("Invalid file name \"%s\" on the programmer", name);
    return false;
  }
  if (rel.empty() && !allowRoot) {
    err = Format("Invalid file name \"%s\" on the programmer", name);
    return false;
  }
  path = root_ + rel;
  return true;
}

int ProgFs::Write(const char* name, const uint8_t* data, uint32_t offset, uint32_t numBytes,
                  std::string& err) {
  std::string path;
  if (!HostPath(name, false, path, err)) return -1;
  if (numBytes && !data) {
    err = Format("Could not write \"%s\": no data given", name);
    return -1;
  }
  if (static_cast<uint64_t>(offset) + numBytes > kMaxFileSize) {
    err = Format("Could not write \"%s\": the programmer's storage is full", name);
    return -1;
  }
  size_t slash = path.rfind('/');
  if (MakeDirs(path.substr(0, slash)) != 0) {
    err = Format("Could not create the folder of \"%s\" on the programmer", name);
    return -1;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    err = Format("Could not open \"%s\" on the programmer: %s", name, strerror(errno));
    return -1;
  }
  struct stat st {};
  fstat(fd, &st);
  if (offset > static_cast<uint64_t>(st.st_size)) {
    close(fd);
    err = Format("Could not write \"%s\": offset %u beyond the end of the file (%lld bytes)", name, offset,
                 static_cast<long long>(st.st_size));
    return -1;
  }
  uint32_t done = 0;
  while (done < numBytes) {
    ssize_t n = pwrite(fd, data + done, numBytes - done, static_cast<off_t>(offset) + done);
    if (n <= 0) {
      close(fd);
      err = Format("Could not write \"%s\" on the programmer: %s", name,
                   n < 0 ? strerror(errno) : "short write");
      return -1;
    }
    done += static_cast<uint32_t>(n);
  }
  close(fd);
  return static_cast<int>(done);
}

int ProgFs::Read(const char* name, uint8_t* data, uint32_t offset, uint32_t numBytes, std::string& err) {
  std::string path;
  if (!HostPath(name, false, path, err)) return -1;
  if (numBytes && !data) {
    err = Format("Could not read \"%s\": no buffer given", name);
    return -1;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    err = Format("Could not read \"%s\": no such file on the programmer", name);
    return -1;
  }
  uint32_t done = 0;
  while (done < numBytes) {
    ssize_t n = pread(fd, data + done, numBytes - done, static_cast<off_t>(offset) + done);
    if (n < 0) {
      close(fd);
      err = Format("Could not read \"%s\" on the programmer: %s", name, strerror(errno));
      return -1;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  close(fd);
  return static_cast<int>(done);
}

int ProgFs::GetSize(const char* name, std::string& err) {
  std::string path;
  if (!HostPath(name, false, path, err)) return -1;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1; /* an answer, not an error */
  return static_cast<int>(st.st_size);
}

int ProgFs::Delete(const char* name, std::string& err) {
  std::string path;
  if (!HostPath(name, false, path, err)) return -1;
  if (RemoveTree(path) != 0) {
    err = Format("Could not delete \"%s\" on the programmer: %s", name, strerror(errno));
    return -1;
  }
  return 0;
}

int ProgFs::List(const char* folder, XRELAYARM_FOLDER_ENTRY* entries, int maxEntries, std::string& err) {
  std::string path;
  if (!HostPath(folder, true, path, err)) return -1;
  if (maxEntries > 0 && !entries) {
    err = "No entry table given";
    return -1;
  }
  MakeDirs(root_);
  DIR* d = opendir(path.c_str());
  if (!d) {
    err = Format("No folder \"%s\" on the programmer", folder);
    return -1;
  }
  std::vector<std::string> names{".", ".."};
  std::vector<std::string> found;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) found.push_back(e->d_name);
  closedir(d);
  std::sort(found.begin(), found.end());
  names.insert(names.end(), found.begin(), found.end());
  int count = 0;
  for (const auto& n : names) {
    if (count < maxEntries) {
      XRELAYARM_FOLDER_ENTRY& out = entries[count];
      memset(&out, 0, sizeof out);
      CopyText(out.acName, sizeof out.acName, n);
      struct stat st {};
      std::string full = n == "." ? path : n == ".." ? path + "/.." : path + "/" + n;
      if (stat(full.c_str(), &st) == 0) {
        bool dir = S_ISDIR(st.st_mode);
        out.Attributes = dir ? XRELAYARM_FILE_ATTR_FOLDER : 0;
        out.Size = dir ? 0 : static_cast<uint32_t>(st.st_size);
        struct tm tm {};
        localtime_r(&st.st_mtime, &tm);
        out.Year = static_cast<uint16_t>(tm.tm_year + 1900);
        out.Month = static_cast<uint16_t>(tm.tm_mon + 1);
        out.Day = static_cast<uint16_t>(tm.tm_mday);
        out.Hour = static_cast<uint16_t>(tm.tm_hour);
        out.Minute = static_cast<uint16_t>(tm.tm_min);
        out.Second = static_cast<uint16_t>(tm.tm_sec);
      }
    }
    count++;
  }
  return count;
}

int ProgFs::Move(const char* from, const char* to, std::string& err) {
  std::string a, b;
  if (!HostPath(from, false, a, err) || !HostPath(to, false, b, err)) return -1;
  struct stat st {};
  if (stat(a.c_str(), &st) != 0) {
    err = Format("Could not move \"%s\": no such file or folder on the programmer", from);
    return -1;
  }
  if (stat(b.c_str(), &st) == 0) {
    err = Format("Could not move \"%s\" to \"%s\": the destination exists", from, to);
    return -1;
  }
  if ((b + "/").rfind(a + "/", 0) == 0) {
    err = Format("Could not move \"%s\" into itself", from);
    return -1;
  }
  MakeDirs(b.substr(0, b.rfind('/')));
  if (rename(a.c_str(), b.c_str()) != 0) {
    err = Format("Could not move \"%s\" to \"%s\": %s", from, to, strerror(errno));
    return -1;
  }
  return 0;
}

} // namespace xr
