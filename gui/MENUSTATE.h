/*
 * MENUSTATE - which menu commands the main window offers: the 12 bytes of the menu state and
 * the rules that turn them into enabled and disabled commands.
 *
 * The job "Update menu bar" computes the state on the worker (MENUSTATE_Compute) from the
 * recent lists, the data windows, the project and the connection, and hands it to the main
 * window, which applies the rules (MENUSTATE_IsEnabled) to every command and sub-menu.
 */
#pragma once

#include <cstdint>

struct JobContext;

enum {
  MENUSTATE_RECENT_PROJECTS = 0, // the recent project list is not empty
  MENUSTATE_RECENT_FILES = 1,    // the recent data-file list is not empty
  MENUSTATE_DATA_WINDOW = 2,     // at least one data window is open
  MENUSTATE_DATA_MODIFIED = 3,   // the image of the active data window has unsaved changes
  MENUSTATE_PROJECT = 4,         // a project is open
  MENUSTATE_PROJECT_MODIFIED = 5,
  MENUSTATE_CONNECTED = 6,
  MENUSTATE_ATE = 7,            // the project selects modules of a gang programmer
  MENUSTATE_FULL = 8,           // full menus: GUIMode 0, or the command line is running
  MENUSTATE_CFI = 9,            // an enabled external bank is detected as CFI flash
  MENUSTATE_SECURE = 10,        // the project's device can be secured
  MENUSTATE_ERASE_SECTORS = 11, // selected sectors can be erased
  MENUSTATE_NUM_BYTES = 12,
};

// The enabling rules; each command and sub-menu of the main window names one.
enum MENUSTATE_RULE {
  MENU_ALWAYS,
  MENU_RECENT_FILES, // the recent data-file list has entries
  MENU_RECENT_PROJECTS,
  MENU_DATA_OPEN,     // full menus (or no project)
  MENU_DATA_EDIT,     // ... and a data window is open
  MENU_DATA_SAVE,     // ... and its image has unsaved changes
  MENU_PROJECT,       // a project is open
  MENU_PROJECT_SAVE,  // ... with unsaved changes
  MENU_PROJECT_DATA,  // ... and a data window is open
  MENU_CONNECT,       // a project, not connected, no module selection
  MENU_DISCONNECT,    // connected, no module selection
  MENU_TARGET,        // a project without module selection
  MENU_TARGET_FULL,   // ... with full menus
  MENU_CFI,           // ... and a CFI bank
  MENU_SECURE,        // ... and a device that can be secured
  MENU_ERASE_SECTORS, // ... and sectors that can be erased
};

bool MENUSTATE_IsEnabled(MENUSTATE_RULE Rule, const uint8_t abState[MENUSTATE_NUM_BYTES]);

// Whether a device of the database offers a secure function; installed by whoever knows the
// flash loaders (null: no device can be secured).
void MENUSTATE_SetSecureQuery(bool (*pfCanSecure)(int Device));

// Worker thread: the state as the recent lists, data windows, project and connection are now.
void MENUSTATE_Compute(uint8_t abState[MENUSTATE_NUM_BYTES]);
// The job "Update menu bar": computes the state and sends it to the GUI; the project
// information goes along whenever the project changed since it was last sent.
void MENUSTATE_JobUpdateMenuBar(JobContext* pContext);
