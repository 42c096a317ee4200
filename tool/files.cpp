#include "files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>

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

void sync_directory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

}  // namespace

bool is_special_file(const char* path) {
    struct stat st {};
    if (path == nullptr || ::lstat(path, &st) != 0) return false;
    return !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode);
}

bool sync_stream(std::FILE* stream) {
    return stream != nullptr && std::fflush(stream) == 0 && ::fsync(::fileno(stream)) == 0;
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
        stream_ = std::move(other.stream_);
    }
    return *this;
}

bool OutputFile::close_stream() {
    if (!stream_) return true;
    const bool flushed = std::fflush(stream_.get()) == 0;
    return std::fclose(stream_.release()) == 0 && flushed;
}

bool OutputFile::commit() {
    if (temp_.empty()) return false;
    bool ok = close_stream();
    const int fd = ok ? ::open(temp_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    ok = fd >= 0 && ::fsync(fd) == 0;
    if (ok) {
        const SignalsBlocked blocked;  // renamed and unregistered together
        ok = ::rename(temp_.c_str(), final_.c_str()) == 0;
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
    sync_directory(directory_of(final_));
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
