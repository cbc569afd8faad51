/*
 * MENUSTATE - the menu state and its enabling rules.
 */
#include "gui/MENUSTATE.h"

#include <cstring>
#include <memory>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "project/PROJECT.h"
#include "project/SETTINGS.h"
#include "sys/SYS.h"
#include "target/TARGET.h"

namespace {
bool (*_pfCanSecure)(int Device);

// What the project information last showed (worker thread only).
struct ProjectKey {
  bool Open = false;
  int ModCount = -1;
  char acPath[PROJECT_PATH_SIZE] = "";
};
ProjectKey _Shown;

// The project information follows the project: sent again once it was opened, closed, saved
// under another name or changed, and not otherwise, so that the tree keeps what the user
// expanded and selected.
void _RefreshProjectInfoWhenChanged(void) {
  ProjectKey Now;
  Now.Open = PROJECT_IsOpen();
  if (Now.Open) {
    Now.ModCount = PROJECT_GetModCount();
    PROJECT_GetPath(Now.acPath, sizeof(Now.acPath));
  }
  if (Now.Open == _Shown.Open && Now.ModCount == _Shown.ModCount &&
      std::strcmp(Now.acPath, _Shown.acPath) == 0) {
    return;
  }
  _Shown = Now;
  TARGET_RefreshProjectInfo();
}
} // namespace

bool MENUSTATE_IsEnabled(MENUSTATE_RULE Rule, const uint8_t ab[MENUSTATE_NUM_BYTES]) {
  const bool Project = ab[MENUSTATE_PROJECT] != 0;
  const bool Ate = ab[MENUSTATE_ATE] != 0;
  // Without a project the data-file commands stay available; the target commands need the raw byte.
  const bool Full = Project ? ab[MENUSTATE_FULL] != 0 : true;
  const bool Target = Project && !Ate;
  const bool TargetFull = Target && ab[MENUSTATE_FULL] != 0;
  const bool DataWindow = ab[MENUSTATE_DATA_WINDOW] != 0;
  switch (Rule) {
  case MENU_ALWAYS:
    return true;
  case MENU_RECENT_FILES:
    return ab[MENUSTATE_RECENT_FILES] != 0;
  case MENU_RECENT_PROJECTS:
    return ab[MENUSTATE_RECENT_PROJECTS] != 0;
  case MENU_DATA_OPEN:
    return Full;
  case MENU_DATA_EDIT:
    return Full && DataWindow;
  case MENU_DATA_SAVE:
    return Full && DataWindow && ab[MENUSTATE_DATA_MODIFIED] != 0;
  case MENU_PROJECT:
    return Project;
  case MENU_PROJECT_SAVE:
    return Project && ab[MENUSTATE_PROJECT_MODIFIED] != 0;
  case MENU_PROJECT_DATA:
    return Project && DataWindow;
  case MENU_CONNECT:
    return Target && ab[MENUSTATE_CONNECTED] == 0;
  case MENU_DISCONNECT:
    return ab[MENUSTATE_CONNECTED] != 0 && !Ate;
  case MENU_TARGET:
    return Target;
  case MENU_TARGET_FULL:
    return TargetFull;
  case MENU_CFI:
    return TargetFull && ab[MENUSTATE_CFI] != 0;
  case MENU_SECURE:
    return TargetFull && ab[MENUSTATE_SECURE] != 0;
  case MENU_ERASE_SECTORS:
    return TargetFull && ab[MENUSTATE_ERASE_SECTORS] != 0;
  }
  return false;
}

void MENUSTATE_SetSecureQuery(bool (*pfCanSecure)(int Device)) {
  _pfCanSecure = pfCanSecure;
}

void MENUSTATE_Compute(uint8_t ab[MENUSTATE_NUM_BYTES]) {
  std::memset(ab, 0, MENUSTATE_NUM_BYTES);
  ab[MENUSTATE_RECENT_PROJECTS] = SETTINGS_RECENT_GetCount(SETTINGS_RECENT_PROJECT) > 0;
  ab[MENUSTATE_RECENT_FILES] = SETTINGS_RECENT_GetCount(SETTINGS_RECENT_DATA) > 0;
  ab[MENUSTATE_DATA_WINDOW] = DATAJOBS_GetNumWindows() > 0;
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (CHexEditor* pWin = pGUI ? pGUI->GetCurDataWindow() : nullptr) {
    SYS_MUTEX* pLock = APP_GetAppLock();
    if (pLock) SYS_MUTEX_Lock(pLock, -1);
    DataImage* pImage = DATAJOBS_GetImage(pWin);
    ab[MENUSTATE_DATA_MODIFIED] = pImage && DATAIMAGE_IsModified(pImage);
    if (pLock) SYS_MUTEX_Unlock(pLock);
  }
  if (!PROJECT_IsOpen()) return;
  ab[MENUSTATE_PROJECT] = 1;
  ab[MENUSTATE_PROJECT_MODIFIED] = PROJECT_IsModified();
  ab[MENUSTATE_ERASE_SECTORS] = 1;
  PROJECT_GENERAL General;
  PROJECT_GetGeneral(&General);
  ab[MENUSTATE_ATE] = General.UseATEModuleSelection != 0;
  ab[MENUSTATE_FULL] = General.GUIMode == 0 || APP_IsCmdLineActive();
  ab[MENUSTATE_CONNECTED] = TARGET_IsConnected();
  // The records are large (sector bits, step lists): the worker's stack is not the place.
  auto pCPU = std::make_unique<PROJECT_CPU>();
  PROJECT_GetCPU(pCPU.get());
  ab[MENUSTATE_SECURE] = pCPU->Device >= 0 && _pfCanSecure && _pfCanSecure(pCPU->Device);
  auto pFlash = std::make_unique<PROJECT_FLASH>();
  PROJECT_GetFlash(pFlash.get());
  for (uint32_t i = 0; i < pFlash->NumBanks && i < PROJECT_MAX_BANKS; i++) {
    const PROJECT_BANK& b = pFlash->aBank[i];
    if (!b.Disabled && !b.IsInternal && b.AutoDetect) ab[MENUSTATE_CFI] = 1;
  }
}

void MENUSTATE_JobUpdateMenuBar(JobContext*) {
  _RefreshProjectInfoWhenChanged();
  uint8_t ab[MENUSTATE_NUM_BYTES];
  MENUSTATE_Compute(ab);
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->UpdateMenuBar(ab);
}
