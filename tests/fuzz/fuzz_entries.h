// The fuzz entries: each takes one input and runs it through its area of
// the tool, and each names the seeds of its corpus (tests/fuzz/corpus/NAME).
// The libFuzzer targets call them from LLVMFuzzerTestOneInput; the corpus
// replay test calls them on every committed input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"

// The verification routines over keymax chains, stage blocks and self-test
// matrices, the records' decoders, the key file loader and the audit
// (verify_fuzz.cpp).
int fuzz_verify(const std::uint8_t* data, std::size_t size);
std::vector<FuzzSeed> verify_fuzz_seeds();

// Every record decoder of the formats layer, on its own template or raw
// bytes (records_fuzz.cpp).
int fuzz_records(const std::uint8_t* data, std::size_t size);
std::vector<FuzzSeed> records_fuzz_seeds();

// Key material: PEM keys (private and public, plain and encrypted), the
// three key file forms and zud_user_key files, PKCS#11 URIs, passphrase
// and PIN files (keys_fuzz.cpp).
int fuzz_keys(const std::uint8_t* data, std::size_t size);
std::vector<FuzzSeed> keys_fuzz_seeds();

// Command lines of every command, SOURCE_DATE_EPOCH and the password file
// of --mkpsd (command_line_fuzz.cpp).
int fuzz_command_line(const std::uint8_t* data, std::size_t size);
std::vector<FuzzSeed> command_line_fuzz_seeds();

// The audit of whole files (encrypted ones with the real AES key), its
// readers of option files, and the text and JSON reports (audit_fuzz.cpp).
int fuzz_audit(const std::uint8_t* data, std::size_t size);
std::vector<FuzzSeed> audit_fuzz_seeds();

// The entries by corpus name, for the replay test and the seed writer.
struct FuzzEntry {
    const char* name;  // the corpus directory and the libFuzzer target's stem
    int (*run)(const std::uint8_t* data, std::size_t size);
    std::vector<FuzzSeed> (*seeds)();
};
inline constexpr FuzzEntry kFuzzEntries[] = {
    {"verify", fuzz_verify, verify_fuzz_seeds},
    {"records", fuzz_records, records_fuzz_seeds},
    {"keys", fuzz_keys, keys_fuzz_seeds},
    {"command_line", fuzz_command_line, command_line_fuzz_seeds},
    {"audit", fuzz_audit, audit_fuzz_seeds},
};
