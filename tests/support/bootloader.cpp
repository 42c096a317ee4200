#include "support/bootloader.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "keys.h"
#include "stage.h"
#include "support/run.h"
#include "support/signed_blocks.h"
#include "support/test_keys.h"

namespace {

constexpr std::size_t kBl2Area = 49152;
constexpr std::size_t kTocSize = 16384;

struct StdioCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using Stream = std::unique_ptr<std::FILE, StdioCloser>;

// Appends the stage's signed block (padded to 16 KiB) to `out` and returns
// its length before the padding.
std::uint32_t append_stage(const Bytes& stage, mbedtls_rsa_context* key, Bytes& out) {
    Stream in(std::tmpfile());
    Stream block(std::tmpfile());
    if (!in || !block) throw std::runtime_error("tmpfile");
    std::fwrite(stage.data(), 1, stage.size(), in.get());
    std::int32_t written = 0;
    if (zud_sig_boot_file_buffer(in.get(), 0, static_cast<std::uint32_t>(stage.size()), &written,
                                 key, block.get(), kTocSize) != 0) {
        throw std::runtime_error("stage builder failed");
    }
    const long end = std::ftell(block.get());
    std::rewind(block.get());
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(end));
    if (std::fread(out.data() + at, 1, static_cast<std::size_t>(end), block.get()) !=
        static_cast<std::size_t>(end)) {
        throw std::runtime_error("stage read back");
    }
    return static_cast<std::uint32_t>(written);
}

void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    for (std::size_t i = 0; i < 8; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// The table of contents region and the stage blocks behind it.
Bytes fip_part(const std::vector<Bytes>& stages, mbedtls_rsa_context* key) {
    Bytes toc(kTocSize, 0);
    set32(toc, 0, 0xAA640001);
    set32(toc, 4, 0x12345678);
    Bytes blocks;
    std::uint64_t next = kTocSize;
    for (std::size_t i = 0; i < stages.size(); ++i) {
        const std::size_t entry = 16 + 40 * i;
        for (std::size_t u = 0; u < 16; ++u) toc.at(entry + u) = static_cast<std::uint8_t>(0xA0 + i * 16 + u);
        const std::uint32_t written = append_stage(stages[i], key, blocks);
        put64(toc, entry + 16, next);
        put64(toc, entry + 24, written);
        next += (written + kTocSize - 1) / kTocSize * kTocSize;
    }
    put64(toc, 16 + 40 * stages.size() + 16, next);
    toc.insert(toc.end(), blocks.begin(), blocks.end());
    return toc;
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
    Bytes out = read_file(keys.keymax);
    for (std::size_t i = 0; i < 16; ++i) out[i] = static_cast<std::uint8_t>(0x5A ^ i);
    const Bytes bl2_block = fix_block_from_writer(dir, keys.user_key, bl2, true);
    out.insert(out.end(), bl2_block.begin(), bl2_block.end());
    if (out.size() != kBl2Area) throw std::runtime_error("BL2 area is not 49152 bytes");
    RsaKey key;
    if (zud_tq_load_rsa_key_file(&key.ctx, keys.user_key.c_str()) != 0) throw std::runtime_error("user key");
    const Bytes fip = fip_part(stages, &key.ctx);
    out.insert(out.end(), fip.begin(), fip.end());
    return out;
}

Bytes make_digest_bootloader(const Bytes& bl2, const std::vector<Bytes>& stages) {
    BlockSpec spec;
    spec.payload = bl2;
    spec.payload.resize(45056, 0);
    spec.key_area = 3504;
    spec.signed_data_offset = 96;
    Bytes out(16, 0x33);
    const Bytes block = assemble_block(spec);
    out.insert(out.end(), block.begin(), block.end());
    const Bytes fip = fip_part(stages, nullptr);
    out.insert(out.end(), fip.begin(), fip.end());
    return out;
}
