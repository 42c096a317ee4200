// The audit report as text and as JSON.
#include <nlohmann/json.hpp>

#include "audit.h"
#include "audit_walk.h"

namespace {

using audit_walk::hex;

const char* state_word(zud_check_state state) {
    switch (state) {
        case zud_check_state::kPassed: return "ok";
        case zud_check_state::kFailed: return "FAIL";
        case zud_check_state::kNotChecked: return "SKIP";
    }
    return "?";
}

const char* state_id(zud_check_state state) {
    switch (state) {
        case zud_check_state::kPassed: return "pass";
        case zud_check_state::kFailed: return "fail";
        case zud_check_state::kNotChecked: return "skip";
    }
    return "?";
}

const char* place_id(zud_key_place place) {
    switch (place) {
        case zud_key_place::kRootMatrix: return "root_matrix";
        case zud_key_place::kUserMatrix: return "user_matrix";
        case zud_key_place::kBuiltin: return "builtin";
        case zud_key_place::kUnknown: break;
    }
    return "unknown";
}

std::string where(const std::optional<std::uint64_t>& offset) {
    if (!offset) return "";
    return " (at " + std::to_string(*offset) + ")";
}

// Length of the UTF-8 sequence that starts `s` at `at`, or 0 when the bytes
// there are not one (overlong forms, surrogates and values above U+10FFFF
// included).
std::size_t utf8_length(const std::string& s, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = byte(at);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned min = 0;
    unsigned value = 0;
    if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80, value = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800, value = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000, value = c & 0x07;
    else return 0;
    if (s.size() - at < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

// Text as it may be shown or put in JSON: valid UTF-8 stays, a control
// character or a byte that is not part of a UTF-8 sequence is written as
// \xNN, so a hostile field can neither break the JSON nor drive a terminal.
std::string zud_printable_text(const std::string& raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t n = utf8_length(raw, i);
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
            continue;
        }
        if (n == 0 || (n == 1 && (c < 0x20 || c == 0x7F))) {
            static const char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
            ++i;
            continue;
        }
        out.append(raw, i, n);
        i += n;
    }
    return out;
}

namespace {

std::string value_text(const zud_field& f) {
    switch (f.type) {
        case zud_value_type::kText: return zud_printable_text(f.text);
        case zud_value_type::kNumber:
            return std::to_string(f.number) + (f.text.empty() ? "" : " (" + zud_printable_text(f.text) + ")");
        case zud_value_type::kFlag: return f.flag ? "yes" : "no";
        case zud_value_type::kHex: return hex(f.bytes);
    }
    return "";
}

nlohmann::ordered_json value_json(const zud_field& f) {
    switch (f.type) {
        case zud_value_type::kText: return zud_printable_text(f.text);
        case zud_value_type::kNumber: return f.number;
        case zud_value_type::kFlag: return f.flag;
        case zud_value_type::kHex: return hex(f.bytes);
    }
    return nullptr;
}

std::string signer_text(const zud_check& c) {
    if (!c.signer) return "";
    std::string s = ", key " + hex(c.signer->key_digest);
    const std::string place = audit_walk::place_words(*c.signer);
    if (!place.empty()) s += " (" + place + ")";
    return s;
}

void print_sections(const zud_report& r, std::FILE* out) {
    for (const zud_section& s : r.sections) {
        std::fprintf(out, "%s%s:\n", s.title.c_str(), where(s.offset).c_str());
        for (const zud_field& f : s.fields) {
            std::fprintf(out, "  %-32s %s\n", f.key.c_str(), value_text(f).c_str());
        }
    }
}

}  // namespace

std::string zud_verdict_text(const zud_report& r) {
    if (!r.error.empty()) return "not examined: " + r.error;
    const zud_check* problem = r.first_problem();
    if (problem == nullptr) return r.anchor.empty() ? "verified against no root" : "verified";
    return std::string(problem->state == zud_check_state::kFailed ? "FAILED" : "NOT FULLY CHECKED") + ": " +
           problem->what + where(problem->offset) + ": " + zud_printable_text(problem->detail);
}

void zud_print_report(const zud_report& r, bool checks, std::FILE* out) {
    if (!r.error.empty()) return;
    std::fprintf(out, "%s: %s (%llu bytes)\n", zud_printable_text(r.path).c_str(), r.kind.c_str(),
                 static_cast<unsigned long long>(r.size));
    if (!checks) {
        print_sections(r, out);
        return;
    }
    for (const zud_check& c : r.checks) {
        const bool passed = c.state == zud_check_state::kPassed;
        std::fprintf(out, "  %-4s  %s%s%s%s%s\n", state_word(c.state), c.what.c_str(), where(c.offset).c_str(),
                     signer_text(c).c_str(), c.detail.empty() || passed ? "" : ": ",
                     passed ? "" : zud_printable_text(c.detail).c_str());
    }
    for (const zud_section& s : r.sections) {
        for (const zud_field& f : s.fields) {
            if (f.key == "root_key_digest") std::fprintf(out, "  root key digest %s\n", value_text(f).c_str());
        }
    }
    std::fprintf(out, "%s: %s\n", zud_printable_text(r.path).c_str(), zud_verdict_text(r).c_str());
}

std::string zud_report_json(const zud_report& r, bool checks) {
    nlohmann::ordered_json j;
    j["schema_version"] = kZudReportSchemaVersion;
    j["command"] = checks ? "verify" : "info";
    j["file"] = zud_printable_text(r.path);
    if (!r.error.empty()) {
        j["error"] = zud_printable_text(r.error);
        if (checks) j["verified"] = false;
        return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    }
    j["kind"] = r.kind_id;
    j["kind_text"] = r.kind;
    j["size"] = r.size;
    auto& sections = j["sections"] = nlohmann::ordered_json::array();
    for (const zud_section& s : r.sections) {
        nlohmann::ordered_json one;
        one["id"] = s.id;
        one["title"] = s.title;
        one["offset"] = s.offset ? nlohmann::ordered_json(*s.offset) : nlohmann::ordered_json(nullptr);
        auto& fields = one["fields"] = nlohmann::ordered_json::object();
        for (const zud_field& f : s.fields) fields[f.key] = value_json(f);
        sections.push_back(std::move(one));
    }
    if (checks) {
        j["anchor"] = r.anchor.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.anchor);
        auto& list = j["checks"] = nlohmann::ordered_json::array();
        for (const zud_check& c : r.checks) {
            nlohmann::ordered_json one;
            one["id"] = c.id;
            one["text"] = c.what;
            one["result"] = state_id(c.state);
            one["offset"] = c.offset ? nlohmann::ordered_json(*c.offset) : nlohmann::ordered_json(nullptr);
            one["reason"] = c.state == zud_check_state::kPassed || c.detail.empty()
                                ? nlohmann::ordered_json(nullptr)
                                : nlohmann::ordered_json(zud_printable_text(c.detail));
            if (c.signer) {
                nlohmann::ordered_json s;
                s["key_digest"] = hex(c.signer->key_digest);
                s["bits"] = c.signer->bits;
                s["place"] = place_id(c.signer->place);
                s["index"] = c.signer->index == 0 ? nlohmann::ordered_json(nullptr)
                                                   : nlohmann::ordered_json(c.signer->index);
                one["signer"] = std::move(s);
            } else {
                one["signer"] = nullptr;
            }
            list.push_back(std::move(one));
        }
        j["verified"] = r.verified();
        j["verdict"] = zud_verdict_text(r);
    }
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
