#include "rng.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {
unsigned g_seed = 0;
}  // namespace

void seed_random(unsigned seed) {
    g_seed = seed;
    srandom(seed);
}

unsigned random_seed() { return g_seed; }

std::uint8_t random_byte() { return static_cast<std::uint8_t>(std::rand() & 0xFF); }

std::uint32_t random_u32() { return static_cast<std::uint32_t>(std::rand()); }

void fill_random(MutBytes out) {
    for (auto& b : out) b = random_byte();
}

bool fill_os_random(MutBytes out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fill(out.begin(), out.end(), 0);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool fill_secret(MutBytes out) {
    for (std::size_t i = 0; i < out.size(); ++i) (void)std::rand();
    return fill_os_random(out);
}
