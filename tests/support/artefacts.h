// Every kind of file the tool writes, made once in a temporary directory by
// the tool's own commands, for suites that check each kind: the files, and
// what zud_keytool needs besides each to open it.
#pragma once

#include <string>
#include <vector>

#include "support/bootloader.h"
#include "support/temp_dir.h"

class Artefacts {
public:
    // Throws when a command that makes a file fails.
    Artefacts();
    std::string file(const std::string& name) const { return dir.file(name); }

    // The names of every file made, one per kind and mode.
    static const std::vector<std::string>& names();
    // What verify and info need for `name` besides the file: the AES key
    // or keymax in force (--user-key), or the key of an upgrade trailer.
    std::vector<std::string> options_for(const std::string& name) const;

    TempDir dir;
    KeyFiles keys;
};
