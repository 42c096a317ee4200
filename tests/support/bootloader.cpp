#include "support/bootloader.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "key_matrix.h"
#include "keymax.h"
#include "keysig.h"
#include "user_key_file.h"
#include "stage.h"
#include "support/crypto.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/test_keys.h"

namespace {

constexpr std::size_t kBl2Area = 49152;
constexpr std::size_t kTocSize = 16384;

void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    for (std::size_t i = 0; i < 8; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

std::string write_plain_bootloader(const std::string& path, const Bytes& bl2,
                                   const std::vector<Bytes>& stages) {
    Bytes image = bl2;
    image.resize(kBl2Area, 0);
    Bytes toc(kTocSize, 0);
    set32(toc, 0, 0xAA640001);
    set32(toc, 4, 0x12345678);
    std::uint64_t next = kTocSize;
    for (std::size_t i = 0; i < stages.size(); ++i) {
        const std::size_t entry = 16 + 40 * i;
        for (std::size_t u = 0; u < 16; ++u) toc.at(entry + u) = static_cast<std::uint8_t>(0xA0 + i * 16 + u);
        put64(toc, entry + 16, next);
        put64(toc, entry + 24, stages[i].size());
        next += stages[i].size();
    }
    image.insert(image.end(), toc.begin(), toc.end());
    for (const Bytes& stage : stages) image.insert(image.end(), stage.begin(), stage.end());
    write_file(path, image);
    return path;
}

namespace {

// Runs the signing command on a plain bootloader and returns its output.
Bytes run_bootsig(const std::string& dir, const Bytes& bl2, const std::vector<Bytes>& stages,
                  const std::vector<std::string>& key_options) {
    const std::string input = write_plain_bootloader(dir + "/plain-boot.bin", bl2, stages);
    const std::string output = dir + "/signed-boot.bin";
    std::vector<std::string> args{"--bootsig", "--input", input, "--output", output};
    args.insert(args.end(), key_options.begin(), key_options.end());
    const ToolRun run = run_tool(args);
    if (run.result != 0) throw std::runtime_error("--bootsig failed: " + run.out);
    return read_file(output);
}

class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

}  // namespace

KeyFiles make_key_files(const std::string& dir) {
    KeyFiles k{dir + "/root.key", dir + "/user1.key", dir + "/user2.key", dir + "/km.bin",
               dir + "/user.zud"};
    write_full_key(k.root, test_key(2048, 0));
    write_full_key(k.user1, test_key(2048, 1));
    write_full_key(k.user2, test_key(2048, 2));
    if (run_tool({"--keysig", "--rkey1", k.root, "--ukey1", k.user1, "--ukey2", k.user2, "--skey",
                  k.root, "--output", k.keymax})
            .result != 0 ||
        run_tool({"--keybnd", "--ukey", k.user1, "--rootkeymax", k.keymax, "--output", k.user_key})
                .result != 0) {
        throw std::runtime_error("making the keymax or the user key file failed");
    }
    return k;
}

Bytes fix_block_from_writer(const std::string& dir, const std::string& key_file,
                            const Bytes& payload, bool bl2) {
    const std::string input = dir + "/fix-payload.bin";
    write_file(input, payload);
    const std::string output = bl2 ? "bl2.encrypt" : "fix-block.bin";
    {
        InDirectory here(dir);
        if (zud_signature_file_fix(input.c_str(), key_file.c_str(), output.c_str()) != 0) {
            throw std::runtime_error("keymax signer failed");
        }
    }
    const Bytes written = read_file(dir + "/" + output);
    return Bytes(written.begin() + 16, written.end());
}

Bytes make_signed_bootloader(const std::string& dir, const KeyFiles& keys, const Bytes& bl2,
                             const std::vector<Bytes>& stages) {
    return run_bootsig(dir, bl2, stages, {"--zuduserkey", keys.user_key});
}

Bytes make_digest_bootloader(const std::string& dir, const Bytes& bl2,
                             const std::vector<Bytes>& stages) {
    return run_bootsig(dir, bl2, stages, {});
}

Bytes decrypt_bootloader(const Bytes& out, const Bytes& aes_key) {
    Bytes plain = out;
    const Bytes area = aes256_cbc_decrypt(aes_key.data(), slice(out, 0, kBl2Area));
    std::copy(area.begin(), area.end(), plain.begin());
    const Bytes stage_key = sha256_of(slice(area, 0, 16));
    const Bytes toc = aes256_cbc_decrypt(stage_key.data(), slice(out, kBl2Area, kTocSize));
    std::copy(toc.begin(), toc.end(), plain.begin() + kBl2Area);
    for (std::size_t entry = 16; entry + 40 <= kTocSize; entry += 40) {
        const std::uint64_t offset = le32_at(toc, entry + 16) | std::uint64_t{le32_at(toc, entry + 20)} << 32;
        const std::uint64_t size = le32_at(toc, entry + 24) | std::uint64_t{le32_at(toc, entry + 28)} << 32;
        if (size == 0) break;
        const Bytes stage = aes256_cbc_decrypt(stage_key.data(), slice(out, kBl2Area + offset, size));
        std::copy(stage.begin(), stage.end(), plain.begin() + static_cast<long>(kBl2Area + offset));
    }
    return plain;
}

std::string root_digest_of(const std::string& keymax_path) {
    const Bytes bytes = read_file(keymax_path);
    const auto km = decode_keymax(bytes);
    if (!km) throw std::runtime_error(keymax_path + " is no keymax");
    const Digest root = key_matrix_root_digest(km->root);
    return to_hex(Bytes(root.begin(), root.end()));
}
