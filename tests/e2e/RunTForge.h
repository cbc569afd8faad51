// Runs the real tforge binary headless in a private home, settings and state folder.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct TForgeRun {
  int ExitCode = -1;
  std::string Out; // standard output and standard error, in order
};

class TForgeHome {
public:
  TForgeHome() {
    char ac[] = "/tmp/tforge-e2e-XXXXXX";
    Dir = mkdtemp(ac);
  }
  ~TForgeHome() { std::system(("rm -rf '" + Dir + "'").c_str()); }
  std::string Path(const std::string& Name) const { return Dir + "/" + Name; }

  // Arguments are passed as given (each one quoted for the shell). sBin: another copy of the
  // program (with its own program directory).
  TForgeRun Run(const std::vector<std::string>& Args, const std::string& ExtraEnv = "",
                const std::string& sBin = TFORGE_BIN) const {
    std::string Cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME='" + Dir +
                      "/config' XDG_STATE_HOME='" + Dir + "/state' XDG_RUNTIME_DIR='" + Dir +
                      "' TFORGE_SETTINGS_DIR='" + Dir + "/settings' XRELAY_SIM_DIR='" + Dir + "/sim' " + ExtraEnv +
                      " '" + sBin + "'";
    for (const std::string& a : Args) {
      std::string q;
      for (char c : a) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
      Cmd += " '" + q + "'";
    }
    Cmd += " 2>&1 </dev/null";
    TForgeRun r;
    FILE* p = popen(Cmd.c_str(), "r");
    if (p == nullptr) return r;
    std::array<char, 4096> Buf;
    size_t n;
    while ((n = fread(Buf.data(), 1, Buf.size(), p)) > 0) r.Out.append(Buf.data(), n);
    int Status = pclose(p);
    r.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return r;
  }
  std::string Dir;
};
