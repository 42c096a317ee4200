// The command-line reader over every command's syntax, SOURCE_DATE_EPOCH
// and the password file of --mkpsd. After each reading the entry checks
// what a command relies on: --help is seen exactly when it is given before
// "--", every value handed out points into a word of the command line, no
// more options are counted than there are words, and an operand is given
// only to a command that takes one.
//
// Input: byte 0 the mode (a command's syntax, SOURCE_DATE_EPOCH or the
// password file), then the words of the command line separated by NUL
// bytes, the value of SOURCE_DATE_EPOCH, or the password file.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "bootsig.h"
#include "cli.h"
#include "device_packages.h"
#include "clock.h"
#include "fuzz/fuzz_entries.h"
#include "imgsig.h"
#include "key_block.h"
#include "keysig.h"
#include "packages.h"
#include "sha.h"
#include "upgsig.h"

namespace {

struct Command {
    const char* word;  // the command word, as argv[1] has it
    const CommandSyntax& (*syntax)();
};

const Command kCommands[] = {
    {"--keysig", keysig_command_syntax}, {"--keybnd", keybnd_command_syntax},
    {"--bootsig", bootsig_command_syntax}, {"--imgsig", imgsig_command_syntax},
    {"--upgsig", upgsig_command_syntax}, {"--mkpsd", mkpsd_command_syntax},
    {"--mkcusid", mkcusid_command_syntax}, {"--mksd", mksd_command_syntax},
    {"--sha", sha_command_syntax},
};
constexpr std::size_t kCommandCount = std::size(kCommands);
constexpr std::size_t kEpochMode = kCommandCount;
constexpr std::size_t kPasswordFileMode = kCommandCount + 1;
constexpr std::size_t kModeCount = kCommandCount + 2;
// Longer lines teach the reader nothing new and only slow the search down.
constexpr std::size_t kMostWords = 64;

std::vector<std::string> split_words(const FuzzBytes& bytes) {
    std::vector<std::string> words;
    if (bytes.empty()) return words;
    std::string word;
    for (const std::uint8_t b : bytes) {
        if (b != 0) {
            word += static_cast<char>(b);
            continue;
        }
        words.push_back(word);
        word.clear();
        if (words.size() == kMostWords) return words;
    }
    words.push_back(word);
    return words;
}

std::size_t option_count(const CommandSyntax& syntax) {
    std::size_t n = 0;
    while (syntax.options[n].name != nullptr) ++n;
    return n;
}

bool asks_for_help(const std::vector<std::string>& words) {
    for (const std::string& w : words) {
        if (w == "--") return false;
        if (w == "--help") return true;
    }
    return false;
}

void read_line(const Command& command, const FuzzBytes& bytes) {
    const CommandSyntax& syntax = command.syntax();
    const std::vector<std::string> words = split_words(bytes);
    // Each word an exact-size heap copy, as argv hands them over.
    std::vector<std::unique_ptr<ExactText>> copies;
    copies.push_back(std::make_unique<ExactText>("zud_encrypt_tqrr"));
    copies.push_back(std::make_unique<ExactText>(command.word));
    for (const std::string& w : words) copies.push_back(std::make_unique<ExactText>(w));
    std::vector<char*> argv;
    for (auto& c : copies) argv.push_back(c->c_str());
    argv.push_back(nullptr);
    const std::size_t slot_count = option_count(syntax);
    std::unique_ptr<const char*[]> slots(new const char*[slot_count]());
    CommandLine line;
    {
        const QuietOutput quiet;
        line = read_command_line(syntax, static_cast<int>(argv.size() - 1), argv.data(), {slots.get(), slot_count});
    }
    if ((line.outcome == CommandLine::Outcome::kHelp) != asks_for_help(words)) fuzz_fail("--help is misread");
    if (line.given < 0 || static_cast<std::size_t>(line.given) > words.size()) fuzz_fail("more options than words");
    if (line.operand != nullptr && syntax.operand == nullptr) fuzz_fail("an operand for a command without one");
    const auto inside_a_word = [&](const char* p) {
        return std::any_of(copies.begin() + 2, copies.end(),
                           [&](const auto& c) { return p >= c->c_str() && p <= c->c_str() + c->size(); });
    };
    if (line.operand != nullptr && !inside_a_word(line.operand)) fuzz_fail("the operand is no word of the line");
    for (std::size_t i = 0; i < slot_count; ++i) {
        if (slots[i] != nullptr && !inside_a_word(slots[i])) fuzz_fail("a value points outside the line");
    }
}

// SOURCE_DATE_EPOCH is taken exactly when it is a plain decimal number that
// fits a time value, and then it is that number.
void read_epoch(const FuzzBytes& bytes) {
    // setenv keeps every value it was given, so millions of runs would fill
    // the memory: the variable is put in place from one buffer instead.
    static char variable[4096] = "SOURCE_DATE_EPOCH=";
    constexpr std::size_t kNameLength = sizeof "SOURCE_DATE_EPOCH=" - 1;
    const auto end = std::find(bytes.begin(), bytes.end(), '\0');
    const std::string text(bytes.begin(), bytes.begin() + std::min<std::ptrdiff_t>(end - bytes.begin(),
                                                                                   sizeof variable - kNameLength - 1));
    const char* old = std::getenv("SOURCE_DATE_EPOCH");
    const std::optional<std::string> saved = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    std::memcpy(variable + kNameLength, text.c_str(), text.size() + 1);
    ::putenv(variable);
    std::string error;
    const std::optional<std::time_t> epoch = zud_source_date_epoch(&error);
    const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (epoch) {
        const std::size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
        if (!digits || std::to_string(*epoch) != text.substr(first) || !error.empty()) {
            fuzz_fail("SOURCE_DATE_EPOCH is read as another number");
        }
    } else if (error.empty() || (digits && text.size() < 19)) {
        fuzz_fail("SOURCE_DATE_EPOCH is refused without cause");
    }
    if (zud_reproducible() != epoch.has_value()) fuzz_fail("zud_reproducible disagrees");
    (void)zud_now();
    (void)zud_calendar_now();
    std::array<std::uint8_t, kTimestampSize> stamp{};
    zud_make_timestamp(stamp);
    if (saved) ::setenv("SOURCE_DATE_EPOCH", saved->c_str(), 1);
    else ::unsetenv("SOURCE_DATE_EPOCH");
}

// --mkpsd reads the password file before it looks for --output, so without
// one it reads, checks and stops, writing nothing.
void read_password_file(const FuzzBytes& bytes) {
    const std::string path = scratch_file(bytes, "password");
    ExactText words[] = {ExactText("zud_encrypt_tqrr"), ExactText("--mkpsd"), ExactText("--password-file"),
                         ExactText(path), ExactText("--option"), ExactText("jtag")};
    char* argv[] = {words[0].c_str(), words[1].c_str(), words[2].c_str(), words[3].c_str(),
                    words[4].c_str(), words[5].c_str(), nullptr};
    int result = 0;
    {
        const QuietOutput quiet;
        result = zud_mk_password(6, argv);
    }
    const std::size_t length = bytes.size() - (!bytes.empty() && bytes.back() == '\n' ? 1 : 0);
    const int expected = length == kPasswordLength ? kPasswordNoOutput : kPasswordBadLength;
    if (result != expected) fuzz_fail("the password file is misread");
}

}  // namespace

int fuzz_command_line(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::size_t mode = in.u8() % kModeCount;
    const FuzzBytes rest = in.rest();
    if (mode == kEpochMode) read_epoch(rest);
    else if (mode == kPasswordFileMode) read_password_file(rest);
    else read_line(kCommands[mode], rest);
    return 0;
}

std::vector<FuzzSeed> command_line_fuzz_seeds() {
    std::vector<FuzzSeed> seeds;
    const auto add = [&](const std::string& name, std::size_t mode, const std::vector<std::string>& words) {
        FuzzBytes bytes{static_cast<std::uint8_t>(mode)};
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (i != 0) bytes.push_back(0);
            bytes.insert(bytes.end(), words[i].begin(), words[i].end());
        }
        seeds.push_back({name, bytes});
    };
    // Lines the commands are run with, and the refusals the tests show.
    add("keysig", 0, {"--rkey1", "root.key", "--ukey1", "u1.key", "--ukey2", "u2.key", "--skey", "root.key",
                      "--output", "km.bin", "--pkcs11-module=/m.so", "--passphrase-file", "pass"});
    add("keysig-ambiguous", 0, {"--rkey", "a", "--ukey1=b", "--skey", "c"});
    add("keybnd", 1, {"--ukey", "u1.key", "--rootkeymax", "km.bin", "--aeskey", "aes.bin", "--output", "u.zud"});
    add("keybnd-missing-value", 1, {"--ukey", "--rootkeymax", "km.bin"});
    add("bootsig", 2, {"--input", "boot.bin", "--zuduserkey", "u.zud", "--aeskey", "aes.bin", "--output",
                       "boot.enc", "--efuse", "e", "--skipsector", "0x2"});
    add("bootsig-typo", 2, {"--inptu", "boot.bin", "--zuduserkey", "u.zud"});
    add("bootsig-help", 2, {"--input", "x", "--help"});
    add("bootsig-end-of-options", 2, {"--input", "x", "--", "--help"});
    add("imgsig", 3, {"--input", "boot.img", "--userkey", "pkcs11:token=t;object=o", "--aeskey", "aes.bin",
                      "--rootkeymax", "km.bin", "--output=kernel.img"});
    add("imgsig-stray-word", 3, {"--input", "boot.img", "stray", "-x"});
    add("upgsig", 4, {"--input", "up.bin", "--zuduserkey", "u.zud", "--option", "chk"});
    add("mkpsd", 5, {"--password-file", "pw", "--option", "jtagusb", "--output", "p.bin"});
    add("mkcusid", 6, {"--customerid", "ACME01", "--output", "c.bin"});
    add("mksd", 7, {"--input", "boot.enc", "--output", "sd.img", "--output="});
    add("sha", 8, {"boot.img"});
    add("sha-two-operands", 8, {"a.img", "--", "b.img"});
    add("epoch", kEpochMode, {"1700000000"});
    add("epoch-zero-padded", kEpochMode, {"0000000000001"});
    add("epoch-largest", kEpochMode, {"9223372036854775807"});
    add("epoch-too-large", kEpochMode, {"9223372036854775808"});
    add("epoch-not-a-number", kEpochMode, {"17e8"});
    add("password-file", kPasswordFileMode, {"0123456789abcdef\n"});
    add("password-file-short", kPasswordFileMode, {"0123456789abcde\n"});
    return seeds;
}
