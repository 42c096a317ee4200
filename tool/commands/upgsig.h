// --upgsig: appends or checks the trailing upgrade signature of a file.
#pragma once

#include "result.h"
#include "trailer.h"

inline constexpr zud_result_info kUpgsigResults[] = {
    {kUpgradeBadOption, "--option with a value other than \"chk\" (nothing is done)"},
    {kUpgradeIllegalFile, "a named file is missing, or not a multiple of 16 bytes"},
    {kUpgradeTwoKeys, "both --zuduserkey and --userkey"},
    {kUpgradeNoInput, "no input, or its size cannot be taken"},
    {kUpgradeInputIsKey, "the input is the key file itself"},
    {kUpgradeBadKey, "no key, the key does not open, or its modulus is not 48 to 1024 bytes"},
    {kUpgradeOpenFailed, "the file cannot be opened for update, or its signed range cannot be read"},
    {kUpgradeNoBlock, "checking: the file is shorter than one block, or its block cannot be read"},
    {kUpgradeRsaFailed, "the raw RSA operation fails"},
    {kUpgradeInputChanged, "signing: the file changed while it was being signed (nothing is appended)"},
    {kUpgradeWriteFailed, "signing: the block could not be written whole (the file is restored)"},
    {kUpgradeNotDurable, "signing: the block could not be synced to the disk (the file is restored)"},
    {kUpgradeMismatch, "checking: the block's digest is not the file's"},
};

// --upgsig: options "input", "zuduserkey", "option" (the value "chk"
// selects checking), then "userkey" (instead of "zuduserkey": a key file, a
// PEM key or a PKCS#11 URI, without the size rule of "zuduserkey"),
// "pkcs11-module" and "passphrase-file". Prints "zud log: upgrade <mode>
// pass|fail!" and returns 0 or a result above.
int zud_sig_upgrade(int argc, char** argv);

// Signs (appends a block to) or checks (slot 2 is exactly "chk") the file of
// slots[0] with the key of slots[1] (a key file in any form, or what else
// open_signing_key takes; checking needs only its public half). Either
// missing fails at once with the file untouched. Checking never changes the
// file; signing changes it only by appending one whole block.
int zud_sig_upgrade_file(const char* const* slots);

struct CommandSyntax;
// The command line --upgsig reads (cli.h): its options in slot order, its usage
// and its results, for checking a command line without running the command.
const CommandSyntax& upgsig_command_syntax();
