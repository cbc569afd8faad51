/*
 * STAMPER_Files - files on the programmer: downloading the Stamper files and the serial-number
 * files, and the actions of the programmer's file browser (identify, list, new folder,
 * download, upload, move, delete, rename).
 *
 * The programmer's file system is reached through the file functions of the probe library;
 * its paths use backslashes (slashes given here are turned into them). A file is written in
 * pieces of at most STAMPER_PIECE_SIZE bytes under a temporary name and takes its final name
 * only when all of it is there, so a transfer that fails leaves the file that was there before
 * (where the programmer cannot rename, the half file is deleted). Everything runs on the job
 * worker.
 */
#pragma once

#include <cstdint>

#include "xrelayarm.h"

struct APP_PROGRESS;

constexpr uint32_t STAMPER_PIECE_SIZE = 0x20000; // bytes per probe-library call
enum {
  STAMPER_MAX_FOLDER_DEPTH = 4,    // folder levels below the starting folder
  STAMPER_MAX_FOLDER_ENTRIES = 64, // entries of one folder on upload
  STAMPER_NAME_SIZE = 64,
};

// One file to send; a negative size deletes the file on the programmer.
struct STAMPER_DOWNLOAD_ENTRY {
  char acName[STAMPER_NAME_SIZE]; // relative to the destination folder
  const uint8_t* pData;
  int32_t NumBytes;
  uint32_t Crc; // of the bytes, for the log
};

// Sends the entries to the open programmer as sDestPrefix + name (the prefix ends in a
// backslash or is empty), with sProgName in the texts. 0, or -1 (reported).
int STAMPER_DownloadFiles(const char* sProgName, const char* sDestPrefix, const STAMPER_DOWNLOAD_ENTRY* paEntry,
                          int NumEntries, APP_PROGRESS* pProgress);
// Connects and sends the entries to the programmer, or to each selected module of a gang
// programmer. 0, or -1 (reported).
int STAMPER_DownloadToProgrammer(const STAMPER_DOWNLOAD_ENTRY* paEntry, int NumEntries);
// "Download stamper files" (-download) and "Download stamper SN data". 0, or -1 (reported).
int STAMPER_DownloadStamperFiles(void);
int STAMPER_DownloadSNFiles(void);

// Copies files and folders of the programmer (sFolder + name) into the PC folder sPCFolder,
// folders down to Depth levels. 0, or -1 (reported).
int STAMPER_Upload(const char* sProgName, const char* sFolder, const char* sPCFolder, const char* const* pasNames,
                   int NumNames, int Depth);

// A request of the file browser (job "Execute Stamper file action").
enum {
  STAMPER_ACTION_IDENTIFY = 0,
  STAMPER_ACTION_LIST = 1,
  STAMPER_ACTION_NEW_FOLDER = 2,
  STAMPER_ACTION_DOWNLOAD = 3,
  STAMPER_ACTION_UPLOAD = 4,
  STAMPER_ACTION_MOVE = 5,
  STAMPER_ACTION_DELETE = 6,
  STAMPER_ACTION_RENAME = 7,
  STAMPER_ACTION_END = 8,
};
struct STAMPER_FILE_REQUEST {
  int Action;
  char acPath[512];         // the current folder on the programmer ("/" separated)
  char acName[256];         // new folder; rename: the old name; move: the target subfolder
  char acNewName[256];      // rename
  const char* const* pasNames; // delete, move, upload: names in the folder; download: PC paths
  int NumNames;
  XRELAYARM_FOLDER_ENTRY* paEntries; // list
  int MaxEntries;
  char acPCFolder[512];       // upload
  char acDisplayName[64];     // identify: the programmer's name
  int Result;                 // the action's result (list: entries found)
  void (*pfCompletion)(STAMPER_FILE_REQUEST* pReq); // called on the worker when done, or null
  void* pUser;
};
int STAMPER_ExecFileAction(STAMPER_FILE_REQUEST* pReq); // the result, also in pReq->Result
