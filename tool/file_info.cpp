// Prints the structure of the files the tool writes: keymax, signed blocks,
// zud_user_key files, signed kernel images and unencrypted bootloaders.
// Everything is read from the file in bounded pieces and every offset the
// file names is checked before it is followed.
#include <cctype>
#include <cstring>
#include <optional>

#include "crypto.h"
#include "files.h"
#include "keys.h"
#include "stage.h"
#include "verify.h"

namespace {

constexpr std::uint64_t kKeymaxBlockAt = 16;
constexpr std::uint64_t kBootTocAt = 49152;
constexpr std::uint64_t kBl2BlockAt = 2264;
constexpr std::size_t kTocSize = 16384;
constexpr std::uint32_t kTocName = 0xAA640001;
constexpr std::size_t kTocEntrySize = 40;
// Enough for the header region of any block the tool writes (a BL2 block's
// is 4080 bytes; a keymax block is 2248 bytes whole).
constexpr std::size_t kBlockViewSize = 8192;
constexpr std::uint64_t kSecurityHeaderAt = 1024;

enum class Format {
    kKeymax,
    kSignedBootloader,
    kDigestBootloader,
    kUserKey,
    kKernelImage,
    kSignedBlock,
    kUnknown
};

// An open file with bounded reads at absolute offsets.
class Source {
public:
    explicit Source(const char* path) : path_(path), file_(open_file(path, "rb")) {
        if (file_) size_ = stream_size(file_.get()).value_or(0);
    }
    const char* path() const { return path_; }
    bool ok() const { return file_ != nullptr; }
    std::uint64_t size() const { return size_; }
    // Reads out.size() bytes at `offset`, or as many as the file has there;
    // returns the count (0 when the offset lies outside the file).
    std::size_t read(std::uint64_t offset, MutBytes out) const {
        if (offset >= size_ || !seek_to(file_.get(), offset)) return 0;
        return read_some(file_.get(), out);
    }
    bool has(std::uint64_t offset, const char* magic) const {
        const std::size_t n = std::strlen(magic);
        std::array<std::uint8_t, 8> bytes{};
        return read(offset, MutBytes(bytes).first(n)) == n && std::memcmp(bytes.data(), magic, n) == 0;
    }
    std::optional<std::uint32_t> le32(std::uint64_t offset) const {
        std::array<std::uint8_t, 4> bytes{};
        if (read(offset, bytes) != 4) return std::nullopt;
        return get_le32(bytes, 0);
    }
private:
    const char* path_;
    File file_;
    std::uint64_t size_ = 0;
};

Format recognise(const Source& s) {
    const bool block_at_16 = s.has(kKeymaxBlockAt, "@ZUD");
    const bool matrix_at_1848 = s.has(kKeymaxRootMatrixOffset, "@KMX");
    if (s.size() == kKeymaxSize && block_at_16 && matrix_at_1848) return Format::kKeymax;
    if (block_at_16 && s.le32(kBootTocAt) == kTocName) {
        return matrix_at_1848 ? Format::kSignedBootloader : Format::kDigestBootloader;
    }
    if (s.size() == kUserKeyFileSize && s.has(kUserKeyKeymaxOffset + kKeymaxBlockAt, "@ZUD") &&
        s.has(kUserKeyKeymaxOffset + kKeymaxRootMatrixOffset, "@KMX")) {
        return Format::kUserKey;
    }
    if (s.has(0, "ANDROID!") && s.has(kSecurityHeaderAt, "ZUDSECU!")) return Format::kKernelImage;
    if (s.has(0, "@ZUD")) return Format::kSignedBlock;
    return Format::kUnknown;
}

// ---------------------------------------------------------------------------
// Printing helpers

void print_hex(std::FILE* out, ConstBytes bytes) {
    for (const std::uint8_t b : bytes) std::fprintf(out, "%02x", b);
}

void print_field(std::FILE* out, const char* indent, const char* name, std::uint64_t value) {
    std::fprintf(out, "%s%-20s%llu\n", indent, name, static_cast<unsigned long long>(value));
}

// A 4-byte tag or a 16-character timestamp as text, dots for the bytes
// that are not printable.
void print_text(std::FILE* out, ConstBytes bytes) {
    for (const std::uint8_t b : bytes) std::fputc(std::isprint(b) != 0 ? b : '.', out);
}

// 1 to 3 when the digest is in the root digest table, else 0.
int root_table_entry(KeyDigestRef digest) {
    const auto table = zud_root_digests();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (std::memcmp(table[i].data(), digest.data(), kRootDigestSize) == 0) return static_cast<int>(i + 1);
    }
    return 0;
}

const char* failure_reason() {
    const char* reason = zud_verify_failure_reason();
    return reason != nullptr ? reason : "refused";
}

const char* kind_name(std::uint32_t sig_type) {
    return sig_type == 0 ? "digest only" : sig_type <= 3 ? "RSA" : "unknown";
}

void print_block_header(std::FILE* out, const zud_signed_block_header& h) {
    const char* in = "    ";
    print_field(out, in, "total_size", h.total_size);
    print_field(out, in, "header_size", h.header_size);
    print_field(out, in, "version", h.version);
    std::fprintf(out, "%s%-20s0x%08X\n", in, "nonce", h.nonce);
    std::fprintf(out, "%s%-20s%u (%s)\n", in, "sig_type", h.sig_type, kind_name(h.sig_type));
    print_field(out, in, "sig_offset", h.sig_offset);
    print_field(out, in, "sig_size", h.sig_size);
    print_field(out, in, "signed_data_offset", h.signed_data_offset);
    print_field(out, in, "signed_data_size", h.signed_data_size);
    print_field(out, in, "key_type", h.key_type);
    print_field(out, in, "key_offset", h.key_offset);
    print_field(out, in, "key_size", h.key_size);
    print_field(out, in, "payload_offset", h.payload_offset);
    print_field(out, in, "payload_size", h.payload_size);
}

// The signing key a block carries: type, tag, timestamp, size and digest.
void print_block_key(std::FILE* out, ConstBytes view, const zud_signed_block_header& h) {
    if (h.key_size == 0) {
        std::fprintf(out, "  key: none\n");
        return;
    }
    if (!fits(view.size(), h.key_offset, kKeyHeaderSize)) {
        std::fprintf(out, "  key: its header at %u lies outside the block\n", h.key_offset);
        return;
    }
    const ConstBytes kh = view.subspan(h.key_offset, kKeyHeaderSize);
    std::fprintf(out, "  key at %u: key_type %u, tag \"", h.key_offset, kh[9]);
    print_text(out, kh.subspan(12, 4));
    std::fprintf(out, "\", timestamp \"");
    print_text(out, kh.subspan(32, 16));
    std::fprintf(out, "\"\n");
    RsaKey key;
    RootDigest digest{};
    if (zud_load_rsa_puk(&key.ctx, view, digest) != kVerifyOk) {
        std::fprintf(out, "    no usable key: %s\n", failure_reason());
        return;
    }
    std::fprintf(out, "    %zu-bit modulus, key digest ", key.ctx.len * 8);
    print_hex(out, digest);
    std::fputc('\n', out);
}

// Reads the head of the block at `at` (up to kBlockViewSize bytes) and
// prints its header and key; returns the header, or nullopt.
std::optional<zud_signed_block_header> print_block(std::FILE* out, const Source& s, std::uint64_t at,
                                                   const char* name) {
    Buffer view(kBlockViewSize);
    if (!view.ok()) return std::nullopt;
    const std::size_t n = s.read(at, view.bytes());
    const auto h = decode_signed_block_header(view.bytes().first(n));
    if (!h) {
        std::fprintf(out, "%s at %llu: no signed block header\n", name, static_cast<unsigned long long>(at));
        return std::nullopt;
    }
    std::fprintf(out, "%s at %llu:\n", name, static_cast<unsigned long long>(at));
    print_block_header(out, *h);
    print_block_key(out, view.bytes().first(n), *h);
    return h;
}

// ---------------------------------------------------------------------------
// Key matrices and the keymax

void print_matrix(std::FILE* out, const Source& s, std::uint64_t at, const char* name, bool root) {
    std::array<std::uint8_t, kKeyMatrixSize> m{};
    if (s.read(at, m) != m.size()) {
        std::fprintf(out, "%s at %llu: cut short\n", name, static_cast<unsigned long long>(at));
        return;
    }
    std::fprintf(out, "%s at %llu: version %u, header_size %u, matrix_size %u, %u entries of %u bytes\n",
                 name, static_cast<unsigned long long>(at), m[4], get_le16(m, 6), get_le32(m, 8), m[12],
                 m[13]);
    for (std::size_t i = 0; i < 4; ++i) {
        const ConstBytes e = ConstBytes(m).subspan(16 + 48 * i, 48);
        std::fprintf(out, "  entry %zu: key_type %u, tag \"", i, e[9]);
        print_text(out, e.subspan(12, 4));
        std::fprintf(out, "\", key_digest ");
        print_hex(out, e.subspan(16, 32));
        std::fputc('\n', out);
    }
    if (!root) return;
    RootDigest digest{};
    if (zud_key_matrix_digest(m, digest) != kVerifyOk) {
        std::fprintf(out, "  no root key digest: %s\n", failure_reason());
        return;
    }
    std::fprintf(out, "  root key digest (eFuse pattern) ");
    print_hex(out, digest);
    const int entry = root_table_entry(digest);
    if (entry != 0) std::fprintf(out, "\n  in the root digest table as entry %d\n", entry);
    else std::fprintf(out, "\n  not in the root digest table\n");
}

void print_keymax(std::FILE* out, const Source& s, std::uint64_t base) {
    (void)print_block(out, s, base + kKeymaxBlockAt, "keymax signed block");
    print_matrix(out, s, base + kKeymaxRootMatrixOffset, "root key matrix", true);
    print_matrix(out, s, base + kKeymaxUserMatrixOffset, "user key matrix", false);
}

// ---------------------------------------------------------------------------
// Bootloaders

// The stage block an entry points at: its kind, key and payload size.
void print_stage_summary(std::FILE* out, const Source& s, std::uint64_t at) {
    std::array<std::uint8_t, kSignedBlockHeaderSize> head{};
    const auto h = decode_signed_block_header(ConstBytes(head).first(s.read(at, head)));
    if (!h) {
        std::fprintf(out, "      no signed block at %llu\n", static_cast<unsigned long long>(at));
        return;
    }
    std::fprintf(out, "      block at %llu: %s, sig_size %u, key_type %u, payload_size %u, total_size %u\n",
                 static_cast<unsigned long long>(at), kind_name(h->sig_type), h->sig_size, h->key_type,
                 h->payload_size, h->total_size);
}

void print_toc(std::FILE* out, const Source& s) {
    Buffer toc(kTocSize);
    if (!toc.ok() || s.read(kBootTocAt, toc.bytes()) != kTocSize) {
        std::fprintf(out, "FIP table of contents at %llu: cut short\n",
                     static_cast<unsigned long long>(kBootTocAt));
        return;
    }
    const ConstBytes t = toc.bytes();
    std::fprintf(out, "FIP table of contents at %llu: name 0x%08X, serial 0x%08X, flags 0x%llX\n",
                 static_cast<unsigned long long>(kBootTocAt), get_le32(t, 0), get_le32(t, 4),
                 static_cast<unsigned long long>(get_le64(t, 8)));
    for (std::size_t at = 16, i = 0; at + kTocEntrySize <= kTocSize; at += kTocEntrySize, ++i) {
        const std::uint64_t offset = get_le64(t, at + 16);
        const std::uint64_t size = get_le64(t, at + 24);
        if (size == 0) {
            std::fprintf(out, "  end: offset %llu\n", static_cast<unsigned long long>(offset));
            return;
        }
        std::fprintf(out, "  entry %zu: uuid ", i);
        print_hex(out, t.subspan(at, 16));
        std::fprintf(out, ", offset %llu, size %llu, flags 0x%llX\n", static_cast<unsigned long long>(offset),
                     static_cast<unsigned long long>(size),
                     static_cast<unsigned long long>(get_le64(t, at + 32)));
        print_stage_summary(out, s, kBootTocAt + offset);
    }
    std::fprintf(out, "  no terminating entry\n");
}

void print_bootloader(std::FILE* out, const Source& s, bool signing) {
    std::array<std::uint8_t, 16> iv{};
    (void)s.read(0, iv);
    std::fprintf(out, "IV prefix: ");
    print_hex(out, iv);
    std::fputc('\n', out);
    if (signing) {
        print_keymax(out, s, 0);
        (void)print_block(out, s, kBl2BlockAt, "BL2 block");
    } else {
        (void)print_block(out, s, kKeymaxBlockAt, "BL2 block (digest mode)");
    }
    print_toc(out, s);
}

// ---------------------------------------------------------------------------
// User key files and kernel images

void print_user_key(std::FILE* out, const Source& s) {
    Buffer key_data(kKeyDataAreaMin);
    std::array<std::uint8_t, kKeyHeaderSize> header{};
    zud_init_key_header(header, kKeyHeaderSize);
    (void)zud_create_key_from_file(1, s.path(), key_data.bytes(), header, 0);
    std::fprintf(out, "RSA key file at 0: %u bytes, full binary, key_type %u (digest form), key digest ",
                 static_cast<unsigned>(kUserKeyKeymaxOffset), header[9]);
    print_hex(out, ConstBytes(header).subspan(16, 32));
    std::array<std::uint8_t, 32> first_user{};
    (void)s.read(kUserKeyKeymaxOffset + kKeymaxUserMatrixOffset + 32, first_user);
    const bool bound = std::memcmp(first_user.data(), header.data() + 16, 32) == 0;
    std::fprintf(out, "\n  %s the first user key of the keymax\n", bound ? "is" : "is NOT");
    print_keymax(out, s, kUserKeyKeymaxOffset);
    std::fprintf(out, "AES key at %u: 32 bytes (not shown)\n", static_cast<unsigned>(kUserKeyAesOffset));
}

void print_kernel_image(std::FILE* out, const Source& s) {
    std::array<std::uint8_t, 2048> page{};
    (void)s.read(0, page);
    const ConstBytes p = page;
    std::fprintf(out, "boot image header: kernel size %u, ramdisk size %u, second size %u, page size %u\n",
                 get_le32(p, 8), get_le32(p, 16), get_le32(p, 24), get_le32(p, 36));
    const ConstBytes sec = p.subspan(kSecurityHeaderAt, 320);
    std::fprintf(out, "image security header at 1024: format_word 0x%X, stage_count %u, timestamp \"",
                 get_le32(sec, 8), get_le32(sec, 12));
    print_text(out, sec.subspan(16, 16));
    std::fprintf(out, "\"\n");
    static const char* const names[] = {"kernel", "ramdisk", "second stage"};
    for (std::size_t i = 0; i < 3; ++i) {
        const ConstBytes r = sec.subspan(32 + 96 * i, 96);
        std::fprintf(out, "  stage %zu (%s, encrypted): stage_offset %u, part_size %u, stage_length %u, "
                          "page_size %u, stage_space %u\n",
                     i, names[i], get_le32(r, 0), get_le32(r, 4), get_le32(r, 8), get_le32(r, 12),
                     get_le32(r, 16));
        std::fprintf(out, "    stage_digest ");
        print_hex(out, r.subspan(32, 32));
        std::fprintf(out, "\n    key_hash     ");
        print_hex(out, r.subspan(64, 32));
        std::fputc('\n', out);
    }
}

void print_signed_block(std::FILE* out, const Source& s) {
    const auto h = print_block(out, s, 0, "signed block");
    if (!h) return;
    const std::uint64_t stored = std::uint64_t{h->payload_size} + h->payload_offset;
    std::fprintf(out, "  payload: %u bytes; its first %u bytes are stored at %u, behind the rest%s\n",
                 h->payload_size, h->payload_offset, h->payload_size,
                 stored > s.size() ? " (the file is shorter than that)" : "");
}

}  // namespace

int zud_inspect_file(const char* path, std::FILE* out) {
    if (path == nullptr || out == nullptr) return kVerifyFailed;
    Source s(path);
    if (!s.ok()) return kVerifyFailed;
    const unsigned long long size = s.size();
    switch (recognise(s)) {
        case Format::kKeymax:
            std::fprintf(out, "%s: keymax (%llu bytes)\n", path, size);
            print_keymax(out, s, 0);
            return kVerifyOk;
        case Format::kSignedBootloader:
            std::fprintf(out, "%s: signed bootloader, not encrypted (%llu bytes)\n", path, size);
            print_bootloader(out, s, true);
            return kVerifyOk;
        case Format::kDigestBootloader:
            std::fprintf(out, "%s: digest-mode bootloader, not signed, not encrypted (%llu bytes)\n", path, size);
            print_bootloader(out, s, false);
            return kVerifyOk;
        case Format::kUserKey:
            std::fprintf(out, "%s: zud_user_key file (%llu bytes)\n", path, size);
            print_user_key(out, s);
            return kVerifyOk;
        case Format::kKernelImage:
            std::fprintf(out, "%s: signed kernel image (%llu bytes)\n", path, size);
            print_kernel_image(out, s);
            return kVerifyOk;
        case Format::kSignedBlock:
            std::fprintf(out, "%s: signed block (%llu bytes)\n", path, size);
            print_signed_block(out, s);
            return kVerifyOk;
        case Format::kUnknown:
            break;
    }
    return kVerifyNotRecognised;
}
