// Running the tool: in process (captured standard output, chosen seed) or
// as a separate program (exit status).
#pragma once

#include <string>
#include <vector>

struct ToolRun {
    int result;
    std::string out;
    std::string err;
};

// Runs the dispatcher as the shell would with argv[0] "zud_encrypt_tqrr",
// seeding the random source with `seed`; captures standard output and
// standard error.
ToolRun run_tool(const std::vector<std::string>& args, unsigned seed = 12345);

// run_tool for a suite's fixtures: throws, with what the tool said, when
// the command fails.
void run_tool_or_throw(const std::vector<std::string>& args);

// The same without capturing anything: the dispatcher's result.
int dispatch_tool(const std::vector<std::string>& args, unsigned seed = 12345);

struct ProcessRun {
    int exit_status;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs a program with arguments (no shell), standard input closed.
ProcessRun run_process(const std::vector<std::string>& argv);

// True when `err` is exactly the one line a tool built with the development
// built-in key writes about `path`, a file it sealed with that key.
bool is_development_seal_warning(const std::string& err, const std::string& path);

// The built tool and companion program.
std::string tool_path();
std::string keytool_path();
