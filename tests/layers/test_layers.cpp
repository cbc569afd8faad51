/*
 * The layers hold: every #include "..." of the program's folders names its own folder or one
 * that the layer table of docs/architecture.md allows, every folder with sources has a row, and
 * the table itself lets no two folders include each other. A test seam (X_Test.h) is included
 * by tests and by its own module X.cpp, never by other product code.
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kRoot = TFORGE_SOURCE_DIR;

// Folder -> folders it may include, from the rows "| `name/` | `a/` `b/` | ... |".
std::map<std::string, std::set<std::string>> ReadLayerTable() {
  std::ifstream f(kRoot / "docs/architecture.md");
  std::map<std::string, std::set<std::string>> Table;
  std::regex Row(R"(^\| `([a-z0-9_]+)/` \| ([^|]*) \|)");
  std::regex Name(R"(`([a-z0-9_]+)/`)");
  bool InTable = false;
  for (std::string Line; std::getline(f, Line);) {
    if (Line.rfind("## ", 0) == 0) InTable = Line == "## Layer table";
    std::smatch m;
    if (!InTable || !std::regex_search(Line, m, Row)) continue;
    std::set<std::string>& Allowed = Table[m[1]];
    std::string Cell = m[2];
    for (std::sregex_iterator i(Cell.begin(), Cell.end(), Name), e; i != e; ++i) Allowed.insert((*i)[1]);
  }
  return Table;
}

bool IsSource(const fs::path& p) {
  std::string Ext = p.extension().string();
  return Ext == ".c" || Ext == ".cpp" || Ext == ".h" || Ext == ".in";
}

// Build trees, tests, benchmarks and fuzz targets are not the program.
bool IsOutsideTheProgram(const fs::path& Dir) {
  std::string Name = Dir.filename().string();
  return Name.empty() || Name[0] == '.' || Name == "tests" || Name == "bench" || Name == "fuzz" ||
         Name == "docs" || fs::exists(Dir / "CMakeCache.txt");
}

// The folder an include names: "core/APP.h" -> core; a bare name is a file of the includer's
// own folder, or the probe library's public header.
std::string FolderOf(const std::string& Include, const std::string& OwnFolder) {
  size_t Slash = Include.find('/');
  if (Slash != std::string::npos && Include.compare(0, 3, "../") != 0) return Include.substr(0, Slash);
  if (fs::exists(kRoot / "xrelay/include" / Include)) return "xrelay";
  return OwnFolder;
}

struct Violation {
  std::string File;
  int Line;
  std::string Include;
};

} // namespace

TEST(Layers, IncludesRunDownOnly) {
  auto Table = ReadLayerTable();
  ASSERT_GE(Table.size(), 5u) << "no layer table in docs/architecture.md";
  std::vector<Violation> aBad;
  std::regex Include(R"(^\s*#\s*include\s*"([^"]+)\")");
  for (const fs::directory_entry& Top : fs::directory_iterator(kRoot)) {
    if (!Top.is_directory() || IsOutsideTheProgram(Top.path())) continue;
    std::string Folder = Top.path().filename().string();
    auto Row = Table.find(Folder);
    bool HasSources = false;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(Top.path())) {
      if (!e.is_regular_file() || !IsSource(e.path())) continue;
      HasSources = true;
      if (Row == Table.end()) continue;
      std::ifstream f(e.path());
      int n = 0;
      for (std::string Line; std::getline(f, Line);) {
        n++;
        std::smatch m;
        if (!std::regex_search(Line, m, Include)) continue;
        std::string To = FolderOf(m[1], Folder);
        std::string Name = fs::path(m[1].str()).filename().string();
        bool Seam = Name.size() > 7 && Name.compare(Name.size() - 7, 7, "_Test.h") == 0;
        if (Seam && Name.substr(0, Name.size() - 7) + ".cpp" != e.path().filename().string()) {
          aBad.push_back({fs::relative(e.path(), kRoot).string(), n, m[1]});
        } else if (To != Folder && !Row->second.count(To)) {
          aBad.push_back({fs::relative(e.path(), kRoot).string(), n, m[1]});
        }
      }
    }
    EXPECT_TRUE(!HasSources || Row != Table.end()) << Folder << "/ has sources but no row in the layer table";
  }
  for (const Violation& v : aBad) ADD_FAILURE() << v.File << ":" << v.Line << " includes \"" << v.Include << "\"";
}

TEST(Layers, TableHasNoCircle) {
  auto Table = ReadLayerTable();
  // Depth-first search over "may include"; a folder met again on the current path closes a circle.
  std::map<std::string, int> State; // 0 new, 1 on the path, 2 done
  std::vector<std::string> Path;
  std::function<void(const std::string&)> Visit = [&](const std::string& Folder) {
    State[Folder] = 1;
    Path.push_back(Folder);
    for (const std::string& To : Table[Folder]) {
      if (State[To] == 1) {
        std::string Circle;
        for (const std::string& s : Path) Circle += s + " -> ";
        ADD_FAILURE() << "circle: " << Circle << To;
      } else if (State[To] == 0) {
        Visit(To);
      }
    }
    Path.pop_back();
    State[Folder] = 2;
  };
  for (const auto& Row : Table) {
    if (State[Row.first] == 0) Visit(Row.first);
  }
}
