/*
 * xrelayarm.h - C interface of the X-Relay probe library (libxrelayarm.so).
 *
 * The program binds every entry point by name at run time; the library owns probes,
 * targets, the device database and the programmer's files behind it. Results: 0 or a
 * count for success, negative for failure, unless an entry says otherwise. Plain C,
 * fixed-width types, nothing of C++ crosses this boundary.
 */
#ifndef XRELAYARM_H
#define XRELAYARM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define XRELAY_API __attribute__((visibility("default")))
#else
#define XRELAY_API
#endif

/* Receives every error text of the library (and, for the log handler, log lines). */
typedef void XRELAYARM_LOG_FUNC(const char* sText);

/* Hardware status of the probe and the target connector. */
typedef struct {
  uint16_t VTarget; /* target supply in millivolts */
  uint8_t tck;      /* levels of the connector's signals, 0 or 1 (-1 unknown) */
  uint8_t tdi;
  uint8_t tdo;
  uint8_t tms;
  uint8_t tres;
  uint8_t trst;
} XRELAYARM_HW_STATUS;

/* Version as major * 10000 + minor * 100 + revision (revision 1..26 = 'a'..'z'). */
XRELAY_API int XRELAYARM_GetDLLVersion(void);
/* Compile date and time of the library, e.g. "Dec 10 2026 12:00:00". */
XRELAY_API const char* XRELAYARM_GetCompileDateTime(void);
/* Executes a command string; 0 on success, negative with an error text in sError otherwise. */
XRELAY_API int XRELAYARM_ExecCommand(const char* sIn, char* sError, int BufferSize);
XRELAY_API void XRELAYARM_SetErrorOutHandler(XRELAYARM_LOG_FUNC* pfErrorOut);
/* Every later call is recorded in this file with its arguments and result; null stops it. */
XRELAY_API void XRELAYARM_SetLogFile(const char* sFilename);
/* 1 while a connection to a probe is open, else 0. */
XRELAY_API char XRELAYARM_IsOpen(void);
XRELAY_API void XRELAYARM_Close(void);
/* 0, or negative when the status cannot be read. */
XRELAY_API int XRELAYARM_GetHWStatus(XRELAYARM_HW_STATUS* pStat);

#ifdef __cplusplus
}
#endif

#endif /* XRELAYARM_H */
