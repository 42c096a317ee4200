#include "support/fault.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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

FileCallHook at_call_of(FileCall call, std::size_t n, std::function<int(const FileCallSite&)> action) {
    auto count = std::make_shared<std::atomic<std::size_t>>(0);
    return [call, n, count, action = std::move(action)](const FileCallSite& site) {
        return site.call == call && ++*count == n ? action(site) : 0;
    };
}

Bytes change_keeping_mtime(const std::string& path, const Bytes& append) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat before {};
    if (fd < 0 || ::fstat(fd, &before) != 0) throw std::runtime_error("cannot open " + path);
    bool written = false;
    if (append.empty()) {
        std::uint8_t byte = 0;
        const off_t middle = before.st_size / 2;
        written = ::pread(fd, &byte, 1, middle) == 1;
        byte ^= 0xFF;
        written = written && ::pwrite(fd, &byte, 1, middle) == 1;
    } else {
        written = ::pwrite(fd, append.data(), append.size(), before.st_size) ==
                  static_cast<ssize_t>(append.size());
    }
    // A clock coarser than these calls could leave the change time where it
    // was; putting the time back again once it has moved on makes the change
    // one that no writer can hide, which is the case under test.
    const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
    struct stat after {};
    do {
        if (!written || ::futimens(fd, times) != 0 || ::fstat(fd, &after) != 0) {
            ::close(fd);
            throw std::runtime_error("cannot change " + path);
        }
    } while (after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
             after.st_ctim.tv_nsec == before.st_ctim.tv_nsec);
    ::close(fd);
    return read_file(path);
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
