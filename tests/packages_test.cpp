// Device packages and SD images.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#include "builtin.h"
#include "builtin_key.h"
#include "keyfile.h"
#include "support/crypto.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

// Undoes the built-in signer's encryption: AES-256-CBC, zero IV, one chain.
Bytes decrypt_builtin(const Bytes& sealed) { return aes256_cbc_decrypt(kBuiltinAes, sealed); }

// The password chain, recomputed link by link from its definition.
Bytes chain_of(const std::string& password, std::uint32_t salt) {
    Bytes link(28, 0);
    for (int i = 0; i < 32; ++i) {
        Bytes message = link;
        message.insert(message.end(), password.begin(), password.end());
        for (int b = 0; b < 4; ++b) message.push_back(static_cast<std::uint8_t>(salt >> (8 * b)));
        Bytes full(32);
        mbedtls_sha256_ret(message.data(), message.size(), full.data(), 1);
        link.assign(full.begin(), full.begin() + 28);
    }
    return link;
}

// A sealed package: checks the signed block around it and returns the 512
// package bytes.
class PackageTest : public testing::Test {
protected:
    void SetUp() override { g_nVQ_RSA_keyFormat = 0; }

    Bytes open_package(const std::string& path) {
        const Bytes sealed = read_file(path);
        EXPECT_EQ(sealed.size(), 1168u);
        const Bytes block = decrypt_builtin(sealed);
        EXPECT_EQ(text_at(block, 0, 4), "@ZUD");
        EXPECT_EQ(le32_at(block, 0x04), 1168u);     // total_size
        EXPECT_EQ(le32_at(block, 0x18), 256u);      // sig_size
        EXPECT_EQ(le32_at(block, 0x34), 656u);      // payload_offset
        EXPECT_EQ(le32_at(block, 0x38), 512u);      // payload_size
        // A package is shorter than the header region: it follows it as is,
        // and the signature covers header, key block and the 512 bytes.
        Bytes signed_part = slice(block, 0, 64);
        const Bytes rest = slice(block, 320, 1168 - 320);
        signed_part.insert(signed_part.end(), rest.begin(), rest.end());
        EXPECT_TRUE(openssl_verifies(builtin_pem(), sha256_of(signed_part), slice(block, 64, 256)));
        return slice(block, 656, 512);
    }

    std::string builtin_pem() {
        const std::string pem = dir.file("builtin.pem");
        if (!file_exists(pem)) {
            RsaKey key;
            EXPECT_EQ(zud_tq_load_key_internal(&key.ctx, nullptr), 0);
            write_public_pem(pem, key.ctx);
        }
        return pem;
    }

    // A file holding `content`, for --password-file.
    std::string password_file(const std::string& name, const std::string& content) {
        write_file(dir.file(name), Bytes(content.begin(), content.end()));
        return dir.file(name);
    }

    TempDir dir;
    std::string out = dir.file("package.bin");
};

class PasswordPackageTest : public PackageTest {};

TEST_F(PasswordPackageTest, EachInterfaceSetsItsFlagsMaskAndDigest) {
    const std::string password = "0123456789abcdef";
    struct Case {
        const char* option;
        std::uint8_t byte6, byte8, mask_byte13;
        std::size_t digest_at, empty_at;
    };
    for (const Case c : {Case{"jtag", 0x10, 0x00, 0x03, 128, 160}, Case{"usb", 0x00, 0x02, 0x03, 128, 160},
                         Case{"jtagusb", 0x10, 0x02, 0x03, 128, 160}, Case{"scan", 0x08, 0x00, 0x0C, 160, 128}}) {
        const ToolRun run =
            run_tool({"--mkpsd", "--password", password, "--option", c.option, "--output", out}, 31);
        ASSERT_EQ(run.result, 0) << c.option;
        EXPECT_EQ(run.out, "");
        const Bytes package = open_package(out);
        Bytes expected(512, 0);
        expected[6] = c.byte6;
        expected[8] = c.byte8;
        expected[13] = c.mask_byte13;
        srandom(31);
        const auto salt = static_cast<std::uint32_t>(std::rand());
        const Bytes link = chain_of(password, salt);
        std::copy(link.begin(), link.end(), expected.begin() + static_cast<std::ptrdiff_t>(c.digest_at));
        for (int b = 0; b < 4; ++b) expected[c.digest_at + 28 + b] = static_cast<std::uint8_t>(salt >> (8 * b));
        EXPECT_EQ(package, expected) << c.option;
        EXPECT_EQ(slice(package, c.empty_at, 32), Bytes(32, 0));
    }
}

TEST_F(PasswordPackageTest, LastLinkMatchesOpenssl) {
    const std::string password = "fedcba9876543210";
    ASSERT_EQ(run_tool({"--mkpsd", "--password", password, "--option", "usb", "--output", out}, 5).result, 0);
    const Bytes package = open_package(out);
    const std::uint32_t salt = le32_at(package, 128 + 28);
    srandom(5);
    EXPECT_EQ(salt, static_cast<std::uint32_t>(std::rand()));
    // The 48-byte message of the last link: link 31, password, salt.
    Bytes link31(28, 0);
    for (int i = 0; i < 31; ++i) {
        Bytes m = link31;
        m.insert(m.end(), password.begin(), password.end());
        for (int b = 0; b < 4; ++b) m.push_back(package[128 + 28 + b]);
        Bytes full(32);
        mbedtls_sha256_ret(m.data(), m.size(), full.data(), 1);
        link31.assign(full.begin(), full.begin() + 28);
    }
    link31.insert(link31.end(), password.begin(), password.end());
    link31.insert(link31.end(), package.begin() + 156, package.begin() + 160);
    write_file(dir.file("last.msg"), link31);
    const ProcessRun dgst = run_process({"openssl", "dgst", "-sha224", "-r", dir.file("last.msg")});
    ASSERT_EQ(dgst.exit_status, 0);
    EXPECT_EQ(dgst.out.substr(0, 56), to_hex(slice(package, 128, 28)));
}

TEST_F(PasswordPackageTest, StatusesInTheirOrderAndNoFileBeforeTheOutputStep) {
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "--mkpsd");
        return run_tool(args);
    };
    EXPECT_EQ(run({"--output", out, "--option", "jtag"}).result, 4325);
    const ToolRun short_pw = run({"--password", "0123456789abcde", "--output", out});
    EXPECT_EQ(short_pw.result, 4330);
    EXPECT_EQ(short_pw.out, "zud log : Invalid password ! [16 chars]\nzud_encrypt_tqrr mkpsd fail[4330]!\n");
    EXPECT_EQ(run({"--password", "0123456789abcdefg", "--option", "jtag", "--output", out}).result, 4330);
    EXPECT_EQ(run({"--password", "0123456789abcdef", "--output", out}).result, 4345);
    EXPECT_EQ(run({"--password", "0123456789abcdef", "--option", "JTAG", "--output", out}).result, 4349);
    EXPECT_EQ(run({"--password", "0123456789abcdef", "--option", "jtag"}).result, 4416);
    EXPECT_FALSE(file_exists(out));
    EXPECT_EQ(run({"--password", "0123456789abcdef", "--option", "jtag", "--output", dir.file("no/dir")}).result, 4422);
}

TEST_F(PasswordPackageTest, LengthIsCountedInBytes) {
    std::string eight_wide;
    for (int i = 0; i < 8; ++i) eight_wide += "\xC3\xBC";  // 8 two-byte characters
    EXPECT_EQ(run_tool({"--mkpsd", "--password", eight_wide, "--option", "scan", "--output", out}).result, 0);
    std::string sixteen_wide = eight_wide + eight_wide;
    EXPECT_EQ(run_tool({"--mkpsd", "--password", sixteen_wide, "--option", "scan", "--output", dir.file("b")}).result, 4330);
}

TEST_F(PasswordPackageTest, SameSecondSamePackageAndThePasswordIsNeverPrinted) {
    const std::string password = "sEcReT-pAsSwOrD!";
    const ToolRun first = run_tool({"--mkpsd", "--password", password, "--option", "jtag", "--output", out}, 9);
    ASSERT_EQ(first.result, 0);
    const Bytes a = open_package(out);
    ASSERT_EQ(run_tool({"--mkpsd", "--password", password, "--option", "jtag", "--output", out}, 9).result, 0);
    EXPECT_EQ(open_package(out), a);
    EXPECT_EQ(first.out.find(password), std::string::npos);
}

TEST_F(PasswordPackageTest, UnwritableOutputLeavesAnEarlierFileAsItWas) {
    // The package cannot take the name of a directory; what was there stays.
    std::filesystem::create_directory(out);
    const ToolRun run = run_tool({"--mkpsd", "--password", "0123456789abcdef", "--option", "usb", "--output", out});
    EXPECT_EQ(run.result, 4422);
    EXPECT_TRUE(std::filesystem::is_directory(out));
    EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"package.bin"}));
}

TEST_F(PasswordPackageTest, PasswordFileGivesTheWrittenPasswordsPackage) {
    const std::string password = "0123456789abcdef";
    const ToolRun written = run_tool({"--mkpsd", "--password", password, "--option", "usb", "--output", out}, 7);
    ASSERT_EQ(written.result, 0);
    EXPECT_NE(written.err.find("--password-file"), std::string::npos) << written.err;
    const Bytes expected = open_package(out);
    // As `echo` writes it, the file has a line feed behind the 16 bytes.
    for (const std::string& content : {password, password + "\n"}) {
        const std::string pw = password_file("pw", content);
        ASSERT_EQ(run_tool({"--mkpsd", "--password-file", pw, "--option", "usb", "--output", out}, 7).result, 0);
        EXPECT_EQ(open_package(out), expected) << content.size();
    }
}

TEST_F(PasswordPackageTest, PasswordFilesThatGiveNoPasswordAreRefused) {
    std::filesystem::create_directory(dir.file("a-directory"));
    const struct {
        std::string file;
        std::vector<std::string> also;
        int result;
    } cases[] = {
        {password_file("both", "0123456789abcdef"), {"--password", "0123456789abcdef"}, 4328},
        {dir.file("absent"), {}, 4327},
        {dir.file("a-directory"), {}, 4327},
        {password_file("short", "0123456789abcde\n"), {}, 4330},
        {password_file("seventeen", "0123456789abcdefg"), {}, 4330},
        {password_file("crlf", "0123456789abcdef\r\n"), {}, 4330},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const bool regular = std::filesystem::is_regular_file(c.file);
        const Bytes content = regular ? read_file(c.file) : Bytes{};
        std::vector<std::string> args{"--mkpsd", "--password-file", c.file, "--option", "jtag", "--output", out};
        args.insert(args.end(), c.also.begin(), c.also.end());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.result, c.result);
        EXPECT_NE(run.err.find(c.file), std::string::npos) << run.err;
        EXPECT_FALSE(file_exists(out));
        EXPECT_EQ(regular ? read_file(c.file) : Bytes{}, content);
    }
}

TEST_F(PackageTest, PackagesSealedWithTheDevelopmentKeySaySo) {
    const std::string id = dir.file("id.bin");
    const ToolRun password = run_tool({"--mkpsd", "--password-file", password_file("pw", "0123456789abcdef"),
                                       "--option", "jtag", "--output", out});
    const ToolRun customer = run_tool({"--mkcusid", "--customerid", "CUST01", "--output", id});
    for (const auto& [run, sealed] : {std::pair{&password, out}, std::pair{&customer, id}}) {
        ASSERT_EQ(run->result, 0);
        EXPECT_TRUE(kBuiltinKeyIsDevelopment ? is_development_seal_warning(run->err, sealed) : run->err.empty())
            << run->err;
    }
    // Nothing sealed, nothing said.
    EXPECT_EQ(run_tool({"--mkcusid", "--customerid", "CUST01", "--output", dir.file("no/dir")}).err.find("development"),
              std::string::npos);
}

class CustomerIdTest : public PackageTest {};

TEST_F(CustomerIdTest, IdentifierAndMaskInTheSignedPackage) {
    for (const std::string id : {"ABCDE", "12345678"}) {
        ASSERT_EQ(run_tool({"--mkcusid", "--customerid", id, "--output", out}).result, 0) << id;
        const Bytes package = open_package(out);
        Bytes expected(512, 0);
        expected[14] = 0x01;  // mask 0x00010000
        std::copy(id.begin(), id.end(), expected.begin() + 264);
        EXPECT_EQ(package, expected) << id;
    }
    // No random bytes in the package: two runs agree.
    ASSERT_EQ(run_tool({"--mkcusid", "--customerid=CUST01", "--output=" + out}, 1).result, 0);
    const Bytes a = open_package(out);
    ASSERT_EQ(run_tool({"--mkcusid", "--customerid=CUST01", "--output=" + out}, 2).result, 0);
    EXPECT_EQ(open_package(out), a);
}

TEST_F(CustomerIdTest, StatusesInTheirOrder) {
    EXPECT_EQ(run_tool({"--mkcusid", "--output", out}).result, 4513);
    for (const std::string bad : {"ABCD", "123456789"}) {
        const ToolRun run = run_tool({"--mkcusid", "--customerid", bad, "--output", out});
        EXPECT_EQ(run.result, 4518);
        EXPECT_EQ(run.out, "zud log : Invalid customer ID  ! [5-8 chars]\nzud_encrypt_tqrr mkcusid fail[4518]!\n");
    }
    EXPECT_EQ(run_tool({"--mkcusid", "--customerid", "ABCDEF"}).result, 4527);
    EXPECT_FALSE(file_exists(out));
    EXPECT_EQ(run_tool({"--mkcusid", "--customerid", "ABCDEF", "--output", dir.file("no/dir")}).result, 4533);
}

Bytes filler(unsigned seed) {
    srandom(seed);
    Bytes b(512);
    for (auto& v : b) v = static_cast<std::uint8_t>(std::rand() & 0xFF);
    return b;
}

class SdImageTest : public testing::Test {
protected:
    TempDir dir;
    std::string in = dir.file("in.bin");
    std::string out = dir.file("sd.img");
};

TEST_F(SdImageTest, ImageIsOneSectorOfFillerThenTheInput) {
    for (std::size_t size : {0u, 1u, 10240u, 10241u, 30000u}) {
        const Bytes input = counting_bytes(size, 9);
        write_file(in, input);
        const ToolRun run = run_tool({"--mksd", "--input", in, "--output", out}, 4242);
        ASSERT_EQ(run.result, 0) << size;
        EXPECT_EQ(run.out, "");
        const Bytes image = read_file(out);
        ASSERT_EQ(image.size(), size + 512);
        EXPECT_EQ(slice(image, 0, 512), filler(4242));
        EXPECT_EQ(slice(image, 512, size), input);
    }
}

TEST_F(SdImageTest, SameSecondSameFiller) {
    write_file(in, counting_bytes(100));
    ASSERT_EQ(run_tool({"--mksd", "--input=" + in, "--output=" + out}, 7).result, 0);
    const Bytes first = read_file(out);
    ASSERT_EQ(run_tool({"--mksd", "--output", out, "--input", in}, 7).result, 0);
    EXPECT_EQ(read_file(out), first);
    ASSERT_EQ(run_tool({"--mksd", "--output", out, "--input", in}, 8).result, 0);
    EXPECT_NE(read_file(out), first);
}

TEST_F(SdImageTest, MissingFilesFail) {
    // A missing input: no image is made, and an earlier one stays.
    write_file(out, counting_bytes(7));
    ToolRun run = run_tool({"--mksd", "--input", dir.file("none"), "--output", out});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "zud_encrypt_tqrr mksd fail[-1]!\n");
    EXPECT_EQ(read_file(out), counting_bytes(7));
    // No output option: nothing is created.
    write_file(in, counting_bytes(10));
    EXPECT_EQ(run_tool({"--mksd", "--input", in}).result, -1);
    EXPECT_EQ(run_tool({"--mksd"}).result, -1);
    // An output in a directory that does not exist.
    EXPECT_EQ(run_tool({"--mksd", "--input", in, "--output", dir.file("no/dir")}).result, -1);
}

TEST_F(SdImageTest, FailedWriteIsReportedAndTheDeviceKept) {
    write_file(in, counting_bytes(20000));
    EXPECT_EQ(run_tool({"--mksd", "--input", in, "--output", "/dev/full"}).result, -1);
    EXPECT_TRUE(file_exists("/dev/full"));
}

TEST_F(SdImageTest, InputNamedAsOutputIsRefusedAndKept) {
    const Bytes input = counting_bytes(3000);
    write_file(in, input);
    EXPECT_EQ(run_tool({"--mksd", "--input", in, "--output", in}).result, -1);
    EXPECT_EQ(read_file(in), input);
}

}  // namespace
