// --keysig (the keymax) and --keybnd (the zud_user_key file).
#pragma once

enum KeysigResult : int {
    kKeysigBadArguments = 3105,  // seven words or fewer, or a key path that does not exist
    kKeysigBadKey = 3107,        // a root or user key that does not load as a key of 1024 to 8192 bits
    kKeysigNotRootKey = 3109,    // the signing key is none of the four root keys
};

// Results of zud_key_bnd besides -1.
enum KeybndResult : int {
    kKeybndNoAesKey = 3121,      // the --aeskey file cannot be read
    kKeybndKeyMismatch = 3123,   // the key's private half does not sign for its public half
};

int zud_sig_key(int argc, char** argv);
int zud_sig_key_max(const char* const* paths);
int zud_signature_file_fix(const char* input, const char* key, const char* output);
int zud_key_bnd(int argc, char** argv);
