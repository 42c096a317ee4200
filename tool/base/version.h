// The --version line shared by zud_encrypt_tqrr and zud_keytool.
#pragma once

#include <cstdio>

// Prints one line to `to`: the program's name, the project version and the
// versions of the two crypto libraries, as in "zud_keytool 1.0.0 (mbed TLS
// 2.28.3, OpenSSL 3.0.11 19 Sep 2023)". mbed TLS is named as the program was
// built against it, OpenSSL as the library loaded at run time reports itself.
void zud_print_version(const char* program, std::FILE* to);
