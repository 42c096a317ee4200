// Results: a number and the reason for it, returned together.
//
// Every routine of the tool reports 0 for success or a failure number that
// names the step that failed. Where a caller needs to say why, the routine
// returns a zud_result: the number and a one-line reason, so that nothing
// is left in a global to be read after the call. Each command keeps its
// numbers and what they mean in one table (zud_result_info), which its
// manual page lists and the release check compares with the page.
#pragma once

#include <span>
#include <string>
#include <utility>

struct zud_result {
    int number = 0;
    std::string reason;  // empty on success

    bool ok() const { return number == 0; }
    static zud_result success() { return {}; }
    static zud_result failure(int number, std::string reason) {
        return {number, std::move(reason)};
    }
};

// One entry of a command's results table: the number and what it means.
struct zud_result_info {
    int number;
    const char* meaning;
};

// The meaning of `number` in `table`, or nullptr when the table has none.
inline const char* result_meaning(std::span<const zud_result_info> table, int number) {
    for (const zud_result_info& entry : table) {
        if (entry.number == number) return entry.meaning;
    }
    return nullptr;
}
