#include "cli.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char kProgram[] = "zud_encrypt_tqrr";

// Edit distance in which swapping two neighbouring letters is one edit, so
// that "--optoin" is one away from "--option".
std::size_t edit_distance(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
    for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[n][m];
}

// "--input, --output, ..." for a reason that has no near option to offer.
std::string option_list(const option* options) {
    std::string list;
    for (const option* o = options; o->name != nullptr; ++o) {
        if (!list.empty()) list += ", ";
        list += "--";
        list += o->name;
    }
    return list;
}

std::string shown(std::string_view text) { return std::string(text); }

struct Reader {
    const CommandSyntax& syntax;
    int argc;
    char** argv;
    std::span<const char*> slots;
    CommandLine line;

    bool refuse(const std::string& reason) {
        std::fprintf(stderr, "%s: %s; nothing was done (%s --%s --help lists its options)\n",
                     kProgram, reason.c_str(), kProgram, syntax.name);
        line.outcome = CommandLine::Outcome::kRefused;
        return false;
    }

    bool refuse_unknown(std::string_view name) {
        std::string reason = "unknown option --" + shown(name) + " for --" + syntax.name;
        const char* near = nearest_option(syntax.options, name.data(), name.size());
        if (near != nullptr) {
            reason += "; did you mean --" + shown(near) + "?";
        } else if (syntax.options[0].name != nullptr) {
            reason += " (its options: " + option_list(syntax.options) + ")";
        } else {
            reason += " (it takes no options)";
        }
        return refuse(reason);
    }

    // The option `name` selects: its full name, or a leading part of one
    // name only. -1 when it selects none (refused).
    int find(std::string_view name) {
        int found = -1;
        std::string candidates;
        int matches = 0;
        for (int i = 0; syntax.options[i].name != nullptr; ++i) {
            const std::string_view candidate = syntax.options[i].name;
            if (candidate == name) return i;
            if (!name.empty() && candidate.starts_with(name)) {
                found = i;
                ++matches;
                candidates += (candidates.empty() ? "--" : ", --") + shown(candidate);
            }
        }
        if (matches == 1) return found;
        if (matches > 1) {
            refuse("ambiguous option --" + shown(name) + " for --" + syntax.name + ": it could be " +
                   candidates);
        } else {
            refuse_unknown(name);
        }
        return -1;
    }

    bool take_operand(const char* word) {
        if (syntax.operand != nullptr && line.operand == nullptr) {
            line.operand = word;
            return true;
        }
        if (syntax.operand != nullptr) {
            return refuse("unexpected argument '" + shown(word) + "' for --" + syntax.name +
                          ": it takes one " + syntax.operand);
        }
        return refuse("unexpected argument '" + shown(word) + "' for --" + syntax.name +
                      ": every value follows its option (--name value or --name=value)");
    }

    // Reads the option word at argv[i]; advances i past its value.
    bool take_option(int& i) {
        const std::string_view word = argv[i] + 2;
        const std::size_t equals = word.find('=');
        const std::string_view name = word.substr(0, equals);
        const int index = find(name);
        if (index < 0) return false;
        const option& o = syntax.options[index];
        const char* value = nullptr;
        if (o.has_arg == no_argument) {
            if (equals != std::string_view::npos)
                return refuse("option --" + shown(o.name) + " of --" + syntax.name + " takes no value");
        } else if (equals != std::string_view::npos) {
            value = argv[i] + 2 + equals + 1;
        } else if (i + 1 < argc && !(argv[i + 1][0] == '-' && argv[i + 1][1] == '-' &&
                                     argv[i + 1][2] != '\0')) {
            value = argv[++i];
        } else {
            return refuse("option --" + shown(o.name) + " of --" + syntax.name +
                          " needs a value (--" + o.name + " VALUE or --" + o.name + "=VALUE)");
        }
        if (static_cast<std::size_t>(index) < slots.size()) slots[static_cast<std::size_t>(index)] = value;
        ++line.given;
        return true;
    }

    // "--help" anywhere among the options asks for the usage, whatever
    // else the line holds (a word starting with "--" is never a value).
    bool asks_for_help() const {
        for (int i = 2; i < argc; ++i) {
            const std::string_view word = argv[i];
            if (word == "--") return false;
            if (word == "--help") return true;
        }
        return false;
    }

    void read() {
        if (asks_for_help()) {
            line.outcome = CommandLine::Outcome::kHelp;
            return;
        }
        bool options_end = false;
        for (int i = 2; i < argc; ++i) {
            const char* word = argv[i];
            bool ok = true;
            if (options_end) {
                ok = take_operand(word);
            } else if (std::string_view(word) == "--") {
                options_end = true;
            } else if (word[0] == '-' && word[1] == '-') {
                ok = take_option(i);
            } else if (word[0] == '-' && word[1] != '\0') {
                ok = refuse("unknown option " + shown(word) + " for --" + syntax.name +
                            ": its options are long ones (--name value)");
            } else {
                ok = take_operand(word);
            }
            if (!ok) return;
        }
    }
};

}  // namespace

const char* nearest_option(const option* options, const char* word, std::size_t length) {
    const std::string_view typed(word, length);
    const char* best = nullptr;
    std::size_t best_distance = 3;
    for (const option* o = options; o->name != nullptr; ++o) {
        const std::size_t d = edit_distance(typed, o->name);
        if (d < best_distance) {
            best = o->name;
            best_distance = d;
        }
    }
    return best;
}

CommandLine read_command_line(const CommandSyntax& syntax, int argc, char** argv,
                              std::span<const char*> slots) {
    Reader reader{syntax, argc, argv, slots, {}};
    reader.read();
    if (reader.line.outcome == CommandLine::Outcome::kHelp) {
        print_command_usage(syntax, stdout);
        std::fflush(stdout);
    }
    return reader.line;
}

void print_command_usage(const CommandSyntax& syntax, std::FILE* out) {
    std::fprintf(out, "usage: %s --%s", kProgram, syntax.name);
    std::fputs(syntax.usage, out);
    if (!syntax.results.empty()) std::fputs("\nresults (exit status: see man zud_encrypt_tqrr):\n", out);
    for (const zud_result_info& r : syntax.results) std::fprintf(out, "  %6d  %s\n", r.number, r.meaning);
}
