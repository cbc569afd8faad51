/*
 * UTIL - bounded text helpers, number parsers, byte order and bit fields.
 *
 * Text is 8-bit in fixed-size buffers; every copy is bounded by the destination size and
 * always terminates. UTIL_sprintf is the program's own formatter: it produces characters
 * strictly in order, so that a buffer may be appended to by formatting "%s..." with the
 * buffer itself as the first argument.
 */
#pragma once

#include <cstdarg>
#include <cstdint>

void UTIL_strcpy(char* sDest, const char* sSrc, int DestSize);
void UTIL_strcat(char* sDest, const char* sSrc, int DestSize);
void UTIL_strncat(char* sDest, const char* sSrc, int n, int DestSize);
int UTIL_strlen(const char* s);
int UTIL_stricmp(const char* s0, const char* s1);          // <0, 0, >0, ASCII letters folded
int UTIL_strnicmp(const char* s0, const char* s1, int n);  // at most n; stops at the end of s0
int UTIL_strchr(const char* s, char c);                    // index or -1
void UTIL_ReplaceChar(char* s, char cOld, char cNew);
void UTIL_ToUpper(char* s);
void UTIL_ToLower(char* s);
void UTIL_SkipSpaces(const char** ps);
int64_t UTIL_ParseU32(const char* s);                      // value, or -1 when no digit follows
int UTIL_ParseInt(const char** ps, int64_t* pValue, bool IsHex); // 0, or -1 when no digit follows
int UTIL_ParseHex(const char** ps, int64_t* pValue);             // UTIL_ParseInt with the hex flag

// Formats into sDest (at most DestSize - 1 characters, always terminated); returns the length.
int UTIL_sprintf(char* sDest, int DestSize, const char* sFormat, ...) __attribute__((format(printf, 3, 4)));
int UTIL_vsprintf(char* sDest, int DestSize, const char* sFormat, va_list Args);
// Formats into 1024 characters and hands the text to pfOut; nothing happens when pfOut is null.
void UTIL_vOutf(void (*pfOut)(const char* sText), const char* sFormat, va_list Args);

// Byte order: IsBigEndian selects big-endian, otherwise little-endian.
uint16_t UTIL_Load16(const void* p, bool IsBigEndian);
uint32_t UTIL_Load32(const void* p, bool IsBigEndian);
void UTIL_Store16(void* p, uint16_t v, bool IsBigEndian);
void UTIL_Store32(void* p, uint32_t v, bool IsBigEndian);
uint16_t UTIL_Swap16(uint16_t v);
uint32_t UTIL_Swap32(uint32_t v);
void UTIL_Swap32Array(uint32_t* p, int NumItems);

// Bit fields in byte arrays; bit 0 is the least significant bit of byte 0.
void UTIL_SetBits(uint8_t* p, int FirstBit, int NumBits);
void UTIL_ClrBits(uint8_t* p, int FirstBit, int NumBits);
void UTIL_InvertBits(uint8_t* p, int FirstBit, int NumBits);
bool UTIL_TestBit(const uint8_t* p, int Bit);
int UTIL_CountBits(const uint8_t* p, int NumBytes);
int UTIL_FindLowestBit(uint32_t v);  // -1 for 0
int UTIL_FindHighestBit(uint32_t v); // -1 for 0
