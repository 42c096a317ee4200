#include "files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "progress.h"
#include "rng.h"

#include <mbedtls/platform_util.h>

void wipe(void* p, std::size_t n) {
    if (p != nullptr && n != 0) mbedtls_platform_zeroize(p, n);
}

Buffer::~Buffer() { wipe(data_.get(), size_); }

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        wipe(data_.get(), size_);
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void Buffer::clear() {
    if (data_) std::memset(data_.get(), 0, size_);
}

std::optional<std::uint64_t> stream_size(std::FILE* f) {
    if (f == nullptr) return std::nullopt;
    const auto here = tell(f);
    if (!here || !seek_end(f)) return std::nullopt;
    const auto end = tell(f);
    if (!seek_to(f, *here)) return std::nullopt;
    return end;
}

std::optional<std::uint64_t> file_size(const char* path) {
    struct stat st {};
    if (path == nullptr || ::stat(path, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool path_exists(const char* path) {
    struct stat st {};
    return path != nullptr && ::stat(path, &st) == 0;
}

bool same_file(const char* a, const char* b) {
    struct stat sa {};
    struct stat sb {};
    if (a == nullptr || b == nullptr || ::stat(a, &sa) != 0 || ::stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool same_place(const std::string& a, const std::string& b) {
    // An output replaces what stands at its name, a symlink included, so the
    // last component is compared as a name, not followed.
    const auto place = [](const std::string& p, std::filesystem::path& out) {
        const std::filesystem::path path(p);
        std::filesystem::path parent = path.parent_path();
        if (parent.empty()) parent = ".";
        std::error_code ec;
        out = std::filesystem::weakly_canonical(parent, ec) / path.filename();
        return !ec;
    };
    std::filesystem::path pa;
    std::filesystem::path pb;
    return place(a, pa) && place(b, pb) && pa == pb;
}

std::size_t read_some(std::FILE* f, MutBytes out) {
    if (out.empty()) return 0;
    return std::fread(out.data(), 1, out.size(), f);
}

bool read_exact(std::FILE* f, MutBytes out) { return read_some(f, out) == out.size(); }

bool write_all(std::FILE* f, ConstBytes in) {
    if (in.empty()) return true;
    return std::fwrite(in.data(), 1, in.size(), f) == in.size();
}

bool write_zeros(std::FILE* f, std::uint64_t count) {
    static const std::uint8_t zeros[4096] = {};
    while (count > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof zeros));
        if (!write_all(f, {zeros, n})) return false;
        count -= n;
    }
    return true;
}

bool seek_to(std::FILE* f, std::uint64_t offset) {
    return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool seek_end(std::FILE* f) { return ::fseeko(f, 0, SEEK_END) == 0; }

std::optional<std::uint64_t> tell(std::FILE* f) {
    const off_t at = ::ftello(f);
    if (at < 0) return std::nullopt;
    return static_cast<std::uint64_t>(at);
}

std::optional<std::string> derive_name(std::string_view base, std::string_view suffix) {
    if (base.size() + suffix.size() > kMaxPathLength) return std::nullopt;
    std::string name(base);
    name += suffix;
    return name;
}

namespace {

// What a file of mode `mode` is, for a refusal.
const char* kind_of(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string cannot_open(const char* path, int error) {
    return std::string("cannot open ") + path + ": " + std::strerror(error);
}

}  // namespace

File open_input(const char* path, std::string& error, InputUse use, InputKinds kinds) {
    if (path == nullptr) {
        error = "no file named";
        errno = ENOENT;
        return nullptr;
    }
    const int access = use == InputUse::kUpdate ? O_RDWR : O_RDONLY;
    const int fd = ::open(path, access | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = cannot_open(path, errno);
        return nullptr;
    }
    struct stat st {};
    int failure = ::fstat(fd, &st) == 0 ? 0 : errno;
    const bool device = S_ISBLK(st.st_mode) && kinds == InputKinds::kRegularOrBlockDevice;
    if (failure == 0 && !S_ISREG(st.st_mode) && !device) {
        ::close(fd);
        error = std::string(path) + " is " + kind_of(st.st_mode) + "; only regular files " +
                (kinds == InputKinds::kRegularOrBlockDevice ? "and block devices " : "") + "are read";
        errno = EINVAL;
        return nullptr;
    }
    // Reads wait for their bytes again.
    const int flags = failure == 0 ? ::fcntl(fd, F_GETFL) : -1;
    std::FILE* f = nullptr;
    if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
        f = ::fdopen(fd, use == InputUse::kUpdate ? "rb+" : "rb");
    }
    if (f == nullptr) {
        failure = failure != 0 ? failure : errno;
        ::close(fd);
        error = cannot_open(path, failure);
        errno = failure;
        return nullptr;
    }
    return File(f);
}

SizedRead read_sized_file(const char* path, MutBytes out, const char* what, std::string& error) {
    File f = open_input(path, error);
    if (!f) return SizedRead::kUnopened;
    const auto size = stream_size(f.get());
    if (size && *size != out.size()) {
        error = std::string(path) + " has " + std::to_string(*size) + " bytes, but " + what +
                " has exactly " + std::to_string(out.size());
        return SizedRead::kWrongSize;
    }
    if (!size || !read_exact(f.get(), out)) {
        error = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return SizedRead::kUnread;
    }
    return SizedRead::kRead;
}

// ---------------------------------------------------------------------------
// The file calls, each through the hook a test may install

namespace {

std::atomic<const FileCallHook*> g_file_call_hook{nullptr};

// 0 when the call is to be made, else the errno value it fails with.
int file_call_fault(FileCall call, int fd, const char* from = nullptr, const char* to = nullptr) {
    const FileCallHook* hook = g_file_call_hook.load(std::memory_order_acquire);
    if (hook == nullptr) return 0;
    return (*hook)(FileCallSite{call, fd, from, to});
}

int fsync_file(int fd) {
    if (const int fault = file_call_fault(FileCall::kSync, fd); fault != 0) {
        errno = fault;
        return -1;
    }
    return ::fsync(fd);
}

int rename_file(const char* from, const char* to) {
    if (const int fault = file_call_fault(FileCall::kRename, -1, from, to); fault != 0) {
        errno = fault;
        return -1;
    }
    return ::rename(from, to);
}

int link_file(const char* from, const char* to) {
    if (const int fault = file_call_fault(FileCall::kLink, -1, from, to); fault != 0) {
        errno = fault;
        return -1;
    }
    return ::link(from, to);
}

}  // namespace

const FileCallHook* set_file_call_hook(const FileCallHook* hook) {
    return g_file_call_hook.exchange(hook, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------------------
// Live temporary files and the signals that must not leave them behind

namespace {

constexpr int kMaxLiveFiles = 32;
constexpr std::size_t kMaxTempPath = 4096;

// Written only with the signals blocked, read by the handler: a slot is in
// use while its flag is set, and its path is complete before that.
char g_live_paths[kMaxLiveFiles][kMaxTempPath];
volatile std::sig_atomic_t g_live_used[kMaxLiveFiles];
std::atomic<bool> g_handlers_installed{false};
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_live_files_and_reraise(int sig) {
    for (int i = 0; i < kMaxLiveFiles; ++i) {
        if (g_live_used[i] != 0) ::unlink(g_live_paths[i]);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void install_cleanup_handlers() {
    if (g_handlers_installed.exchange(true)) return;
    for (const int sig : kCleanupSignals) {
        struct sigaction old {};
        ::sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;  // an ignored signal stays ignored
        struct sigaction sa {};
        sa.sa_handler = remove_live_files_and_reraise;
        ::sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

// Blocks the cleanup signals for the life of the scope, so that the handler
// never sees a slot half written.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t set;
        ::sigemptyset(&set);
        for (const int sig : kCleanupSignals) ::sigaddset(&set, sig);
        ::pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t old_;
};

std::mutex g_live_mutex;

bool register_live(const std::string& path) {
    if (path.size() >= kMaxTempPath) return false;
    install_cleanup_handlers();
    const std::lock_guard lock(g_live_mutex);
    const SignalsBlocked blocked;
    for (int i = 0; i < kMaxLiveFiles; ++i) {
        if (g_live_used[i] != 0) continue;
        std::memcpy(g_live_paths[i], path.c_str(), path.size() + 1);
        g_live_used[i] = 1;
        return true;
    }
    return false;
}

void unregister_live(const std::string& path) {
    const std::lock_guard lock(g_live_mutex);
    const SignalsBlocked blocked;
    for (int i = 0; i < kMaxLiveFiles; ++i) {
        if (g_live_used[i] != 0 && path == g_live_paths[i]) {
            g_live_used[i] = 0;
            return;
        }
    }
}

mode_t process_umask() {
    static const mode_t mask = [] {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// An unpredictable name in `dir`: 16 hexadecimal digits from the OS
// generator (never from rand(), whose sequence is part of the outputs).
std::optional<std::string> temp_name_in(const std::string& dir) {
    std::array<std::uint8_t, 8> bytes{};
    if (!fill_os_random(bytes)) return std::nullopt;
    static const char digits[] = "0123456789abcdef";
    std::string name = dir + "/.zud-";
    for (const std::uint8_t b : bytes) {
        name += digits[b >> 4];
        name += digits[b & 15];
    }
    return name + ".tmp";
}

// Makes the entry `name` in its directory durable: 0, or the errno value
// with which the directory could not be synced. A directory its owner may
// write but not read cannot be opened to be synced, and some file systems
// cannot sync a directory at all (EINVAL); neither is a failing disk, so
// both count as synced, as they always have.
int sync_directory_of(const std::string& name) {
    const int fd = ::open(directory_of(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == EACCES ? 0 : errno;
    int error = file_call_fault(FileCall::kSyncDirectory, fd, nullptr, name.c_str());
    if (error == 0 && ::fsync(fd) != 0) error = errno == EINVAL ? 0 : errno;
    ::close(fd);
    return error;
}

}  // namespace

bool is_special_file(const char* path) {
    struct stat st {};
    if (path == nullptr || ::lstat(path, &st) != 0) return false;
    return !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode);
}

bool sync_stream(std::FILE* stream) {
    return stream != nullptr && std::fflush(stream) == 0 && fsync_file(::fileno(stream)) == 0;
}

OutputFile::OutputFile(std::string final_path, Exposure exposure)
    : final_(std::move(final_path)), exposure_(exposure) {
    if (is_special_file(final_.c_str())) {
        error_ = final_ + " is not a regular file";
        return;
    }
    const std::string dir = directory_of(final_);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const auto name = temp_name_in(dir);
        if (!name) {
            error_ = "the system's random generator failed";
            return;
        }
        const SignalsBlocked blocked;  // the file and its registration appear together
        const int fd = ::open(name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error_ = "cannot create a file in " + dir + ": " + std::strerror(errno);
            return;
        }
        std::FILE* f = ::fdopen(fd, "w+b");
        if (f == nullptr || !register_live(*name)) {
            if (f != nullptr) std::fclose(f); else ::close(fd);
            ::unlink(name->c_str());
            error_ = "cannot open a file in " + dir;
            return;
        }
        stream_.reset(f);
        temp_ = *name;
        return;
    }
    error_ = "cannot find a free temporary name in " + dir;
}

OutputFile::~OutputFile() { discard(); }

OutputFile::OutputFile(OutputFile&& other) noexcept
    : final_(std::move(other.final_)),
      temp_(std::exchange(other.temp_, std::string())),
      error_(std::move(other.error_)),
      exposure_(other.exposure_),
      mode_(other.mode_),
      mode_set_(other.mode_set_),
      not_durable_(other.not_durable_),
      stream_(std::move(other.stream_)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        final_ = std::move(other.final_);
        temp_ = std::exchange(other.temp_, std::string());
        error_ = std::move(other.error_);
        exposure_ = other.exposure_;
        mode_ = other.mode_;
        mode_set_ = other.mode_set_;
        not_durable_ = other.not_durable_;
        stream_ = std::move(other.stream_);
    }
    return *this;
}

bool OutputFile::close_stream() {
    if (!stream_) return true;
    const bool flushed = std::fflush(stream_.get()) == 0;
    return std::fclose(stream_.release()) == 0 && flushed;
}

namespace {
std::atomic<bool> g_outputs_withheld{false};
}  // namespace

void withhold_outputs(bool withheld) { g_outputs_withheld = withheld; }
bool outputs_withheld() { return g_outputs_withheld; }

bool OutputFile::commit() {
    not_durable_ = false;
    if (temp_.empty()) return false;
    if (outputs_withheld()) {
        discard();
        return true;
    }
    bool ok = close_stream();
    const int fd = ok ? ::open(temp_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    ok = fd >= 0 && fsync_file(fd) == 0;
    if (ok) {
        const SignalsBlocked blocked;  // renamed and unregistered together
        ok = rename_file(temp_.c_str(), final_.c_str()) == 0;
        if (ok) {
            unregister_live(temp_);
            temp_.clear();
        }
    }
    if (!ok) {
        error_ = "cannot put " + final_ + " in place: " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        discard();
        return false;
    }
    // Widened only under the final name, so that no temporary file is ever
    // readable by others; a secret file keeps 0600.
    const mode_t mode = mode_set_ ? static_cast<mode_t>(mode_)
                        : exposure_ == Exposure::kSecret ? 0600
                                                         : (0666 & ~process_umask());
    if (mode != 0600 && ::fchmod(fd, mode) != 0) {
        std::fprintf(stderr, "zud: %s stays readable by its owner only: %s\n", final_.c_str(),
                     std::strerror(errno));
    }
    ::close(fd);
    if (const int error = sync_directory_of(final_); error != 0) {
        error_ = final_ + " is in place but its directory could not be synced: " +
                 std::strerror(error) + "; check the disk before relying on it";
        not_durable_ = true;
        return false;
    }
    return true;
}

void OutputFile::discard() {
    if (stream_) std::fclose(stream_.release());
    if (temp_.empty()) return;
    const SignalsBlocked blocked;
    ::unlink(temp_.c_str());
    unregister_live(temp_);
    temp_.clear();
}

namespace {

// The file that stood at `name` before a commit replaced it, kept under a
// second name beside it (a hard link, registered as a live temporary file
// so that a signal removes it too) until it is put back or let go.
class KeptFile {
public:
    explicit KeptFile(const std::string& name) : name_(name) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0) return;
        const std::string dir = directory_of(name);
        for (int attempt = 0; attempt < 16; ++attempt) {
            const auto kept = temp_name_in(dir);
            if (!kept) return;
            const SignalsBlocked blocked;  // the link and its registration appear together
            if (link_file(name.c_str(), kept->c_str()) != 0) {
                if (errno == EEXIST) continue;
                return;
            }
            if (!register_live(*kept)) {
                ::unlink(kept->c_str());
                return;
            }
            kept_ = *kept;
            return;
        }
    }
    ~KeptFile() {
        if (kept_.empty()) return;
        const SignalsBlocked blocked;
        ::unlink(kept_.c_str());
        unregister_live(kept_);
    }
    KeptFile(const KeptFile&) = delete;
    KeptFile& operator=(const KeptFile&) = delete;

    // Puts the earlier file back, or removes what stands at the name when
    // there was none (or it could not be kept).
    void restore() {
        if (kept_.empty()) {
            (void)::unlink(name_.c_str());
        } else {
            const SignalsBlocked blocked;  // renamed and unregistered together
            if (rename_file(kept_.c_str(), name_.c_str()) != 0) return;
            unregister_live(kept_);
            kept_.clear();
        }
        // Already on a failure's path, which the caller reports.
        (void)sync_directory_of(name_);
    }

private:
    std::string name_;
    std::string kept_;
};

}  // namespace

CommitResult commit_together(OutputFile& first, OutputFile& second, std::string& error) {
    if (outputs_withheld()) {
        first.discard();
        second.discard();
        return CommitResult::kInPlace;
    }
    KeptFile earlier(first.final_path());
    if (!first.commit() && !first.not_durable()) {
        error = first.error();
        second.discard();
        return CommitResult::kFailed;
    }
    if (!second.commit() && !second.not_durable()) {
        error = second.error();
        earlier.restore();
        return CommitResult::kFailed;
    }
    if (!first.not_durable() && !second.not_durable()) return CommitResult::kInPlace;
    error = first.not_durable() ? first.error() : second.error();
    return CommitResult::kNotDurable;
}

// ---------------------------------------------------------------------------
// Reading and copying large files

FileStamp stamp_file(int fd) {
    struct stat st {};
    FileStamp s;
    if (const int fault = file_call_fault(FileCall::kStamp, fd); fault != 0) {
        errno = fault;
        return s;
    }
    if (::fstat(fd, &st) != 0) return s;
    s.taken = true;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.changed_sec = st.st_ctim.tv_sec;
    s.changed_nsec = st.st_ctim.tv_nsec;
    return s;
}

bool same_stamp(const FileStamp& a, const FileStamp& b) {
    return a.taken && b.taken && a.device == b.device && a.inode == b.inode &&
           a.size == b.size && a.changed_sec == b.changed_sec && a.changed_nsec == b.changed_nsec;
}

std::size_t pread_full(int fd, MutBytes out, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + done, out.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t pwrite_full(int fd, ConstBytes in, std::uint64_t offset) {
    if (in.empty()) return 0;
    if (const int fault = file_call_fault(FileCall::kWrite, fd); fault != 0) {
        errno = fault;
        return 0;
    }
    std::size_t done = 0;
    while (done < in.size()) {
        const ssize_t n = ::pwrite(fd, in.data() + done, in.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}


namespace {


// Hands a piece on in steps. When the reading thread wrote the piece, this
// core's cache holds none of it, and hashing it would wait on the memory
// one line after another. The processor fetches ahead along a page by
// itself once a page's first lines are asked for, but never across a page;
// so while one step is consumed, the first two lines of every page of the
// next step are asked for.
bool hand_on_in_steps(ConstBytes piece, const std::function<bool(ConstBytes)>& consume) {
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kLine = 64;
    for (std::size_t at = 0; at < piece.size(); at += kRangeStepSize) {
        const std::size_t n = std::min(kRangeStepSize, piece.size() - at);
        const std::size_t next_end = std::min(piece.size(), at + n + kRangeStepSize);
        for (std::size_t page = at + n; page < next_end; page += kPage) {
            __builtin_prefetch(piece.data() + page, 0, 2);
            if (page + kLine < next_end) __builtin_prefetch(piece.data() + page + kLine, 0, 2);
        }
        if (!consume(piece.subspan(at, n))) return false;
    }
    return true;
}

// The pieces one after another through one buffer, on the calling thread.
RangeRead read_range_in_turn(int fd, std::uint64_t offset, std::uint64_t count, MutBytes buffer,
                             const std::function<bool(ConstBytes)>& consume) {
    while (count > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
        if (pread_full(fd, buffer.first(n), offset) != n) return RangeRead::kShort;
        if (!hand_on_in_steps(buffer.first(n), consume)) return RangeRead::kStopped;
        offset += n;
        count -= n;
    }
    return RangeRead::kDone;
}

// Two buffers passed back and forth between a reading thread and the
// consuming caller, piece 0 in the first, piece 1 in the second, and so on.
// The reader writes a buffer only while it is empty and the caller reads it
// only while it is full; the flags change under the mutex.
class ReadAhead {
public:
    ReadAhead(int fd, std::uint64_t offset, std::uint64_t count, MutBytes first, MutBytes second)
        : fd_(fd), offset_(offset), count_(count), buffers_{first, second} {}

    // The reading thread.
    void read_pieces();
    // The caller: hands each full buffer to `consume` and gives it back.
    RangeRead consume_pieces(const std::function<bool(ConstBytes)>& consume);

private:
    const int fd_;
    const std::uint64_t offset_;
    const std::uint64_t count_;
    const std::array<MutBytes, 2> buffers_;
    std::array<bool, 2> full_{};
    std::array<std::size_t, 2> used_{};
    bool short_ = false;    // the reader met the end of the file or an error
    bool stopped_ = false;  // the caller wants nothing more
    std::mutex mutex_;
    std::condition_variable changed_;
};

void ReadAhead::read_pieces() {
    std::uint64_t offset = offset_;
    std::uint64_t remaining = count_;
    for (std::size_t slot = 0; remaining > 0; slot ^= 1) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !full_[slot] || stopped_; });
            if (stopped_) return;
        }
        const MutBytes buffer = buffers_[slot];
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
        const bool whole = pread_full(fd_, buffer.first(n), offset) == n;
        {
            const std::lock_guard lock(mutex_);
            if (whole) {
                full_[slot] = true;
                used_[slot] = n;
            } else {
                short_ = true;
            }
        }
        changed_.notify_all();
        if (!whole) return;
        offset += n;
        remaining -= n;
    }
}

RangeRead ReadAhead::consume_pieces(const std::function<bool(ConstBytes)>& consume) {
    std::uint64_t remaining = count_;
    for (std::size_t slot = 0; remaining > 0; slot ^= 1) {
        std::size_t n = 0;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return full_[slot] || short_; });
            if (!full_[slot]) return RangeRead::kShort;
            n = used_[slot];
        }
        const bool go_on = hand_on_in_steps(buffers_[slot].first(n), consume);
        {
            const std::lock_guard lock(mutex_);
            full_[slot] = false;
            stopped_ = !go_on;
        }
        changed_.notify_all();
        if (!go_on) return RangeRead::kStopped;
        remaining -= n;
    }
    return RangeRead::kDone;
}

}  // namespace

RangeRead read_range(int fd, std::uint64_t offset, std::uint64_t count,
                     const std::function<bool(ConstBytes)>& consume) {
    if (count == 0) return RangeRead::kDone;
    // Doubles the kernel's read-ahead for a file not yet in memory.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kRangePieceSize));
    Buffer first(piece);
    if (!first.ok()) return RangeRead::kNoMemory;
    Buffer second(count > piece ? piece : 0);
    if (count <= piece || !second.ok()) {
        return read_range_in_turn(fd, offset, count, first.bytes(), consume);
    }
    ReadAhead ahead(fd, offset, count, first.bytes(), second.bytes());
    std::thread reader;
    try {
        reader = std::thread([&ahead] { ahead.read_pieces(); });
    } catch (const std::system_error&) {
        // No thread to be had: the same pieces, read in turn.
        return read_range_in_turn(fd, offset, count, first.bytes(), consume);
    }
    const RangeRead result = ahead.consume_pieces(consume);
    reader.join();
    return result;
}

namespace {

// The size of one copy_file_range call, and of the buffer of a copy the
// kernel cannot make.
constexpr std::size_t kCopyStepSize = 32 * 1024 * 1024;
constexpr std::size_t kCopyBufferSize = 1024 * 1024;


enum class KernelCopy { kDone, kCannot, kFailed };

// The errors with which copy_file_range says it cannot copy between these
// two files (different file systems, a pipe, an old kernel, a filter that
// forbids the call), rather than that reading or writing failed.
bool copy_unsupported(int error) {
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
           error == EPERM;
}

KernelCopy copy_in_kernel(int in_fd, int out_fd, WriteBehind& behind, Progress* progress) {
    for (bool first = true;; first = false) {
        const int fault = file_call_fault(FileCall::kWrite, out_fd);
        if (fault != 0) errno = fault;
        const ssize_t n =
            fault != 0 ? -1 : ::copy_file_range(in_fd, nullptr, out_fd, nullptr, kCopyStepSize, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return copy_unsupported(errno) ? KernelCopy::kCannot : KernelCopy::kFailed;
        // Some file systems (proc, sys) report no bytes for a file that has
        // them; reading tells such a file from an empty one.
        if (n == 0) return first ? KernelCopy::kCannot : KernelCopy::kDone;
        behind.advance(static_cast<std::size_t>(n));
        add_progress(progress, static_cast<std::uint64_t>(n));
    }
}

bool write_fd_all(int fd, ConstBytes in) {
    while (!in.empty()) {
        if (const int fault = file_call_fault(FileCall::kWrite, fd); fault != 0) {
            errno = fault;
            return false;
        }
        const ssize_t n = ::write(fd, in.data(), in.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        in = in.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

bool copy_by_reading(int in_fd, int out_fd, WriteBehind& behind, Progress* progress) {
    Buffer buffer(kCopyBufferSize);
    if (!buffer.ok()) return false;
    (void)::posix_fadvise(in_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        const ssize_t n = ::read(in_fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        const auto got = static_cast<std::size_t>(n);
        if (!write_fd_all(out_fd, buffer.bytes().first(got))) return false;
        behind.advance(got);
        add_progress(progress, got);
    }
}

}  // namespace

bool copy_to_end(int in_fd, int out_fd, Progress* progress) {
    const off_t start = ::lseek(out_fd, 0, SEEK_CUR);
    WriteBehind behind(out_fd, start < 0 ? 0 : static_cast<std::uint64_t>(start));
    // Both positions have moved by exactly what was copied when the kernel
    // gives up, so reading goes on from there.
    switch (copy_in_kernel(in_fd, out_fd, behind, progress)) {
        case KernelCopy::kDone: return true;
        case KernelCopy::kFailed: return false;
        case KernelCopy::kCannot: break;
    }
    return copy_by_reading(in_fd, out_fd, behind, progress);
}

bool WriteBehind::write_at(std::uint64_t offset, ConstBytes data) const {
    return pwrite_full(fd_, data, offset) == data.size();
}

bool WriteBehind::write(ConstBytes data) {
    // The position follows every byte written, so that after a failure it
    // tells where the file stops.
    const std::size_t n = pwrite_full(fd_, data, at_);
    at_ += n;
    if (n < data.size()) return false;
    start_writeback();
    return true;
}

void WriteBehind::advance(std::uint64_t n) {
    at_ += n;
    start_writeback();
}

void WriteBehind::start_writeback() {
    if (at_ - kicked_ < kWritebackStep) return;
    // Only a hint: where the file system or the descriptor does not take
    // it, the fsync at the end still writes everything.
    (void)::sync_file_range(fd_, static_cast<off_t>(kicked_), static_cast<off_t>(at_ - kicked_),
                            SYNC_FILE_RANGE_WRITE);
    kicked_ = at_;
}

