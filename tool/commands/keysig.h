// --keysig (the keymax) and --keybnd (the zud_user_key file).
#pragma once

#include "result.h"

enum KeysigResult : int {
    kKeysigFailed = -1,          // any other failure (said on standard error)
    kKeysigBadArguments = 3105,  // two options or fewer, or a key path that does not exist
    kKeysigBadKey = 3107,        // a root or user key that does not load as a key of 1024 to 8192 bits
    kKeysigNotRootKey = 3109,    // the signing key is none of the four root keys
    kKeysigNotDurable = 3131,    // the keymax is in place, but its directory could not be synced
};

// Results of zud_key_bnd besides -1.
enum KeybndResult : int {
    kKeybndFailed = -1,          // any other failure
    kKeybndNoAesKey = 3121,      // the --aeskey file cannot be read
    kKeybndKeyMismatch = 3123,   // the key's private half does not sign for its public half
    kKeybndKeyNotInKeymax = 3124,   // the key is not the keymax's first user key
    kKeybndKeymaxInvalid = 3125,    // a key matrix of the keymax fails the checks a device makes
    kKeybndKeymaxSignature = 3126,  // the keymax is not signed by a key of its root key matrix
    kKeybndNotDurable = 3127,    // the user key file is in place, but its directory could not be synced
};

// What each result of --keysig and --keybnd means, in the order the
// commands meet them (the manual page lists them in this order).
inline constexpr zud_result_info kKeysigResults[] = {
    {kKeysigBadArguments, "two options or fewer, or a root or user key that names no file"},
    {kKeysigBadKey, "a root or user key does not open, or is no RSA key a key block can carry"},
    {kKeysigNotRootKey, "the signing key is none of the root keys"},
    {kKeysigFailed, "no signing key or output, the output is a key file, the signing key does not "
                    "open or sign, or the output cannot be written"},
    {kKeysigNotDurable, "the keymax is in place, but its directory could not be synced"},
};
inline constexpr zud_result_info kKeybndResults[] = {
    {kKeybndKeyMismatch, "the key's private numbers do not sign for its public half"},
    {kKeybndKeymaxInvalid, "a key matrix of the keymax is not valid as a device reads it"},
    {kKeybndKeymaxSignature, "the keymax is not signed by a key of its own root key matrix"},
    {kKeybndNoAesKey, "the --aeskey file cannot be opened"},
    {kKeybndKeyNotInKeymax, "the key is not the keymax's first user key"},
    {kKeybndFailed, "a token or PEM key, a missing input, a key or keymax that does not fit, or "
                    "the output cannot be written"},
    {kKeybndNotDurable, "the user key file is in place, but its directory could not be synced"},
};

int zud_sig_key(int argc, char** argv);
int zud_sig_key_max(const char* const* paths);
int zud_signature_file_fix(const char* input, const char* key, const char* output);
int zud_key_bnd(int argc, char** argv);

struct CommandSyntax;
// The command line each command reads (cli.h): its options in slot order, its usage
// and its results, for checking a command line without running the command.
const CommandSyntax& keysig_command_syntax();
const CommandSyntax& keybnd_command_syntax();
