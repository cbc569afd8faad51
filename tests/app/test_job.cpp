// The job engine: order, a full ring, ids without handler, the stop request.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/APP.h"
#include "core/APP_Job.h"
#include "core/APP_Job_Test.h"
#include "sys/SYS.h"

namespace {

std::mutex _Lock;
std::vector<int> _Order;
std::atomic<int> _Running{0};
std::atomic<bool> _Overlap{false};
std::atomic<int> _Completions{0};
SYS_HANDLE _hGate;
std::string _WorkerName;

void _Record(JobContext* p) {
  if (_Running.fetch_add(1) != 0) _Overlap = true;
  int v = p->pParams ? *static_cast<int*>(p->pParams) : -1;
  {
    std::lock_guard<std::mutex> g(_Lock);
    _Order.push_back(v);
    _WorkerName = SYS_THREAD_GetName();
  }
  _Running.fetch_sub(1);
}

void _Block(JobContext* p) {
  SYS_EVENT_Wait(_hGate, 10000);
  _Record(p);
}

void _CountingCompletion(JobContext* p) {
  _Completions++;
  APP_StdCompletion(p);
}

// The table of this suite, of any length not below 3.
std::vector<JobTableEntry> _MakeTable(int NumEntries) {
  std::vector<JobTableEntry> aTable((size_t)NumEntries, JobTableEntry{nullptr, nullptr});
  aTable[1] = {_Record, "Record"};
  aTable[2] = {_Block, "Block"};
  return aTable;
}

void _SetTable(int NumEntries) {
  std::vector<JobTableEntry> aTable = _MakeTable(NumEntries);
  APP_SetJobTable(aTable.data(), NumEntries);
}

class JobEngine : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    _SetTable(APP_NUM_JOBS);
    _hGate = SYS_EVENT_Create(true, false);
  }
  void SetUp() override {
    std::lock_guard<std::mutex> g(_Lock);
    _Order.clear();
    _Completions = 0;
    SYS_EVENT_Reset(_hGate);
  }
  static void WaitIdle() {
    for (int i = 0; i < 10000 && APP_GetNumPendingJobs() > 0; i++) SYS_Sleep(1);
    ASSERT_EQ(APP_GetNumPendingJobs(), 0);
  }
  static void Post(uint32_t Id, int Value) {
    ASSERT_EQ(APP_CreateJob(Id, "Test", &Value, sizeof(Value), nullptr, _CountingCompletion), 0);
  }
};

TEST_F(JobEngine, RunsOneAtATimeInPostingOrder) {
  for (int i = 0; i < 5000; i++) Post(1, i);
  WaitIdle();
  std::lock_guard<std::mutex> g(_Lock);
  ASSERT_EQ(_Order.size(), 5000u);
  for (int i = 0; i < 5000; i++) ASSERT_EQ(_Order[(size_t)i], i);
  EXPECT_FALSE(_Overlap);
  EXPECT_EQ(_WorkerName, "WORKER");
}

TEST_F(JobEngine, PostsBeyondTheRingWaitForAFreeSlotAndKeepTheirOrder) {
  Post(2, 0); // occupies the worker until the gate opens
  for (int i = 1; i <= 40; i++) Post(1, i);
  // The 33rd and later posts returned at once but none of them has run.
  EXPECT_EQ(APP_GetNumPendingJobs(), 41);
  {
    std::lock_guard<std::mutex> g(_Lock);
    EXPECT_TRUE(_Order.empty());
  }
  SYS_EVENT_Set(_hGate);
  WaitIdle();
  std::lock_guard<std::mutex> g(_Lock);
  ASSERT_EQ(_Order.size(), 41u);
  for (int i = 0; i <= 40; i++) EXPECT_EQ(_Order[(size_t)i], i);
}

TEST_F(JobEngine, IdsWithoutHandlerStillComplete) {
  const char* sTag = "APP: <Test> Job params";
  int Before = SYS_MEM_CountBlocks(sTag);
  Post(7, 1);    // an entry without handler
  Post(46, 2);   // an unnamed id
  Post(1000, 3); // beyond the table
  Post(1, 4);
  WaitIdle();
  EXPECT_EQ(_Completions, 4);
  EXPECT_EQ(SYS_MEM_CountBlocks(sTag), Before); // every context and parameter block freed
  EXPECT_EQ(SYS_MEM_CountBlocks("APP: <Test> Job context"), 0);
  std::lock_guard<std::mutex> g(_Lock);
  EXPECT_EQ(_Order, std::vector<int>{4});
}

TEST_F(JobEngine, StopRequestEndsTheEngineAndLaterPostsFail) {
  Post(1, 1);
  int Steps = 0;
  ASSERT_EQ(APP_StopJobEngine(APP_NUM_JOBS - 1, [](void* p) { return ++*static_cast<int*>(p), 0; }, &Steps), 0);
  EXPECT_TRUE(APP_IsJobEngineStopped());
  {
    std::lock_guard<std::mutex> g(_Lock);
    EXPECT_EQ(_Order, std::vector<int>{1}); // the job posted before the stop ran first
  }
  JobContext c{nullptr, nullptr, nullptr, 1, 0};
  EXPECT_EQ(APP_PostJob(&c), -1);
  int Value = 5;
  EXPECT_EQ(APP_CreateJob(1, "Late", &Value, sizeof(Value), nullptr, nullptr), -1);
  EXPECT_EQ(SYS_MEM_CountBlocks("APP: <Late> Job params"), 0); // not leaked by the failed post
  APP_ResetJobEngineForTest();
  Post(1, 9);
  WaitIdle();
  std::lock_guard<std::mutex> g(_Lock);
  EXPECT_EQ(_Order.back(), 9);
}

TEST_F(JobEngine, TheWorkerReadsTheTableWhileItIsReplaced) {
  // Each registration copies a longer table, so the engine's copy moves to new memory every
  // time while the worker looks up handlers in it.
  std::atomic<bool> Done{false};
  std::thread Registrar([&] {
    for (int n = APP_NUM_JOBS; !Done; n = n < 4000 ? n + 1 : APP_NUM_JOBS) _SetTable(n);
  });
  for (int i = 0; i < 20000; i++) Post(1, i);
  WaitIdle();
  Done = true;
  Registrar.join();
  _SetTable(APP_NUM_JOBS);
  std::lock_guard<std::mutex> g(_Lock);
  ASSERT_EQ(_Order.size(), 20000u);
  for (int i = 0; i < 20000; i++) ASSERT_EQ(_Order[(size_t)i], i);
}

// Posters on several threads keep posting while the engine stops. Every post that succeeded
// hands its job to the engine, so its completion must run (and free it); every other post
// fails and leaves the job with the poster. Nothing may touch the engine's freed wake event.
TEST_F(JobEngine, EveryPostThatSucceedsCompletesWhileTheEngineStops) {
  for (int Round = 0; Round < 30; Round++) {
    _Completions = 0;
    std::atomic<int> NumPosted{0}, NumRefused{0};
    std::vector<std::thread> aPoster;
    for (int t = 0; t < 4; t++) {
      aPoster.emplace_back([&] {
        for (int i = 0;; i++) {
          if (APP_CreateJob(7, "Race", &i, sizeof(i), nullptr, _CountingCompletion) < 0) break;
          NumPosted++;
        }
        NumRefused++;
      });
    }
    while (NumPosted < 200) std::this_thread::yield();
    ASSERT_EQ(APP_StopJobEngine(APP_NUM_JOBS - 1, nullptr, nullptr), 0);
    for (std::thread& t : aPoster) t.join();
    EXPECT_EQ(NumRefused, 4);
    EXPECT_EQ(_Completions, NumPosted) << "round " << Round;
    EXPECT_EQ(SYS_MEM_CountBlocks("APP: <Race> Job context"), 0) << "round " << Round;
    EXPECT_EQ(SYS_MEM_CountBlocks("APP: <Race> Job params"), 0) << "round " << Round;
    EXPECT_EQ(APP_GetNumPendingJobs(), 0);
    APP_ResetJobEngineForTest();
    if (HasFailure()) break;
  }
}

// The stop request ends the worker whatever the registered table looks like: one shorter or
// longer than the ids the program knows, so that the request's id is not its last entry.
TEST_F(JobEngine, TheStopRequestEndsTheWorkerWhateverTheTable) {
  for (int NumEntries : {10, APP_NUM_JOBS + 5}) {
    _SetTable(NumEntries);
    Post(1, NumEntries);
    std::atomic<bool> Stopped{false};
    std::thread Stopper([&] {
      APP_StopJobEngine(APP_NUM_JOBS - 1, nullptr, nullptr);
      Stopped = true;
    });
    for (int i = 0; i < 5000 && !Stopped; i++) SYS_Sleep(1);
    if (!Stopped) {
      Stopper.detach(); // it waits for ever; leave it behind and report
      FAIL() << "stopping an engine with " << NumEntries << " table entries does not return";
    }
    Stopper.join();
    EXPECT_TRUE(APP_IsJobEngineStopped());
    EXPECT_EQ(SYS_MEM_CountBlocks("APP: <Test> Job context"), 0); // the job before it ran
    APP_ResetJobEngineForTest();
  }
  _SetTable(APP_NUM_JOBS);
}

} // namespace
