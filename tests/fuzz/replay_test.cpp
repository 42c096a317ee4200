// The committed fuzz corpus, replayed through the fuzz entries in the
// ordinary test build: every input that once crashed an entry (the
// regress-* files) and every seed runs through it again, under whatever
// sanitizers the build has. The seeds must be what the seed writer makes
// today, so that a change of an entry's input layout comes with new seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.h"

// Test names and failures show an entry by its corpus name.
void PrintTo(const FuzzEntry& entry, std::ostream* out) { *out << entry.name; }

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpus_of(const FuzzEntry& entry) {
    std::vector<fs::path> files;
    const fs::path dir = fs::path(ZUD_FUZZ_CORPUS_DIR) / entry.name;
    if (!fs::is_directory(dir)) return files;
    for (const auto& file : fs::directory_iterator(dir)) {
        if (file.is_regular_file()) files.push_back(file.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class CorpusReplay : public testing::TestWithParam<FuzzEntry> {};

TEST_P(CorpusReplay, EveryCommittedInputRunsThroughTheEntry) {
    const FuzzEntry& entry = GetParam();
    const std::vector<fs::path> files = corpus_of(entry);
    ASSERT_FALSE(files.empty()) << "no corpus for " << entry.name;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const FuzzBytes input = read_whole_file(file.string());
        EXPECT_EQ(entry.run(input.data(), input.size()), 0);
    }
}

TEST_P(CorpusReplay, CommittedSeedsAreTheSeedWritersOutput) {
    const FuzzEntry& entry = GetParam();
    const fs::path dir = fs::path(ZUD_FUZZ_CORPUS_DIR) / entry.name;
    std::size_t seeds = 0;
    for (const FuzzSeed& seed : entry.seeds()) {
        SCOPED_TRACE(seed.name);
        ++seeds;
        const fs::path file = dir / ("seed-" + seed.name);
        ASSERT_TRUE(fs::exists(file)) << "run scripts/fuzz_seeds.sh";
        EXPECT_TRUE(read_whole_file(file.string()) == seed.bytes) << "run scripts/fuzz_seeds.sh";
    }
    std::size_t committed = 0;
    for (const fs::path& file : corpus_of(entry)) committed += file.filename().string().rfind("seed-", 0) == 0;
    EXPECT_EQ(committed, seeds) << "a committed seed is no longer written; run scripts/fuzz_seeds.sh";
}

INSTANTIATE_TEST_SUITE_P(Entries, CorpusReplay, testing::ValuesIn(kFuzzEntries),
                         [](const testing::TestParamInfo<FuzzEntry>& info) { return std::string(info.param.name); });

}  // namespace
