// The built-in key's values: a 2048-bit RSA private key and a 256-bit AES
// key, big-endian byte tables. They are defined in a file generated when the
// tool is configured (cmake/builtin_key.cmake) and compiled into a library of
// their own, so a program links exactly one key's values.
#pragma once

#include <cstdint>

extern const std::uint8_t kBuiltinN[256];
extern const std::uint8_t kBuiltinE[4];
extern const std::uint8_t kBuiltinD[256];
extern const std::uint8_t kBuiltinP[128];
extern const std::uint8_t kBuiltinQ[128];
extern const std::uint8_t kBuiltinDP[128];
extern const std::uint8_t kBuiltinDQ[128];
extern const std::uint8_t kBuiltinQP[128];
extern const std::uint8_t kBuiltinAes[32];
// True when the RSA modulus or the AES key is the public development key's,
// wherever the key directory is.
extern const bool kBuiltinKeyIsDevelopment;
