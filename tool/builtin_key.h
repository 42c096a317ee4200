// The built-in key: a 2048-bit RSA private key (N, E, D, P, Q, DP, DQ, QP)
// and a 256-bit AES key, all big-endian byte tables. The values are generated
// when the tool is configured, from the key directory chosen with
// -DZUD_BUILTIN_KEY_DIR (by default the public development key in
// keys/builtin-dev, which protects nothing).
#pragma once

#include <cstdint>

// Defines kBuiltinN[256], kBuiltinE[4], kBuiltinD[256], kBuiltinP[128],
// kBuiltinQ[128], kBuiltinDP[128], kBuiltinDQ[128], kBuiltinQP[128] and
// kBuiltinAes[32].
#include "zud_builtin_key_values.inc"
