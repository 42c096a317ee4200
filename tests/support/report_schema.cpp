#include "support/report_schema.h"

#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "support/run.h"
#include "support/temp_dir.h"

namespace {

// Reads each document strictly (UTF-8, one value and nothing after it) and
// prints one JSON line per document: [index, "" or the problems].
constexpr char kValidator[] = R"(
import json, sys, jsonschema
schema = json.load(open(sys.argv[1], encoding="utf-8"))
validator = jsonschema.validators.validator_for(schema)
validator.check_schema(schema)
check = validator(schema)
for index, path in enumerate(sys.argv[2:]):
    try:
        with open(path, encoding="utf-8", errors="strict") as f:
            document = json.load(f)
        problems = ["/".join(str(p) for p in e.absolute_path) + ": " + e.message
                    for e in check.iter_errors(document)]
        print(json.dumps([index, "; ".join(problems[:5])]))
    except Exception as e:
        print(json.dumps([index, "not one JSON document: " + str(e)]))
)";

}  // namespace

std::string report_schema_path() { return std::string(ZUD_SOURCE_DIR) + "/share/zud_keytool/report.schema.json"; }

const std::string& python_with_jsonschema() {
    static const std::string kFound = [] {
        for (const char* python : {"/usr/bin/python3", "python3"}) {
            if (run_process({python, "-c", "import jsonschema"}).exit_status == 0) return std::string(python);
        }
        return std::string();
    }();
    return kFound;
}

std::vector<std::string> report_schema_errors(const std::vector<std::string>& documents) {
    TempDir dir;
    std::vector<std::string> args{python_with_jsonschema(), "-c", kValidator, report_schema_path()};
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const std::string path = dir.file("report" + std::to_string(i) + ".json");
        std::ofstream(path, std::ios::binary) << documents[i];
        args.push_back(path);
    }
    const ProcessRun run = run_process(args);
    if (run.exit_status != 0) throw std::runtime_error("the schema check did not run: " + run.err);
    std::vector<std::string> errors(documents.size(), "not checked");
    std::size_t start = 0;
    while (start < run.out.size()) {
        const std::size_t end = run.out.find('\n', start);
        const auto line = nlohmann::json::parse(run.out.substr(start, end - start));
        errors.at(line.at(0).get<std::size_t>()) = line.at(1).get<std::string>();
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return errors;
}
