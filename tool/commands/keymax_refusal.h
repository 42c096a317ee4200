// Refusing key material that no device would accept, for the commands that
// sign with a user key vouched for by a keymax (--bootsig, --imgsig) or
// bind one to it (--keybnd): each passes its own result numbers, and the
// refusal is one line on standard error naming the file the keymax is in.
#pragma once

#include <optional>

#include <mbedtls/rsa.h>

#include "keymax.h"

struct KeymaxResults {
    int invalid;    // the keymax does not decode, or a key matrix of it is not valid
    int signature;  // no key of its own root key matrix signed it
};

// 0 when a device takes the keymax (see check_keymax), else the matching
// number of `results`. `from` names the file that holds the keymax.
int refuse_untrusted_keymax(const std::optional<zud_keymax>& keymax, const char* from,
                            const KeymaxResults& results);

// 0 when `key`'s public half is one of the keymax's user keys, else
// `not_named`. A key that has no key digest (a modulus no key block takes)
// is left to the signing steps, which refuse it with their own result.
// `from` names the file the keymax is in, `key_path` where the key came from.
int refuse_unnamed_user_key(const zud_keymax& keymax, const char* from,
                            const mbedtls_rsa_context& key, const char* key_path, int not_named);
