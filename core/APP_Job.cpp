/*
 * APP_Job - ring of 32 slots, one worker thread "WORKER", strict posting order.
 */
#include "core/APP_Job.h"
#include "core/APP_Job_Test.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/APP_Log.h"
#include "sys/SYS.h"

namespace {

struct Slot {
  std::atomic<uint32_t> Busy{0}; // non-zero: occupied; the hand-over between poster and worker
  JobContext* pContext = nullptr;
};

struct Engine {
  std::vector<JobTableEntry> Table;
  Slot aSlot[APP_JOB_RING_SIZE];
  int PostPos = 0;
  std::deque<JobContext*> Overflow; // posts that found the ring full, in posting order
  SYS_HANDLE hWake = nullptr;       // auto-reset: one signal per post
  SYS_HANDLE hThread = nullptr;
  SYS_HANDLE hStoppedThread = nullptr; // the worker that ran the stop job, until the stopper waits for it
  std::atomic<bool> Stopped{false};
  std::atomic<int> NumPending{0};
  SYS_MUTEX* pLock = nullptr;       // the engine lock; lives until the process ends
};

Engine _Engine;
std::once_flag _LockOnce;
thread_local bool _IsWorker;

SYS_MUTEX* _EngineLock() {
  std::call_once(_LockOnce, [] { _Engine.pLock = SYS_MUTEX_Create(nullptr); });
  return _Engine.pLock;
}

// Moves waiting posts into free slots, oldest first. Called under the engine lock.
void _MoveOverflowIntoRing() {
  while (!_Engine.Overflow.empty()) {
    Slot& s = _Engine.aSlot[_Engine.PostPos];
    if (s.Busy.load(std::memory_order_acquire)) return;
    s.pContext = _Engine.Overflow.front();
    _Engine.Overflow.pop_front();
    s.Busy.store(1, std::memory_order_release);
    _Engine.PostPos = (_Engine.PostPos + 1) % APP_JOB_RING_SIZE;
  }
}

void _Stop(JobContext* pContext) {
  SYS_HANDLE hDone = static_cast<SYS_HANDLE>(pContext->pParams);
  SYS_MUTEX_Lock(_EngineLock(), -1);
  _Engine.Stopped = true;
  _Engine.hStoppedThread = _Engine.hThread;
  SYS_HANDLE_Close(_Engine.hWake);
  _Engine.hThread = nullptr;
  _Engine.hWake = nullptr;
  _Engine.PostPos = 0;
  for (Slot& s : _Engine.aSlot) {
    s.pContext = nullptr;
    s.Busy = 0;
  }
  _Engine.Overflow.clear();
  _Engine.NumPending = 0;
  SYS_MUTEX_Unlock(_EngineLock());
  SYS_EVENT_Set(hDone);
}

void _WorkerMain(void* pArg) {
  SYS_HANDLE hWake = static_cast<SYS_HANDLE>(pArg);
  _IsWorker = true;
  int i = 0;
  for (;;) {
    Slot& s = _Engine.aSlot[i];
    if (!s.Busy.load(std::memory_order_acquire)) {
      SYS_EVENT_Wait(hWake, -1);
      continue;
    }
    JobContext* pContext = s.pContext;
    uint32_t NumEntries = (uint32_t)_Engine.Table.size();
    if (NumEntries && pContext->JobId == NumEntries - 1) {
      _Stop(pContext);
      _IsWorker = false;
      return;
    }
    if (pContext->JobId + 1 < NumEntries) {
      JOB_FUNC* pf = _Engine.Table[pContext->JobId].pfHandler;
      if (pf) pf(pContext);
    }
    if (pContext->pfCompletion) pContext->pfCompletion(pContext);
    SYS_MUTEX_Lock(_EngineLock(), -1);
    s.pContext = nullptr;
    s.Busy.store(0, std::memory_order_release);
    _Engine.NumPending--;
    _MoveOverflowIntoRing();
    SYS_MUTEX_Unlock(_EngineLock());
    i = (i + 1) % APP_JOB_RING_SIZE;
  }
}

// Under the engine lock.
void _StartWorkerIfNeeded() {
  if (_Engine.hThread || _Engine.Stopped) return;
  _Engine.hWake = SYS_EVENT_Create(false, false);
  _Engine.hThread = SYS_THREAD_Start(_WorkerMain, _Engine.hWake, nullptr, "WORKER", 0);
}

// Tags are constant texts that live as long as the blocks carrying them.
const char* _InternTag(const std::string& s) {
  static std::mutex m;
  static std::set<std::string> tags;
  std::lock_guard<std::mutex> g(m);
  return tags.insert(s).first->c_str();
}

} // namespace

void APP_SetJobTable(const JobTableEntry* paTable, int NumEntries) {
  SYS_MUTEX_Lock(_EngineLock(), -1);
  _Engine.Table.assign(paTable, paTable + NumEntries);
  _StartWorkerIfNeeded();
  SYS_MUTEX_Unlock(_EngineLock());
}

int APP_PostJob(JobContext* pContext) {
  if (_Engine.Stopped) return -1;
  SYS_MUTEX_Lock(_EngineLock(), -1);
  _StartWorkerIfNeeded();
  /*
   * A full ring does not make the poster wait. The poster is the GUI thread, and the worker
   * may itself be waiting for the GUI thread (a message box, a file dialog): a poster that
   * waited for a slot would then wait forever. So a post that finds the ring full, or finds
   * earlier posts still waiting, joins a queue that grows; the worker moves the oldest
   * waiting context into each slot it frees. Posting order is kept, and the post returns at
   * once.
   */
  Slot& s = _Engine.aSlot[_Engine.PostPos];
  if (_Engine.Overflow.empty() && !s.Busy.load(std::memory_order_acquire)) {
    s.pContext = pContext;
    s.Busy.store(1, std::memory_order_release);
    _Engine.PostPos = (_Engine.PostPos + 1) % APP_JOB_RING_SIZE;
  } else {
    _Engine.Overflow.push_back(pContext);
  }
  _Engine.NumPending++;
  SYS_HANDLE hWake = _Engine.hWake;
  SYS_MUTEX_Unlock(_EngineLock());
  SYS_EVENT_Set(hWake);
  return 0;
}

void APP_StdCompletion(JobContext* pContext) {
  SYS_MEM_Free(pContext->pParams);
  SYS_MEM_Free(pContext);
}

int APP_CreateJob(uint32_t JobId, const char* sTag, const void* pParams, uint32_t NumBytesParams,
                  void* pRequester, JOB_FUNC* pfCompletion) {
  std::string Tag = std::string("APP: <") + (sTag ? sTag : "") + ">";
  JobContext* pContext =
      static_cast<JobContext*>(SYS_MEM_Alloc(sizeof(JobContext), _InternTag(Tag + " Job context")));
  void* p = nullptr;
  if (pContext && NumBytesParams) {
    p = SYS_MEM_Alloc(NumBytesParams, _InternTag(Tag + " Job params"));
    if (p && pParams) std::memcpy(p, pParams, NumBytesParams);
  }
  if (pContext == nullptr || (NumBytesParams && p == nullptr)) {
    SYS_MEM_Free(pContext);
    APP_ErrorBox("Insufficient memory!");
    return -1;
  }
  pContext->pfCompletion = pfCompletion ? pfCompletion : APP_StdCompletion;
  pContext->pParams = p;
  pContext->pRequester = pRequester;
  pContext->JobId = JobId;
  pContext->Result = 0;
  if (APP_PostJob(pContext) < 0) {
    // The engine has stopped: the context is still ours.
    SYS_MEM_Free(p);
    SYS_MEM_Free(pContext);
    return -1;
  }
  return 0;
}

int APP_StopJobEngine(uint32_t StopJobId, int (*pfWaitStep)(void* pUser), void* pUser) {
  SYS_HANDLE hDone = SYS_EVENT_Create(true, false);
  JobContext Stop{nullptr, hDone, nullptr, StopJobId, 0};
  if (APP_PostJob(&Stop) < 0) {
    SYS_HANDLE_Close(hDone);
    return -1;
  }
  while (SYS_EVENT_Wait(hDone, 10) != SYS_WAIT_OK) {
    if (pfWaitStep) pfWaitStep(pUser);
  }
  SYS_HANDLE_Close(hDone);
  // The worker returns right after the stop job; wait until it is gone, thread-local clean-up
  // included, so that the program never ends beside a thread that is still ending.
  SYS_MUTEX_Lock(_EngineLock(), -1);
  SYS_HANDLE hThread = _Engine.hStoppedThread;
  _Engine.hStoppedThread = nullptr;
  SYS_MUTEX_Unlock(_EngineLock());
  if (hThread) {
    SYS_EVENT_Wait(hThread, -1);
    SYS_HANDLE_Close(hThread);
  }
  return 0;
}

bool APP_IsJobEngineStopped(void) { return _Engine.Stopped; }

bool APP_IsWorkerThread(void) { return _IsWorker; }

int APP_GetNumPendingJobs(void) { return _Engine.NumPending; }

void APP_ResetJobEngineForTest(void) {
  SYS_MUTEX_Lock(_EngineLock(), -1);
  _Engine.Stopped = false;
  SYS_MUTEX_Unlock(_EngineLock());
}
