/*
 * APP_Job - the job engine.
 *
 * Every user action, menu command and command-line option becomes a job: a context record
 * with a job id and a parameter block, posted from the GUI thread into a ring of 32 slots and
 * run strictly one at a time, in posting order, by the single worker thread "WORKER". The
 * poster allocates context and parameters; after posting the engine owns them and the
 * completion routine frees them. A stop request (APP_StopJobEngine, or a post of the table's
 * last id) ends the worker after the jobs posted before it; every post after it fails, so
 * every job whose post succeeded runs and completes.
 */
#pragma once

#include <cstdint>

struct JobContext;
typedef void JOB_FUNC(JobContext* pContext);

struct JobContext {
  JOB_FUNC* pfCompletion; // called after the handler; normally frees params, then the context
  void* pParams;          // the job's parameter block, or null
  void* pRequester;       // the object that asked for the job, handed back to callbacks
  uint32_t JobId;         // index into the job table
  int32_t Result;         // 0 when posted; written by handlers whose result a completion reads
};

struct JobTableEntry {
  JOB_FUNC* pfHandler; // null: nothing runs, the completion routine still does
  const char* sName;
};

enum { APP_JOB_RING_SIZE = 32 };

void APP_SetJobTable(const JobTableEntry* paTable, int NumEntries);
int APP_PostJob(JobContext* pContext); // 0, or -1 once a stop was requested (context not freed)
// Allocates context and params with the tags "APP: <Tag> Job context" / "APP: <Tag> Job params"
// and posts; shows "Insufficient memory!" and posts nothing when either allocation fails.
// pParams (NumBytesParams bytes) is copied into the new parameter block. 0, or -1.
int APP_CreateJob(uint32_t JobId, const char* sTag, const void* pParams, uint32_t NumBytesParams,
                  void* pRequester, JOB_FUNC* pfCompletion);
void APP_StdCompletion(JobContext* pContext); // frees params, then the context
// Posts the stop request (a context on the caller's stack carrying StopJobId and a manual event
// as params), calls pfWaitStep every 10 ms until the worker has ended and returns 0; -1 when a
// stop was already requested. The request ends the worker whatever the registered table holds.
int APP_StopJobEngine(uint32_t StopJobId, int (*pfWaitStep)(void* pUser), void* pUser);
bool APP_IsJobEngineStopped(void); // a stop was requested: posts fail from then on
bool APP_IsWorkerThread(void);
// Number of contexts posted but not yet completed (ring and overflow); for tests.
int APP_GetNumPendingJobs(void);
