// Faults at the file calls of the files layer, for tests: hooks installed
// through its seam, and runs of the tool in a forked child with a hook.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The tool's files.h: in angle brackets, so that the search skips this
// folder, whose files.h is the suite's own.
#include <files.h>

#include "support/files.h"

// Installs `hook` for the life of the scope, then puts back the one before.
class ScopedFileCallHook {
public:
    explicit ScopedFileCallHook(FileCallHook hook);
    ~ScopedFileCallHook();
    ScopedFileCallHook(const ScopedFileCallHook&) = delete;
    ScopedFileCallHook& operator=(const ScopedFileCallHook&) = delete;

private:
    FileCallHook hook_;
    const FileCallHook* previous_;
};

// Records the kind of every file call in the order they are made, from any
// thread, and lets each through.
class FileCallLog {
public:
    FileCallHook hook();
    std::vector<FileCall> calls() const;

private:
    mutable std::mutex mutex_;
    std::vector<FileCall> calls_;
};

// A hook that runs `action` at the `n`-th file call (counting from 1) and
// returns what it returns; every other call goes through.
FileCallHook at_call(std::size_t n, std::function<int(const FileCallSite&)> action);

// A hook that runs `action` at the `n`-th file call of kind `call`
// (counting from 1); every other call goes through.
FileCallHook at_call_of(FileCall call, std::size_t n, std::function<int(const FileCallSite&)> action);

// A hook that raises `signal` on the thread making the `n`-th file call,
// before the call is made.
FileCallHook signal_at_call(std::size_t n, int signal);

// Changes `path` as a writer that hides it would (cp -p, rsync --inplace
// -t): in place, then with its modification time put back. With `append`
// those bytes are added at the end, else the middle byte is flipped.
// Returns the bytes the file is left with.
Bytes change_keeping_mtime(const std::string& path, const Bytes& append = {});

struct ChildEnd {
    int exit_status;  // -1 when the child did not exit
    int signal;       // the signal that ended it, 0 when none did
};

// Runs the dispatcher as run_tool does, but in a forked child with `hook`
// installed and standard input, output and error on /dev/null. The child
// exits with the run's exit status if the run returns.
ChildEnd run_tool_in_child(const std::vector<std::string>& args, const FileCallHook& hook,
                           unsigned seed = 12345);
