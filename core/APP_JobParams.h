/*
 * APP_JobParams - the parameter blocks of the target jobs that the main window's menu posts.
 *
 * The menu fills them on the GUI thread; the job handlers read them on the worker. A job that
 * takes a single value ("Erase flash", "Read flash", "Save project file") gets that value
 * alone as its parameter block, with the widths named here.
 */
#pragma once

#include <cstdint>

struct DataImage;

// "Program flash": the image to program, and whether to verify it afterwards.
struct APP_PROGRAM_PARAMS {
  DataImage* pImage;
  uint8_t Verify;
};
// "Verify flash" and "Execute production programming": the image to compare or program.
struct APP_IMAGE_PARAMS {
  DataImage* pImage;
};
// "Set RS232 signal": the signal (1 BUSY, 0 OK) and its state (1 active, 0 inactive).
struct APP_SERIAL_SIGNAL_PARAMS {
  uint8_t Signal;
  uint8_t State;
};
// "Erase flash" (uint32_t): what to erase.
enum { APP_ERASE_SELECTED_SECTORS = 1, APP_ERASE_CHIP = 3 };
// "Read flash" (uint32_t): what to read.
enum { APP_READ_SELECTED_SECTORS = 0, APP_READ_CHIP = 1, APP_READ_RANGE = 2 };
