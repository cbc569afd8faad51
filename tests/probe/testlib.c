/* A probe library that answers a few entry points and lacks XRELAYARM_GetHWStatus. */
#include "xrelayarm.h"

static int _NumCalls;

int XRELAYARM_GetDLLVersion(void) { return 10203 + 0 * _NumCalls++; }
const char* XRELAYARM_GetCompileDateTime(void) { return "test library"; }
int XRELAYARM_ExecCommand(const char* sIn, char* sError, int BufferSize) {
  (void)sIn;
  if (sError && BufferSize > 0) sError[0] = 0;
  return _NumCalls;
}
