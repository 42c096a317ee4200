#include "support/fault.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>

#include "support/run.h"
#include "zud_encrypt_tqrr.h"

ScopedFileCallHook::ScopedFileCallHook(FileCallHook hook)
    : hook_(std::move(hook)), previous_(set_file_call_hook(&hook_)) {}

ScopedFileCallHook::~ScopedFileCallHook() { set_file_call_hook(previous_); }

FileCallHook FileCallLog::hook() {
    return [this](const FileCallSite& site) {
        const std::lock_guard lock(mutex_);
        calls_.push_back(site.call);
        return 0;
    };
}

std::vector<FileCall> FileCallLog::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

FileCallHook at_call(std::size_t n, std::function<int(const FileCallSite&)> action) {
    auto count = std::make_shared<std::atomic<std::size_t>>(0);
    return [n, count, action = std::move(action)](const FileCallSite& site) {
        return ++*count == n ? action(site) : 0;
    };
}

FileCallHook signal_at_call(std::size_t n, int signal) {
    return at_call(n, [signal](const FileCallSite&) {
        ::raise(signal);
        return 0;
    });
}

ChildEnd run_tool_in_child(const std::vector<std::string>& args, const FileCallHook& hook,
                           unsigned seed) {
    // Nothing buffered here may be written twice, once by each process.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        set_file_call_hook(&hook);
        _exit(zud_exit_status(dispatch_tool(args, seed)));
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) throw std::runtime_error("waitpid");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}
