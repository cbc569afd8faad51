/*
 * APP_Job - ring of 32 slots, one worker thread "WORKER", strict posting order.
 *
 * All engine state (table, slots, queue, wake event, flags) is read and written under the
 * engine lock; only the handlers and completion routines run outside it.
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
  uint32_t Busy = 0; // non-zero: occupied
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
  JobContext* pStopContext = nullptr;  // the accepted stop request, until the worker reaches it
  std::atomic<bool> Stopped{false};    // a stop request was accepted: every later post fails
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

struct EngineGuard {
  EngineGuard() { SYS_MUTEX_Lock(_EngineLock(), -1); }
  ~EngineGuard() { SYS_MUTEX_Unlock(_EngineLock()); }
  EngineGuard(const EngineGuard&) = delete;
  EngineGuard& operator=(const EngineGuard&) = delete;
};

// Moves waiting posts into free slots, oldest first. Called under the engine lock.
void _MoveOverflowIntoRing() {
  while (!_Engine.Overflow.empty()) {
    Slot& s = _Engine.aSlot[_Engine.PostPos];
    if (s.Busy) return;
    s.pContext = _Engine.Overflow.front();
    _Engine.Overflow.pop_front();
    s.Busy = 1;
    _Engine.PostPos = (_Engine.PostPos + 1) % APP_JOB_RING_SIZE;
  }
}

// Runs on the worker when it reaches the stop request. Posts have failed since the request
// was accepted and every job posted before it has completed, so the ring holds nothing else.
void _Stop(JobContext* pContext) {
  SYS_HANDLE hDone = static_cast<SYS_HANDLE>(pContext->pParams);
  {
    EngineGuard g;
    _Engine.hStoppedThread = _Engine.hThread;
    // Posters set the wake event under the lock and fail once stopped: nobody holds it now.
    SYS_HANDLE_Close(_Engine.hWake);
    _Engine.hThread = nullptr;
    _Engine.hWake = nullptr;
    _Engine.PostPos = 0;
    for (Slot& s : _Engine.aSlot) s = Slot{};
    _Engine.pStopContext = nullptr;
    _Engine.NumPending = 0;
  }
  SYS_EVENT_Set(hDone);
}

void _WorkerMain(void*) {
  _IsWorker = true;
  int i = 0;
  for (;;) {
    JobContext* pContext = nullptr;
    JOB_FUNC* pfHandler = nullptr;
    bool IsStop = false;
    SYS_HANDLE hWake = nullptr;
    {
      EngineGuard g;
      const Slot& s = _Engine.aSlot[i];
      if (s.Busy) {
        pContext = s.pContext;
        IsStop = pContext == _Engine.pStopContext;
        if (!IsStop && pContext->JobId < _Engine.Table.size()) pfHandler = _Engine.Table[pContext->JobId].pfHandler;
      } else {
        hWake = _Engine.hWake; // closed only by this thread, in _Stop
      }
    }
    if (pContext == nullptr) {
      SYS_EVENT_Wait(hWake, -1);
      continue;
    }
    if (IsStop) {
      _Stop(pContext);
      _IsWorker = false;
      return;
    }
    if (pfHandler) pfHandler(pContext);
    if (pContext->pfCompletion) pContext->pfCompletion(pContext);
    EngineGuard g;
    _Engine.aSlot[i] = Slot{};
    _Engine.NumPending--;
    _MoveOverflowIntoRing();
    i = (i + 1) % APP_JOB_RING_SIZE;
  }
}

// Under the engine lock. False when no worker runs or can be started.
bool _StartWorkerIfNeeded() {
  if (_Engine.Stopped) return false;
  if (_Engine.hThread) return true;
  if (_Engine.hWake == nullptr) _Engine.hWake = SYS_EVENT_Create(false, false);
  _Engine.hThread = SYS_THREAD_Start(_WorkerMain, nullptr, nullptr, "WORKER", 0);
  return _Engine.hThread != nullptr;
}

// Queues a context; with IsStop it is the stop request, after which every post fails.
int _Post(JobContext* pContext, bool IsStop) {
  EngineGuard g;
  if (!_StartWorkerIfNeeded()) return -1;
  const size_t NumEntries = _Engine.Table.size();
  if (NumEntries && pContext->JobId == NumEntries - 1) IsStop = true; // the table's stop id
  /*
   * A full ring does not make the poster wait. The poster is the GUI thread, and the worker
   * may itself be waiting for the GUI thread (a message box, a file dialog): a poster that
   * waited for a slot would then wait forever. So a post that finds the ring full, or finds
   * earlier posts still waiting, joins a queue that grows; the worker moves the oldest
   * waiting context into each slot it frees. Posting order is kept, and the post returns at
   * once.
   */
  Slot& s = _Engine.aSlot[_Engine.PostPos];
  if (_Engine.Overflow.empty() && !s.Busy) {
    s.pContext = pContext;
    s.Busy = 1;
    _Engine.PostPos = (_Engine.PostPos + 1) % APP_JOB_RING_SIZE;
  } else {
    _Engine.Overflow.push_back(pContext);
  }
  _Engine.NumPending++;
  if (IsStop) {
    // Nothing may queue behind the stop request: it would never run, yet its poster was told
    // the engine took it.
    _Engine.pStopContext = pContext;
    _Engine.Stopped = true;
  }
  // Under the lock, so that the worker cannot close the event in between.
  SYS_EVENT_Set(_Engine.hWake);
  return 0;
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
  EngineGuard g;
  _Engine.Table.assign(paTable, paTable + NumEntries);
  _StartWorkerIfNeeded();
}

int APP_PostJob(JobContext* pContext) { return _Post(pContext, false); }

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
  if (_Post(&Stop, true) < 0) {
    SYS_HANDLE_Close(hDone);
    return -1;
  }
  while (SYS_EVENT_Wait(hDone, 10) != SYS_WAIT_OK) {
    if (pfWaitStep) pfWaitStep(pUser);
  }
  // The worker returns right after the stop job; wait until it is gone, thread-local clean-up
  // included, so that the program never ends beside a thread that is still ending.
  SYS_HANDLE hThread;
  {
    EngineGuard g;
    hThread = _Engine.hStoppedThread;
    _Engine.hStoppedThread = nullptr;
  }
  if (hThread) {
    SYS_EVENT_Wait(hThread, -1);
    SYS_HANDLE_Close(hThread);
  }
  // Only now: the worker may still be inside its signal of the event when the wait sees it.
  SYS_HANDLE_Close(hDone);
  return 0;
}

bool APP_IsJobEngineStopped(void) { return _Engine.Stopped; }

bool APP_IsWorkerThread(void) { return _IsWorker; }

int APP_GetNumPendingJobs(void) { return _Engine.NumPending; }

void APP_ResetJobEngineForTest(void) {
  EngineGuard g;
  _Engine.Stopped = false;
}
