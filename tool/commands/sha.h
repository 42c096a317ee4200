// Front end: the --sha digest command and the hex printing helpers.
#pragma once

#include <cstdint>

#include "result.h"

enum ShaResult : int { kShaFailed = -1 };

inline constexpr zud_result_info kShaResults[] = {
    {kShaFailed, "the image cannot be read as a boot image, or the .sha file cannot be written"},
};

// --sha: prints the SHA-256 digests of the kernel, ramdisk and second stage
// of the Android boot image named by argv[2]. Creates "<image>.sha" (left
// empty). Returns 0, or -1 when the image cannot be read as a boot image or
// either file cannot be opened.
int zud_sha(int argc, char** argv);

struct CommandSyntax;
// The command line --sha reads (cli.h): its options in slot order, its usage
// and its results, for checking a command line without running the command.
const CommandSyntax& sha_command_syntax();

// Prints `count` bytes as "%02X", blank-separated, 16 to a line.
void zud_u8_prixntf(const std::uint8_t* bytes, std::int32_t count);

// Debug dump hook: prints nothing.
void zud_u8_printf(const std::uint8_t* bytes, std::int32_t count);
