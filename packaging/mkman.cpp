/*
 * mkman - writes the manual page tforge.1 from the command line's own option table, so the page
 * lists exactly the options, texts and syntax that "tforge -?" prints. Run by the build only.
 *
 * Usage: mkman <output file>. 0 on success, 1 when the file cannot be written.
 */
#include <cstdio>
#include <string>
#include <string_view>

#include "app/CMDLINE.h"
#include "core/APP.h"

namespace {

// Text for roff: backslashes and hyphens escaped, a leading dot or quote made harmless.
std::string _Roff(std::string_view s) {
  std::string r;
  for (char c : s) {
    if (c == '\\') r += "\\e";
    else if (c == '-') r += "\\-";
    else r += c;
  }
  if (!r.empty() && (r[0] == '.' || r[0] == '\'')) r.insert(0, "\\&");
  return r;
}

std::string_view _Trim(std::string_view s) {
  const char* kBlanks = " \t\r\n";
  size_t First = s.find_first_not_of(kBlanks);
  if (First == std::string_view::npos) return {};
  return s.substr(First, s.find_last_not_of(kBlanks) - First + 1);
}

// One option: its help text is "<blanks><text>" and, for options with arguments,
// "\n<blanks>Syntax:<blanks><syntax>".
std::string _Option(const CMDLINE_OPTION& o) {
  std::string_view Help = o.sHelp;
  std::string_view Syntax;
  size_t Nl = Help.find('\n');
  if (Nl != std::string_view::npos) {
    Syntax = Help.substr(Nl + 1);
    Help = Help.substr(0, Nl);
    Syntax = _Trim(Syntax);
    if (Syntax.substr(0, 7) == "Syntax:") Syntax = _Trim(Syntax.substr(7));
  }
  std::string r = ".TP\n.B " + _Roff(o.sOption) + "\n" + _Roff(_Trim(Help)) + "\n";
  if (!Syntax.empty()) r += ".br\nSyntax: " + _Roff(Syntax) + "\n";
  return r;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkman <output file>\n");
    return 1;
  }
  char acVersion[32];
  std::snprintf(acVersion, sizeof(acVersion), "V%d.%.2d%s", APP_VERSION_MAJOR, APP_VERSION_MINOR,
                APP_VERSION_SUFFIX);
  std::string Page;
  Page += ".TH TFORGE 1 \"\" \"" APP_PRODUCT_NAME " " + std::string(acVersion) + "\" \"" APP_COMPANY_NAME "\"\n";
  Page += ".SH NAME\ntforge \\- program the flash memory of microcontrollers through an X\\-Relay probe\n";
  Page += ".SH SYNOPSIS\n.B tforge\n[\\fIoption\\fR...] [\\fIproject\\fR.tforge]\n";
  Page += ".SH DESCRIPTION\n"
          "T\\-Forge erases, blank\\-checks, programs, verifies and reads back the flash memory of a target, "
          "secures it or starts its application, or runs the whole production cycle in one command. "
          "It is a desktop program that can be driven entirely from its command line.\n"
          ".PP\n"
          "Options are matched without regard to case, by their beginning. Setting options apply "
          "wherever they stand; the actions run in the order written. An option and the arguments "
          "after it that are no options are joined without a blank. In file names a comma ends the "
          "name unless the name is in double quotes. Addresses are hexadecimal, with or without "
          "0x; two of them are separated by a comma, the second one is the last address of the range.\n"
          ".PP\n"
          "Without a display the program runs headless and ends after its actions, as if "
          "\\fB\\-exit\\fR had been given; its log lines then also appear on standard output.\n";
  Page += ".SH OPTIONS\n";
  for (const CMDLINE_OPTION& o : CMDLINE_OptionTable)
    Page += _Option(o);
  Page += ".SH EXIT STATUS\n0 when every action succeeded, 1 after any error.\n";
  Page += ".SH ENVIRONMENT\n"
          ".TP\n.B TFORGE_SETTINGS_DIR\nThe folder of the settings file and the program log file.\n"
          ".TP\n.B XDG_CONFIG_HOME\nThe settings folder is $XDG_CONFIG_HOME/KORVEN (default ~/.config/KORVEN) "
          "when the program directory is not writable.\n"
          ".TP\n.B XRELAY_SIM_CONFIG\nThe configuration file of the simulated probes.\n"
          ".TP\n.B XRELAY_SIM_DIR\nWhere the simulated targets keep their flash and files "
          "(default $XDG_STATE_HOME/KORVEN/xrelay\\-sim).\n";
  Page += ".SH FILES\n"
          ".TP\n.I TForgeSettings.ini\nThe global settings.\n"
          ".TP\n.I ETC/TForge/Flash.csv\nThe external flash device list, in the program directory.\n"
          ".TP\n.I libxrelayarm.so\nThe probe library, in the program directory.\n";
  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  bool Ok = std::fwrite(Page.data(), 1, Page.size(), f) == Page.size();
  Ok = std::fclose(f) == 0 && Ok;
  if (!Ok) std::perror(argv[1]);
  return Ok ? 0 : 1;
}
