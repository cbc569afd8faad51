/*
 * The message routines of the application core, for fuzz targets that link the project
 * sources without Qt: messages are dropped, questions take their default answer.
 */
#include <cstdarg>

#include "core/APP_Log.h"
#include "sys/UTIL.h"

void APP_LogBegin(const char*) {}
void APP_LogEnd(const char*) {}
void APP_LogOut(const char*) {}
void APP_LogOutf(const char*, ...) {}
void APP_ErrorOut(const char*) {}
void APP_ErrorOutf(const char*, ...) {}
void APP_WarnOut(const char*) {}
int APP_ShowMsgBox(const char*, const char*, const char*, const char*, const char*, int DefaultResult,
                   const char*, int*, int, int, int) {
  return DefaultResult;
}
int APP_MsgBox(const char*, const char*, const char*, int DefaultResult, int, int) {
  return DefaultResult;
}
int APP_FormatFileError(const char* sPath, const char* sVerb, char* sDest, int DestSize) {
  UTIL_sprintf(sDest, DestSize, "Could not %s file [%s]", sVerb, sPath);
  return 0;
}
void APP_FormatLibraryVersion(char* sDest, int DestSize, int Version) {
  UTIL_sprintf(sDest, DestSize, "V%d", Version);
}
