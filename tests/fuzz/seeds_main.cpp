// Writes the seeds of every fuzz entry into CORPUS/<entry>/seed-<name>,
// replacing the seeds written before and leaving every other input (the
// regression inputs of findings) as it is. scripts/fuzz_seeds.sh runs it.
#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_entries.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    namespace fs = std::filesystem;
    std::size_t total = 0;
    std::size_t bytes = 0;
    for (const FuzzEntry& entry : kFuzzEntries) {
        const fs::path dir = fs::path(argv[1]) / entry.name;
        fs::create_directories(dir);
        for (const auto& file : fs::directory_iterator(dir)) {
            if (file.path().filename().string().rfind("seed-", 0) == 0) fs::remove(file.path());
        }
        for (const FuzzSeed& seed : entry.seeds()) {
            write_whole_file((dir / ("seed-" + seed.name)).string(), seed.bytes);
            ++total;
            bytes += seed.bytes.size();
        }
    }
    std::printf("%zu seeds, %zu bytes\n", total, bytes);
    return 0;
}
