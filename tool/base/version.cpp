#include "version.h"

#include <mbedtls/version.h>
#include <openssl/crypto.h>

#include "zud_version.h"

void zud_print_version(const char* program, std::FILE* to) {
    std::fprintf(to, "%s %s (mbed TLS %s, %s)\n", program, ZUD_VERSION, MBEDTLS_VERSION_STRING,
                 OpenSSL_version(OPENSSL_VERSION));
}
