// Checking a keymax as the boot ROM does, for the commands that take one
// (their preconditions) and for the audit: both key matrices valid by the
// matrix rule, and the keymax block signed by a key of its own root key
// matrix.
#pragma once

#include <cstddef>
#include <optional>

#include "bytes.h"
#include "key_matrix.h"
#include "keymax.h"
#include "result.h"

struct zud_keymax_verdict {
    const char* root_matrix = nullptr;  // why the root key matrix is refused, or nullptr
    const char* user_matrix = nullptr;  // why the user key matrix is refused, or nullptr
    zud_result signature;               // the block's signature by a key of the root matrix
    std::optional<std::size_t> root_signer;  // which root key signed it (0 based), when it did

    bool ok() const { return root_matrix == nullptr && user_matrix == nullptr && signature.ok(); }
};

zud_keymax_verdict check_keymax(const zud_keymax& keymax);

// The entry of `matrix` that names the key the signed block `block` carries
// (0 based), or nullopt when it carries none or the matrix does not name it.
std::optional<std::size_t> signer_entry(const zud_key_matrix& matrix, ConstBytes block);
