/*
 * RAMCODE - unpacker of the packed image stream of compressed flash-loader images.
 *
 * The stream is LZ77 with a bit stream: a parameter byte (bits 0-2 w, the base distance
 * width W = w + 2; bits 3-7 the first five stream bits), then bits least significant first.
 * Token 0 + 8 bits: a literal. Token 1: a match, its length (2-3, 4-5 or a gamma code up to
 * 259), then a 3-bit distance code. Length 259 ends the stream.
 */
#pragma once

#include <cstdint>

enum {
  RAMCODE_ERR_OUTPUT_FULL = -100, // the output buffer cannot hold what the stream produces
  RAMCODE_ERR_INPUT_END = -101,   // the stream ended inside a token, or there was no input
  RAMCODE_ERR_PARAMETER = -104,   // the parameter byte has w = 7
  RAMCODE_ERR_DISTANCE = -105,    // a match reaches before the output start or repeats no distance
};

// Number of bytes produced, or one of RAMCODE_ERR_*. Never reads or writes outside the buffers.
int RAMCODE_Decompress(const uint8_t* pIn, uint32_t NumBytesIn, uint8_t* pOut, uint32_t OutSize);
