// The options with which a signing command signs through a key that lives
// elsewhere (external_signer.h), and their part of a command's run.
//
// A command appends the six signer options to its option table (after its
// own, so its slot numbers stay), in this order: --signer, --signer-key,
// --signer-form, --signer-timeout, --export-requests, --import-signatures;
// and, once its command line is read:
//
//   CommandSigner signer;
//   if (const int r = signer.open(signer_slots, slots[kSlotUserKey], "--userkey",
//                                 argc, argv, {inputs...}, kRefused); r != 0) return r;
//   source.external = signer.get();   // every key opened from the source asks it
//   ...
//   return signer.finish(result, kFailed);
#pragma once

#include <getopt.h>

#include <memory>
#include <string>
#include <vector>

#include "external_signer.h"

inline constexpr std::size_t kSignerOptionCount = 6;

// True when any of the six signer option values at `options` is given.
inline bool any_signer_option(const char* const* options) {
    for (std::size_t i = 0; i < kSignerOptionCount; ++i) {
        if (options[i] != nullptr) return true;
    }
    return false;
}

class CommandSigner {
public:
    // Reads the six option values at `options`. None given: 0, and the run
    // signs with its key as always. Else the key option (`key_value`, named
    // `key_option`) must be absent, and becomes the --signer-key value;
    // `inputs` are the files the run reads (nulls and names that are no
    // regular file are left out). Returns 0, or `refused` after one line on
    // standard error.
    int open(const char* const* options, const char*& key_value, const char* key_option, int argc,
             char** argv, const std::vector<const char*>& inputs, int refused);

    ExternalSigner* get() const { return signer_.get(); }
    bool exporting() const { return signer_ && signer_->mode() == ExternalSigner::Mode::kExport; }

    // Ends the run: `result` as it is when it failed or no signer was
    // used; else the requests of an export are written (its summary on
    // standard error), and `failed` is returned when that fails.
    int finish(int result, int failed);

private:
    std::unique_ptr<ExternalSigner> signer_;
};
