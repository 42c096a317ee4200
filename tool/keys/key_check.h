// Key checks: whether the numbers of an RSA private key belong to one key,
// and whether the bytes of a binary key file are laid out as its writers
// lay them out. The audit runs both over key files and zud_user_key files,
// so that a key damaged on its way to a signing machine is found before it
// signs anything a device then refuses.
#pragma once

#include <cstdint>
#include <string>

#include <mbedtls/rsa.h>

#include "bytes.h"

// Checks the numbers of a private key, in this order, and returns "" or the
// first reason that holds:
//   "N is not P*Q"                          (when P and Q are both there)
//   "P or Q is not above 1"
//   "D*E is not 1 modulo lambda(N)"         lambda(N) = lcm(P-1, Q-1)
//   "DP is not D mod (P-1)", "DQ is not D mod (Q-1)", "QP is not Q^-1 mod P"
//                                           (each when P, Q and it are there)
//   "the key cannot sign: a number it signs with is missing or out of range"
//   "a signature made with the key does not verify with its public half"
// The last two come from a probe run in every case, the short form (N, E
// and D only) too: a PKCS#1 v1.5 SHA-256 signature over a fixed digest,
// made by zud_rsa_sign_sha256 in private-key mode `mode` (the value the
// loader left in g_nVQ_RSA_keyFormat for this key: 1 raises to D, 0 uses
// the CRT values) and checked with N and E alone. The probe works on a copy
// of `key` and leaves g_nVQ_RSA_keyFormat as it found it.
std::string check_private_key(const mbedtls_rsa_context& key, std::int32_t mode);

// Checks the number records of a binary key file, `file` being all of its
// bytes (4680 for the full form, 1920 or 1696 for the short; of a 6976-byte
// zud_user_key file, the first 4680 are taken). A text key file has no
// records: "" for any other size. Returns "" or the first reason, naming the
// record from 1 (N) to 8 (QP):
//   "record 3 (D) has a word count of 137; a record holds at most 136 words"
//   "record 1 (N) is empty"                          (N, E and D only)
//   "record 5 (Q) has non-zero bytes past its 32 words"
//   "record 5 (Q) has non-zero bytes after its word count"   (its last 4)
//   "record 2 (E) has non-zero bytes past the 3 bytes the short form reads"
//   "record 1 (N) has 65 words where its value needs 64"     (full form, N, E)
//   "the 264 bytes after the records are not all zero"
// The loader refuses only the first; the rest it reads past without a word.
// In the short form E is read from the first 3 bytes of its record whatever
// its word count says, so its count is not checked. In the full form key
// blocks are laid out from the records of N and E at their word counts, so
// a count above what the value needs gives a key block (and key digest)
// other than the key's own.
std::string check_key_file_records(ConstBytes file);
