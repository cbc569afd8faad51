/* Test helper: a process of its own that opens the simulated probe, sends one command to the
   probe library (such as the programmer's start button, "SimStamperRun") and prints what the
   library logged and the command's error text. Exit code 0 when the command succeeded. */
#include "xrelayarm.h"

#include <cstdio>

static void Print(const char* s) { printf("%s\n", s); }

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: xrelay_simcmd <command>\n");
    return 2;
  }
  if (const char* err = XRELAYARM_OpenEx(Print, nullptr)) {
    printf("%s\n", err);
    return 1;
  }
  char ac[512];
  int rc = XRELAYARM_ExecCommand(argv[1], ac, sizeof(ac));
  if (rc != 0) printf("%s\n", ac);
  XRELAYARM_Close();
  return rc == 0 ? 0 : 1;
}
