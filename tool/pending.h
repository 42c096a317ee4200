// Internal: the answer of a sub-command that this build does not have yet.
#pragma once

#include <cstdio>

// Says on standard error that the sub-command is not available and fails,
// so that no caller mistakes it for a success.
inline int zud_not_implemented(const char* command) {
    std::fprintf(stderr, "zud_encrypt_tqrr: --%s is not implemented yet\n", command);
    return -1;
}
