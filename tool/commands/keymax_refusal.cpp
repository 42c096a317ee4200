// Refusing key material that no device would accept.
#include "keymax_refusal.h"

#include <cstdio>
#include <string>

#include "key_block.h"
#include "keymax_check.h"

int refuse_untrusted_keymax(const std::optional<zud_keymax>& keymax, const char* from,
                            const KeymaxResults& results) {
    const auto verdict = keymax ? std::optional(check_keymax(*keymax)) : std::nullopt;
    if (!verdict || verdict->root_matrix != nullptr || verdict->user_matrix != nullptr) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: a key matrix of the keymax in %s is not valid (four "
                     "digest-form entries expected); sign the keymax again with --keysig\n",
                     from);
        return results.invalid;
    }
    if (!verdict->signature.ok()) {
        const std::string& why = verdict->signature.reason;
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: the keymax in %s is not signed by a key of its root key "
                     "matrix (%s); sign it again with --keysig\n",
                     from, why.empty() ? "the check fails" : why.c_str());
        return results.signature;
    }
    return 0;
}

int refuse_unnamed_user_key(const zud_keymax& keymax, const char* from,
                            const mbedtls_rsa_context& key, const char* key_path, int not_named) {
    const auto digest = public_key_digest(key);
    if (!digest || key_matrix_names(keymax.user, *digest)) return 0;
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: the key in %s is none of the keymax's user keys (the keymax "
                 "in %s), so no device would boot what it signs; give the user key the keymax "
                 "names (--ukeyN of --keysig)\n",
                 key_path, from);
    return not_named;
}
