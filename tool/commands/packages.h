// Device packages and SD images: --mkpsd, --mkcusid and --mksd.
#pragma once

#include "result.h"

enum PasswordResult : int {
    kPasswordMissing = 4325,       // neither --password nor --password-file
    kPasswordFileUnreadable = 4327,  // the --password-file cannot be read
    kPasswordTwoSources = 4328,    // both --password and --password-file
    kPasswordBadLength = 4330,     // not exactly 16 bytes (a file's: once a final line feed is off)
    kPasswordNoInterface = 4345,   // no --option
    kPasswordBadInterface = 4349,  // not "jtag", "usb", "scan" or "jtagusb"
    kPasswordNoOutput = 4416,      // no --output
    kPasswordOpenFailed = 4422,    // the output cannot be opened or written
    kPasswordSignFailed = 4431,    // the built-in signer failed; the output is removed
    kPasswordNotDurable = 4441,    // the output is in place, but its directory could not be synced
};

enum CustomerIdResult : int {
    kCustomerIdMissing = 4513,     // no --customerid
    kCustomerIdLength = 4518,      // not 5 to 8 bytes
    kCustomerIdNoOutput = 4527,    // no --output
    kCustomerIdOpenFailed = 4533,  // the output cannot be opened or written
    kCustomerIdSignFailed = 4541,  // the built-in signer failed; the output is removed
    kCustomerIdNotDurable = 4546,  // the output is in place, but its directory could not be synced
};

enum SdImageResult : int {
    kSdImageFailed = -1,
    kSdImageNotDurable = 5851,  // the image is in place, but its directory could not be synced
};

inline constexpr zud_result_info kMkpsdResults[] = {
    {kPasswordMissing, "neither --password nor --password-file"},
    {kPasswordTwoSources, "both --password and --password-file"},
    {kPasswordFileUnreadable, "the --password-file cannot be read"},
    {kPasswordBadLength, "the password is not exactly 16 bytes (the file's: after one trailing "
                         "line feed is taken off)"},
    {kPasswordNoInterface, "no --option"},
    {kPasswordBadInterface, "--option is not jtag, usb, scan or jtagusb"},
    {kPasswordNoOutput, "no --output"},
    {kPasswordOpenFailed, "the output cannot be created or written"},
    {kPasswordSignFailed, "the built-in signer failed"},
    {kPasswordNotDurable, "the output is in place, but its directory could not be synced"},
};
inline constexpr zud_result_info kMkcusidResults[] = {
    {kCustomerIdMissing, "no --customerid"},
    {kCustomerIdLength, "the customer ID is not 5 to 8 bytes"},
    {kCustomerIdNoOutput, "no --output"},
    {kCustomerIdOpenFailed, "the output cannot be created or written"},
    {kCustomerIdSignFailed, "the built-in signer failed"},
    {kCustomerIdNotDurable, "the output is in place, but its directory could not be synced"},
};
inline constexpr zud_result_info kMksdResults[] = {
    {kSdImageFailed, "the input cannot be read, is the output, or the image cannot be written"},
    {kSdImageNotDurable, "the image is in place, but its directory could not be synced"},
};

// --mksd: an SD card image, 512 bytes of filler then the input; 0 or an
// SdImageResult.
int zud_mk_sd(int argc, char** argv);
// --mkpsd: the unlock password package; a PasswordResult. The password
// comes from --password or from the file --password-file names: 16 bytes
// after one line feed at its end, if there, is taken off.
int zud_mk_password(int argc, char** argv);
// --mkcusid: the customer ID package; a CustomerIdResult.
int zud_mk_customer_id(int argc, char** argv);

struct CommandSyntax;
// The command line each command reads (cli.h): its options in slot order, its usage
// and its results, for checking a command line without running the command.
const CommandSyntax& mksd_command_syntax();
const CommandSyntax& mkpsd_command_syntax();
const CommandSyntax& mkcusid_command_syntax();
