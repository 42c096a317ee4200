// zud_keytool's --json reports: every one, of every kind of file and of
// every way a run ends, is one JSON document that the shipped schema
// accepts, with typed values, stable check ids and bytes outside UTF-8
// escaped rather than fatal.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/artefacts.h"
#include "support/files.h"
#include "support/report_schema.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/softhsm.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

using nlohmann::json;

// A run's standard output, read strictly as one JSON document: invalid
// UTF-8 or anything after the document gives a discarded value.
json parse_report(const ProcessRun& run) { return json::parse(run.out, nullptr, /*allow_exceptions=*/false); }

// A labelled run whose output is checked against the schema.
struct Printed {
    std::string label;
    ProcessRun run;
};

void expect_schema_accepts(const std::vector<Printed>& printed) {
    std::vector<std::string> documents;
    for (const Printed& p : printed) documents.push_back(p.run.out);
    const std::vector<std::string> errors = report_schema_errors(documents);
    for (std::size_t i = 0; i < printed.size(); ++i) {
        EXPECT_EQ(errors[i], "") << printed[i].label << "\n" << printed[i].run.out;
    }
}

// What the schema says, checked once more without it: a wrong schema that
// accepts anything does not make these pass.
void expect_typed(const json& j, const std::string& command) {
    ASSERT_TRUE(j.is_object());
    EXPECT_TRUE(j["schema_version"].is_number_integer());
    EXPECT_EQ(j["command"], command);
    EXPECT_TRUE(j["size"].is_number_unsigned() || j["size"].is_null());
    static const std::regex kId("^[a-z0-9_]+$");
    static const std::regex kCheckId("^[a-z0-9_.]+$");
    for (const json& s : j["sections"]) {
        EXPECT_TRUE(std::regex_match(s["id"].get<std::string>(), kId)) << s["id"];
        for (const auto& [key, value] : s["fields"].items()) {
            EXPECT_TRUE(std::regex_match(key, kId)) << key;
            EXPECT_TRUE(value.is_string() || value.is_number_unsigned() || value.is_boolean()) << key;
        }
    }
    if (command != "verify") return;
    EXPECT_TRUE(j["verified"].is_boolean());
    for (const json& c : j["checks"]) {
        EXPECT_TRUE(std::regex_match(c["id"].get<std::string>(), kCheckId)) << c["id"];
        EXPECT_TRUE(c["offset"].is_number_unsigned() || c["offset"].is_null()) << c["id"];
    }
}

std::vector<std::string> check_ids(const json& j) {
    std::vector<std::string> ids;
    for (const json& c : j["checks"]) ids.push_back(c["id"]);
    return ids;
}

// The field `key` of the first section that has it.
json field(const json& j, const std::string& key) {
    for (const json& s : j["sections"]) {
        if (s["fields"].contains(key)) return s["fields"][key];
    }
    return nullptr;
}

class JsonReportTest : public testing::Test {
protected:
    static void SetUpTestSuite() { artefacts = new Artefacts(); }
    static void TearDownTestSuite() {
        delete artefacts;
        artefacts = nullptr;
    }
    void SetUp() override {
        if (python_with_jsonschema().empty()) {
            GTEST_SKIP() << "no python3 with jsonschema: install python3-jsonschema (scripts/deps.sh does)";
        }
    }
    const Artefacts& a() const { return *artefacts; }
    std::string root() const { return root_digest_of(a().keys.keymax); }

    static ProcessRun keytool(std::vector<std::string> args) {
        args.insert(args.begin(), keytool_path());
        return run_process(args);
    }
    // verify --json of `path`, made as `name`, anchored to the test root.
    ProcessRun verify(const std::string& path, const std::string& name) const {
        std::vector<std::string> args{"verify", "--json", path, "--expect-root", root()};
        const auto more = a().options_for(name);
        args.insert(args.end(), more.begin(), more.end());
        return keytool(args);
    }
    ProcessRun info(const std::string& path, const std::string& name, bool json_output = true) const {
        std::vector<std::string> args{"info", path};
        if (json_output) args.push_back("--json");
        const auto more = a().options_for(name);
        args.insert(args.end(), more.begin(), more.end());
        return keytool(args);
    }
    // A copy of artefact `name` with byte `at` flipped.
    std::string damaged(const std::string& name, std::size_t at) const {
        Bytes bytes = read_file(a().file(name));
        bytes.at(at) ^= 0x20;
        const std::string path = scratch.file(name);
        write_file(path, bytes);
        return path;
    }

    static Artefacts* artefacts;
    TempDir scratch;
};

Artefacts* JsonReportTest::artefacts = nullptr;

TEST_F(JsonReportTest, EveryArtefactsVerifyAndInfoFollowTheSchema) {
    std::vector<Printed> printed;
    for (const std::string& name : Artefacts::names()) {
        SCOPED_TRACE(name);
        const ProcessRun checked = verify(a().file(name), name);
        const ProcessRun shown = info(a().file(name), name);
        EXPECT_EQ(checked.exit_status, 0) << checked.err;
        EXPECT_EQ(shown.exit_status, 0) << shown.err;
        const json v = parse_report(checked);
        const json i = parse_report(shown);
        expect_typed(v, "verify");
        expect_typed(i, "info");
        EXPECT_EQ(v["verified"], true);
        EXPECT_EQ(v["verdict"], "verified");
        EXPECT_EQ(v["anchor"], "the expected root key digest");
        EXPECT_EQ(v["size"], size_of(a().file(name)));
        EXPECT_EQ(i["kind"], v["kind"]);
        EXPECT_FALSE(v["checks"].empty());
        EXPECT_FALSE(i["sections"].empty());
        EXPECT_FALSE(i.contains("checks"));
        printed.push_back({"verify " + name, checked});
        printed.push_back({"info " + name, shown});
    }
    expect_schema_accepts(printed);
}

TEST_F(JsonReportTest, SignersNameTheirPlaceInTheKeymax) {
    const std::string user1 = to_hex(key_digest_of(test_key(2048, 1)));
    const std::string root_key = to_hex(key_digest_of(test_key(2048, 0)));
    const struct {
        const char* name;
        const char* check;
        const std::string& key;
        const char* place;
        int index;
    } cases[] = {
        {"km.bin", "keymax.signature", root_key, "root_matrix", 1},
        {"boot.plain", "fip_stage_1.signature", user1, "user_matrix", 1},
        {"user.zud", "user_key.in_keymax", user1, "user_matrix", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.check);
        const json v = parse_report(verify(a().file(c.name), c.name));
        const auto found = std::find_if(v["checks"].begin(), v["checks"].end(),
                                        [&](const json& check) { return check["id"] == c.check; });
        ASSERT_NE(found, v["checks"].end()) << v.dump(1);
        const json& signer = (*found)["signer"];
        EXPECT_EQ(signer["key_digest"], c.key);
        EXPECT_EQ(signer["bits"], 2048);
        EXPECT_EQ(signer["place"], c.place);
        EXPECT_EQ(signer["index"], c.index);
    }
}

TEST_F(JsonReportTest, AFailedCheckKeepsItsIdAndTheChecksBeforeIt) {
    const struct {
        const char* name;
        std::size_t at;
    } cases[] = {
        {"km.bin", 100},          {"user.zud", 4680 + 1848 + 20}, {"boot.plain", 65536 + 2000},
        {"boot.pkg", 65536 + 50000}, {"boot.enc", 65536 + 30000}, {"kernel.signed", 1024 + 8},
        {"kernel.pkg", 2048 + 4000}, {"upgrade.bin", 77},          {"unlock.bin", 700},
    };
    std::vector<Printed> printed;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.at));
        const json passing = parse_report(verify(a().file(c.name), c.name));
        const ProcessRun run = verify(damaged(c.name, c.at), c.name);
        EXPECT_EQ(run.exit_status, 1) << run.err;
        const json failing = parse_report(run);
        expect_typed(failing, "verify");
        EXPECT_EQ(failing["verified"], false);
        EXPECT_EQ(failing["error"], nullptr);
        EXPECT_EQ(failing["verdict"].get<std::string>().rfind("FAILED: ", 0), 0u) << failing["verdict"];
        const std::vector<std::string> before = check_ids(passing);
        const std::vector<std::string> after = check_ids(failing);
        const auto first = std::find_if(failing["checks"].begin(), failing["checks"].end(),
                                        [](const json& check) { return check["result"] != "pass"; });
        ASSERT_NE(first, failing["checks"].end());
        EXPECT_EQ((*first)["result"], "fail");
        EXPECT_TRUE((*first)["reason"].is_string());
        // The checks before it are the passing run's first ones; the failed
        // one is among the passing run's under the same id (a walk may make
        // it later when the file is whole: a size check before a signature).
        const std::size_t k = static_cast<std::size_t>(first - failing["checks"].begin());
        ASSERT_LT(k, before.size());
        EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + k),
                  std::vector<std::string>(before.begin(), before.begin() + k));
        EXPECT_NE(std::find(before.begin() + k, before.end(), after[k]), before.end()) << after[k];
        printed.push_back({std::string("damaged ") + c.name, run});
    }
    expect_schema_accepts(printed);
}

TEST_F(JsonReportTest, FilesNotExaminedGiveAnErrorReport) {
    write_file(scratch.file("noise.bin"), seeded_bytes(5000, 9));
    const std::string missing = scratch.file("missing.bin");
    const std::string km = a().file("km.bin");
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* error;  // the start of the error text
    } cases[] = {
        {"verify of a missing file", {"verify", "--json", missing, "--any-root"}, "cannot open "},
        {"info of a missing file", {"info", "--json", missing}, "cannot open "},
        {"verify of an unrecognised file", {"verify", "--json", scratch.file("noise.bin"), "--any-root"}, ""},
        {"info of an unrecognised file", {"info", "--json", scratch.file("noise.bin")}, ""},
        {"verify without a trust anchor", {"verify", "--json", km}, "no trust anchor"},
        {"--chain of a missing file", {"verify", "--json", "--chain", missing}, "cannot open "},
        {"--block of a missing file", {"verify", "--json", "--block", missing}, "cannot open "},
    };
    std::vector<Printed> printed;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessRun run = keytool(c.args);
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        const json j = parse_report(run);
        const std::string command = c.args[0];
        expect_typed(j, command);
        ASSERT_TRUE(j["error"].is_string()) << run.out;
        EXPECT_EQ(j["error"].get<std::string>().rfind(c.error, 0), 0u) << j["error"];
        EXPECT_EQ(j["kind"], nullptr);
        EXPECT_EQ(j["sections"], json::array());
        if (command == "verify") {
            EXPECT_EQ(j["verified"], false);
            EXPECT_EQ(j["checks"], json::array());
            EXPECT_EQ(j["verdict"].get<std::string>().rfind("not examined: ", 0), 0u);
        }
        printed.push_back({c.what, run});
    }
    expect_schema_accepts(printed);
    // An unrecognised file was read: its size is known.
    EXPECT_EQ(parse_report(keytool({"info", "--json", scratch.file("noise.bin")}))["size"], 5000);
}

TEST_F(JsonReportTest, KeysShowAsReportsOfKindRsaKey) {
    const std::string digest = to_hex(key_digest_of(test_key(2048, 1)));
    write_pem_key(scratch.file("private.pem"), test_key(2048, 1), PemForm::kPkcs8);
    write_file(scratch.file("broken.pem"), Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', '\n'});
    SoftHsmToken token("json", "1234");
    token.import_key(test_key(2048, 1), "user", "01");
    const ProcessRun token_run = keytool({"info", "--json", token.uri("user"), "--pkcs11-module", kSoftHsmModule});
    std::vector<Printed> printed{{"token object", token_run}};
    for (const std::string& pem : {a().file("user.pub.pem"), scratch.file("private.pem")}) {
        SCOPED_TRACE(pem);
        printed.push_back({pem, keytool({"info", "--json", pem})});
        const json j = parse_report(printed.back().run);
        EXPECT_EQ(printed.back().run.exit_status, 0) << printed.back().run.err;
        expect_typed(j, "info");
        EXPECT_EQ(j["kind"], "rsa_key");
        EXPECT_EQ(j["size"], size_of(pem));
        EXPECT_EQ(field(j, "modulus_bits"), 2048);
        EXPECT_EQ(field(j, "public_exponent"), 65537);
        EXPECT_EQ(field(j, "key_digest"), digest);
    }
    EXPECT_EQ(token_run.exit_status, 0) << token_run.err;
    const json t = parse_report(token_run);
    EXPECT_EQ(t["kind"], "rsa_key");
    EXPECT_EQ(t["size"], nullptr);  // no file
    EXPECT_EQ(field(t, "key_digest"), digest);

    printed.push_back({"broken PEM", keytool({"info", "--json", scratch.file("broken.pem")})});
    EXPECT_EQ(printed.back().run.exit_status, 1);
    EXPECT_TRUE(parse_report(printed.back().run)["error"].is_string()) << printed.back().run.out;
    expect_schema_accepts(printed);
}

// `bytes` as zud_printable_text writes bytes that are no UTF-8: \xNN each.
std::string escaped(const Bytes& bytes) {
    std::string s;
    for (const std::uint8_t b : bytes) {
        static const char digits[] = "0123456789abcdef";
        s += "\\x";
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

TEST_F(JsonReportTest, BytesOutsideUtf8AreEscapedInValidJson) {
    // A keymax whose signing key timestamp (592 + 32) and key tags hold
    // bytes that are no UTF-8: lone continuation bytes, leads without
    // their continuation, a surrogate, a value above U+10FFFF, a control.
    Bytes km = read_file(a().keys.keymax);
    Bytes stamp;
    for (std::size_t i = 0; i < 16; ++i) stamp.push_back(static_cast<std::uint8_t>(0x80 + 8 * i));
    stamp[0] = 0xFF;
    std::copy(stamp.begin(), stamp.end(), km.begin() + 624);
    const Bytes tag = {0xC3, 0x28, 0xE2, 0x82};
    std::copy(tag.begin(), tag.end(), km.begin() + 592 + 12);
    const Bytes surrogate = {0xED, 0xA0, 0x80, 0x01};
    std::copy(surrogate.begin(), surrogate.end(), km.begin() + 1848 + 16 + 12);
    const Bytes too_high = {0xF4, 0x90, 0x80, 0x80};
    std::copy(too_high.begin(), too_high.end(), km.begin() + 2056 + 16 + 48 + 12);
    const std::string odd_km = scratch.file("km.bin");
    write_file(odd_km, km);
    // A customer ID with bytes that are no UTF-8, one that is (é) and a
    // backslash, under a file name with a byte that is no UTF-8 and a
    // control character.
    const std::string id = "\xff\xfe\xc3\xa9" "A\\";
    const std::string customer = scratch.file("cust\xff\x01.bin");
    ASSERT_EQ(run_tool({"--mkcusid", "--customerid", id, "--output", customer}).result, 0);

    const std::vector<Printed> printed = {
        {"info keymax", keytool({"info", "--json", odd_km})},
        {"verify keymax", keytool({"verify", "--json", odd_km, "--any-root"})},
        {"info customer", keytool({"info", "--json", customer})},
        {"verify customer", keytool({"verify", "--json", customer, "--any-root"})},
    };
    for (const Printed& p : printed) {
        SCOPED_TRACE(p.label);
        ASSERT_FALSE(parse_report(p.run).is_discarded()) << p.run.out;
    }
    const json shown = parse_report(printed[0].run);
    EXPECT_EQ(field(shown, "signing_key_timestamp"), escaped(stamp));
    EXPECT_EQ(field(shown, "signing_key_tag"), "\\xc3(\\xe2\\x82");
    EXPECT_EQ(shown["sections"][1]["fields"]["entry_1_key_tag"], escaped(surrogate));
    EXPECT_EQ(shown["sections"][2]["fields"]["entry_2_key_tag"], escaped(too_high));
    EXPECT_EQ(parse_report(printed[1].run)["verified"], false);

    const json checked = parse_report(printed[3].run);
    EXPECT_EQ(printed[3].run.exit_status, 0) << printed[3].run.err;
    EXPECT_EQ(checked["verdict"], "verified against no root");
    EXPECT_EQ(checked["anchor"], nullptr);
    EXPECT_EQ(field(checked, "customer_id"), "\\xff\\xfe\xc3\xa9" "A\\\\");
    EXPECT_EQ(checked["file"], scratch.file("cust") + "\\xff\\x01.bin");
    expect_schema_accepts(printed);
}

TEST_F(JsonReportTest, ChainAndBlockPrintOnlyTheirReportWithJson) {
    // The first 49152 bytes of a signed bootloader: a keymax chain. Its
    // first stage block, stored where its table entry says.
    const Bytes boot = read_file(a().file("boot.plain"));
    write_file(scratch.file("chain.bin"), slice(boot, 0, 49152));
    const std::size_t entry = 49152 + 16;
    const Bytes stage = slice(boot, 49152 + le32_at(boot, entry + 16), le32_at(boot, entry + 24));
    write_file(scratch.file("stage.bin"), stage);
    Bytes bad_stage = stage;
    bad_stage.at(2000) ^= 1;
    write_file(scratch.file("bad-stage.bin"), bad_stage);
    const std::string other(64, 'a');
    const std::string user1 = to_hex(key_digest_of(test_key(2048, 1)));
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* kind;
        const char* check;
        bool verified;
    } cases[] = {
        {"chain", {"--chain", scratch.file("chain.bin"), "--root-digests", root()}, "keymax_chain", "keymax_chain", true},
        {"chain, other root", {"--chain", scratch.file("chain.bin"), "--root-digests", other}, "keymax_chain",
         "keymax_chain", false},
        {"block", {"--block", scratch.file("stage.bin")}, "signed_block", "signed_block", true},
        {"block, damaged", {"--block", scratch.file("bad-stage.bin")}, "signed_block", "signed_block", false},
        {"the block as FILE", {scratch.file("stage.bin"), "--any-root"}, "signed_block", "signed_block", true},
    };
    std::vector<Printed> printed;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"verify", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessRun run = keytool(args);
        EXPECT_EQ(run.exit_status, c.verified ? 0 : 1) << run.err;
        const json j = parse_report(run);  // discarded if any text line came with it
        ASSERT_FALSE(j.is_discarded()) << run.out;
        expect_typed(j, "verify");
        EXPECT_EQ(j["kind"], c.kind);
        EXPECT_EQ(j["verified"], c.verified);
        EXPECT_EQ(check_ids(j), std::vector<std::string>{c.check});
        EXPECT_EQ(j["checks"][0]["result"], c.verified ? "pass" : "fail");
        printed.push_back({c.what, run});
    }
    const json chain = parse_report(printed[0].run);
    EXPECT_EQ(field(chain, "root_key_digest"), root());
    EXPECT_EQ(field(chain, "payload_offset"), 4096);
    EXPECT_EQ(chain["anchor"], "the root digests given");
    const json block = parse_report(printed[2].run);
    EXPECT_EQ(block["anchor"], nullptr);
    EXPECT_EQ(block["verdict"], "verified against no root");
    EXPECT_EQ(block["checks"][0]["signer"]["key_digest"], user1);
    EXPECT_EQ(block["checks"][0]["signer"]["place"], "unknown");
    EXPECT_EQ(block["checks"][0]["signer"]["index"], nullptr);
    expect_schema_accepts(printed);
}

// The text of info: per section, its heading and how many field lines
// follow it.
std::vector<std::pair<std::string, std::size_t>> text_sections(const std::string& out) {
    std::vector<std::pair<std::string, std::size_t>> sections;
    std::size_t start = out.find('\n') + 1;  // past the line naming the kind
    while (start < out.size()) {
        const std::size_t end = out.find('\n', start);
        const std::string line = out.substr(start, end - start);
        if (line.rfind("  ", 0) == 0 && !sections.empty()) ++sections.back().second;
        else sections.emplace_back(line, 0);
        start = end + 1;
    }
    return sections;
}

TEST_F(JsonReportTest, TextAndJsonCarryTheSameRecords) {
    static const std::regex kDigits("^[0-9]+$");
    for (const std::string& name : Artefacts::names()) {
        SCOPED_TRACE(name);
        const json j = parse_report(info(a().file(name), name));
        const auto text = text_sections(info(a().file(name), name, /*json_output=*/false).out);
        // Same sections, and no field lost to a key used twice in one.
        ASSERT_EQ(text.size(), j["sections"].size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            const json& s = j["sections"][i];
            const std::string at = s["offset"].is_null() ? "" : " (at " + std::to_string(s["offset"].get<std::uint64_t>()) + ")";
            EXPECT_EQ(text[i].first, s["title"].get<std::string>() + at + ":");
            EXPECT_EQ(text[i].second, s["fields"].size()) << s["id"];
            // A count is a number, not digits in a string; a time stamp
            // is text.
            for (const auto& [key, value] : s["fields"].items()) {
                if (value.is_string() && key.find("timestamp") == std::string::npos) {
                    EXPECT_FALSE(std::regex_match(value.get<std::string>(), kDigits)) << key << " " << value;
                }
            }
        }
        // One check line per check.
        std::vector<std::string> args{"verify", a().file(name), "--expect-root", root()};
        const auto more = a().options_for(name);
        args.insert(args.end(), more.begin(), more.end());
        const ProcessRun checked = keytool(args);
        const json v = parse_report(verify(a().file(name), name));
        std::size_t lines = 0;
        for (const char* word : {"\n  ok    ", "\n  FAIL  ", "\n  SKIP  "}) {
            for (std::size_t at = checked.out.find(word); at != std::string::npos; at = checked.out.find(word, at + 1))
                ++lines;
        }
        EXPECT_EQ(lines, v["checks"].size()) << checked.out;
    }
}

}  // namespace
