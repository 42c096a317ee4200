// Signing keys from key files, PEM files and a SoftHSM2 token.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "keyfile.h"
#include "signing_key.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/softhsm.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

constexpr char kPassphrase[] = "fir mware";
constexpr char kPin[] = "4711";

class SigningKeyTest : public testing::Test {
protected:
    void SetUp() override {
        g_nVQ_RSA_keyFormat = 0;
        for (const char* name : {"ZUD_KEY_PASSPHRASE", "ZUD_PKCS11_PIN", "ZUD_PKCS11_MODULE"}) {
            ::unsetenv(name);
        }
        token.import_key(key, "signer", "01");
        write_full_key(dir.file("key.bin"), key);
        source.pkcs11_module = kSoftHsmModule;
    }

    std::string pem(PemForm form, const mbedtls_rsa_context& k) {
        const std::string path = dir.file("key" + std::to_string(++pem_count) + ".pem");
        write_pem_key(path, k, form, kPassphrase);
        return path;
    }
    std::string pem(PemForm form) { return pem(form, key); }

    // Secrets from the environment, or (with `files`) from the passphrase
    // file and the URI's pin-source file only.
    void provide_secrets(bool files) {
        ::unsetenv("ZUD_KEY_PASSPHRASE");
        ::unsetenv("ZUD_PKCS11_PIN");
        source.passphrase_file = nullptr;
        if (files) {
            write_file(dir.file("passphrase"), bytes_of(std::string(kPassphrase) + "\r\nnext\n"));
            write_file(dir.file("pin"), bytes_of(std::string(kPin) + "\n"));
            passphrase_file = dir.file("passphrase");
            source.passphrase_file = passphrase_file.c_str();
        } else {
            ::setenv("ZUD_KEY_PASSPHRASE", kPassphrase, 1);
            ::setenv("ZUD_PKCS11_PIN", kPin, 1);
        }
    }

    static Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

    const mbedtls_rsa_context& key = test_key(2048);
    TempDir dir;
    SoftHsmToken token{"zud-test", kPin};
    SigningKeySource source;
    std::string passphrase_file;
    int pem_count = 0;
};

TEST_F(SigningKeyTest, EveryFormGivesThePublicHalfOfTheKeyFile) {
    RsaKey reference;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&reference.ctx, dir.file("key.bin").c_str()), 0);
    struct Form {
        const char* what;
        std::function<std::string()> value;
        bool files;     // secrets from files instead of the environment
        bool can_sign;
    };
    const Form forms[] = {
        {"key file", [&] { return dir.file("key.bin"); }, false, true},
        {"PEM PKCS#1", [&] { return pem(PemForm::kPkcs1); }, false, true},
        {"PEM PKCS#1 encrypted", [&] { return pem(PemForm::kEncryptedPkcs1); }, false, true},
        {"PEM PKCS#8", [&] { return pem(PemForm::kPkcs8); }, false, true},
        {"PEM PKCS#8 encrypted", [&] { return pem(PemForm::kEncryptedPkcs8); }, false, true},
        {"PEM PKCS#8 encrypted, passphrase file", [&] { return pem(PemForm::kEncryptedPkcs8); },
         true, true},
        {"PEM PUBLIC KEY", [&] {
             write_public_pem(dir.file("pub.pem"), key);
             return dir.file("pub.pem");
         }, false, false},
        {"PEM RSA PUBLIC KEY", [&] { return pem(PemForm::kRsaPublic); }, false, false},
        {"token private key", [&] { return token.uri("signer"); }, false, true},
        {"token public key", [&] { return token.uri("signer") + ";type=public"; }, false, false},
        {"token, percent-encoded, module and PIN in the URI", [&] {
             return "pkcs11:token=zud%2dtest;object=%73igner;id=%01?pin-source=file:" +
                    dir.file("pin") + "&module-path=" + kSoftHsmModule;
         }, true, true},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(form.what);
        provide_secrets(form.files);
        source.pkcs11_module = form.files ? nullptr : kSoftHsmModule;
        const std::string value = form.value();
        std::string reason;
        RsaKey public_half;
        ASSERT_TRUE(open_public_key(value.c_str(), source, public_half, reason)) << reason;
        EXPECT_EQ(public_half.ctx.len, 256u);
        EXPECT_EQ(key_values(public_half.ctx), key_values(reference.ctx));
        const auto signer = open_signing_key(value.c_str(), source, reason);
        ASSERT_EQ(signer != nullptr, form.can_sign) << reason;
        if (!signer) continue;
        EXPECT_EQ(signer->length(), 256u);
        EXPECT_EQ(key_values(*signer->public_key()), key_values(reference.ctx));
    }
}

TEST_F(SigningKeyTest, SignaturesAreByteIdenticalInEveryForm) {
    RsaKey reference;
    ASSERT_EQ(zud_tq_load_rsa_key_file(&reference.ctx, dir.file("key.bin").c_str()), 0);
    const Bytes digest = sha256_of(counting_bytes(1000));
    Bytes expected_sig(256);
    ASSERT_EQ(zud_rsa_sign_sha256(&reference.ctx, digest.data(), expected_sig.data()), 0);
    Bytes block(256, 0);  // the upgrade trailer: 16 zero bytes, the digest, zeros
    std::copy(digest.begin(), digest.end(), block.begin() + 16);
    Bytes expected_raw(256);
    ASSERT_EQ(zud_rsa_private(&reference.ctx, block.data(), expected_raw.data()), 0);
    Bytes modulus(256);
    ASSERT_EQ(mbedtls_mpi_write_binary(&key.N, modulus.data(), modulus.size()), 0);

    write_short_key(dir.file("short.bin"), key);
    write_text_key(dir.file("key.txt"), key);
    write_full_key(dir.file("other.bin"), test_key(2048, 1));
    provide_secrets(false);
    const std::string values[] = {dir.file("key.bin"), dir.file("short.bin"), dir.file("key.txt"),
                                  pem(PemForm::kPkcs1), pem(PemForm::kEncryptedPkcs8),
                                  token.uri("signer")};
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        std::string reason;
        const auto signer = open_signing_key(value.c_str(), source, reason);
        ASSERT_NE(signer, nullptr) << reason;
        // A key file loaded later sets the process-wide mode for its own
        // form; the short key must still sign with D alone.
        RsaKey later;
        ASSERT_EQ(zud_tq_load_rsa_key_file(&later.ctx, dir.file("other.bin").c_str()), 0);
        g_nVQ_RSA_keyFormat = 7;

        Bytes sig(300, 0xEE);
        ASSERT_EQ(signer->sign_sha256(std::span<const std::uint8_t, 32>(digest.data(), 32), sig),
                  0) << signer->failure();
        EXPECT_EQ(slice(sig, 0, 256), expected_sig);
        EXPECT_EQ(sig[256], 0xEE);  // exactly the modulus length is written
        Bytes raw = block;  // in place, as the upgrade signer does it
        ASSERT_EQ(signer->private_raw(raw, raw), 0) << signer->failure();
        EXPECT_EQ(raw, expected_raw);
        EXPECT_EQ(signer->private_raw(modulus, raw), kSignBadInput);
        EXPECT_EQ(g_nVQ_RSA_keyFormat, 7);
    }
}

TEST_F(SigningKeyTest, EachFailureIsRefusedWithItsReason) {
    struct Failure {
        const char* what;
        std::function<std::string()> prepare;  // returns the value to open
        std::string expected;                  // part of the reason
    };
    std::string encrypted;
    const Failure failures[] = {
        {"wrong passphrase", [&] {
             ::setenv("ZUD_KEY_PASSPHRASE", "not-it", 1);
             return encrypted = pem(PemForm::kEncryptedPkcs8);
         }, "wrong passphrase for "},
        {"wrong PIN", [&] {
             ::setenv("ZUD_PKCS11_PIN", "0000", 1);
             return token.uri("signer");
         }, "wrong PIN for token 'zud-test'"},
        {"missing object", [&] { return token.uri("nobody"); },
         "no private key 'nobody' on token 'zud-test'"},
        {"missing token", [&] { return std::string("pkcs11:token=elsewhere;object=signer"); },
         "no token labelled 'elsewhere' (tokens present: 'zud-test'"},
        {"module that cannot be loaded", [&] {
             source.pkcs11_module = "/nonexistent/module.so";
             return token.uri("signer");
         }, "cannot load the PKCS#11 module /nonexistent/module.so"},
        {"PIN in the URI", [&] { return token.uri("signer") + "?pin-value=4711"; },
         "a PIN on the command line is refused"},
        {"3072-bit key", [&] {
             const ProcessRun run = run_process({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                                                 "rsa_keygen_bits:3072", "-out", dir.file("3072.pem")});
             EXPECT_EQ(run.exit_status, 0) << run.err;
             return dir.file("3072.pem");
         }, "has a 3072-bit modulus"},
        {"EC key", [&] {
             const ProcessRun run = run_process({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                                                 "ec_paramgen_curve:P-256", "-out", dir.file("ec.pem")});
             EXPECT_EQ(run.exit_status, 0) << run.err;
             return dir.file("ec.pem");
         }, "holds a key of type EC"},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.what);
        ::setenv("ZUD_PKCS11_PIN", kPin, 1);
        ::unsetenv("ZUD_KEY_PASSPHRASE");
        source.pkcs11_module = kSoftHsmModule;
        const std::string value = failure.prepare();
        std::string reason;
        testing::internal::CaptureStdout();
        EXPECT_EQ(open_signing_key(value.c_str(), source, reason), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_NE(reason.find(failure.expected), std::string::npos) << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
        for (const char* secret : {"not-it", "0000", "4711"}) {
            EXPECT_EQ(reason.find(secret), std::string::npos) << reason;
        }
    }
    EXPECT_NE(encrypted, "");
}

TEST(Pkcs11UriTest, AttributesAreDecodedOrRefused) {
    Pkcs11Uri uri;
    std::string reason;
    ASSERT_TRUE(parse_pkcs11_uri("pkcs11:token=a%20b;object=k;id=%01%fF;type=private"
                                 "?pin-source=file:/p/pin&module-path=/m.so",
                                 uri, reason)) << reason;
    EXPECT_EQ(uri.token, "a b");
    EXPECT_EQ(uri.object, "k");
    EXPECT_TRUE(uri.has_id);
    EXPECT_EQ(uri.id, std::string("\x01\xff", 2));
    EXPECT_EQ(uri.type, "private");
    EXPECT_EQ(uri.pin_source, "/p/pin");
    EXPECT_EQ(uri.module_path, "/m.so");

    const std::pair<const char*, const char*> refused[] = {
        {"pkcs11:token=a;serial=1", "'serial' is not supported"},
        {"pkcs11:object=a;object=b", "gives 'object' twice"},
        {"pkcs11:object=%4", "needs a value"},
        {"pkcs11:object=%zz", "needs a value"},
        {"pkcs11:object=k?pin-value=1234", "PIN on the command line"},
        {"pkcs11:object=k?module-name=x", "'module-name' is not supported"},
        {"pkcs11:type=cert", "type=cert"},
    };
    for (const auto& [text, expected] : refused) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parse_pkcs11_uri(text, uri, reason));
        EXPECT_NE(reason.find(expected), std::string::npos) << reason;
    }
}

}  // namespace
