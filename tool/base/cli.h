// Internal: reading a handler's long options into its slot table.
#pragma once

#include <getopt.h>

#include <span>

// Reads GNU long options (empty short-option string, each taking one
// argument) from the parser's current position until it reports the end.
// The value of each option goes into the slot at the option's index in
// `options` (a table with an all-zero terminating entry); a repeated option
// keeps its last value. Unrecognised options are reported by the parser on
// standard error and change no slot.
void parse_option_slots(int argc, char** argv, const option* options,
                        std::span<const char*> slots);
