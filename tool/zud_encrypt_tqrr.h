// The tool's entry: command table, dispatch, help and version globals.
#pragma once

// Version string and build information. __g_InfoX__ holds the main source
// file's name, the build date ("Oct 28 2015") and the build time
// ("14:04:15").
extern const char* const __g_Info__;
extern const char* const __g_InfoX__[3];

// Every sub-command handler has this shape: the whole argument vector in,
// 0 or an error number out.
using zud_handler = int (*)(int argc, char** argv);

// The result when no command runs: no first argument, a first argument that
// is not an option word, one that names no command or several, one with a
// value attached, or "--error". Nothing is printed on standard output; a
// one-line usage hint goes to standard error.
inline constexpr int kDispatchUsage = 2;

// Seeds the random source with `seed`, selects the sub-command named by
// argv[1], runs its handler and prints the failure line for a non-zero
// result. Returns the handler's result, or kDispatchUsage when no command
// runs or the handler refused its command line.
int zud_dispatch(int argc, char** argv, unsigned seed);

// The process exit status for a dispatch result: 0 and kDispatchUsage as
// they are; for a failure the result's low eight bits, except that bits
// reading 0, 2 or 126 and above exit with 1, so that no failure passes for
// success, a usage error, or a program the shell could not run or a signal
// killed.
int zud_exit_status(int result);

// --help: the version banner and the usage texts of three sub-commands.
int zud_show_help(int argc, char** argv);

// --version: one line with the program name, its version and the versions
// of the crypto libraries.
int zud_show_version(int argc, char** argv);
