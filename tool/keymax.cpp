// --keysig (the keymax) and --keybnd (the user key file).
#include "keys.h"

#include "pending.h"

int zud_sig_key(int, char**) { return zud_not_implemented("keysig"); }
int zud_sig_key_max(const char* const*) { return -1; }
int zud_signature_file_fix(const char*, const char*, const char*) { return -1; }
int zud_key_bnd(int, char**) { return zud_not_implemented("keybnd"); }
