// Internal: the clock the tool reads, and reproducible runs.
//
// When SOURCE_DATE_EPOCH is set to a plain non-negative decimal number of
// seconds, it replaces the clock everywhere the tool reads it: the seed of
// the random source and every timestamp written (taken as UTC, so that two
// machines in different time zones write the same bytes). Without it the
// tool reads the clock and writes local time, as it always has.
#pragma once

#include <ctime>
#include <optional>
#include <string>

// The value of SOURCE_DATE_EPOCH: nullopt when it is not set; `error` set
// (and nullopt) when it is set but is not a plain non-negative decimal
// number that fits a time value.
std::optional<std::time_t> zud_source_date_epoch(std::string* error = nullptr);

// True when SOURCE_DATE_EPOCH is set (and valid).
bool zud_reproducible();

// The current time: SOURCE_DATE_EPOCH when set, else the clock.
std::time_t zud_now();

// The calendar fields of zud_now(): UTC when SOURCE_DATE_EPOCH is set,
// local time otherwise.
std::tm zud_calendar_now();

// Pins the clock for the rest of the run: zud_now() gives `now` and
// zud_calendar_now() its UTC fields (when `utc`) or its local ones, whatever
// SOURCE_DATE_EPOCH says. A run that finishes signatures made elsewhere
// pins the clock of the run that asked for them, so that both lay out the
// same bytes.
void zud_pin_clock(std::time_t now, bool utc);
// Lets the clock run again.
void zud_unpin_clock();
// True when the clock reads UTC fields: SOURCE_DATE_EPOCH, or a pinned UTC clock.
bool zud_clock_is_utc();
