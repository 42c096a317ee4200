// Bootloader signing: --bootsig, the eFuse pattern and the boot media files.
#pragma once

// ---------------------------------------------------------------------------
// --bootsig
//
// Input bootloader: BL2 payload in bytes [0, 45056) (zero-filled when the
// input is shorter), a FIP at 49152. FIP table of contents (16384-byte
// region, little-endian): 0x00 name 0xAA640001, 0x04 serial number
// 0x12345678, 0x08 flags (u64, 0), then 40-byte entries: 0x00 UUID (16
// bytes), 0x10 offset (u64, from the table's start), 0x18 size (u64), 0x20
// flags (u64). The first entry of size 0 ends the table. Offsets and sizes
// must fit 32 bits, and every entry must lie inside the input.
//
// Output (signing mode):
//   0      16 IV prefix (random), in place of the keymax's 16 leading zeros
//   16     2248 the keymax's bytes 16..2263
//   2264   BL2 block: 64-byte signed block header, 512-byte signature slot,
//          48-byte key header + 1208-byte key data area, 45056-byte payload
//   49152  table of contents region, entries rewritten
//   65536  one signed stage block per entry, each padded to 16384 bytes
//   end    upgrade signature block, when the key came from a zud_user_key
// Output (digest mode): IV prefix, then at 16 the BL2 block (digest in the
// 512-byte slot, 3504 zero key bytes, payload at output offset 4096), then
// the table and the digest-only stage blocks as above.
//
// A rewritten entry holds the stage block's offset and its total_size (the
// stored length rounded up to 16, so that a stage shorter than the block's
// header region is described and encrypted whole). The terminating entry's
// offset is the end of the last block.
//
// eFuse pattern (512 bytes, signing mode): byte 6 = 0x07, byte 7 = 0x28
// (0x38 when encrypting), 48..79 SHA-256 of the four root key digests of the
// keymax, 80..111 the AES key when encrypting; stored signed and encrypted
// by the built-in key signer (1168 bytes).
//
// Encryption ("aeskey" given): the BL2 area [0, 49152) under the AES key;
// the table region and each stage block (one CBC chain per stage, the
// entry's size in bytes) under SHA-256 of the IV prefix; zero IVs. The
// padding between a stage and the next entry becomes random bytes.

enum BootResult : int {
    kBootNoInput = 4668,         // no input path
    kBootPathTooLong = 4671,     // a derived name (.encrypt/.pkg/.efuse/.usb.*/.sd.bin) > 255
    kBootSameFile = 4673,        // the output or eFuse file names an input, or each other
    kBootNoRandom = 4676,        // the OS random generator failed (IV prefix)
    kBootOpenFailed = 4738,      // input not readable, output not creatable, no memory
    kBootUserKeySize = 4762,     // zud_user_key file not 6976 bytes
    kBootAesKeySize = 4783,      // AES key file not 32 bytes
    kBootKeymaxSize = 4795,      // keymax file not 2264 bytes
    kBootKeymaxInvalid = 4801,   // a key matrix of the keymax fails the checks a device makes
    kBootKeymaxSignature = 4803, // the keymax is not signed by a key of its root key matrix
    kBootUserKeyNotInKeymax = 4805,  // the user key is none of the keymax's user keys
    // Key not loadable or unusable (modulus not 1024, 2048 or 4096 bits),
    // bad table of contents: 4824, or 4854 in signing mode once the eFuse
    // file was created.
    kBootFailedNoEfuse = 4824,
    kBootFailedWithEfuse = 4854,
    kBootBl2SignFailed = 4860,   // the BL2 signature could not be made
    kBootIoFailed = 4866,        // reading the input or key material, or writing the output, failed
    kBootStageFailed = 4872,     // the stage builder failed on a FIP entry
    kBootEfuseSignFailed = 4881, // the built-in signer failed on the eFuse pattern
    kBootEncryptFailed = 4889,   // the encryption pass could not read or write the output
    kBootEncryptBadToc = 4893,   // the table of contents re-read for encryption is not valid
    kBootUpgradeFailed = 4897,   // the upgrade signature (zud_user_key given) failed
    kBootTooFewWords = 5393,     // three or fewer command-line words
    kBootBadOption = 5413,       // a named file is missing, or no input
};
// A stage whose encryption call fails ends the command with the library's
// own (negative) result.

// --bootsig: options "input", "zuduserkey", "userkey", "rootkeymax",
// "aeskey", "output", "efuse", "skipsector", "pkcs11-module",
// "passphrase-file". "userkey" is a key file, a PEM private key or a
// PKCS#11 URI. Returns 0 or a BootResult.
int zud_sig_boot(int argc, char** argv);

// The worker over the ten slots in that order. Signing mode when slot 1
// is set or slots 2, 3 and 4 all are; digest mode otherwise. Slot 4 switches
// encryption on. On failure the output and the eFuse file it made are
// removed, except when only the boot media step fails.
int zud_sig_boot_file(const char* const* slots);

// ---------------------------------------------------------------------------
// Boot media
//
// Boot media variants of a signed bootloader B, written beside it:
// "B.usb.bl2" (B's first 49152 bytes, zero-filled where B is shorter),
// "B.usb.tpl" (B from byte 49152 on) and "B.sd.bin" (a 512-byte sector of
// random filler, then all of B).
enum BootMediaResult : int { kBootMediaFailed = 4565 };

// Returns 0, or 4565 when there is no path, the source cannot be read, a
// derived name would exceed 255 characters, no memory for the copy buffer,
// or a variant could not be written completely (that variant is removed).
// A variant file that cannot be created is skipped.
int zud_uboot_process(const char* path);
