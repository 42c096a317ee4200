// Real outputs of the tool, made once per process by its own commands
// (run in process) from keys generated from a fixed seed, for the fuzz
// entries to patch, cut and check: key files, a keymax and a zud_user_key
// file, bootloaders (encrypted with a fixed AES key, with and without their
// upgrade trailer, and in digest mode), kernel images (encrypted, and
// packaged), the sealed files and an upgrade file.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"

struct FuzzArtefacts {
    std::string dir;  // where the files below are

    // Full binary key files of 1024-bit keys: the root key, which signs the
    // keymax, and the two user keys it names (user1 is bound and signs).
    std::string root_key_path, user1_key_path, user2_key_path;
    FuzzBytes user1_key;

    std::array<std::uint8_t, 32> aes_key{};  // the AES key every encrypted output uses
    std::string aes_key_path;

    std::string keymax_path;
    FuzzBytes keymax;                         // --keysig: root and user key matrices
    std::array<std::uint8_t, 32> root_digest{};  // its root key digest
    std::string user_key_path;
    FuzzBytes user_key;                       // --keybnd: user1, the keymax, the AES key

    FuzzBytes plain_bootloader;      // the input of --bootsig: BL2 payload and a FIP of three stages
    FuzzBytes encrypted_bootloader;  // --bootsig --zuduserkey --aeskey: encrypted, upgrade trailer
    FuzzBytes signed_bootloader;     // --bootsig --zuduserkey: signed, not encrypted, upgrade trailer
    FuzzBytes encrypted_bootloader_untrailed;  // --bootsig --userkey --rootkeymax --aeskey
    FuzzBytes digest_bootloader;     // --bootsig without keys
    FuzzBytes efuse;                 // the sealed eFuse pattern of the encrypted bootloader

    FuzzBytes boot_image;            // an Android boot image: kernel, ramdisk, second stage
    FuzzBytes signed_kernel;         // --imgsig --zuduserkey: encrypted, upgrade trailer
    FuzzBytes signed_kernel_untrailed;  // --imgsig --userkey --aeskey --rootkeymax
    FuzzBytes packaged_kernel;       // --imgsig without keys

    FuzzBytes password_package;      // --mkpsd, sealed
    FuzzBytes customer_id_package;   // --mkcusid, sealed
    FuzzBytes upgrade_file;          // --upgsig: 4096 bytes and their trailer
    FuzzBytes signed_block;          // one stage block signed by user1
    FuzzBytes digest_block;          // one digest-only stage block
};

// Made on first use; aborts when a command fails.
const FuzzArtefacts& fuzz_artefacts();

// The AES-256-CBC decryption of `bytes` under `key` from a zero IV, as one
// chain (`bytes` a multiple of 16).
FuzzBytes decrypt_cbc(std::span<const std::uint8_t> key, std::span<const std::uint8_t> bytes);
