#include "support/files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "support/run.h"

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

std::set<std::string> files_in(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::uint64_t size_of(const std::string& path) { return std::filesystem::file_size(path); }

Bytes counting_bytes(std::size_t count, std::uint8_t start) {
    Bytes b(count);
    for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>(start + i);
    return b;
}

Bytes seeded_bytes(std::size_t count, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes b(count);
    for (auto& v : b) v = static_cast<std::uint8_t>(gen());
    return b;
}

Bytes slice(const Bytes& b, std::size_t at, std::size_t count) {
    if (at > b.size() || count > b.size() - at) throw std::out_of_range("slice");
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
                 b.begin() + static_cast<std::ptrdiff_t>(at + count));
}

std::string text_at(const Bytes& b, std::size_t at, std::size_t count) {
    const Bytes s = slice(b, at, count);
    return std::string(s.begin(), s.end());
}

std::string to_hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (auto v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

std::string openssl_sha256_hex(const std::string& path) {
    const ProcessRun run = run_process({"openssl", "dgst", "-sha256", "-r", path});
    if (run.exit_status != 0) throw std::runtime_error("openssl dgst failed: " + run.err);
    return run.out.substr(0, 64);
}
