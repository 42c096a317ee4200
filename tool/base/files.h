// Internal: owners for files and heap buffers, file sizes and output names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "bytes.h"

class Progress;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

inline File open_file(const char* path, const char* mode) {
    return File(path != nullptr ? std::fopen(path, mode) : nullptr);
}

// Zero-filled heap buffer. Allocation failure leaves it empty instead of
// throwing, so the caller can report its own result. The bytes are wiped
// before they are freed, since buffers often hold key material.
class Buffer {
public:
    explicit Buffer(std::size_t n)
        : data_(new (std::nothrow) std::uint8_t[n]()), size_(data_ ? n : 0) {}
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    // Moving hands the bytes over; an assignment wipes the bytes the target
    // gives up before they are freed.
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;

    bool ok() const { return data_ != nullptr; }
    std::size_t size() const { return size_; }
    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    MutBytes bytes() { return {data_.get(), size_}; }
    ConstBytes bytes() const { return {data_.get(), size_}; }
    void clear();

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_;
};

// Wipes memory that held secrets; the compiler may not drop it.
void wipe(void* p, std::size_t n);

// Size of an open stream in bytes, with the position put back where it was;
// nullopt when the stream cannot be measured.
std::optional<std::uint64_t> stream_size(std::FILE* f);

// Size of a file by path (stat); nullopt when it cannot be examined.
std::optional<std::uint64_t> file_size(const char* path);

// True when the path names something whose status can be read.
bool path_exists(const char* path);

// True when both paths name the same existing file (same device and inode),
// so that opening one for writing would destroy the other.
bool same_file(const char* a, const char* b);

// True when both paths name the same place ("out.bin" and "./out.bin"):
// two outputs of one run must not take the same name. The last component
// is compared as a name (an output replaces a symlink there).
bool same_place(const std::string& a, const std::string& b);

// Reads up to `out.size()` bytes; returns the count read (short only at end
// of file or on error).
std::size_t read_some(std::FILE* f, MutBytes out);

// Reads exactly `out.size()` bytes; false on a short read.
bool read_exact(std::FILE* f, MutBytes out);

// Writes all bytes; false on a short write.
bool write_all(std::FILE* f, ConstBytes in);

// Writes `count` zero bytes; false on a short write.
bool write_zeros(std::FILE* f, std::uint64_t count);

// 64-bit seek and tell.
bool seek_to(std::FILE* f, std::uint64_t offset);
bool seek_end(std::FILE* f);
std::optional<std::uint64_t> tell(std::FILE* f);

// Output names live in 256-byte buffers in the tool's file formats and
// interfaces, so a name longer than 255 characters is refused instead of
// being cut short.
inline constexpr std::size_t kMaxPathLength = 255;

// `base` followed by `suffix`, or nullopt when that would exceed 255
// characters.
std::optional<std::string> derive_name(std::string_view base, std::string_view suffix);

// ---------------------------------------------------------------------------
// Opening inputs
//
// Every file a command reads is opened through open_input. The open does
// not wait (O_NONBLOCK, cleared once the file is known), so a FIFO without
// a writer cannot hang the command in open(), and only a regular file is
// taken: a FIFO may never end or never begin, a character device such as
// /dev/zero never ends, and a directory or socket has no bytes to read. A
// command that reads a whole device may take a block device too.

enum class InputUse { kRead, kUpdate };  // "rb", or "rb+" for a file changed in place
enum class InputKinds { kRegular, kRegularOrBlockDevice };

// The open input at `path`, or null with `error` set to one line naming
// the file and what is wrong ("cannot open <path>: <reason>", "<path> is a
// FIFO; only regular files are read").
File open_input(const char* path, std::string& error, InputUse use = InputUse::kRead,
                InputKinds kinds = InputKinds::kRegular);

// Reads a file that must have exactly out.size() bytes (a keymax, an AES
// key) into `out`. On failure `error` is one line naming the file: it does
// not open (kUnopened, open_input's line), has another size (kWrongSize:
// "<path> has N bytes, but <what> has exactly M") or cannot be read.
enum class SizedRead { kRead, kUnopened, kWrongSize, kUnread };
SizedRead read_sized_file(const char* path, MutBytes out, const char* what, std::string& error);

// ---------------------------------------------------------------------------
// Writing files
//
// Every file the tools write goes through OutputFile: a temporary file is
// created beside the final name with an unpredictable name (O_CREAT |
// O_EXCL | O_NOFOLLOW, mode 0600), written and rewritten there, and renamed
// over the final name only by commit(), after an fsync. Until then the
// final name keeps whatever it held, and a symlink there is replaced, never
// followed. Every other path removes the temporary file: the destructor,
// and SIGINT, SIGTERM and SIGHUP, whose handler unlinks the live temporary
// files and re-raises the signal. A committed file holding no secret gets
// the usual 0666 minus the umask once it has its final name; a secret one
// (a private key, the AES key) stays 0600 throughout.

enum class Exposure { kPublic, kSecret };

class OutputFile {
public:
    OutputFile() = default;
    // Creates the temporary file for `final_path`. When that fails, ok() is
    // false and error() says why (the final name is not a regular file or
    // symlink, the directory cannot be written, ...).
    OutputFile(std::string final_path, Exposure exposure);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    bool ok() const { return !temp_.empty(); }
    const std::string& error() const { return error_; }
    // The stream over the temporary file, opened for reading and writing;
    // null once closed.
    std::FILE* stream() const { return stream_.get(); }
    // Where the bytes are until commit(), for routines that reopen a file by
    // name (it is never a name another run could guess or share).
    const std::string& temp_path() const { return temp_; }
    const std::string& final_path() const { return final_; }
    // Flushes and closes the stream (the file stays); false when buffered
    // bytes could not be written.
    bool close_stream();
    // Flushes, fsyncs, sets the final mode, renames over the final name and
    // fsyncs the directory, so that the name survives a crash as well as
    // the bytes. False when any step fails: before the rename the temporary
    // file is removed and the final name keeps what it held; when only the
    // directory could not be synced the file stands under its final name,
    // not_durable() is true and error() says so.
    bool commit();
    // True after a commit() that put the file in place but could not sync
    // its directory: the name may not survive a crash.
    bool not_durable() const { return not_durable_; }
    // Closes and removes the temporary file now.
    void discard();
    // The mode commit() gives the file instead of the exposure's, for a file
    // that replaces another and keeps its mode.
    void set_mode(unsigned mode) { mode_ = mode; mode_set_ = true; }

private:
    std::string final_;
    std::string temp_;
    std::string error_;
    Exposure exposure_ = Exposure::kPublic;
    unsigned mode_ = 0;
    bool mode_set_ = false;
    bool not_durable_ = false;
    File stream_;
};

// A run that stops at its signature requests goes through every step of
// the command but puts no output in place: while outputs are withheld,
// commit() and commit_together remove the temporary files and report
// success, and the final names keep what they held.
void withhold_outputs(bool withheld);
bool outputs_withheld();

// A work file of a command: an OutputFile that is never committed, beside
// `beside`, so that it lives on the same file system as the output.
inline OutputFile make_work_file(const std::string& beside) {
    return OutputFile(beside, Exposure::kSecret);
}

// True when `path` names something that is neither a regular file nor a
// symlink (a directory, a device, a FIFO): no output may replace it.
bool is_special_file(const char* path);

// Makes `stream`'s bytes durable: fflush and fsync.
bool sync_stream(std::FILE* stream);

enum class CommitResult {
    kInPlace,     // both files stand under their names, durably
    kNotDurable,  // both stand under their names, but a directory could not be synced
    kFailed,      // neither file took its name
};

// Commits `first`, then `second`: two outputs that belong together. When
// `second` cannot follow, `first`'s name gets back the file it held before
// (kept meanwhile under a hard link beside it, a live temporary name), or
// is removed when it held none; `second`'s temporary file is removed. When
// `first` cannot be committed, neither is. A directory that could not be
// synced after a rename does not undo it: the pair stays in place and the
// result says it may not survive a crash. `error` is set unless both are
// in place durably.
CommitResult commit_together(OutputFile& first, OutputFile& second, std::string& error);

// ---------------------------------------------------------------------------
// A seam for tests: the file calls
//
// Every call through which this layer writes a file (pwrite_full, and so
// WriteBehind; the copies of copy_to_end), makes it durable (the fsync of
// OutputFile::commit and sync_stream, and the fsync of the directory after
// a commit's rename), gives it a name (the rename of OutputFile::commit; the
// link and rename with which commit_together keeps and puts back an earlier
// file) or takes the stamp of an input (stamp_file) first goes to the hook
// installed here, once per call. The hook returns 0 to let the call go on,
// or an errno value: the call is then not made, errno is set to that value
// and the caller sees the call fail. It may do anything else besides (raise a
// signal, change a file), and runs on whichever thread makes the call, so
// it must be safe to run on several at once.
//
// Only tests install a hook; without one the calls are made as they are,
// at the cost of one atomic load each. Bytes that a stdio stream writes
// (write_all, close_stream) reach the file inside the C library and are
// not seen.

enum class FileCall { kWrite, kSync, kRename, kLink, kSyncDirectory, kStamp };

struct FileCallSite {
    FileCall call;
    int fd;            // the file written, synced or stamped, or the directory synced;
                       // -1 for a rename or link
    const char* from;  // the existing name of a rename or link; null otherwise
    const char* to;    // the name it gets, or the name a directory sync makes
                       // durable; null otherwise
};

using FileCallHook = std::function<int(const FileCallSite&)>;

// Installs `hook` for every thread, or removes it with nullptr; returns the
// hook it replaces. The caller keeps the hook alive while it is installed
// and until no call that may have found it can still be running.
const FileCallHook* set_file_call_hook(const FileCallHook* hook);

// ---------------------------------------------------------------------------
// Reading and copying large files

// What tells whether an input changed while a command read it (to sign it
// and then write it, or to sign it and then append to it): its device,
// inode, size and status change time. A writer can put the modification
// time back (cp -p, rsync -t), but every write, truncation or utimensat
// moves the change time on, and nothing sets it back. One fstat: a command
// takes a stamp before its first read, and compares another with it
// between its passes and just before its output is written or committed.
struct FileStamp {
    bool taken = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t changed_sec = 0;
    std::int64_t changed_nsec = 0;
};
FileStamp stamp_file(int fd);
// False also when either stamp could not be taken.
bool same_stamp(const FileStamp& a, const FileStamp& b);

// Positioned reads and writes that go on after a short transfer or an
// interrupted call: the count transferred, which is short only at the end
// of the file or on an error (errno says which; EIO for a write that moved
// nothing). The descriptor's position is neither used nor moved.
std::size_t pread_full(int fd, MutBytes out, std::uint64_t offset);
std::size_t pwrite_full(int fd, ConstBytes in, std::uint64_t offset);

// read_range reads a file in pieces of kRangePieceSize bytes, large enough
// that each read is worth its system call, with two pieces in memory at a
// time; it hands the bytes on in steps of at most kRangeStepSize bytes.
inline constexpr std::size_t kRangePieceSize = 2 * 1024 * 1024;
inline constexpr std::size_t kRangeStepSize = 32 * 1024;

enum class RangeRead {
    kDone,      // every byte was handed on
    kShort,     // the file ended, or a read failed, before `count` bytes
    kStopped,   // `consume` returned false; nothing more was read
    kNoMemory,  // not even one piece could be allocated
};

// Reads `count` bytes of the file open as `fd`, from `offset` on (pread: the
// descriptor's position is neither used nor moved), and hands them in order
// to `consume`, on the calling thread. When there is more than one piece, a
// second thread reads the next piece while `consume` works on the current
// one, so reading overlaps the work on the bytes; memory stays at two pieces
// whatever the count.
RangeRead read_range(int fd, std::uint64_t offset, std::uint64_t count,
                     const std::function<bool(ConstBytes)>& consume);

// How much a WriteBehind lets be written between two starts of writeback.
inline constexpr std::uint64_t kWritebackStep = 32 * 1024 * 1024;

// Sequential writes to a file descriptor from a starting offset. Every
// kWritebackStep bytes it asks the kernel to start writing the new pages out, so that the
// fsync made before the file takes its name finds most of them on the disk
// already instead of waiting for all of them at the end.
class WriteBehind {
public:
    WriteBehind() = default;
    WriteBehind(int fd, std::uint64_t start) : fd_(fd), at_(start), kicked_(start) {}

    // Writes all of `data` at the current position; false when a write
    // fails (errno tells why; the position is then where the file stops).
    bool write(ConstBytes data);
    // Writes at `offset` without moving the position (for bytes that are
    // known only at the end, ahead of what was streamed).
    bool write_at(std::uint64_t offset, ConstBytes data) const;
    // Counts `n` bytes written at the position by other means (a copy
    // made by the kernel, a write through the descriptor).
    void advance(std::uint64_t n);
    std::uint64_t position() const { return at_; }

private:
    void start_writeback();

    int fd_ = -1;
    std::uint64_t at_ = 0;
    std::uint64_t kicked_ = 0;
};

// Copies everything from the position of `in_fd` to its end to the position
// of `out_fd`, advancing both. The bytes move inside the kernel where it can
// copy between the two files, and through a large buffer otherwise (pipes,
// or file systems it cannot copy between). The writes to the disk are
// started after every 32 MiB, so that the fsync ending the output finds
// little left to do. False on a read or write error.
// Counts the bytes copied into `progress` when one is given.
bool copy_to_end(int in_fd, int out_fd, Progress* progress = nullptr);
