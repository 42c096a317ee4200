// A SoftHSM2 token in a temporary directory, for the PKCS#11 tests: its own
// softhsm2.conf (named by SOFTHSM2_CONF for this process and the tools it
// starts), one initialised token, and keys imported with softhsm2-util.
// A machine without SoftHSM2 fails these tests instead of skipping them.
#pragma once

#include <string>

#include <mbedtls/rsa.h>

#include "support/temp_dir.h"

inline constexpr char kSoftHsmModule[] = "/usr/lib/softhsm/libsofthsm2.so";

class SoftHsmToken {
public:
    // Initialises token `label` with user PIN `pin`; throws when SoftHSM2
    // is missing or refuses.
    SoftHsmToken(const std::string& label, const std::string& pin);
    ~SoftHsmToken();
    SoftHsmToken(const SoftHsmToken&) = delete;
    SoftHsmToken& operator=(const SoftHsmToken&) = delete;

    // Imports `key` (private and public key objects) under `object` and the
    // id given in hex.
    void import_key(const mbedtls_rsa_context& key, const std::string& object,
                    const std::string& id_hex);

    // "pkcs11:token=LABEL;object=OBJECT".
    std::string uri(const std::string& object) const;

private:
    TempDir dir_;
    std::string label_;
    std::string pin_;
};
