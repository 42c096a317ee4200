// Verification: keymax chains, stage blocks, the plain layout, signing keys,
// key matrices and the self-test, with every bounds refusal, truncation and
// corruption sweeps over real outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include <mbedtls/bignum.h>

#include "keyfile.h"
#include "key_matrix.h"
#include "keymax.h"
#include "keysig.h"
#include "user_key_file.h"
#include "rng.h"
#include "stage.h"
#include "verify.h"
#include "support/bootloader.h"
#include "support/files.h"
#include "support/signed_blocks.h"
#include "support/temp_dir.h"
#include "support/test_keys.h"

namespace {

const RootDigest kZero{};

RootDigest digest_from(const Bytes& b) {
    RootDigest d{};
    std::copy_n(b.begin(), d.size(), d.begin());
    return d;
}

void set_roots(const RootDigest& a, const RootDigest& b, const RootDigest& c) {
    const std::array<RootDigest, 3> table{a, b, c};
    zud_set_root_digests(table);
}

// SHA-256 over the four entry digests of the matrix at `at`: the root key
// digest the eFuse pattern carries, computed from the bytes alone.
RootDigest matrix_digest_at(const Bytes& b, std::size_t at) {
    Bytes entries;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto from = b.begin() + static_cast<std::ptrdiff_t>(at + 16 + 48 * i + 16);
        entries.insert(entries.end(), from, from + 32);
    }
    return digest_from(sha256_block(entries));
}

// The reason the last checker call below gave.
std::string g_reason;
std::string reason() { return g_reason; }

int recorded(const zud_result& r) {
    g_reason = r.reason;
    return r.number;
}

// The checkers on an exact-size heap copy, so the sanitizers see any read
// past its end.
int check_fix(const Bytes& b, std::uint32_t* offset = nullptr, const Bytes& matrix = {}) {
    const Bytes copy(b);
    return recorded(verify_block_fix(copy, matrix, offset, zud_root_digests()));
}
int check_plain(const Bytes& b, std::uint32_t* offset = nullptr, const Bytes& matrix = {}) {
    const Bytes copy(b);
    return recorded(verify_block_plain(copy, matrix, offset, zud_root_digests()));
}
// The bl3x checker in place (it moves the payload head back).
int bl3x_in_place(Bytes& b, std::uint32_t* offset = nullptr) { return recorded(verify_block_bl3x(b, offset)); }
int check_bl3x(const Bytes& b, std::uint32_t* offset = nullptr) {
    Bytes copy(b);
    return bl3x_in_place(copy, offset);
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class VerifyTest : public testing::Test {
protected:
    void SetUp() override {
        g_nVQ_RSA_keyFormat = 0;
        seed_random(777);
        set_roots(kZero, kZero, kZero);
    }
    void TearDown() override { set_roots(kZero, kZero, kZero); }

    const mbedtls_rsa_context& root = test_key(2048, 0);
    const mbedtls_rsa_context& user1 = test_key(2048, 1);
    const mbedtls_rsa_context& user2 = test_key(2048, 2);
    TempDir dir;
};

// ---------------------------------------------------------------------------
// Keymax chains ("fix" layout, zud_sig_check_file)

class ChainTest : public VerifyTest {
protected:
    void SetUp() override {
        VerifyTest::SetUp();
        keys = make_key_files(dir.path().string());
        keymax = read_file(keys.keymax);
        root_digest = matrix_digest_at(keymax, 1848);
    }
    // The keymax file followed by a second block; the checkers start at 16.
    Bytes chain_with(const Bytes& second) const { return concat(keymax, second); }
    Bytes from16(const Bytes& file) const { return Bytes(file.begin() + 16, file.end()); }
    void admit_root() { set_roots(kZero, root_digest, kZero); }

    KeyFiles keys;
    Bytes keymax;
    RootDigest root_digest{};
};

TEST_F(ChainTest, KeymaxAndUserKeyBlockPassWithTheSecondPayloadsOffset) {
    admit_root();
    const Bytes second = fix_block_from_writer(dir.path().string(), keys.user1, counting_bytes(700));
    ASSERT_EQ(le32_at(second, 0x34), 1832u);
    write_file(dir.file("chain.bin"), chain_with(second));

    testing::internal::CaptureStdout();
    EXPECT_EQ(zud_sig_check_file(dir.file("chain.bin").c_str()), 0) << reason();
    // 16 + total_size of the keymax block (2248) + payload_offset (1832).
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "zud log: BL2 is start from 0x1000 \n");

    std::uint32_t offset = 99;
    EXPECT_EQ(check_fix(from16(chain_with(second)), &offset), 0);
    EXPECT_EQ(offset, 2248u + 1832u);
}

TEST_F(ChainTest, AnyUserKeyOfTheKeymaxSignsTheSecondBlock) {
    set_roots(root_digest, kZero, kZero);
    const Bytes by_user2 = fix_block_from_writer(dir.path().string(), keys.user2, counting_bytes(64));
    EXPECT_EQ(check_fix(from16(chain_with(by_user2))), 0) << reason();
    // A block assembled by the suite itself, independent of the writer.
    BlockShape layout;
    layout.key = &user1;
    layout.payload = counting_bytes(100);
    std::uint32_t offset = 0;
    EXPECT_EQ(check_fix(from16(chain_with(assemble_block(layout))), &offset), 0) << reason();
    EXPECT_EQ(offset, 2248u + 1832u);
}

TEST_F(ChainTest, SecondBlockSignedByTheRootKeyFails) {
    admit_root();
    const Bytes by_root = fix_block_from_writer(dir.path().string(), keys.root, counting_bytes(64));
    write_file(dir.file("chain.bin"), chain_with(by_root));
    testing::internal::CaptureStdout();
    EXPECT_EQ(zud_sig_check_file(dir.file("chain.bin").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(check_fix(from16(chain_with(by_root))), -1);
    EXPECT_EQ(reason(), "second block: the block is not signed by a key of the key matrix");
}

TEST_F(ChainTest, RootMatrixOutsideTheTableFailsBeforeTheSecondBlock) {
    // Garbage where the second block would be: the refusal names the root
    // matrix, so the second block was never looked at.
    EXPECT_EQ(check_fix(from16(chain_with(Bytes(300, 0xEE)))), -1);
    EXPECT_EQ(reason(), "the root key matrix is not in the root digest table");
    set_roots(kZero, kZero, root_digest);  // the last entry counts too
    EXPECT_EQ(check_fix(from16(chain_with(Bytes(300, 0xEE)))), -1);
    EXPECT_EQ(reason(), "second block: no signed block magic \"@ZUD\"");
}

TEST_F(ChainTest, DigestOnlySecondBlockIsRefused) {
    admit_root();
    BlockShape layout;
    layout.payload = counting_bytes(96);
    const Bytes digest_only = assemble_block(layout);
    // On its own it passes, with its payload offset.
    std::uint32_t offset = 0;
    EXPECT_EQ(check_fix(digest_only, &offset), 0);
    EXPECT_EQ(offset, 1832u);
    // Behind a keymax it would let anyone append unsigned code.
    EXPECT_EQ(check_fix(from16(chain_with(digest_only))), -1);
    // And against a given matrix as well.
    EXPECT_EQ(check_fix(digest_only, nullptr, slice(keymax, 2056, 208)), -1);
}

TEST_F(ChainTest, WithAMatrixTheOffsetIsAddedToTheCallersValue) {
    const Bytes second = fix_block_from_writer(dir.path().string(), keys.user1, counting_bytes(32));
    std::uint32_t offset = 1000;
    EXPECT_EQ(check_fix(second, &offset, slice(keymax, 2056, 208)), 0);
    EXPECT_EQ(offset, 2832u);
    EXPECT_EQ(check_fix(second, &offset, slice(keymax, 1848, 208)), -1);  // root matrix
    offset = 0xFFFFFFF0u;
    EXPECT_EQ(check_fix(second, &offset, slice(keymax, 2056, 208)), -1);  // would wrap
}

TEST_F(ChainTest, SignedBootloaderPassesWithItsPayloadAt0x1000) {
    // A real --bootsig output from a zud_user_key file without an AES key.
    const Bytes boot = make_signed_bootloader(dir.path().string(), keys, counting_bytes(30000),
                                              {counting_bytes(5000, 3), counting_bytes(20000, 9)});
    ASSERT_EQ(le32_at(boot, 2264 + 0x34), 1832u);
    write_file(dir.file("boot.bin"), boot);

    testing::internal::CaptureStdout();
    EXPECT_EQ(zud_sig_check_file(dir.file("boot.bin").c_str()), -1);  // root digest not configured
    admit_root();
    EXPECT_EQ(zud_sig_check_file(dir.file("boot.bin").c_str()), 0) << reason();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "zud log: BL2 is start from 0x1000 \n");
}

TEST_F(ChainTest, DigestModeBootloaderPassesWithoutTheRootTable) {
    const Bytes boot = make_digest_bootloader(dir.path().string(), counting_bytes(1000), {counting_bytes(100)});
    ASSERT_EQ(le32_at(boot, 16 + 0x34), 4080u);
    std::uint32_t offset = 0;
    EXPECT_EQ(check_fix(from16(boot), &offset), 0) << reason();
    EXPECT_EQ(offset + 16, 0x1000u);
    Bytes changed = boot;
    changed[4096 + 500] ^= 1;
    EXPECT_NE(check_fix(from16(changed)), 0);
}

TEST_F(ChainTest, FileRoutinesRefuseWhatTheyCannotRead) {
    EXPECT_EQ(zud_sig_check_file(nullptr), -1);
    EXPECT_EQ(zud_sig_check_file(dir.file("missing").c_str()), -1);
    EXPECT_EQ(zud_sig_check_file_bl3x(nullptr), -1);
    EXPECT_EQ(zud_sig_check_file_bl3x(dir.file("missing").c_str()), -1);
    write_file(dir.file("short"), Bytes(15, 0));
    EXPECT_EQ(zud_sig_check_file(dir.file("short").c_str()), -1);
    write_file(dir.file("empty"), {});
    EXPECT_EQ(zud_sig_check_file_bl3x(dir.file("empty").c_str()), -1);
}

TEST_F(ChainTest, EveryTruncationIsRefused) {
    admit_root();
    const Bytes chain = from16(chain_with(
        fix_block_from_writer(dir.path().string(), keys.user1, counting_bytes(100))));
    ASSERT_EQ(check_fix(chain), 0);
    for (std::size_t n = 0; n < chain.size(); ++n) {
        ASSERT_NE(check_fix(Bytes(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(n))), 0)
            << "length " << n;
    }
}

TEST_F(ChainTest, EverySingleByteChangeIsRefused) {
    // Every byte of both blocks is signed, a signature or a key the digest
    // names, so no flip may pass.
    admit_root();
    const Bytes chain = from16(chain_with(
        fix_block_from_writer(dir.path().string(), keys.user1, counting_bytes(48))));
    Bytes changed = chain;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        changed[i] ^= 0x41;
        ASSERT_NE(check_fix(changed), 0) << "byte " << i;
        changed[i] = chain[i];
    }
}

TEST_F(ChainTest, RandomCorruptionIsRefused) {
    admit_root();
    const Bytes chain = from16(chain_with(
        fix_block_from_writer(dir.path().string(), keys.user1, counting_bytes(48))));
    std::mt19937 rng(2024);
    for (int round = 0; round < 1500; ++round) {
        Bytes changed = chain;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int f = 0; f < flips; ++f) changed[rng() % changed.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        if (rng() % 4 == 0) changed.resize(rng() % changed.size());
        ASSERT_NE(check_fix(changed), 0) << "round " << round;
    }
}

// ---------------------------------------------------------------------------
// Refusals of the fix and plain layouts

class LayoutBoundsTest : public VerifyTest {
protected:
    Bytes signed_block() {
        BlockShape layout;
        layout.key = &user1;
        layout.payload = counting_bytes(64);
        return assemble_block(layout);
    }
};

TEST_F(LayoutBoundsTest, HeaderChecksApplyToEveryChecker) {
    struct Change {
        std::size_t at;
        std::uint8_t value;
        const char* reason;
    };
    const Change changes[] = {{0, '#', "no signed block magic \"@ZUD\""},
                              {8, 63, "header_size is not 64"},
                              {10, 2, "version is not 1"},
                              {11, 1, "reserved byte 11 is not 0"},
                              {0x14, 65, "sig_offset is not 64"}};
    const Bytes fix = signed_block();
    BlockShape plain_spec;
    plain_spec.layout = BlockLayout::kPlain;
    plain_spec.key = &user1;
    const Bytes plain = assemble_block(plain_spec);
    const Bytes small = Bytes(fix.begin(), fix.begin() + 1200);
    for (const Change& c : changes) {
        Bytes f = fix, p = plain, s = small;
        f[c.at] = p[c.at] = s[c.at] = c.value;
        EXPECT_EQ(check_fix(f), -1) << c.reason;
        EXPECT_EQ(reason(), c.reason);
        EXPECT_EQ(check_plain(p), -1) << c.reason;
        EXPECT_EQ(check_bl3x(s), -1) << c.reason;
        EXPECT_EQ(reason(), c.reason);
    }
    for (std::size_t n : {0, 1, 63}) {
        EXPECT_EQ(check_fix(Bytes(fix.begin(), fix.begin() + static_cast<std::ptrdiff_t>(n))), -1);
        EXPECT_EQ(reason(), "the buffer is too short for a signed block header");
    }
}

TEST_F(LayoutBoundsTest, KindsOutsideTheTablesAreRefused) {
    Bytes b = signed_block();
    set32(b, 0x10, 4);  // sig_type
    EXPECT_EQ(check_fix(b), -1);
    b = signed_block();
    set32(b, 0x18, 300);  // sig_size of an RSA block
    EXPECT_EQ(check_fix(b), -1);
    EXPECT_EQ(reason(), "sig_type and sig_size name no kind of block");
    BlockShape layout;
    layout.layout = BlockLayout::kPlain;
    layout.key = &user1;
    b = assemble_block(layout);
    set32(b, 0x18, 64);
    EXPECT_EQ(check_plain(b), -1);
    EXPECT_EQ(reason(), "sig_size names no kind of block");
}

TEST_F(LayoutBoundsTest, RegionsBeyondTheBlockAreRefused) {
    const Bytes good = signed_block();
    ASSERT_EQ(check_fix(good, nullptr, key_matrix({&user1, &user1, &user1, &user1})), 0) << reason();
    const std::uint32_t total = le32_at(good, 4);
    struct Case {
        std::size_t field;
        std::uint32_t value;
        const char* reason;
    };
    const Case cases[] = {
        {0x04, total + 1, "total_size reaches beyond the buffer"},
        {0x04, 500, "the signature slot reaches beyond the block"},
        {0x18, 0, "sig_type and sig_size name no kind of block"},
        {0x2C, le32_at(good, 0x2C) + 1, "the signed range reaches beyond the block"},
        {0x1C, 0xFFFFFFF0u, "the signed range reaches beyond the block"},
        {0x38, 65, "the payload reaches beyond the block"},
        {0x34, 0xFFFFFFFFu, "the payload reaches beyond the block"},
        {0x2C, 100, "the payload is not inside the signed range"},
        {0x24, total - 47, "the key header lies outside the block"},
        {0x24, 0xFFFFFFF0u, "the key header lies outside the block"},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        set32(b, c.field, c.value);
        EXPECT_EQ(check_fix(b, nullptr, key_matrix({&user1, &user1, &user1, &user1})), -1) << c.reason;
        EXPECT_EQ(reason(), c.reason);
    }
}

TEST_F(LayoutBoundsTest, ChainPayloadMustHoldBothMatrices) {
    const Bytes keymax_like = [&] {
        BlockShape layout;
        layout.key = &root;
        layout.payload = key_matrix({&root, &root, &root, &root});
        layout.payload.resize(400, 0);  // the user matrix would be cut short
        return assemble_block(layout);
    }();
    set_roots(digest_from(sha256_block(concat(concat(key_digest_of(root), key_digest_of(root)),
                                              concat(key_digest_of(root), key_digest_of(root))))),
              kZero, kZero);
    EXPECT_EQ(check_fix(keymax_like), -1);
    EXPECT_EQ(reason(), "the payload has no room for the user key matrix");
}

TEST_F(LayoutBoundsTest, PlainChainAndDigestBlocksPass) {
    const Bytes matrices = concat(key_matrix({&root, &root, &root, &root}),
                                  key_matrix({&user1, &user2, &user2, &user2}));
    set_roots(kZero, matrix_digest_at(matrices, 0), kZero);
    BlockShape first;
    first.layout = BlockLayout::kPlain;
    first.key = &root;
    first.payload = matrices;
    BlockShape second;
    second.layout = BlockLayout::kPlain;
    second.key = &user2;
    second.payload = counting_bytes(80);
    const Bytes a = assemble_block(first);
    const Bytes b = assemble_block(second);
    std::uint32_t offset = 0;
    EXPECT_EQ(check_plain(concat(a, b), &offset), 0) << reason();
    EXPECT_EQ(offset, le32_at(a, 4) + le32_at(b, 0x34));
    // The fix checker does not take this layout: it hashes the header itself.
    EXPECT_NE(check_fix(concat(a, b)), 0);

    BlockShape digest_only;
    digest_only.layout = BlockLayout::kPlain;
    digest_only.payload = counting_bytes(32);
    const Bytes d = assemble_block(digest_only);
    EXPECT_EQ(check_plain(d, &offset), 0) << reason();
    EXPECT_EQ(offset, 160u);  // 64 + 32 + 64
    Bytes changed = d;
    changed[170] ^= 4;
    EXPECT_NE(check_plain(changed), 0);
    EXPECT_EQ(reason(), "the digest does not match");
}

TEST_F(LayoutBoundsTest, PlainHeaderCopyMustMatchAndBeSigned) {
    BlockShape layout;
    layout.layout = BlockLayout::kPlain;
    layout.key = &user1;
    layout.payload = counting_bytes(16);
    const Bytes good = assemble_block(layout);
    const Bytes user_matrix = key_matrix({&user1, &user1, &user1, &user1});
    ASSERT_EQ(check_plain(good, nullptr, user_matrix), 0) << reason();
    Bytes b = good;
    b[64 + 256 + 12] ^= 1;  // the copy's nonce
    EXPECT_EQ(check_plain(b, nullptr, user_matrix), -1);
    EXPECT_EQ(reason(), "the header copy differs from the header");
    b = good;
    set32(b, 0x1C, le32_at(good, 0x1C) + 16);  // signed range starts behind the copy
    set32(b, 0x2C, le32_at(good, 0x2C) - 16);
    EXPECT_EQ(check_plain(b, nullptr, user_matrix), -1);
    EXPECT_EQ(reason(), "the header copy is not inside the signed range");
    // A slot longer than the key's signature.
    layout.plain_slot = 512;
    EXPECT_EQ(check_plain(assemble_block(layout), nullptr, user_matrix), -1);
    EXPECT_EQ(reason(), "sig_size differs from the key's modulus length");
}

TEST_F(LayoutBoundsTest, PlainTruncationsAndFlipsAreRefused) {
    const Bytes matrices = concat(key_matrix({&root, &root, &root, &root}),
                                  key_matrix({&user1, &user1, &user1, &user1}));
    set_roots(matrix_digest_at(matrices, 0), kZero, kZero);
    BlockShape first;
    first.layout = BlockLayout::kPlain;
    first.key = &root;
    first.payload = matrices;
    BlockShape second = first;
    second.key = &user1;
    second.payload = counting_bytes(32);
    const Bytes chain = concat(assemble_block(first), assemble_block(second));
    ASSERT_EQ(check_plain(chain), 0) << reason();
    Bytes changed = chain;
    for (std::size_t n = 0; n < chain.size(); ++n) {
        ASSERT_NE(check_plain(Bytes(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(n))), 0) << n;
        changed[n] ^= 0x10;
        ASSERT_NE(check_plain(changed), 0) << "byte " << n;
        changed[n] = chain[n];
    }
}

// ---------------------------------------------------------------------------
// Stage blocks (bl3x)

class Bl3xTest : public VerifyTest {
protected:
    Bytes stage_block(const Bytes& stage, bool with_key, std::uint32_t alignment = 0) {
        RsaKey key;
        EXPECT_EQ(mbedtls_rsa_copy(&key.ctx, &user1), 0);
        return build(stage, with_key ? &key.ctx : nullptr, alignment);
    }
    Bytes build(const Bytes& stage, mbedtls_rsa_context* ctx, std::uint32_t alignment) {
        write_file(dir.file("stage"), stage);
        std::FILE* in = std::fopen(dir.file("stage").c_str(), "rb");
        std::FILE* out = std::fopen(dir.file("block").c_str(), "wb");
        std::int32_t written = 0;
        const int r = zud_sig_boot_file_buffer(in, 0, static_cast<std::uint32_t>(stage.size()),
                                               &written, ctx, out, alignment);
        std::fclose(in);
        std::fclose(out);
        EXPECT_EQ(r, 0);
        return read_file(dir.file("block"));
    }
};

Bytes padded16(Bytes b) {
    b.resize((b.size() + 15) / 16 * 16, 0);
    return b;
}

TEST_F(Bl3xTest, SignedStagePassesAndLeavesThePayloadInOrder) {
    const Bytes stage = counting_bytes(1000, 7);
    Bytes block = stage_block(stage, true);
    ASSERT_EQ(le32_at(block, 0x34), 656u);
    std::uint32_t offset = 55;
    EXPECT_EQ(zud_sig_check_buffer_bl3x(block, {}, &offset), 0) << reason();
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(slice(block, 0, 1008), padded16(stage));
}

TEST_F(Bl3xTest, AMatrixGivenMustNameTheSigner) {
    const Bytes signed_block = stage_block(counting_bytes(1000, 7), true);  // by user1
    const Bytes digest_block = stage_block(counting_bytes(300, 1), false);
    const struct {
        const char* name;
        const Bytes& block;
        Bytes matrix;
        int result;
    } cases[] = {
        {"signer named", signed_block, key_matrix({&root, &user1, &root, &root}), 0},
        {"signer not named", signed_block, key_matrix({&root, &user2, &root, &root}), -1},
        {"digest only", digest_block, key_matrix({&root, &user1, &root, &root}), -1},
        {"no matrix", signed_block, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes copy = c.block;
        EXPECT_EQ(zud_sig_check_buffer_bl3x(copy, c.matrix, nullptr), c.result) << reason();
        // A refusal comes before the payload head is moved.
        if (c.result != 0) {
            EXPECT_EQ(copy, c.block);
        }
    }
}

TEST_F(Bl3xTest, DigestOnlyStagePassesAndAFlippedByteFails) {
    const Bytes stage = counting_bytes(300, 1);
    const Bytes block = stage_block(stage, false);
    ASSERT_EQ(le32_at(block, 0x10), 0u);
    Bytes copy = block;
    EXPECT_EQ(zud_sig_check_buffer_bl3x(copy, {}, nullptr), 0) << reason();
    EXPECT_EQ(slice(copy, 0, 304), padded16(stage));
    Bytes changed = block;
    changed[150] ^= 0x20;
    EXPECT_NE(check_bl3x(changed), 0);
    EXPECT_EQ(reason(), "the digest does not match");
}

TEST_F(Bl3xTest, TamperedSignedStageFailsWith1786) {
    const Bytes block = stage_block(counting_bytes(2000), true);
    for (std::size_t at : {std::size_t{12}, std::size_t{64 + 100}, std::size_t{700}, std::size_t{1900}}) {
        Bytes changed = block;
        changed[at] ^= 1;
        EXPECT_EQ(check_bl3x(changed), 1786) << "byte " << at;
    }
}

TEST_F(Bl3xTest, AlignedFileChecksThroughTheFileRoutine) {
    write_file(dir.file("stage.blk"), stage_block(counting_bytes(5000), true, 16384));
    ASSERT_EQ(size_of(dir.file("stage.blk")), 16384u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(zud_sig_check_file_bl3x(dir.file("stage.blk").c_str()), 0) << reason();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "zud log : [" + dir.file("stage.blk") + "] check pass\n");
}

TEST_F(Bl3xTest, BoundsRefusalsLeaveTheBufferUnchanged) {
    const Bytes good = stage_block(counting_bytes(1200), true);
    struct Case {
        std::size_t field;
        std::uint32_t value;
        const char* reason;
    };
    const Case cases[] = {
        {0x34, 1169, "payload_offset is above 1168"},
        {0x38, static_cast<std::uint32_t>(good.size()) - 655, "the payload head stored at payload_size reaches beyond the buffer"},
        {0x38, 0xFFFFFFFFu, "the payload head stored at payload_size reaches beyond the buffer"},
        {0x28, 337, "the signed key block reaches beyond the header region"},
        {0x1C, 321, "the signed key block reaches beyond the header region"},
        {0x24, 640, "the key header lies outside the block"},
        {0x10, 9, "sig_type and sig_size name no kind of block"},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        set32(b, c.field, c.value);
        const Bytes before = b;
        EXPECT_EQ(bl3x_in_place(b), -1) << c.reason;
        EXPECT_EQ(reason(), c.reason);
        EXPECT_EQ(b, before) << c.reason;
    }
    Bytes digest_slot = stage_block(counting_bytes(100), false);
    set32(digest_slot, 0x18, 33);  // payload_offset is 96
    EXPECT_EQ(check_bl3x(digest_slot), -1);
    EXPECT_EQ(reason(), "the signature slot reaches beyond the header region");
    set32(digest_slot, 0x18, 31);
    EXPECT_EQ(check_bl3x(digest_slot), -1);
    EXPECT_EQ(reason(), "the digest slot is shorter than 32 bytes");
}

TEST_F(Bl3xTest, EveryTruncationAndSingleByteChangeIsRefused) {
    for (const bool with_key : {true, false}) {
        const Bytes block = stage_block(counting_bytes(777), with_key);
        ASSERT_EQ(check_bl3x(block), 0);
        Bytes changed = block;
        for (std::size_t n = 0; n < block.size(); ++n) {
            ASSERT_NE(check_bl3x(Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n))), 0)
                << "length " << n;
            changed[n] ^= 0x80;
            ASSERT_NE(check_bl3x(changed), 0) << "byte " << n;
            changed[n] = block[n];
        }
    }
}

TEST_F(Bl3xTest, RandomCorruptionNeverPassesOrReadsOutside) {
    const Bytes block = stage_block(counting_bytes(900), true);
    std::mt19937 rng(99);
    for (int round = 0; round < 1500; ++round) {
        Bytes changed = block;
        // Header fields are where the offsets live: aim half the flips there.
        for (int f = 0; f < 4; ++f) {
            const std::size_t at = rng() % 2 == 0 ? rng() % 64 : rng() % changed.size();
            changed[at] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        }
        ASSERT_NE(check_bl3x(changed), 0) << "round " << round;
    }
}

// ---------------------------------------------------------------------------
// Signing keys (zud_load_rsa_puk)

class KeyLoadTest : public VerifyTest {
protected:
    // A fix-layout block whose key area a test rewrites: key header at 576,
    // component table at 624, values at 640.
    Bytes block() {
        BlockShape layout;
        layout.key = &user1;
        layout.payload = counting_bytes(16);
        return assemble_block(layout);
    }
    int load(const Bytes& b, Bytes* digest = nullptr) {
        RsaKey key;
        RsaKey other;
        RootDigest d{};
        const Bytes copy(b);
        const char* why = decode_block_key(&key.ctx, copy, d);
        g_reason = why != nullptr ? why : "";
        const int r = why == nullptr ? 0 : -1;
        EXPECT_EQ(zud_load_rsa_puk(&other.ctx, copy, d), r);  // the routine agrees
        loaded_len = key.ctx.len;
        if (digest != nullptr) digest->assign(d.begin(), d.end());
        return r;
    }
    std::size_t loaded_len = 0;
};

TEST_F(KeyLoadTest, LoadsTheCarriedKeyAndItsDigest) {
    Bytes digest;
    EXPECT_EQ(load(block(), &digest), 0) << reason();
    EXPECT_EQ(loaded_len, 256u);
    EXPECT_EQ(digest, key_digest_of(user1));
}

TEST_F(KeyLoadTest, ModulusOf3072BitsIsRefused) {
    // Only the numbers' layout matters to the loader: a 384-byte N.
    Bytes b = block();
    Bytes values(384 + 4, 0x5B);
    values[0] = 0xC3;
    const std::size_t at = 624;
    set16(b, 576 + 22, static_cast<std::uint16_t>(16 + values.size()));
    set16(b, 576 + 26, static_cast<std::uint16_t>(values.size()));
    set16(b, at + 4, 384);
    std::copy(values.begin(), values.end(), b.begin() + at + 16);
    EXPECT_EQ(load(b), -1);
    EXPECT_EQ(reason(), "the key's modulus is not 1024, 2048 or 4096 bits");
}

TEST_F(KeyLoadTest, ComponentRefusals) {
    struct Case {
        std::size_t at;
        std::uint16_t value;
        const char* reason;
    };
    // Component table at 624: entry 0 (N) then entry 1 (E); values at 640
    // for 260 bytes.
    const Case cases[] = {
        {624, 4, "a component_id names no number of the key"},
        {632, 9, "a component_id names no number of the key"},
        {632, 1, "a component_id is given twice"},
        {628, 257, "a component reaches beyond the key's values"},
        {576 + 26, 259, "a component reaches beyond the key's values"},
        {576 + 20, 0xFFF8, "the key's component table lies outside its container"},
        {576 + 24, 0xFFF0, "the key's values lie outside the block"},
    };
    for (const Case& c : cases) {
        Bytes b = block();
        set16(b, c.at, c.value);
        EXPECT_EQ(load(b), -1) << c.reason;
        EXPECT_EQ(reason(), c.reason);
    }
    Bytes many = block();
    many[576 + 16] = 255;  // 255 entries of 8 bytes from 624 run past the block's end
    EXPECT_EQ(load(many), -1);
    EXPECT_EQ(reason(), "the key's component table lies outside its container");
    RootDigest d{};
    EXPECT_EQ(zud_load_rsa_puk(nullptr, block(), d), -1);
}

TEST_F(KeyLoadTest, ComponentsAreReadOnlyFromInsideTheContainer) {
    // The key header of the block, handed over with a container that ends
    // inside its values: the values region is refused before any component
    // is read from it.
    const Bytes b = block();
    const auto header = decode_key_header(ConstBytes(b).subspan(576, 48));
    ASSERT_TRUE(header.has_value());
    for (const std::size_t end : {std::size_t{640}, std::size_t{700}, std::size_t{899}}) {
        SCOPED_TRACE(end);
        const Bytes cut(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(end));
        RsaKey key;
        const char* why = read_key_components(&key.ctx, cut, *header, false);
        ASSERT_NE(why, nullptr);
        EXPECT_STREQ(why, "the key's values lie outside its container");
    }
    RsaKey key;
    EXPECT_EQ(read_key_components(&key.ctx, b, *header, false), nullptr);
}

TEST_F(KeyLoadTest, KeyOutsideItsDigestCannotBeSwappedIn) {
    // The digest covers the real key's N and E; a third component would read
    // an attacker's N from behind them. Refused, so a forged block cannot
    // pass as signed by a key of the matrix.
    Bytes b = block();
    const Bytes real = key_values(user1);
    const Bytes other = key_values(user2);
    b[576 + 16] = 3;
    set16(b, 576 + 24, 648);  // values behind a three-entry table
    set16(b, 640, 1);
    set16(b, 644, 256);
    std::copy(real.begin(), real.end(), b.begin() + 648);
    std::copy(other.begin(), other.begin() + 256, b.begin() + 908);
    Bytes digest;
    EXPECT_EQ(load(b, &digest), -1);
    EXPECT_EQ(reason(), "a component_id is given twice");
    EXPECT_EQ(digest, key_digest_of(user1));  // what a matrix would have matched
    set16(b, 640, 3);  // the same bytes taken as D still lie outside the digest
    EXPECT_EQ(load(b), -1);
    EXPECT_EQ(reason(), "a component reaches beyond the key's values");
}

// ---------------------------------------------------------------------------
// Key matrices

// The matrix routines, recording their reasons; the designed routine gives
// the same number (the self-test is not run twice: it draws).
int matrix_check(const Bytes& m, int root_check) {
    const RootDigests roots = zud_root_digests();
    const int r = recorded(verify_key_matrix(m, root_check != 0 ? &roots : nullptr));
    EXPECT_EQ(zud_tq_verify_key_matrix(m, root_check), r);
    return r;
}
int key_match(const Bytes& m, const RootDigest& digest) {
    const int r = recorded(verify_key_match(m, digest));
    EXPECT_EQ(zud_key_match_check(m, digest), r);
    return r;
}
int self_test(const Bytes& m) { return recorded(verify_key_pair(m)); }

class KeyMatrixTest : public VerifyTest {
protected:
    Bytes matrix() { return key_matrix({&root, &user1, &user2, &root}); }
};

TEST_F(KeyMatrixTest, DigestAndRootTable) {
    const Bytes m = matrix();
    EXPECT_EQ(zud_tq_verify_key_matrix(m, 0), 0) << reason();
    EXPECT_NE(zud_tq_verify_key_matrix(m, 1), 0);
    const RootDigest d = matrix_digest_at(m, 0);
    RootDigest computed{};
    EXPECT_EQ(zud_key_matrix_digest(m, computed), 0);
    EXPECT_EQ(computed, d);
    for (int slot = 0; slot < 3; ++slot) {
        set_roots(slot == 0 ? d : kZero, slot == 1 ? d : kZero, slot == 2 ? d : kZero);
        EXPECT_EQ(zud_tq_verify_key_matrix(m, 1), 0) << slot;
        EXPECT_EQ(zud_check_root_key_sha2_with_efuse(d), 0) << slot;
    }
    RootDigest other = d;
    other[31] ^= 1;
    EXPECT_NE(zud_check_root_key_sha2_with_efuse(other), 0);
}

TEST_F(KeyMatrixTest, BadCountsAndSizesAreRefused) {
    struct Case {
        std::size_t at;
        std::uint32_t value;
        int width;
        const char* reason;
    };
    const Case cases[] = {
        {12, 3, 1, "the key matrix entry_count is not 4"},
        {13, 47, 1, "the key matrix entry_size is not 48"},
        {8, 16, 4, "matrix_size is not between 17 and 16384"},
        {8, 16385, 4, "matrix_size is not between 17 and 16384"},
        {4, 2, 1, "the key matrix version is not 1"},
        {6, 17, 2, "the key matrix header_size is not 16"},
        {0, '#', 1, "no key matrix magic \"@KMX\""},
    };
    for (const Case& c : cases) {
        Bytes m = matrix();
        if (c.width == 1) m[c.at] = static_cast<std::uint8_t>(c.value);
        if (c.width == 2) set16(m, c.at, static_cast<std::uint16_t>(c.value));
        if (c.width == 4) set32(m, c.at, c.value);
        EXPECT_EQ(matrix_check(m, 0), -1) << c.reason;
        EXPECT_EQ(reason(), c.reason);
        EXPECT_EQ(self_test(m), -1) << c.reason;
    }
    EXPECT_EQ(matrix_check(slice(matrix(), 0, 15), 0), -1);
    // A device reads the four entries at their places whatever matrix_size
    // says within 17..16384; the reader and the record agree with it.
    for (const std::uint32_t size : {17u, 100u, 207u, 209u, 16384u}) {
        Bytes m = matrix();
        set32(m, 8, size);
        EXPECT_EQ(matrix_check(m, 0), 0) << size << " " << reason();
        const auto record = decode_key_matrix(m);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(check_key_matrix(*record), nullptr) << size;
    }
    // A key-form entry is not one a device takes in a matrix.
    Bytes key_form = matrix();
    key_form[16 + 48 * 3 + 9] = 2;
    EXPECT_EQ(matrix_check(key_form, 0), -1);
    EXPECT_EQ(reason(), "a key matrix entry is not in digest form");
    Bytes larger = matrix();
    larger.resize(16384, 0);
    set32(larger, 8, 16384);
    EXPECT_EQ(matrix_check(larger, 0), 0) << reason();
}

TEST_F(KeyMatrixTest, KeyMatchReadsTheGivenEntryCount) {
    const Bytes m = matrix();
    EXPECT_EQ(key_match(m, digest_from(key_digest_of(user2))), 0);
    EXPECT_EQ(key_match(m, digest_from(key_digest_of(test_key(1024)))), -1);
    Bytes fewer = m;
    fewer[12] = 2;  // user2 is entry 2
    EXPECT_EQ(key_match(fewer, digest_from(key_digest_of(user2))), -1);
    Bytes more = m;
    more[12] = 5;  // a fifth entry would end at 256
    EXPECT_EQ(key_match(more, digest_from(key_digest_of(user2))), -1);
    EXPECT_EQ(reason(), "the key matrix entries reach beyond the buffer");
    more.resize(256, 0);
    std::copy_n(key_digest_of(test_key(1024)).begin(), 32, more.begin() + 224);
    EXPECT_EQ(key_match(more, digest_from(key_digest_of(test_key(1024)))), 0);
    EXPECT_EQ(key_match(slice(m, 0, 12), digest_from(key_digest_of(root))), -1);
}

TEST_F(KeyMatrixTest, SelfTestPassesForAKeyPairAndRestoresTheKeyFormat) {
    for (const bool with_rn : {false, true}) {
        const Bytes m = self_test_matrix(user1, {&root, &root, &root}, with_rn);
        for (const std::int32_t mode : {0, 1}) {
            g_nVQ_RSA_keyFormat = mode;
            EXPECT_EQ(self_test(m), 0) << reason() << " rn " << with_rn;
            EXPECT_EQ(g_nVQ_RSA_keyFormat, mode);
        }
    }
    // Its key entry's digest is the SHA-256 of its values.
    const Bytes m = self_test_matrix(user1, {&root, &root, &root}, false);
    const Bytes values = slice(m, 208 + 24, 256 + 4 + 256);
    Bytes entries;
    for (int i = 0; i < 3; ++i) {
        const Bytes d = key_digest_of(root);
        entries.insert(entries.end(), d.begin(), d.end());
    }
    const Bytes own = sha256_block(values);
    entries.insert(entries.end(), own.begin(), own.end());
    RootDigest computed{};
    EXPECT_EQ(zud_key_matrix_digest(m, computed), 0);
    EXPECT_EQ(computed, digest_from(sha256_block(entries)));
}

TEST_F(KeyMatrixTest, SelfTestDrawsFiveHundredTwelveRandomBytes) {
    const Bytes m = self_test_matrix(test_key(1024), {&root, &root, &root}, false);
    seed_random(5);
    for (int i = 0; i < 512; ++i) (void)random_u32();
    const std::uint32_t expected = random_u32();
    seed_random(5);
    ASSERT_EQ(zud_verify_key_matrix(m), 0) << reason();
    EXPECT_EQ(random_u32(), expected);
}

TEST_F(KeyMatrixTest, SelfTestRefusesWrongNumbers) {
    // A private exponent that does not match: the round trip fails.
    Bytes wrong_d = self_test_matrix(user1, {&root, &root, &root}, false);
    wrong_d[208 + 24 + 260 + 255] ^= 2;
    EXPECT_NE(self_test(wrong_d), 0);
    // A cached Montgomery value that is not R^2 mod N is used, and fails.
    Bytes wrong_rn = self_test_matrix(user1, {&root, &root, &root}, true);
    wrong_rn[208 + 32 + 260 + 256 + 255] ^= 1;
    EXPECT_NE(self_test(wrong_rn), 0);
    // No key entry at all.
    EXPECT_EQ(self_test(matrix()), -1);
    EXPECT_EQ(reason(), "the key matrix carries no key to test");
    // An id outside 1, 2, 3, 9, 10, 11.
    Bytes bad_id = self_test_matrix(user1, {&root, &root, &root}, false);
    set16(bad_id, 208 + 16, 12);
    EXPECT_EQ(self_test(bad_id), -1);
    EXPECT_EQ(reason(), "a component_id names no number of the key");
    // Values outside the matrix.
    Bytes outside = self_test_matrix(user1, {&root, &root, &root}, false);
    set16(outside, kSelfTestEntry + 26, 2000);
    EXPECT_EQ(self_test(outside), -1);
    EXPECT_EQ(reason(), "a key entry's values lie outside the key matrix");
}

TEST_F(KeyMatrixTest, SelfTestRefusesAModulusBeyondItsBlock) {
    // N of 520 bytes would make the operation read past the 512-byte block.
    Bytes m = self_test_matrix(test_key(4096), {&root, &root, &root}, false);
    const std::size_t values = 208 + 24;
    Bytes grown(m.begin(), m.begin() + values);
    grown.push_back(0x01);
    grown.insert(grown.end(), 7, 0x00);
    grown.insert(grown.end(), m.begin() + values, m.end());
    grown.resize((grown.size() + 15) / 16 * 16, 0);
    set32(grown, 8, static_cast<std::uint32_t>(grown.size()));
    set16(grown, 208 + 4, 520);
    set16(grown, kSelfTestEntry + 26, static_cast<std::uint16_t>(le16_at(grown, kSelfTestEntry + 26) + 8));
    EXPECT_EQ(self_test(grown), -1);
    EXPECT_EQ(reason(), "the key's modulus is empty or longer than 512 bytes");
}

}  // namespace
