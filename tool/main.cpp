#include <cstdio>
#include <ctime>
#include <string>

#include "clock.h"
#include "zud_encrypt_tqrr.h"

int main(int argc, char** argv) {
    // A reproducible run takes SOURCE_DATE_EPOCH for the clock, the seed of
    // the random source included; a value that is not a number is refused
    // before anything runs.
    std::string error;
    const auto epoch = zud_source_date_epoch(&error);
    if (!error.empty()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kDispatchUsage;
    }
    const std::time_t now = epoch ? *epoch : std::time(nullptr);
    return zud_exit_status(zud_dispatch(argc, argv, static_cast<unsigned>(now)));
}
