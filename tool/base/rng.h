// Internal: the process-wide random source.
//
// Every random byte, nonce, salt and filler of the tool is drawn from the C
// library generator that the entry seeds once with the time in seconds; the
// order of the draws is part of each command's output. A byte is the low 8
// bits of one rand() draw; a 32-bit value is one whole draw.
//
// Secrets (generated AES keys, IV prefixes) come from the operating system's
// cryptographic generator instead, but the same number of rand() draws is
// still made, so every later value keeps its place in the sequence.
#pragma once

#include <cstdint>

#include "bytes.h"

void seed_random(unsigned seed);
// The seed last given to seed_random.
unsigned random_seed();
std::uint8_t random_byte();
std::uint32_t random_u32();
void fill_random(MutBytes out);

// Fills `out` from getrandom() and makes out.size() rand() draws. Returns
// false (and leaves `out` zeroed) if the OS generator fails.
bool fill_secret(MutBytes out);

// Fills `out` from the OS generator only (no rand() draws). For blinding and
// key generation, whose randomness must never come from rand().
bool fill_os_random(MutBytes out);
