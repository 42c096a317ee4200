// Kernel image signing: --imgsig turns an Android boot image into a signed
// and encrypted kernel image behind the "ZUDSECU!" image security header, or
// packages its parts as digest-only stages when no user key is given.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include <mbedtls/rsa.h>

#include "boot_image.h"
#include "bytes.h"

// The only page size whose images this command reads and encrypts soundly.
inline constexpr std::uint32_t kImagePageSize = 2048;

// ---------------------------------------------------------------------------
// Stage record (96 bytes, little-endian), one per part:
//   0x00 stage_offset (u32): the stage's offset in the output
//   0x04 part_size (u32): the part's size from the boot image header
//   0x08 stage_length (u32): the stored length of the signed block, without
//        the zero bytes that align it
//   0x0C page_size (u32): the page size from the boot image header
//   0x10 stage_space (u32): stage_length rounded up to page_size, the bytes
//        the stage occupies in the output
//   0x14 12 reserved bytes, zero
//   0x20 stage_digest (32 bytes): SHA-256 of the stage_space bytes as stored
//        (encrypted), then stage_space as 4 little-endian bytes
//   0x40 key_hash (32 bytes): SHA-256 of the user key digest

inline constexpr std::size_t kStageRecordSize = 96;
inline constexpr std::size_t kImageStageCount = 3;

struct zud_stage_record {
    std::uint32_t stage_offset = 0;
    std::uint32_t part_size = 0;
    std::uint32_t stage_length = 0;
    std::uint32_t page_size = 0;
    std::uint32_t stage_space = 0;
    std::array<std::uint8_t, 32> stage_digest{};
    std::array<std::uint8_t, 32> key_hash{};
};

// What follows the stored stage in its stage_digest: stage_space as four
// little-endian bytes.
std::array<std::uint8_t, 4> stage_digest_suffix(std::uint32_t stage_space);

void encode_stage_record(const zud_stage_record& r,
                         std::span<std::uint8_t, kStageRecordSize> out);
// nullopt when fewer than 96 bytes are given.
std::optional<zud_stage_record> decode_stage_record(ConstBytes in);

// ---------------------------------------------------------------------------
// Image security header (320 bytes, little-endian), written at offset 1024
// of the header page of a signed image:
//   0x00 magic "ZUDSECU!" (8 bytes)    0x08 format_word (u32, 0x905)
//   0x0C stage_count (u32, 3)          0x10 timestamp (16 ASCII characters:
//        local year, month, day, hour, minute, second and the first two
//        digits of one rand() draw; no terminator)
//   0x20 stage record 0 (kernel)       0x80 stage record 1 (ramdisk)
//   0xE0 stage record 2 (second stage)

inline constexpr std::size_t kSecurityHeaderSize = 320;
inline constexpr std::size_t kSecurityHeaderOffset = 1024;
inline constexpr std::size_t kSecurityTimestampSize = 16;
inline constexpr std::uint32_t kSecurityFormatWord = 0x905;

struct zud_image_security_header {
    std::uint32_t format_word = kSecurityFormatWord;
    std::uint32_t stage_count = kImageStageCount;
    std::array<char, kSecurityTimestampSize> timestamp{};
    std::array<zud_stage_record, kImageStageCount> stages{};
};

void encode_image_security_header(const zud_image_security_header& h,
                                  std::span<std::uint8_t, kSecurityHeaderSize> out);

// Reads the security header from a header page (at 1024); nullopt when the
// page is shorter than 2048 bytes or the magic "ZUDSECU!" is not there.
std::optional<zud_image_security_header> decode_image_security_header(ConstBytes page);
// True when the page carries the magic (the image is already signed).
bool has_image_security_header(ConstBytes page);
// Writes the security header into a header page, at 1024.
void put_image_security_header(const zud_image_security_header& h, MutBytes page);

// Why the header is not one this command writes (format word, stage count,
// offsets and spaces that follow one another from 2048 on, page sizes of
// 2048, equal key hashes), or nullptr.
const char* check_image_security_header(const zud_image_security_header& h);

// ---------------------------------------------------------------------------
// Packaged image: the output of --imgsig without a key. The input's header
// page is kept as it was (its sizes still name the parts); each part is
// stored as a digest-only block (header region of 96 bytes) padded to a
// multiple of the 2048-byte page, one after the other from 2048 on. A part
// of 96 bytes or more has its first 96 bytes relocated behind the rest; a
// shorter one follows the header region directly.
inline constexpr std::uint64_t kPackagedHeadSize = 96;

// The stored length of a part's digest-only block.
constexpr std::uint64_t packaged_block_length(std::uint32_t part_size) {
    const std::uint64_t padded = (std::uint64_t{part_size} + 15) / 16 * 16;
    return part_size >= kPackagedHeadSize ? kPackagedHeadSize + padded
                                          : kPackagedHeadSize + part_size;
}

// Where each part's block starts in a packaged image.
std::array<std::uint64_t, kImageStageCount> packaged_block_offsets(const zud_boot_image_header& boot);

// ---------------------------------------------------------------------------
// Results of zud_sig_img and zud_get_sha_from_ctx. The stage builder's own
// failure number (-1) is passed on as it is.
enum ImageResult : int {
    kImageOk = 0,
    kImageKeyDigestFailed = 3703,  // no user key digest: unsupported modulus
    kImageNoInput = 5652,          // no "input", or it names no existing file
    kImageOutputTooLong = 5688,    // the output path would exceed 255 characters
    kImageSameFile = 5694,         // the output names the input or the user key file
    kImageOpenFailed = 5702,       // the input cannot be opened or the output created
    kImageShortInput = 5709,       // the input is shorter than its 2048-byte header page
    kImageNotBootImage = 5715,     // the input does not begin with "ANDROID!"
    kImageAlreadySigned = 5719,    // the input carries "ZUDSECU!" at offset 1024
    kImageBadPageSize = 5723,      // a page size other than 2048
    kImagePartsPastEnd = 5727,     // the part sizes reach past the end of the input
    kImageTooLarge = 5731,         // the output could not be described by 32-bit offsets
    kImageHeaderVersion = 5735,    // a boot image header version of 3 or more
    kImageExtraParts = 5737,       // version 1 or 2 with a recovery DTBO or a DTB, which would be dropped
    kImageCmdlineInTheWay = 5739,  // header page bytes 1024..1343 not zero: the security header goes there
    kImageBadPackage = 5741,       // a packaged image whose stages are not the digest-only blocks of its parts
    kImagePackageDamaged = 5742,   // a packaged stage whose digest does not match its bytes
    kImageNoAesKey = 5744,         // the key file is not a 6976-byte zud_user_key file
    kImageKeyPairIncomplete = 5746,  // "userkey" without "aeskey", or "aeskey" without "userkey"
    kImageTwoKeys = 5747,          // "zuduserkey" together with "userkey" or "aeskey"
    kImageAesKeySize = 5748,       // the "aeskey" file cannot be read or is not exactly 32 bytes
    kImageKeyFailed = 5756,        // the user key does not load, or has no digest
    kImageHeaderWriteFailed = 5762,  // the header page could not be copied to the output
    kImageCloseFailed = 5766,      // the built stages could not be written out or put in place
    kImageReopenFailed = 5771,     // the output cannot be reopened for update
    kImageEncryptFailed = 5776,    // a stage could not be read back or encrypted in place
    kImageFinishFailed = 5781,     // the final header page could not be written
    kImageUpgradeFailed = 5789,    // the trailing signature block could not be appended
};

// --imgsig: options "input", "zuduserkey" and "output", then "userkey" and
// "aeskey" (together, instead of "zuduserkey": the signing key as a key
// file, PEM key or PKCS#11 URI, and a 32-byte AES key file), "pkcs11-module"
// and "passphrase-file". Returns 0 or a result above. The output takes its name only when it is complete: a failure
// leaves no new file, and an earlier file of that name as it was.
int zud_sig_img(int argc, char** argv);

// Writes the user key digest (SHA-256 of the key's N and E as a key block
// lays them out) into `digest` (32 bytes) and returns 0, or returns 3703
// when the key's modulus is not 128, 256, 512 or 1024 bytes long.
int zud_get_sha_from_ctx(const mbedtls_rsa_context* ctx, std::uint8_t* digest);
