// Fuzz entry over the verification routines, the records' decoders,
// the key file loader and the audit of whole files. An input picks a routine
// and either gives the bytes to check directly or patches and cuts a valid
// template (a keymax chain in both layouts, stage blocks, a self-test
// matrix), so the fuzzer also reaches the checks behind a good signature.
// Every buffer handed to a routine is an exact-size heap copy, so the
// address sanitizer sees any read past its end.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <mbedtls/ctr_drbg.h>
#include <nlohmann/json.hpp>

#include <string>

#include "bl2_area.h"
#include "bootsig.h"
#include "efuse_pattern.h"
#include "fip_toc.h"
#include "image_header.h"
#include "imgsig.h"
#include "audit.h"
#include "keyfile.h"
#include "key_block.h"
#include "key_matrix.h"
#include "keymax.h"
#include "keysig.h"
#include "user_key_file.h"
#include "device_packages.h"
#include "packages.h"
#include "stage.h"
#include "upgsig.h"
#include "stage_block.h"
#include "verify.h"
#include "fuzz/artefacts.h"
#include "fuzz/fuzz_entries.h"
#include "support/signed_blocks.h"

namespace {

int fixed_entropy(void* state, unsigned char* out, std::size_t len) {
    auto* counter = static_cast<unsigned*>(state);
    for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<unsigned char>((*counter)++ * 167 + 3);
    return 0;
}

// A 1024-bit key (fast to use) made from a fixed seed.
void make_key(mbedtls_rsa_context& key, unsigned seed) {
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ctr_drbg_init(&drbg);
    if (mbedtls_ctr_drbg_seed(&drbg, fixed_entropy, &seed, nullptr, 0) != 0 ||
        mbedtls_rsa_gen_key(&key, mbedtls_ctr_drbg_random, &drbg, 1024, 65537) != 0) {
        std::abort();
    }
    mbedtls_ctr_drbg_free(&drbg);
}

Block concat(Block a, const Block& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A stage block as the tool's stage builder writes it.
Block stage_block(mbedtls_rsa_context* key) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    const Block stage(700, 0x5C);
    std::fwrite(stage.data(), 1, stage.size(), in);
    std::int32_t written = 0;
    if (in == nullptr || out == nullptr ||
        zud_sig_boot_file_buffer(in, 0, 700, &written, key, out, 0) != 0) {
        std::abort();
    }
    Block b(static_cast<std::size_t>(written));
    std::rewind(out);
    if (std::fread(b.data(), 1, b.size(), out) != b.size()) std::abort();
    std::fclose(in);
    std::fclose(out);
    return b;
}

Block chain(BlockLayout layout, const mbedtls_rsa_context& root, const mbedtls_rsa_context& user,
            const Block& matrices) {
    BlockShape first;
    first.layout = layout;
    first.key = &root;
    first.payload = matrices;
    BlockShape second = first;
    second.key = &user;
    second.payload = Block(64, 0x11);
    return concat(assemble_block(first), assemble_block(second));
}

struct Templates {
    Templates() {
        for (auto* k : {&root, &user, &other}) mbedtls_rsa_init(k, MBEDTLS_RSA_PKCS_V15, 0);
        make_key(root, 1);
        make_key(user, 2);
        make_key(other, 3);
        user_matrix = key_matrix({&user, &other, &user, &user});
        const Block matrices = concat(key_matrix({&root, &root, &other, &root}), user_matrix);
        RootDigest digest{};
        if (zud_key_matrix_digest(matrices, digest) != 0) std::abort();
        root_table = {RootDigest{}, digest, RootDigest{}};
        zud_set_root_digests(root_table);
        const Block d = key_digest_of(user);
        std::copy(d.begin(), d.end(), user_digest.begin());
        all.push_back(chain(BlockLayout::kFix, root, user, matrices));
        all.push_back(chain(BlockLayout::kPlain, root, user, matrices));
        all.push_back(stage_block(&user));
        all.push_back(stage_block(nullptr));
        all.push_back(self_test_matrix(user, {&root, &other, &root}, true));
        check_templates();
    }
    // A template that does not pass would leave the deep paths unfuzzed.
    void check_templates() {
        Block b = all[2];
        if (zud_sig_check_buffer_fix(all[0], {}, nullptr) != 0 ||
            zud_sig_check_buffer(all[1], {}, nullptr) != 0 ||
            zud_sig_check_buffer_bl3x(b, {}, nullptr) != 0 || zud_verify_key_matrix(all[4]) != 0) {
            std::fprintf(stderr, "fuzz templates do not verify\n");
            std::abort();
        }
    }
    mbedtls_rsa_context root, user, other;
    std::array<RootDigest, 3> root_table{};
    Block user_matrix;
    RootDigest user_digest{};
    std::vector<Block> all;
};

// Input: routine, template (or raw bytes), a cut length and xor patches.
Block input_bytes(const Templates& t, const std::uint8_t* data, std::size_t size) {
    const std::size_t pick = data[1] % (t.all.size() + 1);
    if (pick == t.all.size()) return Block(data + 2, data + size);
    Block b = t.all[pick];
    std::size_t at = 2;
    if (size >= at + 2) {
        const std::size_t cut = data[at] | std::size_t{data[at + 1]} << 8;
        if (cut < b.size()) b.resize(cut);
        at += 2;
    }
    for (; at + 3 <= size && !b.empty(); at += 3) {
        const std::size_t where = (data[at] | std::size_t{data[at + 1]} << 8) % b.size();
        b[where] ^= data[at + 2];
    }
    return b;
}

// The records' decoders and checkers, each on the same bytes.
void decode_records(const Block& b) {
    if (const auto h = decode_key_header(b)) (void)check_key_header(*h);
    if (const auto m = decode_key_matrix(b)) {
        (void)check_key_matrix(*m);
        (void)key_matrix_root_digest(*m);
    }
    (void)decode_keymax(b);
    const char* reason = nullptr;
    if (const auto toc = decode_fip_toc(b, &reason)) {
        std::size_t bad = 0;
        (void)check_toc_entries(*toc, b.size(), bad);
    }
    (void)decode_bl2_area(b);
    (void)decode_boot_image_header(b);
    if (const auto sec = decode_image_security_header(b)) (void)check_image_security_header(*sec);
    (void)decode_efuse_pattern(b, &reason);
    (void)decode_password_package(b, &reason);
    (void)decode_customer_id_package(b, &reason);
    (void)decode_upgrade_block(b);
    if (const auto parts = decode_user_key_file(b)) (void)decode_keymax(parts->keymax);
    (void)read_stored_block(StageBlockMemory(b), std::nullopt);
    if (const auto h = decode_signed_block_header(b)) {
        (void)check_stage_block_header(*h);
        (void)is_relocated_digest_block(*h);
        (void)is_packaged_block_of(*h, static_cast<std::uint32_t>(b.size()));
    }
    RsaKey key;
    Digest digest{};
    (void)decode_block_key(&key.ctx, b, digest);
}

// The text report's destination: written, never read.
std::FILE* const g_null_output = std::fopen("/dev/null", "w");

// Routines that read files: the key file loader and the audit.
void run_on_file(std::uint8_t routine, const Block& b) {
    const std::string& path = scratch_file(b, "verified");
    if (routine % 2 == 0) {
        RsaKey key;
        (void)zud_tq_load_rsa_key_file(&key.ctx, path.c_str());
        g_nVQ_RSA_keyFormat = 0;
    } else {
        zud_audit_options options;
        options.aes_key = std::array<std::uint8_t, kAesKeySize>{};
        // Whatever the file holds, both reports are written, and the JSON
        // one is a document a strict reader takes.
        const zud_report report = zud_audit(path.c_str(), options);
        if (g_null_output != nullptr) zud_print_report(report, true, g_null_output);
        if (nlohmann::json::parse(zud_report_json(report, true), nullptr, false).is_discarded()) std::abort();
    }
}

void run(const Templates& t, std::uint8_t routine, Block& b) {
    std::uint32_t offset = 0;
    switch (routine % 10) {
        case 0: (void)zud_sig_check_buffer_bl3x(b, {}, &offset); break;
        case 1: (void)zud_sig_check_buffer_fix(b, {}, &offset); break;
        case 2: (void)zud_sig_check_buffer_fix(b, t.user_matrix, &offset); break;
        case 3: (void)zud_sig_check_buffer(b, {}, &offset); break;
        case 4:
            (void)zud_tq_verify_key_matrix(b, 1);
            (void)zud_key_match_check(b, t.user_digest);
            break;
        case 5: (void)zud_verify_key_matrix(b); break;
        case 6: {
            RsaKey key;
            RootDigest key_digest{};
            (void)zud_load_rsa_puk(&key.ctx, b, key_digest);
            break;
        }
        case 7: decode_records(b); break;
        default: run_on_file(routine / 10, b);
    }
}

const Templates& templates() {
    static const Templates t;
    return t;
}

}  // namespace

int fuzz_verify(const std::uint8_t* data, std::size_t size) {
    const Templates& t = templates();
    // The routines without a table argument check against this entry's
    // root digest, whatever another entry of the process set.
    zud_set_root_digests(t.root_table);
    if (size < 2) return 0;
    const Block bytes = input_bytes(t, data, size);
    Block exact(bytes);  // exact size on the heap
    run(t, data[0], exact);
    if (g_nVQ_RSA_keyFormat != 0) std::abort();  // the self-test must restore it
    return 0;
}

// Each routine on each whole template, and the tool's own key files and
// outputs as raw bytes for the decoders, the key file loader and the audit.
std::vector<FuzzSeed> verify_fuzz_seeds() {
    const Templates& t = templates();
    std::vector<FuzzSeed> seeds;
    // Routines 0 to 7 on the templates; the file routines take raw bytes.
    for (std::uint8_t routine = 0; routine < 8; ++routine) {
        for (std::uint8_t pick = 0; pick < t.all.size(); ++pick) {
            char name[48];
            std::snprintf(name, sizeof name, "routine-%u-template-%u", routine, pick);
            seeds.push_back({name, {routine, pick, 0xFF, 0xFF}});
        }
    }
    const FuzzArtefacts& a = fuzz_artefacts();
    const auto raw = [&](const char* name, std::uint8_t routine, const FuzzBytes& bytes) {
        FuzzBytes input{routine, static_cast<std::uint8_t>(t.all.size())};
        input.insert(input.end(), bytes.begin(), bytes.end());
        seeds.push_back({name, std::move(input)});
    };
    raw("records-keymax", 7, a.keymax);
    raw("records-user-key", 7, a.user_key);
    raw("records-signed-block", 7, a.signed_block);
    raw("key-file-full", 8, a.user1_key);
    raw("key-file-user-key", 8, a.user_key);
    raw("audit-keymax", 19, a.keymax);
    raw("audit-efuse", 19, a.efuse);
    raw("audit-upgrade-file", 19, a.upgrade_file);
    return seeds;
}
