#include "files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include <mbedtls/platform_util.h>

void wipe(void* p, std::size_t n) {
    if (p != nullptr && n != 0) mbedtls_platform_zeroize(p, n);
}

Buffer::~Buffer() { wipe(data_.get(), size_); }

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

void remove_output(const char* path) {
    struct stat st {};
    if (path != nullptr && ::lstat(path, &st) == 0 && S_ISREG(st.st_mode)) std::remove(path);
}

OutputGuard::~OutputGuard() {
    if (armed_ && !keep_) remove_output(path_.c_str());
}
