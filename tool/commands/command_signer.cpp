#include "command_signer.h"

#include <sys/stat.h>

#include <cstdio>

int CommandSigner::open(const char* const* o, const char*& key_value, const char* key_option, int argc,
                        char** argv, const std::vector<const char*>& inputs, int refused) {
    const SignerOptions options{o[0], o[1], o[2], o[3], o[4], o[5]};
    if (!options.any()) return 0;
    if (key_value != nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s names a private key and --signer-key the key a "
                             "signer holds; give one of them\n", key_option);
        return refused;
    }
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
    std::vector<const char*> candidates = inputs;
    candidates.push_back(options.signer_key);
    std::vector<std::string> files;
    for (const char* path : candidates) {
        struct stat st {};
        if (path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode)) files.emplace_back(path);
    }
    std::string reason;
    signer_ = ExternalSigner::open(options, std::move(words), std::move(files), reason);
    if (!signer_) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", reason.c_str());
        return refused;
    }
    key_value = options.signer_key;
    return 0;
}

int CommandSigner::finish(int result, int failed) {
    if (!signer_ || result != 0) return result;
    std::string summary;
    std::string reason;
    if (!signer_->finish(summary, reason)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", reason.c_str());
        return failed;
    }
    if (!summary.empty()) std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", summary.c_str());
    return 0;
}
