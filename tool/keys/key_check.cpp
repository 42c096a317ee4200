// Key checks: the arithmetic of a private key, a signature probe made the
// way the tool signs, and the layout of a binary key file's records.
#include "key_check.h"

#include <array>

#include <mbedtls/bignum.h>

#include "crypto.h"
#include "files.h"
#include "keyfile.h"
#include "rsa.h"
#include "signing_key.h"

namespace {

// ---------------------------------------------------------------------------
// Numbers

// An mbedtls_mpi that frees (and so wipes) itself.
class Number {
public:
    Number() { mbedtls_mpi_init(&value); }
    ~Number() { mbedtls_mpi_free(&value); }
    Number(const Number&) = delete;
    Number& operator=(const Number&) = delete;
    mbedtls_mpi value;
};

bool present(const mbedtls_mpi& x) { return mbedtls_mpi_cmp_int(&x, 0) != 0; }

bool equal(const mbedtls_mpi& a, const mbedtls_mpi& b) { return mbedtls_mpi_cmp_mpi(&a, &b) == 0; }

// The factors minus one and lambda(N) = (P-1)(Q-1) / gcd(P-1, Q-1); false
// when the library fails (out of memory).
struct Factors {
    Number p1, q1, lambda;
};

bool compute_factors(const mbedtls_rsa_context& k, Factors& f) {
    Number product, gcd, rest;
    return mbedtls_mpi_sub_int(&f.p1.value, &k.P, 1) == 0 && mbedtls_mpi_sub_int(&f.q1.value, &k.Q, 1) == 0 &&
           mbedtls_mpi_mul_mpi(&product.value, &f.p1.value, &f.q1.value) == 0 &&
           mbedtls_mpi_gcd(&gcd.value, &f.p1.value, &f.q1.value) == 0 &&
           mbedtls_mpi_div_mpi(&f.lambda.value, &rest.value, &product.value, &gcd.value) == 0;
}

// True when `value` mod `modulus` equals `expected`.
bool reduces_to(const mbedtls_mpi& value, const mbedtls_mpi& modulus, const mbedtls_mpi& expected) {
    Number r;
    return mbedtls_mpi_mod_mpi(&r.value, &value, &modulus) == 0 && equal(r.value, expected);
}

// The checks that need P and Q; "" when they hold.
std::string check_crt_numbers(const mbedtls_rsa_context& k) {
    Number product, de, one;
    if (mbedtls_mpi_lset(&one.value, 1) != 0 || mbedtls_mpi_mul_mpi(&product.value, &k.P, &k.Q) != 0) {
        return "out of memory checking the key";
    }
    if (!equal(product.value, k.N)) return "N is not P*Q";
    // With P or Q at 1 there is no P-1 or Q-1 to reduce by.
    if (mbedtls_mpi_cmp_int(&k.P, 1) <= 0 || mbedtls_mpi_cmp_int(&k.Q, 1) <= 0) return "P or Q is not above 1";
    Factors f;
    if (!compute_factors(k, f) || mbedtls_mpi_mul_mpi(&de.value, &k.D, &k.E) != 0) {
        return "out of memory checking the key";
    }
    if (!reduces_to(de.value, f.lambda.value, one.value)) return "D*E is not 1 modulo lambda(N)";
    if (present(k.DP) && !reduces_to(k.D, f.p1.value, k.DP)) return "DP is not D mod (P-1)";
    if (present(k.DQ) && !reduces_to(k.D, f.q1.value, k.DQ)) return "DQ is not D mod (Q-1)";
    if (present(k.QP)) {
        Number inverse;
        // Q has no inverse modulo P when they share a factor.
        if (mbedtls_mpi_inv_mod(&inverse.value, &k.Q, &k.P) != 0 || !equal(inverse.value, k.QP)) {
            return "QP is not Q^-1 mod P";
        }
    }
    return "";
}

// ---------------------------------------------------------------------------
// The signature probe

// Any fixed digest does: the probe asks whether the private and public
// halves agree, not what they sign.
constexpr std::array<std::uint8_t, kSha256Size> kProbeDigest = {
    0x7a, 0x75, 0x64, 0x20, 0x6b, 0x65, 0x79, 0x20, 0x70, 0x72, 0x6f, 0x62, 0x65, 0x00, 0x01, 0x02,
    0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12};

std::string probe_signature(const mbedtls_rsa_context& key, std::int32_t mode) {
    RsaKey signer;
    RsaKey checker;
    if (mbedtls_rsa_copy(&signer.ctx, &key) != 0 || !copy_public_half(key, checker.ctx)) {
        return "out of memory checking the key";
    }
    checker.ctx.len = key.len;
    Buffer sig(key.len);
    if (!sig.ok() || key.len == 0) {
        return "the key cannot sign: a number it signs with is missing or out of range";
    }
    int signed_ok = 0;
    {
        const KeyFormatScope scope(mode);
        signed_ok = zud_rsa_sign_sha256(&signer.ctx, kProbeDigest.data(), sig.data());
    }
    // Bad input: a number the mode needs is missing, or N or D is out of
    // range. Any other failure is the check of the result against E, which
    // the private operation makes in either mode.
    if (signed_ok == MBEDTLS_ERR_RSA_BAD_INPUT_DATA) {
        return "the key cannot sign: a number it signs with is missing or out of range";
    }
    if (signed_ok != 0 || zud_rsa_verify_sha256(&checker.ctx, kProbeDigest.data(), sig.data()) != 0) {
        return "a signature made with the key does not verify with its public half";
    }
    return "";
}

// ---------------------------------------------------------------------------
// Records

constexpr std::size_t kValueBytes = 4 * kNumberRecordWords;  // 544
constexpr std::size_t kShortExponentBytes = 3;
const char* const kRecordNames[8] = {"N", "E", "D", "P", "Q", "DP", "DQ", "QP"};

std::string record_name(std::size_t index) {
    return "record " + std::to_string(index + 1) + " (" + kRecordNames[index] + ")";
}

bool zero_from(ConstBytes bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// The words a little-endian value needs: up to its highest non-zero byte.
std::size_t words_needed(ConstBytes value) {
    std::size_t bytes = value.size();
    while (bytes > 0 && value[bytes - 1] == 0) --bytes;
    return (bytes + 3) / 4;
}

// One record of a file in the full (`full`) or short form; `record` is its
// 552 bytes.
std::string check_record(ConstBytes record, std::size_t index, bool full) {
    const ConstBytes value = record.first(kValueBytes);
    if (!zero_from(record.subspan(kNumberRecordWordCountAt + 4), 0)) {
        return record_name(index) + " has non-zero bytes after its word count";
    }
    if (!full && index == 1) {
        return zero_from(value, kShortExponentBytes)
                   ? ""
                   : record_name(index) + " has non-zero bytes past the 3 bytes the short form reads";
    }
    const std::uint32_t words = get_le32(record, kNumberRecordWordCountAt);
    if (words > kNumberRecordWords) {
        return record_name(index) + " has a word count of " + std::to_string(words) +
               "; a record holds at most 136 words";
    }
    if (words == 0 && index <= 2) return record_name(index) + " is empty";
    if (!zero_from(value, std::size_t{words} * 4)) {
        return record_name(index) + " has non-zero bytes past its " + std::to_string(words) + " words";
    }
    if (full && index <= 1 && words > words_needed(value)) {
        return record_name(index) + " has " + std::to_string(words) + " words where its value needs " +
               std::to_string(words_needed(value));
    }
    return "";
}

}  // namespace

std::string check_private_key(const mbedtls_rsa_context& key, std::int32_t mode) {
    if (present(key.P) && present(key.Q)) {
        std::string reason = check_crt_numbers(key);
        if (!reason.empty()) return reason;
    }
    return probe_signature(key, mode);
}

std::string check_key_file_records(ConstBytes file) {
    const bool full = is_full_key_file_size(file.size());
    if (!full && !is_short_key_file_size(file.size())) return "";
    const ConstBytes key_file = full ? file.first(kFullKeyFileSize) : file;
    const std::size_t count = full ? 8 : 3;
    for (std::size_t i = 0; i < count; ++i) {
        std::string reason = check_record(key_file.subspan(i * kNumberRecordSize, kNumberRecordSize), i, full);
        if (!reason.empty()) return reason;
    }
    const std::size_t records_end = count * kNumberRecordSize;
    if (!zero_from(key_file, records_end)) {
        return "the " + std::to_string(key_file.size() - records_end) + " bytes after the records are not all zero";
    }
    return "";
}
