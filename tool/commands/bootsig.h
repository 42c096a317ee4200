// Bootloader signing: --bootsig and the boot media files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bytes.h"
#include "result.h"

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
    kBootInputChanged = 4868,    // the input changed while it was being signed
    kBootOutputNotDurable = 4869,  // the outputs are in place, but a directory could not be synced
    kBootStageFailed = 4872,     // the stage builder failed on a FIP entry
    kBootEfuseSignFailed = 4881, // the built-in signer failed on the eFuse pattern
    kBootEncryptFailed = 4889,   // the AES key or stage key could not be set up, or a piece not encrypted
    kBootEncryptBadToc = 4893,   // the table of contents re-read for encryption is not valid
    kBootUpgradeFailed = 4897,   // the upgrade signature (zud_user_key given) failed
    kBootTooFewWords = 5393,     // no options
    kBootBadOption = 5413,       // a named file is missing, or no input
    kBootIncompleteKeys = 5415,  // part of a signing set, or --zuduserkey beside --userkey/--rootkeymax
};

// --bootsig: options "input", "zuduserkey", "userkey", "rootkeymax",
// "aeskey", "output", "efuse", "skipsector", "pkcs11-module",
// "passphrase-file". "userkey" is a key file, a PEM private key or a
// PKCS#11 URI. Returns 0 or a BootResult.
int zud_sig_boot(int argc, char** argv);

// The worker over the ten slots in that order. Signing mode when slot 1
// is set or slots 2, 3 and 4 all are; digest mode when none of slots 1 to 4
// is; any other mix is refused (5415). Slot 4 switches
// encryption on. On failure the output and the eFuse file it made are
// removed, except when only the boot media step fails.
int zud_sig_boot_file(const char* const* slots);

struct CommandSyntax;
// The command line --bootsig reads (cli.h): its options in slot order, its usage
// and its results, for checking a command line without running the command.
const CommandSyntax& bootsig_command_syntax();

// ---------------------------------------------------------------------------
// Boot media
//
// Boot media variants of a signed bootloader B, written beside it:
// "B.usb.bl2" (B's first 49152 bytes, zero-filled where B is shorter),
// "B.usb.tpl" (B from byte 49152 on) and "B.sd.bin" (a 512-byte sector of
// random filler, then all of B).
enum BootMediaResult : int { kBootMediaFailed = 4565 };

inline constexpr zud_result_info kBootsigResults[] = {
    {kBootTooFewWords, "no options"},
    {kBootBadOption, "a named file is missing, or no --input"},
    {kBootIncompleteKeys, "some but not all of --userkey, --rootkeymax and --aeskey, or "
                          "--zuduserkey beside --userkey or --rootkeymax"},
    {kBootNoRandom, "the system's random generator failed"},
    {kBootPathTooLong, "an output name would exceed 255 characters"},
    {kBootSameFile, "the output or the eFuse file is one of the inputs, or they are one file"},
    {kBootKeymaxInvalid, "a key matrix of the keymax is not valid as a device reads it"},
    {kBootKeymaxSignature, "the keymax is not signed by a key of its own root key matrix"},
    {kBootUserKeyNotInKeymax, "the signing key is none of the keymax's user keys"},
    {kBootOpenFailed, "the input cannot be opened, or the output cannot be created"},
    {kBootUserKeySize, "the zud_user_key file is not 6976 bytes"},
    {kBootAesKeySize, "the AES key file is not 32 bytes"},
    {kBootKeymaxSize, "the keymax is not 2264 bytes"},
    {kBootIoFailed, "reading an input, or writing or putting in place an output, failed"},
    {kBootFailedNoEfuse, "digest mode: the FIP table is not valid"},
    {kBootFailedWithEfuse, "signing mode: the key does not open, is not 1024, 2048 or 4096 bits, "
                           "or the FIP table is not valid"},
    {kBootBl2SignFailed, "the BL2 signature could not be made"},
    {kBootStageFailed, "a FIP stage could not be signed, read or written, or the FIP exceeds 4 GiB"},
    {kBootEfuseSignFailed, "the eFuse pattern could not be sealed with the built-in key"},
    {kBootInputChanged, "the input changed while it was being signed"},
    {kBootEncryptFailed, "the AES key or the stage key could not be set up, or a piece could not "
                         "be encrypted"},
    {kBootEncryptBadToc, "the rewritten table about to be encrypted is not valid"},
    {kBootUpgradeFailed, "the upgrade signature could not be appended"},
    {kBootOutputNotDurable, "the outputs are in place, but their directory could not be synced"},
    {kBootMediaFailed, "a boot media variant could not be written whole"},
};

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
