// Job engine latency and log throughput into the log view and the log file.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/QtBenchMain.h"
#include "core/APP.h"
#include "core/APP_Job.h"
#include "core/APP_Log.h"
#include "gui/CustTextView.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"
#include "tests/NullGUI.h"

namespace {

std::atomic<uint64_t> _StartedAt{0};
SYS_HANDLE _hStarted;

void _Mark(JobContext*) {
  _StartedAt = SYS_TIME_GetTicks();
  SYS_EVENT_Set(_hStarted);
}

void _Nothing(JobContext*) {}

void SetUpEngine() {
  static bool Done = false;
  if (Done) return;
  Done = true;
  static JobTableEntry aTable[APP_NUM_JOBS] = {};
  aTable[1] = {_Mark, "Mark"};
  aTable[2] = {_Nothing, "Nothing"};
  APP_SetJobTable(aTable, APP_NUM_JOBS);
  _hStarted = SYS_EVENT_Create(false, false);
}

// Time from the post until an idle worker runs the handler (and how long the post itself takes).
void BM_IdleWorkerStartsJob(benchmark::State& State) {
  SetUpEngine();
  double PostUs = 0, StartUs = 0;
  for (auto _ : State) {
    SYS_Sleep(1); // let the worker fall asleep on its event
    uint64_t t0 = SYS_TIME_GetTicks();
    APP_CreateJob(1, "Bench", nullptr, 0, nullptr, nullptr);
    uint64_t t1 = SYS_TIME_GetTicks();
    SYS_EVENT_Wait(_hStarted, -1);
    PostUs += (double)(t1 - t0) / 1000.0;
    StartUs += (double)(_StartedAt - t0) / 1000.0;
  }
  State.counters["post_us"] = PostUs / (double)State.iterations();
  State.counters["start_us"] = StartUs / (double)State.iterations();
}
BENCHMARK(BM_IdleWorkerStartsJob)->Iterations(500)->UseRealTime();

// Posting throughput from one thread while the worker drains the ring.
void BM_PostJobs(benchmark::State& State) {
  SetUpEngine();
  for (auto _ : State) APP_CreateJob(2, "Bench", nullptr, 0, nullptr, nullptr);
  while (APP_GetNumPendingJobs() > 0) SYS_Sleep(1);
}
BENCHMARK(BM_PostJobs)->UseRealTime();

int _hLogFile = -1;
void _WriteLogFile(const char* s, int n) { SYS_FILE_Write(_hLogFile, s, (uint32_t)n); }

// The worker formats lines into the log view (10 000-line buffer wrapping) and the log file
// while the GUI thread runs its event loop; reports lines per second and repaints.
void BM_LogThroughput(benchmark::State& State) {
  const int NumLines = (int)State.range(0);
  CustTextView View(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
  View.resize(800, 300);
  View.show();
  char acPath[] = "/tmp/tforge-bench-log-XXXXXX";
  _hLogFile = mkstemp(acPath);
  View.SetLineWriter(_WriteLogFile);
  double Lines = 0, Seconds = 0;
  int Repaints = 0;
  for (auto _ : State) {
    int Before = View.GetNumRepaints();
    std::atomic<bool> Done{false};
    QElapsedTimer t;
    t.start();
    std::thread Worker([&] {
      char ac[256];
      for (int i = 0; i < NumLines; i++) {
        UTIL_sprintf(ac, sizeof(ac), " - \x1b[1;31mERROR: Sector %d at 0x%.8X failed\x1b[0m\n", i, 0x08000000u + i * 1024u);
        View.AppendText(ac);
      }
      Done = true;
    });
    while (!Done) QApplication::processEvents(QEventLoop::AllEvents, 5);
    Worker.join();
    Seconds += (double)t.nsecsElapsed() / 1e9;
    Lines += NumLines;
    Repaints += View.GetNumRepaints() - Before;
  }
  View.SetLineWriter(nullptr);
  close(_hLogFile);
  unlink(acPath);
  State.counters["lines_per_s"] = Lines / Seconds;
  State.counters["repaints_per_s"] = (double)Repaints / Seconds;
}
BENCHMARK(BM_LogThroughput)->Arg(200000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The log routines' own path into the view and the log file: a nested operation per thread,
// level checks, indentation and formatting. Run with one thread (the worker) and with a
// second one logging beside it (the voltage monitor).
class ViewGUI : public NullGUI {
public:
  explicit ViewGUI(CustTextView* p) : _pView(p) {}
  void AppendLog(const char* s) override { _pView->AppendText(s); }
  void SetLogWriter(void (*pf)(const char*, int)) override { _pView->SetLineWriter(pf); }

private:
  CustTextView* _pView;
};

void BM_LogOutThroughput(benchmark::State& State) {
  const int NumLines = 200000;
  const int NumThreads = (int)State.range(0);
  CustTextView View(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
  View.resize(800, 300);
  View.show();
  ViewGUI Gui(&View);
  APP_SetGUI(&Gui);
  char acDir[] = "/tmp/tforge-bench-log-XXXXXX";
  std::string Path = std::string(mkdtemp(acDir)) + "/bench.log";
  APP_SetLogFileOverride(Path.c_str());
  APP_SetLogFileOn(true);
  double Lines = 0, Seconds = 0;
  for (auto _ : State) {
    std::atomic<int> NumDone{0};
    QElapsedTimer t;
    t.start();
    std::vector<std::thread> aThread;
    for (int n = 0; n < NumThreads; n++) {
      aThread.emplace_back([&] {
        APP_LogBegin("Programming target ...");
        for (int i = 0; i < NumLines / NumThreads; i++) {
          APP_LogOutf("Sector %d at 0x%.8X programmed", i, 0x08000000u + (uint32_t)i * 1024u);
        }
        APP_LogEnd(nullptr);
        NumDone++;
      });
    }
    while (NumDone < NumThreads) QApplication::processEvents(QEventLoop::AllEvents, 5);
    for (std::thread& th : aThread) th.join();
    Seconds += (double)t.nsecsElapsed() / 1e9;
    Lines += NumLines;
  }
  APP_SetLogFileOn(false);
  APP_SetLogFileOverride("");
  APP_SetGUI(nullptr);
  unlink(Path.c_str());
  rmdir(acDir);
  State.counters["lines_per_s"] = Lines / Seconds;
}
BENCHMARK(BM_LogOutThroughput)->Arg(1)->Arg(2)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return QtBenchMain(argc, argv); }
