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

std::time_t zud_now() {
    const auto epoch = zud_source_date_epoch();
    return epoch ? *epoch : std::time(nullptr);
}

std::tm zud_calendar_now() {
    const auto epoch = zud_source_date_epoch();
    const std::time_t now = epoch ? *epoch : std::time(nullptr);
    std::tm fields{};
    if (epoch) {
        gmtime_r(&now, &fields);
    } else {
        localtime_r(&now, &fields);
    }
    return fields;
}
