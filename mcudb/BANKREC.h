/*
 * BANKREC - what a flash bank's settings look like wherever they are held.
 *
 * The device database's BANK_INFO and the project's PROJECT_BANK carry the same bank settings
 * under the same field names (each record adds its own way of naming the device). The defaults
 * of a bank the user inserts and the copy from one record to the other are written once, here,
 * for both; the copy refuses to compile when the two records stop matching.
 */
#pragma once

#include <cstring>

#include "sys/UTIL.h"

// The defaults of a bank the user inserts (the fields outside the settings stay as they are).
template <typename BANK> void BANKREC_InitUserDefaults(BANK* p) {
  UTIL_strcpy(p->acLoaderName, "Default", sizeof(p->acLoaderName));
  p->AutoDetect = 1;
  p->CheckId = 3;
  p->OrgNumBits = 16;
  p->OrgNumChips = 1;
  p->BankSelMode = 1;
  p->EndSector = 0xFFFF;
}

// Copies the bank settings that both records hold.
template <typename TO, typename FROM> void BANKREC_CopySettings(TO* pTo, const FROM& From) {
  static_assert(sizeof(pTo->abSectorSel) == sizeof(From.abSectorSel), "sector selections of different sizes");
  static_assert(sizeof(pTo->acBankName) == sizeof(From.acBankName), "bank names of different sizes");
  static_assert(sizeof(pTo->acLoaderName) == sizeof(From.acLoaderName), "loader names of different sizes");
  UTIL_strcpy(pTo->acLoaderName, From.acLoaderName, sizeof(pTo->acLoaderName));
  UTIL_strcpy(pTo->acBankName, From.acBankName, sizeof(pTo->acBankName));
  pTo->BaseAddr = From.BaseAddr;
  pTo->IsInternal = From.IsInternal;
  pTo->Disabled = From.Disabled;
  pTo->AutoDetect = From.AutoDetect;
  pTo->CheckId = From.CheckId;
  pTo->OrgNumBits = From.OrgNumBits;
  pTo->OrgNumChips = From.OrgNumChips;
  pTo->BankSelMode = From.BankSelMode;
  pTo->StartSector = From.StartSector;
  pTo->EndSector = From.EndSector;
  std::memcpy(pTo->abSectorSel, From.abSectorSel, sizeof(pTo->abSectorSel));
}
