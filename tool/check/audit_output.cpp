// The audit report as text and as JSON.
#include <nlohmann/json.hpp>

#include "audit.h"

namespace {

const char* state_word(zud_check_state state) {
    switch (state) {
        case zud_check_state::kPassed: return "ok";
        case zud_check_state::kFailed: return "FAIL";
        case zud_check_state::kNotChecked: return "SKIP";
    }
    return "?";
}

std::string where(const std::optional<std::uint64_t>& offset) {
    if (!offset) return "";
    char text[40];
    std::snprintf(text, sizeof text, " (at %llu)", static_cast<unsigned long long>(*offset));
    return text;
}

void print_sections(const zud_report& r, std::FILE* out) {
    for (const zud_section& s : r.sections) {
        std::fprintf(out, "%s%s:\n", s.title.c_str(), where(s.offset).c_str());
        for (const auto& [name, value] : s.fields) {
            std::fprintf(out, "  %-32s %s\n", name.c_str(), value.c_str());
        }
    }
}

}  // namespace

void zud_print_report(const zud_report& r, bool checks, std::FILE* out) {
    if (!r.error.empty()) return;
    std::fprintf(out, "%s: %s (%llu bytes)\n", r.path.c_str(), r.kind.c_str(),
                 static_cast<unsigned long long>(r.size));
    if (!checks) {
        print_sections(r, out);
        return;
    }
    for (const zud_check& c : r.checks) {
        std::fprintf(out, "  %-4s  %s%s%s%s\n", state_word(c.state), c.what.c_str(), where(c.offset).c_str(),
                     c.detail.empty() || c.state == zud_check_state::kPassed ? "" : ": ",
                     c.state == zud_check_state::kPassed ? "" : c.detail.c_str());
    }
    for (const zud_section& s : r.sections) {
        for (const auto& [name, value] : s.fields) {
            if (name == "root key digest (eFuse pattern)") std::fprintf(out, "  root key digest %s\n", value.c_str());
        }
    }
    const zud_check* problem = r.first_problem();
    if (problem == nullptr) {
        std::fprintf(out, "%s: verified\n", r.path.c_str());
    } else {
        std::fprintf(out, "%s: %s: %s%s: %s\n", r.path.c_str(),
                     problem->state == zud_check_state::kFailed ? "FAILED" : "NOT FULLY CHECKED",
                     problem->what.c_str(), where(problem->offset).c_str(), problem->detail.c_str());
    }
}

std::string zud_report_json(const zud_report& r, bool checks) {
    nlohmann::ordered_json j;
    j["file"] = r.path;
    if (!r.error.empty()) {
        j["error"] = r.error;
        return j.dump(2);
    }
    j["kind"] = r.kind;
    j["size"] = r.size;
    auto& sections = j["sections"] = nlohmann::ordered_json::array();
    for (const zud_section& s : r.sections) {
        nlohmann::ordered_json one;
        one["title"] = s.title;
        if (s.offset) one["offset"] = *s.offset;
        auto& fields = one["fields"] = nlohmann::ordered_json::object();
        for (const auto& [name, value] : s.fields) fields[name] = value;
        sections.push_back(std::move(one));
    }
    if (checks) {
        auto& list = j["checks"] = nlohmann::ordered_json::array();
        for (const zud_check& c : r.checks) {
            nlohmann::ordered_json one;
            one["check"] = c.what;
            one["result"] = c.state == zud_check_state::kPassed   ? "pass"
                            : c.state == zud_check_state::kFailed ? "fail"
                                                                  : "not checked";
            if (c.offset) one["offset"] = *c.offset;
            if (!c.detail.empty() && c.state != zud_check_state::kPassed) one["reason"] = c.detail;
            list.push_back(std::move(one));
        }
        j["verified"] = r.verified();
    }
    return j.dump(2);
}
