// What the fuzz entries share: reading an input field by field, handing a
// routine an exact-size heap copy, the one scratch file of the process,
// keys made from a fixed seed, running the tool's commands in process to
// make templates, and the seeds each entry writes.
//
// Nothing here needs libFuzzer or GoogleTest: the entries are compiled into
// the libFuzzer targets (clang) and into the corpus replay test (any
// compiler), so a crash found once stays fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <mbedtls/rsa.h>

using FuzzBytes = std::vector<std::uint8_t>;

// One seed of an entry's corpus: a short name and the input bytes.
struct FuzzSeed {
    std::string name;
    FuzzBytes bytes;
};

// Reads an input front to back. A field past the end reads as zero, so
// every input is a valid one.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t u16() { return u8() | std::uint32_t{u8()} << 8; }
    std::uint32_t u24() { return u16() | std::uint32_t{u8()} << 16; }
    std::uint32_t u32() { return u24() | std::uint32_t{u8()} << 24; }
    std::size_t left() const { return size_ - at_; }
    bool done() const { return at_ >= size_; }
    // Everything not read yet; reading ends.
    FuzzBytes rest() {
        FuzzBytes out(data_ + at_, data_ + size_);
        at_ = size_;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A copy on the heap of exactly the bytes' size, so that the address
// sanitizer reports a read one byte past the end.
class ExactCopy {
public:
    explicit ExactCopy(std::span<const std::uint8_t> bytes);
    std::span<const std::uint8_t> bytes() const { return {data_.get(), size_}; }
    std::span<std::uint8_t> mutable_bytes() { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_;
};

// The same for text: a NUL-terminated heap copy of exactly size() + 1 bytes.
class ExactText {
public:
    explicit ExactText(std::string_view text);
    char* c_str() { return data_.get(); }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_;
};

// A template cut and patched as the input says: a cut length (u24 from
// `cut_bits` 16 or 24 bits; a length at or beyond the template's keeps all
// of it), then (offset, xor) patches of `offset_bits` + 8 bits each, the
// offset taken modulo the (cut) length, until the input ends.
FuzzBytes patch_template(const FuzzBytes& base, FuzzInput& in, int cut_bits, int offset_bits);

// The fields patch_template reads, for seed writers: the template kept
// whole, no patches.
FuzzBytes whole_template(int cut_bits);

// The directory of this process's scratch files, made on first use (under
// $TMPDIR or /tmp) and removed when the process ends normally.
const std::string& scratch_dir();

// Writes `bytes` to the scratch file `name` (one file per name, reused by
// every call) and returns its path.
const std::string& scratch_file(std::span<const std::uint8_t> bytes, const char* name = "input");

// Standard output and standard error go to /dev/null while it lives: the
// routines' messages are not what is checked, and a libFuzzer run would
// print millions of them. The sanitizers write to the descriptor directly,
// so their reports still show.
class QuietOutput {
public:
    QuietOutput();
    ~QuietOutput();
    QuietOutput(const QuietOutput&) = delete;
    QuietOutput& operator=(const QuietOutput&) = delete;

private:
    std::FILE* saved_out_;
    std::FILE* saved_err_;
};

// An RSA key of `bits` bits (e = 65537) generated from a fixed seed, the
// same in every process. Aborts when generation fails.
struct FuzzKey {
    FuzzKey(unsigned bits, unsigned seed);
    ~FuzzKey();
    FuzzKey(const FuzzKey&) = delete;
    FuzzKey& operator=(const FuzzKey&) = delete;
    mbedtls_rsa_context ctx;
};

// While it lives, SOURCE_DATE_EPOCH is set and the random source seeded
// with a fixed value, so that what the tool writes (timestamps, nonces,
// IV prefixes) is the same in every run and the seeds made from it stay
// what the corpus holds.
class Reproducible {
public:
    Reproducible();
    ~Reproducible();
    Reproducible(const Reproducible&) = delete;
    Reproducible& operator=(const Reproducible&) = delete;

private:
    std::string saved_;
    bool was_set_ = false;
};

// Runs zud_encrypt_tqrr with `args` (after the program name) in process,
// quietly and reproducibly (the dispatcher seeds the random source with a
// fixed value), so that the outputs are the same in every run. Aborts with the command line on standard error
// when the command does not succeed: the templates an entry depends on must
// exist.
void run_tool_or_abort(const std::vector<std::string>& args);

FuzzBytes read_whole_file(const std::string& path);
void write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes);

// Aborts with a message: a template is not what the entry expects, or an
// invariant the entry checks after a routine does not hold.
[[noreturn]] void fuzz_fail(const char* what);

// The payload of a file sealed with the built-in key (a template the tool
// wrote), opened and read back; fuzz_fail when it does not open.
FuzzBytes sealed_payload(const FuzzBytes& sealed);
