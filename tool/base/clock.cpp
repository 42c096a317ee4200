#include "clock.h"

#include <cstdlib>
#include <limits>

std::optional<std::time_t> zud_source_date_epoch(std::string* error) {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr) return std::nullopt;
    const auto refuse = [&] {
        if (error != nullptr) {
            *error = std::string("SOURCE_DATE_EPOCH is \"") + text +
                     "\"; it must be a plain non-negative decimal number of seconds since 1970";
        }
        return std::nullopt;
    };
    if (*text == '\0') return refuse();
    std::time_t value = 0;
    constexpr std::time_t kMax = std::numeric_limits<std::time_t>::max();
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return refuse();
        const int digit = *p - '0';
        if (value > (kMax - digit) / 10) return refuse();
        value = value * 10 + digit;
    }
    return value;
}

bool zud_reproducible() { return zud_source_date_epoch().has_value(); }

namespace {

struct PinnedClock {
    std::time_t now = 0;
    bool utc = false;
};
std::optional<PinnedClock> g_pinned;

}  // namespace

void zud_pin_clock(std::time_t now, bool utc) { g_pinned = PinnedClock{now, utc}; }

void zud_unpin_clock() { g_pinned.reset(); }

bool zud_clock_is_utc() { return g_pinned ? g_pinned->utc : zud_reproducible(); }

std::time_t zud_now() {
    if (g_pinned) return g_pinned->now;
    const auto epoch = zud_source_date_epoch();
    return epoch ? *epoch : std::time(nullptr);
}

std::tm zud_calendar_now() {
    const std::time_t now = zud_now();
    std::tm fields{};
    if (zud_clock_is_utc()) {
        gmtime_r(&now, &fields);
    } else {
        localtime_r(&now, &fields);
    }
    return fields;
}
