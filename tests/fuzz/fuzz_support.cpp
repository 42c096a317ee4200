#include "fuzz/fuzz_support.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include <mbedtls/ctr_drbg.h>

#include "builtin_key.h"
#include "rng.h"
#include "stage_block.h"
#include "zud_encrypt_tqrr.h"

ExactCopy::ExactCopy(std::span<const std::uint8_t> bytes)
    : data_(new std::uint8_t[bytes.size()]), size_(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data_.get());
}

ExactText::ExactText(std::string_view text) : data_(new char[text.size() + 1]), size_(text.size()) {
    std::copy(text.begin(), text.end(), data_.get());
    data_[text.size()] = '\0';
}

namespace {

std::uint32_t read_bits(FuzzInput& in, int bits) { return bits == 16 ? in.u16() : in.u24(); }

}  // namespace

FuzzBytes patch_template(const FuzzBytes& base, FuzzInput& in, int cut_bits, int offset_bits) {
    FuzzBytes b = base;
    const std::size_t cut = read_bits(in, cut_bits);
    if (cut < b.size()) b.resize(cut);
    while (!in.done() && !b.empty()) {
        const std::size_t where = read_bits(in, offset_bits) % b.size();
        b[where] ^= in.u8();
    }
    return b;
}

FuzzBytes whole_template(int cut_bits) { return FuzzBytes(static_cast<std::size_t>(cut_bits / 8), 0xFF); }

namespace {

// The scratch directory and everything in it go when the process ends.
class ScratchDir {
public:
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zud-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) fuzz_fail("cannot make the scratch directory");
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

const std::string& scratch_dir() {
    static const ScratchDir dir;
    return dir.path();
}

const std::string& scratch_file(std::span<const std::uint8_t> bytes, const char* name) {
    static std::map<std::string, std::string> paths;
    auto [it, added] = paths.try_emplace(name);
    if (added) it->second = scratch_dir() + "/" + name;
    write_whole_file(it->second, bytes);
    return it->second;
}

void write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) fuzz_fail("cannot write a scratch file");
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written) fuzz_fail("cannot write a scratch file");
}

FuzzBytes read_whole_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) fuzz_fail(("cannot read " + path).c_str());
    FuzzBytes out;
    std::uint8_t piece[16384];
    std::size_t n = 0;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) out.insert(out.end(), piece, piece + n);
    std::fclose(f);
    return out;
}

QuietOutput::QuietOutput() : saved_out_(stdout), saved_err_(stderr) {
    static std::FILE* const null = std::fopen("/dev/null", "w");
    if (null == nullptr) return;
    std::fflush(stdout);
    std::fflush(stderr);
    stdout = null;
    stderr = null;
}

QuietOutput::~QuietOutput() {
    std::fflush(stdout);
    stdout = saved_out_;
    stderr = saved_err_;
}

namespace {

int counting_entropy(void* state, unsigned char* out, std::size_t len) {
    auto* counter = static_cast<unsigned*>(state);
    for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<unsigned char>((*counter)++ * 167 + 3);
    return 0;
}

}  // namespace

FuzzKey::FuzzKey(unsigned bits, unsigned seed) {
    mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0);
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ctr_drbg_init(&drbg);
    if (mbedtls_ctr_drbg_seed(&drbg, counting_entropy, &seed, nullptr, 0) != 0 ||
        mbedtls_rsa_gen_key(&ctx, mbedtls_ctr_drbg_random, &drbg, bits, 65537) != 0) {
        fuzz_fail("cannot generate a key");
    }
    mbedtls_ctr_drbg_free(&drbg);
}

FuzzKey::~FuzzKey() { mbedtls_rsa_free(&ctx); }

Reproducible::Reproducible() {
    const char* old = std::getenv("SOURCE_DATE_EPOCH");
    was_set_ = old != nullptr;
    if (was_set_) saved_ = old;
    ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    seed_random(12345);
}

Reproducible::~Reproducible() {
    if (was_set_) ::setenv("SOURCE_DATE_EPOCH", saved_.c_str(), 1);
    else ::unsetenv("SOURCE_DATE_EPOCH");
}

void run_tool_or_abort(const std::vector<std::string>& args) {
    std::vector<std::string> words{"zud_encrypt_tqrr"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int result = 0;
    {
        const Reproducible same;
        const QuietOutput quiet;
        optind = 0;  // the dispatcher reads the command word with getopt_long
        result = zud_dispatch(static_cast<int>(words.size()), argv.data(), 12345);
    }
    if (result != 0) {
        std::string line;
        for (const std::string& w : args) line += " " + w;
        std::fprintf(stderr, "fuzz template: zud_encrypt_tqrr%s failed (%d)\n", line.c_str(), result);
        std::abort();
    }
}

void fuzz_fail(const char* what) {
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

FuzzBytes sealed_payload(const FuzzBytes& sealed) {
    FuzzBytes block(sealed.size());
    if (!zud_open_sealed(sealed, block)) fuzz_fail("a sealed template does not open");
    const StageBlockMemory plain(block);
    const zud_stored_block b = read_stored_block(plain, std::nullopt);
    FuzzBytes payload(static_cast<std::size_t>(b.stage_size));
    if (!b.problem.empty() || !read_stored_payload(plain, b, payload)) fuzz_fail("a sealed template is damaged");
    return payload;
}
