// Bootloader signing: --bootsig, the eFuse pattern and the boot media files.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bytes.h"
#include "crypto.h"
#include "signed_block.h"

// ---------------------------------------------------------------------------
// Bootloader layout
//
// Input: the BL2 payload in bytes [0, 45056) (zero-filled when the input is
// shorter), a FIP at 49152. Output: the 49152-byte BL2 area (below), the
// FIP's table of contents region at 49152 (entries rewritten) and from
// 65536 one signed stage block per entry, each starting on a 16384-byte
// boundary; in signing mode from a zud_user_key file the upgrade signature
// block follows the last.

inline constexpr std::size_t kIvPrefixSize = 16;
inline constexpr std::size_t kBl2AreaSize = 49152;
inline constexpr std::size_t kBl2PayloadSize = 45056;
inline constexpr std::uint64_t kFipOffset = kBl2AreaSize;
inline constexpr std::uint32_t kStageAlignment = 16384;
// Both output layouts keep the BL2 payload here, so an output can be signed
// again.
inline constexpr std::uint64_t kBl2PayloadFileOffset = 4096;

// ---------------------------------------------------------------------------
// BL2 area (49152 bytes)
//
// Signing mode: the 16-byte IV prefix, the keymax's bytes 16..2263, then at
// 2264 the BL2 block in the keymax's block layout: header, 512-byte
// signature slot, the signing key's 48-byte key header and 1208-byte key
// data area, the 45056-byte payload (total_size 46888). Digest mode: the IV
// prefix, then at 16 the BL2 block with a 512-byte slot holding the digest,
// 3504 zero key bytes and the payload (total_size 49136). The payload lands
// at 4096 in both; the digest covers the header and everything from
// signed_data_offset on.

inline constexpr std::size_t kBl2SigningBlockOffset = 2264;   // behind the keymax
inline constexpr std::size_t kBl2DigestBlockOffset = kIvPrefixSize;
inline constexpr std::size_t kBl2DigestKeyAreaSize = 3504;

struct zud_bl2_area {
    bool signing = false;
    std::array<std::uint8_t, kIvPrefixSize> iv_prefix{};
    std::uint64_t block_offset = 0;  // of the BL2 block in the area
    ConstBytes block;                // its total_size bytes
    zud_signed_block_header header;
};

// Reads a plain (decrypted) BL2 area: signing mode when a keymax block
// (total_size 2248) stands at 16 and the BL2 block at 2264, digest mode
// when the block at 16 is the BL2 block itself. nullopt when neither holds
// or the block's total_size does not end inside the area.
std::optional<zud_bl2_area> decode_bl2_area(ConstBytes area);

// ---------------------------------------------------------------------------
// FIP table of contents (a 16384-byte region, little-endian)
//
// 0x00 name (u32, 0xAA640001), 0x04 serial number (u32, 0x12345678), 0x08
// flags (u64, 0), then 40-byte entries: 0x00 UUID (16 bytes), 0x10 offset
// (u64, from the table's start), 0x18 size (u64), 0x20 flags (u64). The
// first entry of size 0 ends the table; it must lie inside the region.
// Offsets and sizes are used as 32-bit values. In an output a rewritten
// entry holds its stage block's offset and total_size, and the terminating
// entry's offset is the end of the last block.

inline constexpr std::size_t kTocRegionSize = 16384;
inline constexpr std::size_t kTocHeaderSize = 16;
inline constexpr std::size_t kTocEntrySize = 40;
inline constexpr std::uint32_t kTocName = 0xAA640001;
inline constexpr std::uint32_t kTocSerial = 0x12345678;

struct zud_toc_entry {
    std::array<std::uint8_t, 16> uuid{};
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t flags = 0;
};

struct zud_fip_toc {
    std::uint32_t name = kTocName;
    std::uint32_t serial = kTocSerial;
    std::uint64_t flags = 0;
    std::vector<zud_toc_entry> entries;  // before the terminating one; at most 408
    zud_toc_entry end;                   // the terminating entry (size 0)
};

// Reads the table; nullopt, with `reason` set, when the region is shorter
// than 16384 bytes, the header is not a FIP's, or no terminating entry lies
// inside the region.
std::optional<zud_fip_toc> decode_fip_toc(ConstBytes region, const char** reason);

// Writes header, entries and the terminating entry into the 16384-byte
// `region`; the bytes behind the terminating entry are left as they are.
void encode_fip_toc(const zud_fip_toc& toc, MutBytes region);

// Every entry's offset and size must fit 32 bits and lie inside the
// `fip_size` bytes that follow the table's start. nullptr, or the reason
// with the index of the first entry that does not.
const char* check_toc_entries(const zud_fip_toc& toc, std::uint64_t fip_size, std::size_t& bad_entry);

// ---------------------------------------------------------------------------
// eFuse pattern (512 bytes; bit b is bit b mod 8 of byte b / 8)
//
// 0..5 zero; 6: 0x07 (bits 48, 49, 50); 7: 0x28 (bits 59, 61), 0x38 (bit 60
// as well) when the bootloader is encrypted; 8..47 zero; 48..79 the root key
// digest (SHA-256 of the keymax's four root key digests); 80..111 the AES
// key when encrypted, else zero; 112..511 zero. Stored signed and encrypted
// with the built-in key (1168 bytes).

inline constexpr std::size_t kEfusePatternSize = 512;

struct zud_efuse_pattern {
    bool encrypted = false;
    Digest root_digest{};
    std::array<std::uint8_t, kAesKeySize> aes_key{};
};

void encode_efuse_pattern(const zud_efuse_pattern& p, std::span<std::uint8_t, kEfusePatternSize> out);

// Reads a pattern and checks every fixed byte; nullopt with `reason` set
// when one differs or fewer than 512 bytes are given.
std::optional<zud_efuse_pattern> decode_efuse_pattern(ConstBytes in, const char** reason);

// ---------------------------------------------------------------------------
// --bootsig

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

// The three variants written while B's bytes pass by, so that a writer of
// B makes them in the same pass: write() takes B's bytes in order (from any
// one thread), finish() draws the SD filler, pads the BL2 part and puts the
// variants in place. Variant files are created by the constructor; one that
// cannot be created is skipped (said on standard error). finish() returns
// false when a variant could not be written whole; that variant is removed,
// the others stay.
class BootMedia {
public:
    // `named()` is false when a derived name would exceed 255 characters.
    explicit BootMedia(const std::string& output);
    ~BootMedia();
    BootMedia(const BootMedia&) = delete;
    BootMedia& operator=(const BootMedia&) = delete;

    bool named() const { return named_; }
    void write(ConstBytes piece);
    bool finish();

    struct Variant;  // one variant file (internal)

private:
    bool named_ = false;
    std::uint64_t at_ = 0;  // bytes of B seen so far
    std::unique_ptr<Variant> bl2_, tpl_, sd_;
};
