// Internal: reading a sub-command's command line into its slot table.
//
// A command's words after the command word are GNU long options, each
// "--name value" or "--name=value", where a name may be shortened to any
// leading part that selects one option. The reading is strict, because an
// option the command does not act on changes what the run makes: an
// unknown option, an abbreviation of several, a value on an option that
// takes none, a missing value or a word that belongs to no option refuses
// the whole command line before anything runs, with one line on standard
// error naming the word and the nearest option the command knows.
// "--help" prints the command's usage on standard output instead.
#pragma once

#include <getopt.h>

#include <climits>
#include <cstddef>
#include <cstdio>
#include <span>

#include "result.h"

// What a command's --help shows and its command line is read by.
struct CommandSyntax {
    const char* name;     // the command word without dashes ("bootsig")
    const option* options;  // the options, in slot order, all-zero terminated
    const char* usage;    // the synopsis and what the command writes
    std::span<const zud_result_info> results;  // the command's results
    const char* operand = nullptr;  // the one plain word it takes (--sha IMAGE), or none
};

// The handler result of a refused command line: nothing ran. The
// dispatcher prints no failure line for it and exits with the usage status.
inline constexpr int kUsageRefused = INT_MIN;

struct CommandLine {
    enum class Outcome { kRun, kRefused, kHelp };
    Outcome outcome = Outcome::kRun;
    int given = 0;                  // options given, each repetition counted
    const char* operand = nullptr;  // the plain word, for a command that takes one

    bool runs() const { return outcome == Outcome::kRun; }
    // What the handler returns when the command does not run: 0 after
    // --help, kUsageRefused after a refusal.
    int result() const { return outcome == Outcome::kHelp ? 0 : kUsageRefused; }
};

// Reads argv[2..argc) by `syntax` (argv[1] is the command word). The value
// of each option goes into the slot at the option's index in
// syntax.options; a repeated option keeps its last value. On a refusal the
// reason is on standard error; on --help the usage is on standard output.
CommandLine read_command_line(const CommandSyntax& syntax, int argc, char** argv,
                              std::span<const char*> slots);

// Prints the usage of `syntax` on `out`: synopsis, then each result number
// with its meaning.
void print_command_usage(const CommandSyntax& syntax, std::FILE* out);

// The option of `options` nearest to `word` by edit distance (adjacent
// letters swapped count once), or nullptr when none is within two edits.
const char* nearest_option(const option* options, const char* word, std::size_t length);
