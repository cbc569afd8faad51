// The job engine: order, a full ring, ids without handler, the stop request.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
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

class JobEngine : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    static JobTableEntry aTable[APP_NUM_JOBS] = {};
    aTable[1] = {_Record, "Record"};
    aTable[2] = {_Block, "Block"};
    aTable[APP_NUM_JOBS - 1] = {nullptr, nullptr};
    APP_SetJobTable(aTable, APP_NUM_JOBS);
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

} // namespace
