// The audit report as text and as JSON.
#include <nlohmann/json.hpp>

#include "audit.h"
#include "audit_set.h"
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
        std::fprintf(out, "%s%s:\n", zud_printable_text(s.title).c_str(), where(s.offset).c_str());
        for (const zud_field& f : s.fields) {
            std::fprintf(out, "  %-32s %s\n", zud_printable_text(f.key).c_str(), value_text(f).c_str());
        }
    }
}

}  // namespace

std::string zud_verdict_text(const zud_report& r) {
    if (!r.error.empty()) return "not examined: " + zud_printable_text(r.error);
    const zud_check* problem = r.first_problem();
    if (problem == nullptr) return r.anchor.empty() ? "verified against no root" : "verified";
    return std::string(problem->state == zud_check_state::kFailed ? "FAILED" : "NOT FULLY CHECKED") + ": " +
           zud_printable_text(problem->what) + where(problem->offset) + ": " + zud_printable_text(problem->detail);
}

void zud_print_report(const zud_report& r, bool checks, std::FILE* out) {
    if (!r.error.empty()) return;
    std::fprintf(out, "%s: %s (%llu bytes)\n", zud_printable_text(r.path).c_str(), zud_printable_text(r.kind).c_str(),
                 static_cast<unsigned long long>(r.size));
    if (!checks) {
        print_sections(r, out);
        return;
    }
    for (const zud_check& c : r.checks) {
        const bool passed = c.state == zud_check_state::kPassed;
        std::fprintf(out, "  %-4s  %s%s%s%s%s\n", state_word(c.state), zud_printable_text(c.what).c_str(),
                     where(c.offset).c_str(), signer_text(c).c_str(), c.detail.empty() || passed ? "" : ": ",
                     passed ? "" : zud_printable_text(c.detail).c_str());
    }
    for (const zud_section& s : r.sections) {
        for (const zud_field& f : s.fields) {
            if (f.key == "root_key_digest") std::fprintf(out, "  root key digest %s\n", value_text(f).c_str());
        }
    }
    std::fprintf(out, "%s: %s\n", zud_printable_text(r.path).c_str(), zud_verdict_text(r).c_str());
}

namespace {

using Json = nlohmann::ordered_json;

// Every string that goes into the JSON passes through zud_printable_text,
// so the writer only ever meets valid UTF-8 and never throws on it.
Json text_json(const std::string& raw) { return zud_printable_text(raw); }

Json optional_json(const std::optional<std::uint64_t>& v) { return v ? Json(*v) : Json(nullptr); }

Json optional_text_json(const std::string& raw) { return raw.empty() ? Json(nullptr) : text_json(raw); }

Json section_json(const zud_section& s) {
    Json one;
    one["id"] = text_json(s.id);
    one["title"] = text_json(s.title);
    one["offset"] = optional_json(s.offset);
    // Built apart and then moved in: a reference into an ordered_json
    // object does not survive the next key added to it.
    Json fields = Json::object();
    Json notes = Json::object();
    for (const zud_field& f : s.fields) {
        const std::string key = zud_printable_text(f.key);
        fields[key] = value_json(f);
        if (f.type == zud_value_type::kNumber && !f.text.empty()) notes[key] = text_json(f.text);
    }
    one["fields"] = std::move(fields);
    one["notes"] = std::move(notes);
    return one;
}

Json signer_json(const std::optional<zud_signer>& signer) {
    if (!signer) return nullptr;
    Json s;
    s["key_digest"] = hex(signer->key_digest);
    s["bits"] = signer->bits;
    s["place"] = place_id(signer->place);
    s["index"] = signer->index == 0 ? Json(nullptr) : Json(signer->index);
    return s;
}

Json check_json(const zud_check& c) {
    Json one;
    one["id"] = text_json(c.id);
    one["text"] = text_json(c.what);
    one["result"] = state_id(c.state);
    one["offset"] = optional_json(c.offset);
    one["reason"] = c.state == zud_check_state::kPassed ? Json(nullptr) : optional_text_json(c.detail);
    one["signer"] = signer_json(c.signer);
    return one;
}

// The report as a JSON value: every key is there in every report, null
// where it has no value, so a reader never has to ask whether it is.
Json report_json(const zud_report& r, bool checks) {
    const bool examined = r.error.empty();
    Json j;
    j["schema_version"] = kZudReportSchemaVersion;
    j["command"] = checks ? "verify" : "info";
    j["file"] = text_json(r.path);
    j["error"] = optional_text_json(r.error);
    j["kind"] = optional_text_json(r.kind_id);
    j["kind_text"] = optional_text_json(r.kind);
    j["size"] = r.sized ? Json(r.size) : Json(nullptr);
    Json sections = Json::array();
    if (examined) {
        for (const zud_section& s : r.sections) sections.push_back(section_json(s));
    }
    j["sections"] = std::move(sections);
    if (!checks) return j;
    j["anchor"] = optional_text_json(r.anchor);
    Json list = Json::array();
    if (examined) {
        for (const zud_check& c : r.checks) list.push_back(check_json(c));
    }
    j["checks"] = std::move(list);
    j["verified"] = r.verified();
    j["verdict"] = zud_verdict_text(r);  // printable already
    return j;
}

}  // namespace

std::string zud_report_json(const zud_report& r, bool checks) {
    // The strings are valid UTF-8 already; the replacing handler is the
    // second line of defence, and the catch the last: what nlohmann throws
    // (only on memory exhaustion, given the above) becomes a report that
    // says so instead of an exception out of a tool that has none.
    try {
        return report_json(r, checks).dump(2, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        return std::string("{\"schema_version\": ") + std::to_string(kZudReportSchemaVersion) +
               ", \"command\": \"" + (checks ? "verify" : "info") +
               "\", \"file\": \"\", \"error\": \"the report could not be written\", \"kind\": null, "
               "\"kind_text\": null, \"size\": null, \"sections\": []" +
               (checks ? ", \"anchor\": null, \"checks\": [], \"verified\": false, "
                         "\"verdict\": \"not examined: the report could not be written\"}"
                       : "}");
    }
}

// ---------------------------------------------------------------------------
// A release set

void zud_print_set_report(const zud_set_report& set, std::FILE* out) {
    if (set.efuse_read) {
        std::fprintf(out, "eFuse pattern %s: root key digest %s, %s bootloader\n",
                     zud_printable_text(set.efuse_path).c_str(), hex(set.efuse_root).c_str(),
                     set.efuse_encrypted ? "encrypted" : "plain");
        std::fprintf(out, "keymax of the set: %s\n",
                     set.keymax_source.empty() ? "none (no file carries one)" : zud_printable_text(set.keymax_source).c_str());
    }
    for (const zud_report& r : set.artefacts) {
        if (!r.error.empty()) {
            std::fprintf(out, "%s: %s\n", zud_printable_text(r.path).c_str(), zud_verdict_text(r).c_str());
            continue;
        }
        zud_print_report(r, true, out);
    }
    for (const std::string& path : set.left_out) {
        std::fprintf(out, "left out: %s (not a file of the set)\n", zud_printable_text(path).c_str());
    }
    std::fprintf(out, "set: %s\n", zud_set_verdict_text(set).c_str());
}

std::string zud_set_report_json(const zud_set_report& set) {
    try {
        Json j;
        j["schema_version"] = kZudReportSchemaVersion;
        j["command"] = "verify-set";
        Json efuse;
        efuse["file"] = text_json(set.efuse_path);
        efuse["read"] = set.efuse_read;
        efuse["root_key_digest"] = set.efuse_read ? Json(hex(set.efuse_root)) : Json(nullptr);
        efuse["encrypted"] = set.efuse_read ? Json(set.efuse_encrypted) : Json(nullptr);
        j["efuse"] = std::move(efuse);
        j["keymax_source"] = optional_text_json(set.keymax_source);
        Json artefacts = Json::array();
        for (const zud_report& r : set.artefacts) artefacts.push_back(report_json(r, true));
        j["artefacts"] = std::move(artefacts);
        Json left = Json::array();
        for (const std::string& path : set.left_out) left.push_back(text_json(path));
        j["left_out"] = std::move(left);
        j["error"] = optional_text_json(set.error);
        j["verified"] = set.verified();
        j["verdict"] = zud_set_verdict_text(set);
        return j.dump(2, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        return std::string("{\"schema_version\": ") + std::to_string(kZudReportSchemaVersion) +
               ", \"command\": \"verify-set\", \"efuse\": {\"file\": \"\", \"read\": false, "
               "\"root_key_digest\": null, \"encrypted\": null}, \"keymax_source\": null, \"artefacts\": [], "
               "\"left_out\": [], \"error\": \"the report could not be written\", \"verified\": false, "
               "\"verdict\": \"not checked: the report could not be written\"}";
    }
}
