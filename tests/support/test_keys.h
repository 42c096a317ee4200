// RSA keys for tests, made once per process from a deterministic generator,
// and this suite's own writers of the three key file forms (independent of
// the tool's code, so a loader bug cannot hide behind a shared helper).
#pragma once

#include <string>

#include <mbedtls/rsa.h>

#include "files.h"

// A key of `bits` bits (1024, 2048 or 4096), e = 65537. `index` picks one of
// several distinct keys of the same size.
const mbedtls_rsa_context& test_key(int bits, int index = 0);

// Full binary form: 4680 bytes, eight records with word counts set.
// The key digest key matrices name `key` by (SHA-256 of its key data).
Bytes public_key_digest_of(const mbedtls_rsa_context& key);

void write_full_key(const std::string& path, const mbedtls_rsa_context& key);
// Short binary form: 1920 bytes, records N, E, D.
void write_short_key(const std::string& path, const mbedtls_rsa_context& key);
// Text form: eight "NAME = HEX" lines.
void write_text_key(const std::string& path, const mbedtls_rsa_context& key);
// Public half as PEM, for the openssl command-line tool.
void write_public_pem(const std::string& path, const mbedtls_rsa_context& key);

// PEM forms of a key as the openssl tools write them: PKCS#1 ("RSA PRIVATE
// KEY"), PKCS#1 with Proc-Type/DEK-Info encryption (AES-128-CBC), PKCS#8
// ("PRIVATE KEY"), PKCS#8 encrypted with PBES2/AES-256-CBC ("ENCRYPTED
// PRIVATE KEY") and PKCS#1 "RSA PUBLIC KEY". The encrypted forms use
// `passphrase`.
enum class PemForm { kPkcs1, kEncryptedPkcs1, kPkcs8, kEncryptedPkcs8, kRsaPublic };
void write_pem_key(const std::string& path, const mbedtls_rsa_context& key, PemForm form,
                   const std::string& passphrase = "");

// Checks a PKCS#1 v1.5 signature over a SHA-256 digest with the openssl
// command-line tool (`pkeyutl -verify`); true when openssl accepts it.
bool openssl_verifies(const std::string& public_pem, const Bytes& digest,
                      const Bytes& signature);
