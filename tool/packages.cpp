// Device packages and SD images: --mkpsd, --mkcusid and --mksd.
#include "builtin.h"

#include <getopt.h>

#include <cstdio>

#include "cli.h"
#include "files.h"
#include "pending.h"
#include "rng.h"

namespace {

constexpr std::size_t kSdFillerSize = 512;
constexpr std::size_t kSdCopyBuffer = 10240;

// Copies the rest of `in` to `out` through `buffer`; false on a read or
// write error.
bool copy_stream(std::FILE* in, std::FILE* out, MutBytes buffer) {
    for (;;) {
        const std::size_t n = read_some(in, buffer);
        if (n == 0) return std::ferror(in) == 0;
        if (!write_all(out, buffer.first(n))) return false;
    }
}

}  // namespace

int zud_mk_sd(int argc, char** argv) {
    static const option options[] = {
        {"input", required_argument, nullptr, 0},
        {"output", required_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const char* slots[2] = {};
    parse_option_slots(argc, argv, options, slots);
    const char* input = slots[0];
    const char* output = slots[1];
    // Opening the output would truncate the input it names.
    if (same_file(input, output)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --input and --output name the same file\n");
        return -1;
    }
    File in = open_file(input, "rb");
    OutputGuard guard(output != nullptr ? output : "");
    File out = open_file(output, "wb");
    if (!in || !out) return -1;
    Buffer buffer(kSdCopyBuffer);
    if (!buffer.ok()) return -1;

    guard.arm();
    fill_random(buffer.bytes().first(kSdFillerSize));
    const bool copied = write_all(out.get(), buffer.bytes().first(kSdFillerSize)) &&
                        copy_stream(in.get(), out.get(), buffer.bytes());
    // A flush failure (a full disk) is a failed write too.
    const bool closed = std::fclose(out.release()) == 0;
    if (!copied || !closed) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the SD image %s\n", output);
        return -1;
    }
    guard.keep();
    return 0;
}

int zud_mk_password(int, char**) { return zud_not_implemented("mkpsd"); }
int zud_mk_customer_id(int, char**) { return zud_not_implemented("mkcusid"); }
