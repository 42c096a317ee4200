// Validation of zud_keytool's JSON reports against the schema the package
// ships (share/zud_keytool/report.schema.json), with python3-jsonschema.
#pragma once

#include <string>
#include <vector>

// The schema file in the source tree.
std::string report_schema_path();

// A python3 that imports jsonschema (Debian's /usr/bin/python3 first), or
// "" when there is none.
const std::string& python_with_jsonschema();

// Checks the schema itself against its meta-schema, then each document
// (the exact bytes a run printed) against the schema: one entry per
// document, "" when it is one JSON document in UTF-8 that the schema
// accepts, else why not. One python process for all of them.
std::vector<std::string> report_schema_errors(const std::vector<std::string>& documents);
