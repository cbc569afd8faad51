/*
 * PROD_SN - the serial numbers of production programming.
 *
 * The next serial number lives in the project (SNValue) and in the serial file beside it
 * ("<project>_Serial.txt", text, decimal or 0x-hexadecimal); the file wins when both exist. An
 * optional list file ("<project>_SNList.txt") gives the bytes of serial number n on its line n.
 *
 * Several processes may program boards from the same project at once (one per probe). So that
 * two boards never get the same number, a cycle claims its number: the claims of running
 * processes sit in "<project>_Serial.claims" (one "<number> <process id>" per line), read and
 * written under an exclusive lock on that file. A cycle takes the next number from the serial
 * file that no live process has claimed; success writes the number after it into the serial file
 * (atomically replaced, never moved backwards) and drops the claim; failure only drops the claim,
 * so the number is used again by the next board unless a later number has already succeeded.
 */
#pragma once

#include <cstdint>

struct DataImage;
struct PROJECT_PRODUCTION;

enum { PROD_SN_MAX_LEN = 32 }; // bytes of a serial number written into the data

// With ProgramSN set: takes the next serial number, stores it as SNValue and writes SNLen bytes
// (at most 32) at SNAddr into pImage. 0, or -1 with the error shown. Without ProgramSN: 0.
int PROD_PrepareSerialNumber(DataImage* pImage);
// After a successful cycle: SNValue += SNInc, stored in the project and the serial file.
void PROD_AdvanceSerialNumber(void);
// After a failed or cancelled cycle: gives the claimed number back. Harmless when none is held.
void PROD_ReleaseSerialNumber(void);

// The serial-number bytes for Value: from a line of the list file (sLine, its first LineLen
// bytes; SNLen pairs of hex digits) or, without a list (sLine null), Value and its complement as
// two little-endian words. The number of bytes (min(SNLen, 32)), or -1 when the line does not
// start with that many hex pairs.
int PROD_BuildSerialNumber(uint32_t Value, uint32_t SNLen, const char* sLine, uint32_t LineLen,
                           uint8_t abOut[PROD_SN_MAX_LEN]);
