#include "fuzz/artefacts.h"

#include <cstring>
#include <filesystem>

#include "crypto.h"
#include "key_matrix.h"
#include "keyfile.h"
#include "keymax.h"
#include "stage.h"

namespace {

void put32(FuzzBytes& b, std::size_t at, std::uint64_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) b.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}

FuzzBytes pattern(std::size_t count, unsigned seed) {
    FuzzBytes b(count);
    unsigned x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

// A bootloader as a build makes it: the BL2 payload in the first 48 KiB,
// then a FIP whose table of contents is followed by its stages, one of them
// shorter than a block's header region.
FuzzBytes plain_bootloader() {
    FuzzBytes image = pattern(3000, 1);
    image.resize(49152, 0);
    const std::size_t stage_sizes[] = {40, 700, 3000};
    FuzzBytes toc(16384, 0);
    put32(toc, 0, 0xAA640001);
    put32(toc, 4, 0x12345678);
    std::uint64_t next = toc.size();
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t entry = 16 + 40 * i;
        for (std::size_t u = 0; u < 16; ++u) toc[entry + u] = static_cast<std::uint8_t>(0xA0 + i * 16 + u);
        put32(toc, entry + 16, next, 8);
        put32(toc, entry + 24, stage_sizes[i], 8);
        next += stage_sizes[i];
    }
    image.insert(image.end(), toc.begin(), toc.end());
    for (std::size_t i = 0; i < 3; ++i) {
        const FuzzBytes stage = pattern(stage_sizes[i], 10 + static_cast<unsigned>(i));
        image.insert(image.end(), stage.begin(), stage.end());
    }
    return image;
}

// An Android boot image of header version 0 with 2048-byte pages: kernel,
// ramdisk and a second stage shorter than a block's header region.
FuzzBytes boot_image() {
    const std::uint32_t sizes[] = {3000, 1500, 90};
    FuzzBytes image(2048, 0);
    std::memcpy(image.data(), "ANDROID!", 8);
    put32(image, 0x08, sizes[0]);
    put32(image, 0x0C, 0x10008000);
    put32(image, 0x10, sizes[1]);
    put32(image, 0x14, 0x11000000);
    put32(image, 0x18, sizes[2]);
    put32(image, 0x1C, 0x10F00000);
    put32(image, 0x20, 0x10000100);
    put32(image, 0x24, 2048);
    std::memcpy(image.data() + 0x40, "console=ttyS0", 13);
    for (std::size_t i = 0; i < 3; ++i) {
        FuzzBytes part = pattern(sizes[i], 20 + static_cast<unsigned>(i));
        part.resize((part.size() + 2047) / 2048 * 2048, 0);
        image.insert(image.end(), part.begin(), part.end());
    }
    return image;
}

// One block as the stage builder stores it, of a 700-byte stage.
FuzzBytes stage_block(mbedtls_rsa_context* key) {
    const Reproducible same;
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    const FuzzBytes stage = pattern(700, 30);
    std::int32_t written = 0;
    if (in == nullptr || out == nullptr || std::fwrite(stage.data(), 1, stage.size(), in) != stage.size() ||
        zud_sig_boot_file_buffer(in, 0, 700, &written, key, out, 0) != 0) {
        fuzz_fail("the stage builder failed");
    }
    FuzzBytes b(static_cast<std::size_t>(written));
    std::rewind(out);
    if (std::fread(b.data(), 1, b.size(), out) != b.size()) fuzz_fail("cannot read a stage block back");
    std::fclose(in);
    std::fclose(out);
    return b;
}

void write_key(const mbedtls_rsa_context& key, const std::string& path) {
    if (zud_write_key_file(&key, KeyFileForm::kFull, path.c_str()) != 0) fuzz_fail("cannot write a key file");
}

void make_keys(FuzzArtefacts& a) {
    const FuzzKey root(1024, 101), user1(1024, 102), user2(1024, 103);
    a.root_key_path = a.dir + "/root.key";
    a.user1_key_path = a.dir + "/user1.key";
    a.user2_key_path = a.dir + "/user2.key";
    write_key(root.ctx, a.root_key_path);
    write_key(user1.ctx, a.user1_key_path);
    write_key(user2.ctx, a.user2_key_path);
    a.user1_key = read_whole_file(a.user1_key_path);
    for (std::size_t i = 0; i < a.aes_key.size(); ++i) a.aes_key[i] = static_cast<std::uint8_t>(0x40 + 7 * i);
    a.aes_key_path = a.dir + "/aes.bin";
    write_whole_file(a.aes_key_path, a.aes_key);

    a.keymax_path = a.dir + "/keymax.bin";
    run_tool_or_abort({"--keysig", "--rkey1", a.root_key_path, "--ukey1", a.user1_key_path, "--ukey2",
                       a.user2_key_path, "--skey", a.root_key_path, "--output", a.keymax_path});
    a.keymax = read_whole_file(a.keymax_path);
    const auto km = decode_keymax(a.keymax);
    if (!km) fuzz_fail("the keymax does not decode");
    a.root_digest = key_matrix_root_digest(km->root);
    a.user_key_path = a.dir + "/user.zud";
    run_tool_or_abort({"--keybnd", "--ukey", a.user1_key_path, "--rootkeymax", a.keymax_path, "--aeskey",
                       a.aes_key_path, "--output", a.user_key_path});
    a.user_key = read_whole_file(a.user_key_path);
    RsaKey loaded;
    if (zud_tq_load_rsa_key_file(&loaded.ctx, a.user1_key_path.c_str()) != 0) fuzz_fail("user1 does not load");
    a.signed_block = stage_block(&loaded.ctx);
    a.digest_block = stage_block(nullptr);
    g_nVQ_RSA_keyFormat = 0;
}

void make_bootloaders(FuzzArtefacts& a) {
    a.plain_bootloader = plain_bootloader();
    const std::string plain = a.dir + "/boot-plain.bin";
    write_whole_file(plain, a.plain_bootloader);
    const std::string encrypted = a.dir + "/boot-encrypted.bin";
    run_tool_or_abort({"--bootsig", "--input", plain, "--zuduserkey", a.user_key_path, "--aeskey", a.aes_key_path,
                       "--output", encrypted});
    a.encrypted_bootloader = read_whole_file(encrypted);
    a.efuse = read_whole_file(encrypted + ".efuse");
    const std::string signed_plain = a.dir + "/boot-signed.bin";
    run_tool_or_abort({"--bootsig", "--input", plain, "--zuduserkey", a.user_key_path, "--output", signed_plain});
    a.signed_bootloader = read_whole_file(signed_plain);
    const std::string untrailed = a.dir + "/boot-untrailed.bin";
    run_tool_or_abort({"--bootsig", "--input", plain, "--userkey", a.user1_key_path, "--rootkeymax",
                       a.keymax_path, "--aeskey", a.aes_key_path, "--output", untrailed});
    a.encrypted_bootloader_untrailed = read_whole_file(untrailed);
    const std::string digest = a.dir + "/boot-digest.bin";
    run_tool_or_abort({"--bootsig", "--input", plain, "--output", digest});
    a.digest_bootloader = read_whole_file(digest);
}

void make_kernel_images(FuzzArtefacts& a) {
    a.boot_image = boot_image();
    const std::string image = a.dir + "/boot.img";
    write_whole_file(image, a.boot_image);
    const std::string signed_image = a.dir + "/kernel-signed.img";
    run_tool_or_abort({"--imgsig", "--input", image, "--zuduserkey", a.user_key_path, "--output", signed_image});
    a.signed_kernel = read_whole_file(signed_image);
    const std::string untrailed = a.dir + "/kernel-untrailed.img";
    run_tool_or_abort({"--imgsig", "--input", image, "--userkey", a.user1_key_path, "--aeskey", a.aes_key_path,
                       "--rootkeymax", a.keymax_path, "--output", untrailed});
    a.signed_kernel_untrailed = read_whole_file(untrailed);
    const std::string packaged = a.dir + "/kernel-packaged.img";
    run_tool_or_abort({"--imgsig", "--input", image, "--output", packaged});
    a.packaged_kernel = read_whole_file(packaged);
}

void make_small_files(FuzzArtefacts& a) {
    const std::string password = a.dir + "/password.txt";
    const std::string text = "fuzz-password-16\n";
    write_whole_file(password, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    const std::string package = a.dir + "/password.psd";
    run_tool_or_abort({"--mkpsd", "--password-file", password, "--option", "jtagusb", "--output", package});
    a.password_package = read_whole_file(package);
    const std::string customer = a.dir + "/customer.cid";
    run_tool_or_abort({"--mkcusid", "--customerid", "FUZZ42", "--output", customer});
    a.customer_id_package = read_whole_file(customer);
    const std::string upgrade = a.dir + "/upgrade.bin";
    write_whole_file(upgrade, pattern(4096, 40));
    run_tool_or_abort({"--upgsig", "--input", upgrade, "--userkey", a.user1_key_path});
    a.upgrade_file = read_whole_file(upgrade);
}

FuzzArtefacts make_artefacts() {
    FuzzArtefacts a;
    a.dir = scratch_dir() + "/artefacts";
    std::filesystem::create_directories(a.dir);
    make_keys(a);
    make_bootloaders(a);
    make_kernel_images(a);
    make_small_files(a);
    return a;
}

}  // namespace

const FuzzArtefacts& fuzz_artefacts() {
    static const FuzzArtefacts artefacts = make_artefacts();
    return artefacts;
}

FuzzBytes decrypt_cbc(std::span<const std::uint8_t> key, std::span<const std::uint8_t> bytes) {
    FuzzBytes plain(bytes.begin(), bytes.end());
    AesCbc aes;
    std::array<std::uint8_t, kAesBlockSize> iv{};
    if (aes.set_decrypt_key(key) != 0 || aes.decrypt(plain, iv) != 0) fuzz_fail("cannot decrypt a template");
    return plain;
}
