// Kernel image signing: --imgsig turns an Android boot image into a signed
// and encrypted kernel image behind the "ZUDSECU!" image security header, or
// packages its parts as digest-only stages when no user key is given.
#pragma once

#include <cstdint>

#include <mbedtls/rsa.h>

#include "result.h"

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
    kImageKeyPairIncomplete = 5746,  // "userkey" without "aeskey", or "aeskey" or "rootkeymax" without "userkey"
    kImageTwoKeys = 5747,          // "zuduserkey" together with "userkey", "aeskey" or "rootkeymax"
    kImageAesKeySize = 5748,       // the "aeskey" file cannot be read or is not exactly 32 bytes
    kImageKeyFailed = 5756,        // the user key does not load, or has no digest
    kImageHeaderWriteFailed = 5762,  // the header page could not be copied to the output
    kImageCloseFailed = 5766,      // the built stages could not be written out or put in place
    kImageReopenFailed = 5771,     // the output cannot be reopened for update
    kImageEncryptFailed = 5776,    // a stage could not be read back or encrypted in place
    kImageFinishFailed = 5781,     // the final header page could not be written
    kImageUpgradeFailed = 5789,    // the trailing signature block could not be appended
    kImageKeymaxInvalid = 5795,    // the keymax is unreadable, not 2264 bytes, or a key matrix of it is not valid
    kImageKeymaxSignature = 5796,  // the keymax is not signed by a key of its root key matrix
    kImageKeyNotInKeymax = 5797,   // the user key is none of the keymax's user keys
    kImageInputChanged = 5793,     // the input changed while it was being signed
    kImageOutputNotDurable = 5794,  // the output is in place, but its directory could not be synced
    kImageStageFailed = -1,        // a stage could not be built, read or written
};

inline constexpr zud_result_info kImgsigResults[] = {
    {kImageNoInput, "no --input, or it names no file"},
    {kImageTwoKeys, "--zuduserkey together with --userkey, --aeskey or --rootkeymax"},
    {kImageKeyPairIncomplete, "--userkey without --aeskey, or --aeskey or --rootkeymax without "
                              "--userkey"},
    {kImageOutputTooLong, "the output path would exceed 255 characters"},
    {kImageSameFile, "the output names one of the inputs"},
    {kImageOpenFailed, "the input cannot be opened, or the output cannot be created"},
    {kImageShortInput, "the input is shorter than its 2048-byte header page"},
    {kImageNotBootImage, "the input does not begin with \"ANDROID!\""},
    {kImageAlreadySigned, "the input already carries a security header"},
    {kImageBadPageSize, "a page size other than 2048"},
    {kImagePartsPastEnd, "the part sizes reach past the end of the input"},
    {kImageTooLarge, "the output could not be described by 32-bit offsets"},
    {kImageHeaderVersion, "a boot image header version of 3 or more"},
    {kImageExtraParts, "a recovery DTBO or a DTB, which a signed image cannot hold"},
    {kImageCmdlineInTheWay, "header page bytes 1024 to 1343 are in use"},
    {kImageBadPackage, "a packaged input whose stages are not the digest-only blocks of its parts"},
    {kImagePackageDamaged, "a packaged stage does not match its digest"},
    {kImageKeyFailed, "the user key does not open, or has no key digest"},
    {kImageAesKeySize, "the --aeskey file cannot be read or is not 32 bytes"},
    {kImageNoAesKey, "--zuduserkey is not a 6976-byte zud_user_key file"},
    {kImageKeymaxInvalid, "the keymax (bound in --zuduserkey, or --rootkeymax) cannot be read, is "
                          "not 2264 bytes, or a key matrix of it is not valid as a device reads it"},
    {kImageKeymaxSignature, "the keymax is not signed by a key of its own root key matrix"},
    {kImageKeyNotInKeymax, "the signing key is none of the keymax's user keys"},
    {kImageHeaderWriteFailed, "the header page could not be written"},
    {kImageStageFailed, "a stage could not be built, read or written"},
    {kImageInputChanged, "the input changed while it was being signed"},
    {kImageCloseFailed, "the output could not be written out or put in place"},
    {kImageReopenFailed, "the output cannot be reopened for update"},
    {kImageEncryptFailed, "the AES key could not be set up"},
    {kImageFinishFailed, "the final header page could not be written"},
    {kImageUpgradeFailed, "the trailing signature block could not be appended"},
    {kImageOutputNotDurable, "the output is in place, but its directory could not be synced"},
};

// --imgsig: options "input", "zuduserkey" and "output", then "userkey" and
// "aeskey" (together, instead of "zuduserkey": the signing key as a key
// file, PEM key or PKCS#11 URI, and a 32-byte AES key file), "pkcs11-module",
// "passphrase-file" and "rootkeymax" (with "userkey": the keymax the key is
// checked against, as the one bound in a "zuduserkey" file always is).
// Returns 0 or a result above. The output takes its name only when it is
// complete: a failure leaves no new file, and an earlier file of that name
// as it was.
int zud_sig_img(int argc, char** argv);

struct CommandSyntax;
// The command line --imgsig reads (cli.h): its options in slot order, its usage
// and its results, for checking a command line without running the command.
const CommandSyntax& imgsig_command_syntax();

// Writes the user key digest (SHA-256 of the key's N and E as a key block
// lays them out) into `digest` (32 bytes) and returns 0, or returns 3703
// when the key's modulus is not 128, 256, 512 or 1024 bytes long.
int zud_get_sha_from_ctx(const mbedtls_rsa_context* ctx, std::uint8_t* digest);
