#include "support/run.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "zud_encrypt_tqrr.h"

int dispatch_tool(const std::vector<std::string>& args, unsigned seed) {
    std::vector<std::string> words{"zud_encrypt_tqrr"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    optind = 0;  // the parser keeps global state between runs
    return zud_dispatch(static_cast<int>(words.size()), argv.data(), seed);
}

void run_tool_or_throw(const std::vector<std::string>& args) {
    const ToolRun r = run_tool(args);
    if (r.result != 0) throw std::runtime_error(args.at(0) + " failed: " + r.out + r.err);
}

ToolRun run_tool(const std::vector<std::string>& args, unsigned seed) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = dispatch_tool(args, seed);
    std::fflush(stdout);
    std::fflush(stderr);
    std::string err = testing::internal::GetCapturedStderr();
    return {result, testing::internal::GetCapturedStdout(), std::move(err)};
}

namespace {

// Reads both pipes until both are closed, so neither can fill up and stall
// the child.
void drain_both(int out_fd, int err_fd, std::string& out, std::string& err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

}  // namespace

ProcessRun run_process(const std::vector<std::string>& args) {
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        std::vector<char*> argv;
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ProcessRun run{};
    drain_both(out_pipe[0], err_pipe[0], run.out, run.err);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool is_development_seal_warning(const std::string& err, const std::string& path) {
    const std::string start = "zud_encrypt_tqrr: " + path + " is sealed with the public development built-in key";
    return err.rfind(start, 0) == 0 && err.find("keys/builtin-dev") != std::string::npos &&
           err.find('\n') == err.size() - 1;
}

std::string tool_path() { return ZUD_TOOL_PATH; }

std::string keytool_path() {
#ifdef ZUD_KEYTOOL_PATH
    return ZUD_KEYTOOL_PATH;
#else
    return "zud_keytool";
#endif
}
