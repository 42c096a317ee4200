// Keymax chains and unencrypted signed bootloaders for the verification
// tests, built from the tool's own writers (--keysig, --keybnd, the keymax
// signer and the stage builder) in the layouts the tool's commands write.
#pragma once

#include <string>
#include <vector>

#include "support/files.h"

struct KeyFiles {
    std::string root;      // --rkey1 and --skey
    std::string user1;     // --ukey1
    std::string user2;     // --ukey2
    std::string keymax;    // the --keysig output
    std::string user_key;  // the --keybnd output for user1 (zud_user_key file)
};

// A plain bootloader as a build produces it: `bl2` in the first 48 KiB, then
// a FIP whose table of contents is followed directly by the stages. Returns
// `path`.
std::string write_plain_bootloader(const std::string& path, const Bytes& bl2,
                                   const std::vector<Bytes>& stages);

// The root key digest (hex) of the keymax file at `keymax_path`: what a
// device's eFuses carry, and what verify is anchored to.
std::string root_digest_of(const std::string& keymax_path);

// Writes the 2048-bit test keys root (0), user1 (1) and user2 (2) as full
// binary key files into `dir`, signs the keymax and binds user1.
KeyFiles make_key_files(const std::string& dir);

// A block in the keymax's layout (payload in place behind a 512-byte slot
// and a 1256-byte key area) signed by `key_file` over `payload`, as the
// keymax signer writes it, without its 16 leading bytes. With `bl2` the
// payload area is the BL2 stage's 45056 bytes.
Bytes fix_block_from_writer(const std::string& dir, const std::string& key_file,
                            const Bytes& payload, bool bl2 = false);

// The output of --bootsig from the zud_user_key file without an AES key
// over a plain bootloader made of `bl2` and a FIP holding `stages`: 16 IV
// bytes, the keymax's signed block, the BL2 block (payload at 4096), the
// rewritten table of contents at 49152, one stage block per entry from
// 65536, and the trailing upgrade signature.
Bytes make_signed_bootloader(const std::string& dir, const KeyFiles& keys, const Bytes& bl2,
                             const std::vector<Bytes>& stages);

// The same in digest mode (no keys): a digest-only BL2 block (signed data
// from 96, payload at 4096) and digest-only stage blocks.
Bytes make_digest_bootloader(const std::string& dir, const Bytes& bl2,
                             const std::vector<Bytes>& stages);

// An encrypted output of --bootsig with its BL2 area (under `aes_key`), its
// table and its stage blocks (under the SHA-256 of the IV prefix, one chain
// each) decrypted; the random gaps between stages stay as they are.
Bytes decrypt_bootloader(const Bytes& out, const Bytes& aes_key);
