/*
 * CRC32 - the CRC that identifies data, files, Stamper files and downloads.
 *
 * Reflected CRC-32 over the polynomial 0xEDB88320, table method, without inversion before or
 * after: the caller passes the register (every CRC of the program starts at 0) and gets the
 * new register back, so pieces can be chained. CRC of "abc" from 0 is 0xCA6598D0.
 */
#pragma once

#include <cstddef>
#include <cstdint>

// New register after NumBytes bytes of pData; a null pointer or no bytes leaves it unchanged.
uint32_t CRC32_Update(uint32_t Crc, const void* pData, size_t NumBytes);
// New register after NumBytes copies of the byte Value, without a buffer.
uint32_t CRC32_UpdateFill(uint32_t Crc, uint8_t Value, uint64_t NumBytes);
// The register update one byte at a time, for tests that hold the fast paths against it.
uint32_t CRC32_UpdateBytewise(uint32_t Crc, const void* pData, size_t NumBytes);
