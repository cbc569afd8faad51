/*
 * APP_VMon - the thread "Target voltage monitor": polls the probe's target voltage every
 * 500 ms while connected and disconnects the target when it leaves the allowed window.
 */
#include <atomic>
#include <mutex>

#include "app/APP.h"
#include "core/APP_Log.h"
#include "probe/PROBE.h"
#include "sys/SYS.h"

namespace {

std::mutex _LimitLock; // the limit mutex: written by the settings code, read by the monitor
int _MinMv = 1000;
int _MaxMv = 5500;

std::mutex _StateLock; // start and stop of the monitor itself
SYS_HANDLE _hStop;
SYS_HANDLE _hAck;
std::atomic<bool> _Running{false};

bool (*_pfIsConnected)(void);
void (*_pfDisconnect)(void);

void _Monitor(void*) {
  for (;;) {
    if (_pfIsConnected && _pfIsConnected() && XRELAYARM_IsOpen()) {
      XRELAYARM_HW_STATUS Status{};
      if (XRELAYARM_GetHWStatus(&Status) >= 0) {
        int Mv = Status.VTarget, Min, Max;
        APP_VMON_GetLimits(&Min, &Max);
        if (Mv < Min || Mv > Max) {
          APP_LogOutf("WARNING: Supply voltage too low or too high, disconnecting target! VTarget = %d.%.3dV", Mv / 1000,
                      Mv % 1000);
          if (_pfDisconnect) _pfDisconnect();
        }
      }
    }
    int r = SYS_EVENT_Wait(_hStop, 500);
    if (r == SYS_WAIT_TIMEOUT) continue;
    if (r != SYS_WAIT_OK) APP_ErrorOut("Failed waiting for event!");
    break;
  }
  _Running = false;
  SYS_EVENT_Set(_hAck);
}

} // namespace

void APP_VMON_Start(void) {
  std::lock_guard<std::mutex> g(_StateLock);
  if (_Running) return;
  if (_hStop == nullptr) _hStop = SYS_EVENT_Create(false, false);
  if (_hAck == nullptr) _hAck = SYS_EVENT_Create(false, false);
  if (_hStop == nullptr || _hAck == nullptr) {
    APP_ErrorOut("Failed to create event!");
    return;
  }
  SYS_EVENT_Reset(_hStop);
  SYS_EVENT_Reset(_hAck);
  _Running = true;
  SYS_HANDLE h = SYS_THREAD_Start(_Monitor, nullptr, nullptr, "Target voltage monitor", 0);
  if (h == nullptr) {
    _Running = false;
    return;
  }
  SYS_HANDLE_Close(h);
}

void APP_VMON_Stop(void) {
  std::lock_guard<std::mutex> g(_StateLock);
  if (!_Running) return;
  SYS_EVENT_Set(_hStop);
  SYS_EVENT_Wait(_hAck, 100);
}

bool APP_VMON_IsRunning(void) { return _Running; }

void APP_VMON_SetLimits(bool CheckEnabled, int MinMv, int MaxMv) {
  std::lock_guard<std::mutex> g(_LimitLock);
  _MinMv = CheckEnabled ? MinMv : 1000;
  _MaxMv = CheckEnabled ? MaxMv : 5500;
}

void APP_VMON_GetLimits(int* pMinMv, int* pMaxMv) {
  std::lock_guard<std::mutex> g(_LimitLock);
  *pMinMv = _MinMv;
  *pMaxMv = _MaxMv;
}

void APP_VMON_SetTarget(bool (*pfIsConnected)(void), void (*pfDisconnect)(void)) {
  _pfIsConnected = pfIsConnected;
  _pfDisconnect = pfDisconnect;
}
