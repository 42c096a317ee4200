// Internal: owners for files and heap buffers, file sizes and output names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "bytes.h"

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
    Buffer(Buffer&&) noexcept = default;
    Buffer& operator=(Buffer&&) noexcept = default;

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

// Removes a half-written output. Only regular files are removed, so an
// output named like /dev/full is never deleted.
void remove_output(const char* path);

// Deletes a half-written output unless `keep()` was called. Declare it
// before the File that writes the output, so the file closes first.
class OutputGuard {
public:
    explicit OutputGuard(std::string path) : path_(std::move(path)) {}
    ~OutputGuard();
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;
    void keep() { keep_ = true; }
    void arm() { armed_ = true; }   // the output now exists and is ours
    bool armed() const { return armed_; }

private:
    std::string path_;
    bool armed_ = false;
    bool keep_ = false;
};
