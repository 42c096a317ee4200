#include "support/test_keys.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "key_block.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/pk.h>

#include "support/run.h"
#include "support/temp_dir.h"

namespace {

struct OwnedKey {
    OwnedKey() { mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0); }
    ~OwnedKey() { mbedtls_rsa_free(&ctx); }
    mbedtls_rsa_context ctx;
};

// Deterministic entropy: the same keys in every test process.
int fixed_entropy(void* state, unsigned char* out, std::size_t len) {
    auto* counter = static_cast<std::uint64_t*>(state);
    for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<unsigned char>((*counter)++ * 131 + 7);
    return 0;
}

Bytes big_endian(const mbedtls_mpi& x) {
    Bytes b(mbedtls_mpi_size(&x));
    if (mbedtls_mpi_write_binary(&x, b.data(), b.size()) != 0) throw std::runtime_error("mpi");
    return b;
}

std::string hex_upper(const Bytes& b) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (auto v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s.empty() ? "0" : s;
}

const char* const kNames[8] = {"N", "E", "D", "P", "Q", "DP", "DQ", "QP"};

const mbedtls_mpi* numbers_of(const mbedtls_rsa_context& k, int i) {
    const mbedtls_mpi* all[8] = {&k.N, &k.E, &k.D, &k.P, &k.Q, &k.DP, &k.DQ, &k.QP};
    return all[i];
}

// Generated keys are cached as text files next to the tests, since every
// test runs in a process of its own and generating a 4096-bit key is slow.
std::string cache_path(int bits, int index) {
    std::ostringstream name;
    name << ZUD_TEST_KEY_CACHE << "/key-" << bits << "-" << index << ".txt";
    return name.str();
}

bool load_cached(const std::string& path, mbedtls_rsa_context& k) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    for (int i = 0; i < 8; ++i) {
        if (!std::getline(in, line)) return false;
        const auto at = line.rfind(' ');
        mbedtls_mpi* target = const_cast<mbedtls_mpi*>(numbers_of(k, i));
        if (mbedtls_mpi_read_string(target, 16, line.c_str() + at + 1) != 0) return false;
    }
    k.len = mbedtls_mpi_size(&k.N);
    return mbedtls_rsa_check_privkey(&k) == 0;
}

void generate(int bits, int index, mbedtls_rsa_context& k) {
    std::uint64_t counter = static_cast<std::uint64_t>(bits) * 1000 + static_cast<std::uint64_t>(index);
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ctr_drbg_init(&drbg);
    if (mbedtls_ctr_drbg_seed(&drbg, fixed_entropy, &counter, nullptr, 0) != 0 ||
        mbedtls_rsa_gen_key(&k, mbedtls_ctr_drbg_random, &drbg, static_cast<unsigned>(bits),
                            65537) != 0) {
        throw std::runtime_error("test key generation failed");
    }
    mbedtls_ctr_drbg_free(&drbg);
}

}  // namespace

const mbedtls_rsa_context& test_key(int bits, int index) {
    static std::map<std::pair<int, int>, std::unique_ptr<OwnedKey>> keys;
    auto& slot = keys[{bits, index}];
    if (!slot) {
        slot = std::make_unique<OwnedKey>();
        const std::string path = cache_path(bits, index);
        if (!load_cached(path, slot->ctx)) {
            mbedtls_rsa_free(&slot->ctx);
            mbedtls_rsa_init(&slot->ctx, MBEDTLS_RSA_PKCS_V15, 0);
            generate(bits, index, slot->ctx);
            std::filesystem::create_directories(ZUD_TEST_KEY_CACHE);
            const std::string tmp = path + "." + std::to_string(::getpid());
            write_text_key(tmp, slot->ctx);
            std::filesystem::rename(tmp, path);  // atomic for concurrent tests
        }
    }
    return slot->ctx;
}

namespace {

// One number record: 136 little-endian words, then the word count.
void put_record(Bytes& file, std::size_t index, const mbedtls_mpi& x) {
    const Bytes be = big_endian(x);
    const std::size_t at = index * 552;
    for (std::size_t i = 0; i < be.size(); ++i) file.at(at + i) = be[be.size() - 1 - i];
    const auto words = static_cast<std::uint32_t>((be.size() + 3) / 4);
    for (int i = 0; i < 4; ++i) file.at(at + 544 + i) = static_cast<std::uint8_t>(words >> (8 * i));
}

}  // namespace

void write_full_key(const std::string& path, const mbedtls_rsa_context& key) {
    Bytes file(4680, 0);
    for (int i = 0; i < 8; ++i) put_record(file, static_cast<std::size_t>(i), *numbers_of(key, i));
    write_file(path, file);
}

void write_short_key(const std::string& path, const mbedtls_rsa_context& key) {
    Bytes file(1920, 0);
    for (int i = 0; i < 3; ++i) put_record(file, static_cast<std::size_t>(i), *numbers_of(key, i));
    write_file(path, file);
}

void write_text_key(const std::string& path, const mbedtls_rsa_context& key) {
    std::ofstream out(path, std::ios::trunc);
    for (int i = 0; i < 8; ++i) out << kNames[i] << " = " << hex_upper(big_endian(*numbers_of(key, i))) << "\n";
    if (!out) throw std::runtime_error("cannot write " + path);
}

void write_public_pem(const std::string& path, const mbedtls_rsa_context& key) {
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    unsigned char pem[4096] = {};
    if (mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) != 0 ||
        mbedtls_rsa_import(mbedtls_pk_rsa(pk), &key.N, nullptr, nullptr, nullptr, &key.E) != 0 ||
        mbedtls_rsa_complete(mbedtls_pk_rsa(pk)) != 0 ||
        mbedtls_pk_write_pubkey_pem(&pk, pem, sizeof pem) != 0) {
        mbedtls_pk_free(&pk);
        throw std::runtime_error("cannot export public key");
    }
    mbedtls_pk_free(&pk);
    std::ofstream(path) << reinterpret_cast<const char*>(pem);
}

namespace {

void write_pkcs1_pem(const std::string& path, const mbedtls_rsa_context& key) {
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    std::vector<unsigned char> pem(16384, 0);
    const bool ok = mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) == 0 &&
                    mbedtls_rsa_copy(mbedtls_pk_rsa(pk), &key) == 0 &&
                    mbedtls_pk_write_key_pem(&pk, pem.data(), pem.size()) == 0;
    mbedtls_pk_free(&pk);
    if (!ok) throw std::runtime_error("cannot export private key");
    std::ofstream(path) << reinterpret_cast<const char*>(pem.data());
}

void run_openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    const ProcessRun run = run_process(args);
    if (run.exit_status != 0) throw std::runtime_error("openssl failed: " + run.err);
}

}  // namespace

void write_pem_key(const std::string& path, const mbedtls_rsa_context& key, PemForm form,
                   const std::string& passphrase) {
    if (form == PemForm::kPkcs1) return write_pkcs1_pem(path, key);
    const std::string plain = path + ".pkcs1";
    write_pkcs1_pem(plain, key);
    const std::string pass = "pass:" + passphrase;
    switch (form) {
        case PemForm::kEncryptedPkcs1:
            run_openssl({"rsa", "-in", plain, "-traditional", "-aes128", "-passout", pass, "-out", path});
            break;
        case PemForm::kPkcs8: run_openssl({"pkey", "-in", plain, "-out", path}); break;
        case PemForm::kEncryptedPkcs8:
            run_openssl({"pkey", "-in", plain, "-aes-256-cbc", "-passout", pass, "-out", path});
            break;
        case PemForm::kRsaPublic:
            run_openssl({"rsa", "-in", plain, "-RSAPublicKey_out", "-out", path});
            break;
        case PemForm::kPkcs1: break;
    }
    std::filesystem::remove(plain);
}

bool openssl_verifies(const std::string& public_pem, const Bytes& digest, const Bytes& signature) {
    TempDir dir;
    write_file(dir.file("digest"), digest);
    write_file(dir.file("sig"), signature);
    const ProcessRun run = run_process({"openssl", "pkeyutl", "-verify", "-pubin", "-inkey",
                                        public_pem, "-in", dir.file("digest"), "-sigfile",
                                        dir.file("sig"), "-pkeyopt", "digest:sha256"});
    return run.exit_status == 0;
}

Bytes public_key_digest_of(const mbedtls_rsa_context& key) {
    const auto digest = public_key_digest(key);
    if (!digest) throw std::runtime_error("no key digest for a test key");
    return Bytes(digest->begin(), digest->end());
}
