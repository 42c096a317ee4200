// Kernel image signing: the --imgsig handler, the user key digest and the
// image security header.
#include "imgsig.h"

#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "keyfile.h"
#include "key_block.h"
#include "image_header.h"
#include "keymax.h"
#include "keymax_refusal.h"
#include "user_key_file.h"
#include "pipeline.h"
#include "progress.h"
#include "rng.h"
#include "signed_block.h"
#include "signing_key.h"
#include "stage.h"
#include "stage_block.h"
#include "command_signer.h"
#include "trailer.h"

int zud_get_sha_from_ctx(const mbedtls_rsa_context* ctx, std::uint8_t* digest) {
    if (ctx == nullptr || digest == nullptr) return kImageKeyDigestFailed;
    // nullopt when the modulus has no key type.
    const auto named = public_key_digest(*ctx);
    if (!named) return kImageKeyDigestFailed;
    std::copy(named->begin(), named->end(), digest);
    return 0;
}

namespace {

enum Slot : std::size_t { kSlotInput = 0, kSlotKey = 1, kSlotOutput = 2, kSlotCount = 3 };
enum KeySlot : std::size_t {
    kSlotUserKey = 3,
    kSlotAesKey = 4,
    kSlotPkcs11Module = 5,
    kSlotPassphraseFile = 6,
    kSlotRootKeymax = 7,
    kSlotSigner = 8,  // the six signer options from here on
    kHandlerSlotCount = kSlotSigner + kSignerOptionCount,
};

const option kImageOptions[] = {
    {"input", required_argument, nullptr, 0},
    {"zuduserkey", required_argument, nullptr, 0},
    {"output", required_argument, nullptr, 0},
    {"userkey", required_argument, nullptr, 0},
    {"aeskey", required_argument, nullptr, 0},
    {"pkcs11-module", required_argument, nullptr, 0},
    {"passphrase-file", required_argument, nullptr, 0},
    {"rootkeymax", required_argument, nullptr, 0},
    // The signer options, in the order CommandSigner reads them.
    {"signer", required_argument, nullptr, 0},
    {"signer-key", required_argument, nullptr, 0},
    {"signer-form", required_argument, nullptr, 0},
    {"signer-timeout", required_argument, nullptr, 0},
    {"export-requests", required_argument, nullptr, 0},
    {"import-signatures", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

const CommandSyntax kImageSyntax{
    "imgsig", kImageOptions,
    " --input BOOT.IMG [--zuduserkey USER_KEY | --userkey KEY --aeskey AES32 [--rootkeymax KEYMAX]]\n"
    "        [--output OUT] [--pkcs11-module FILE] [--passphrase-file FILE]\n"
    "        [--signer 'PROGRAM [ARGS]' | --export-requests DIR | --import-signatures DIR\n"
    "         --signer-key PUB [--signer-form sha256-digest|pkcs1-block] [--signer-timeout S]]\n"
    "        (--signer-key instead of --userkey: the user key signs where it lives)\n"
    "Packages the kernel, ramdisk and second stage of an Android boot image as signed\n"
    "blocks behind a security header (digest-only blocks without a key), encrypted with\n"
    "the AES key when one is given, and writes BOOT.IMG.encrypt (signed) or BOOT.IMG.pkg,\n"
    "or OUT.\n",
    kImgsigResults};

// The writing pass runs through a few pieces of this size.
constexpr std::size_t kImagePieceSize = 1024 * 1024;
constexpr std::size_t kImagePieces = 4;
// The largest header region a stage can carry (header, 1024-byte signature,
// key block of an 8192-bit key), used to bound the output's size before
// anything is built.
constexpr std::uint64_t kMaxStageHeaderRegion = 64 + 1024 + 48 + 1056;
// Offsets and sizes in the security header are 32-bit.
constexpr std::uint64_t kMaxImageOutputSize = 0xFFFFFFFF;

using HeaderPage = std::array<std::uint8_t, kBootHeaderPageSize>;

struct ImageJob {
    ImageJob() = default;
    ImageJob(const ImageJob&) = delete;
    ImageJob& operator=(const ImageJob&) = delete;
    ~ImageJob() { wipe(aes_key.data(), aes_key.size()); }

    const char* input = nullptr;
    const char* key_path = nullptr;  // "zuduserkey", or "userkey" with aes_path
    const char* aes_path = nullptr;
    const char* keymax_path = nullptr;  // "rootkeymax", with "userkey"
    SigningKeySource source;
    const char* output_option = nullptr;
    bool signing = false;  // exactly when a user key is given
    std::string output;
    HeaderPage page{};
    zud_boot_image_header boot;
    // stage_offset holds the input offset until the stages are built, then
    // the output offset.
    std::array<zud_stage_record, kImageStageCount> stages{};
    std::unique_ptr<SigningKey> key;
    std::array<std::uint8_t, kAesKeySize> aes_key{};
    // The keymax the key is checked against and the file it is in: the one
    // bound in the zud_user_key file, or the "rootkeymax" file.
    std::array<std::uint8_t, kKeymaxSize> keymax{};
    const char* keymax_from = nullptr;
    std::unique_ptr<Progress> progress;
    Digest key_hash{};
};

void explain(const char* text) { std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", text); }

// One line about the file `path`: "<path>: <text>".
void explain_file(const char* path, const char* text) {
    std::fprintf(stderr, "zud_encrypt_tqrr: %s: %s\n", path, text);
}

int check_input(const char* input) {
    if (input == nullptr) {
        std::printf("zud log: error! Please set input first!\n");
        explain("--imgsig needs --input BOOT.IMG");
        return kImageNoInput;
    }
    if (!path_exists(input)) {
        std::printf("zud log: error! Illegal [%s] %s\n", "input", input);
        std::fprintf(stderr, "zud_encrypt_tqrr: --input %s names no file; give the path of the "
                             "boot image\n", input);
        return kImageNoInput;
    }
    return 0;
}

// The given output, or the input's name with ".encrypt" (signing) or ".pkg"
// (packaging). Opening an output that is the input or the key file would
// destroy it.
int make_output_name(ImageJob& job) {
    const std::optional<std::string> name =
        job.output_option != nullptr ? derive_name(job.output_option, "")
                                     : derive_name(job.input, job.signing ? ".encrypt" : ".pkg");
    if (!name) {
        explain("the output path would be longer than 255 characters");
        return kImageOutputTooLong;
    }
    if (same_file(job.input, name->c_str()) || same_file(job.key_path, name->c_str()) ||
        same_file(job.aes_path, name->c_str()) || same_file(job.keymax_path, name->c_str())) {
        explain("the output names one of the inputs, which would be destroyed");
        return kImageSameFile;
    }
    job.output = *name;
    return 0;
}

int read_header_page(std::FILE* in, const char* path, HeaderPage& page) {
    if (!read_exact(in, page)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s is shorter than a boot image's 2048-byte "
                             "header page\n", path);
        return kImageShortInput;
    }
    if (!decode_boot_image_header(page)->android_magic) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s is not an Android boot image (it does not "
                             "begin with \"ANDROID!\"); give the image mkbootimg made\n", path);
        return kImageNotBootImage;
    }
    if (has_image_security_header(page)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s is signed already (\"ZUDSECU!\" at byte "
                             "1024); give the unsigned boot image\n", path);
        return kImageAlreadySigned;
    }
    return 0;
}

// Refuses page sizes and part sizes that the stage layout cannot follow.
// The parts are located on 2048-byte boundaries and the encryption pass
// works in 2048-byte pieces, so any other page size would read bytes the
// image does not use or encrypt across a stage boundary.
int check_layout(const char* path, const zud_boot_image_header& boot, std::uint64_t input_size) {
    if (boot.page_size != kImagePageSize) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s: page size %u is not supported; make the image "
                             "with a page size of 2048\n",
                     path, boot.page_size);
        return kImageBadPageSize;
    }
    const std::uint64_t sizes[] = {boot.kernel_size, boot.ramdisk_size, boot.second_size};
    std::uint64_t offset = kBootHeaderPageSize;
    std::uint64_t output_bound = kBootHeaderPageSize + kUpgradeWorkAreaSize;
    bool block_too_large = false;
    for (std::uint64_t size : sizes) {
        if (offset + size > input_size) {
            explain_file(path, "the part sizes in the header reach past the end of the file; the "
                               "image is cut short or its header is damaged");
            return kImagePartsPastEnd;
        }
        const std::uint64_t block_bound = round_up_16(size) + kMaxStageHeaderRegion;
        block_too_large = block_too_large || block_bound > kMaxSignedBlockSize;
        output_bound += round_up(block_bound, kImagePageSize);
        offset += round_up(size, kBootHeaderPageSize);
    }
    if (block_too_large || output_bound > kMaxImageOutputSize) {
        explain_file(path, "the parts are too large for the 32-bit sizes of a signed image");
        return kImageTooLarge;
    }
    return 0;
}

// Boot images whose parts this layout cannot carry whole are refused: a
// newer header layout, or a recovery DTBO or DTB that would be dropped. A
// signed image's security header takes header page bytes 1024 to 1343,
// which lie in the extra kernel command line, so they must be free.
int check_header_fields(const char* path, ConstBytes page, const zud_boot_image_header& boot,
                        bool signing) {
    const std::uint32_t version = boot.header_version;
    if (version >= 3) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: %s: boot image header version %u is not supported; make "
                     "the image with header version 0, 1 or 2\n",
                     path, version);
        return kImageHeaderVersion;
    }
    const bool dtbo = boot.recovery_dtbo_size != 0;
    const bool dtb = boot.dtb_size != 0;
    if (dtbo || dtb) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: %s: the boot image carries a %s, which a signed image "
                     "cannot hold and would lose; make the image without it\n",
                     path, dtbo ? "recovery DTBO" : "DTB");
        return kImageExtraParts;
    }
    const ConstBytes taken = page.subspan(kSecurityHeaderOffset, kSecurityHeaderSize);
    if (signing && std::any_of(taken.begin(), taken.end(), [](std::uint8_t b) { return b != 0; })) {
        explain_file(path, "header page bytes 1024 to 1343 (the tail of the extra kernel command "
                           "line) are in use, but the security header goes there; shorten the "
                           "command line");
        return kImageCmdlineInTheWay;
    }
    return 0;
}

void plan_stages(ImageJob& job) {
    const std::uint32_t sizes[] = {job.boot.kernel_size, job.boot.ramdisk_size, job.boot.second_size};
    std::uint32_t offset = kBootHeaderPageSize;
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        zud_stage_record& r = job.stages[i];
        r = zud_stage_record{};
        r.stage_offset = offset;
        r.part_size = sizes[i];
        r.page_size = job.boot.page_size;
        offset += static_cast<std::uint32_t>(round_up(r.part_size, kBootHeaderPageSize));
    }
}

// ---------------------------------------------------------------------------
// Packaged images
//
// The output of this command without a key keeps the input's header page,
// whose sizes still name the parts, while each part is stored as a
// digest-only block: its 96-byte header region, the part from byte 96 on
// zero-padded to 16, then the part's first 96 bytes (a part shorter than 96
// bytes follows the header region directly), padded to a multiple of 2048.
// Signing (or packaging) such an image takes the parts it carries, after
// checking each block's digest, so that a damaged package is not signed as
// good.


bool is_packaged(std::FILE* in) {
    std::array<std::uint8_t, 4> magic{};
    return seek_to(in, kBootHeaderPageSize) && read_exact(in, magic) &&
           std::memcmp(magic.data(), "@ZUD", 4) == 0;
}

int refuse_package(std::size_t stage, const char* why) {
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: the input is a packaged image, but stage %zu %s; package the "
                 "original boot image again\n",
                 stage, why);
    return kImageBadPackage;
}

// Points each stage record at the part its packaged block carries: the
// block itself when the part's head was relocated (the stage builder takes
// the head back from behind the part), else the part right behind the
// header region.
int plan_packaged_stages(ImageJob& job, std::FILE* in, std::uint64_t input_size) {
    const auto offsets = packaged_block_offsets(job.boot);
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        zud_stage_record& r = job.stages[i];
        const std::uint64_t at = offsets[i];
        std::array<std::uint8_t, kPackagedHeadSize> head{};
        if (!seek_to(in, at) || !read_exact(in, head)) return refuse_package(i, "reaches past the end of the file");
        const auto h = decode_signed_block_header(head);
        if (!h || !is_packaged_block_of(*h, r.part_size)) {
            return refuse_package(i, "is not the digest-only block of the part its header names");
        }
        const std::uint64_t stored = packaged_block_length(r.part_size);
        if (!fits(input_size, at, stored)) return refuse_package(i, "reaches past the end of the file");
        if (at + stored > kMaxImageOutputSize) {
            explain("the packaged image is too large for 32-bit offsets");
            return kImageTooLarge;
        }
        zud_stored_block matched;
        if (!stored_block_matches(StageBlockFile(::fileno(in), at, stored), head, *h, nullptr, r.part_size,
                                  matched)) {
            std::fprintf(stderr,
                         "zud_encrypt_tqrr: stage %zu of the packaged image does not match its "
                         "digest: the package is damaged; package the original boot image again\n",
                         i);
            return kImagePackageDamaged;
        }
        r.stage_offset = static_cast<std::uint32_t>(r.part_size >= kPackagedHeadSize ? at : at + kPackagedHeadSize);
    }
    return 0;
}

// The AES key is the last 32 bytes, at 6944, of a zud_user_key file, which is
// exactly 6976 bytes long, and its keymax the 2264 before them. Any other
// file (a text key bound with its keymax, say) holds something else at 6944,
// which must not become the AES key.
bool bound_key_material(const zud_key_file_image& file, std::span<std::uint8_t, kAesKeySize> key,
                        std::span<std::uint8_t, kKeymaxSize> keymax) {
    if (file.size != kUserKeyFileSize || file.head.size() != kUserKeyFileSize) return false;
    const auto parts = decode_user_key_file(file.head.bytes());
    std::copy(parts->aes_key.begin(), parts->aes_key.end(), key.begin());
    std::copy(parts->keymax.begin(), parts->keymax.end(), keymax.begin());
    return true;
}

// The --rootkeymax file: the 2264-byte keymax of --keysig.
int read_keymax_file(const char* path, std::span<std::uint8_t, kKeymaxSize> keymax) {
    std::string error;
    if (read_sized_file(path, keymax, "a keymax (made by --keysig)", error) == SizedRead::kRead) return 0;
    std::fprintf(stderr, "zud_encrypt_tqrr: --rootkeymax: %s\n", error.c_str());
    return kImageKeymaxInvalid;
}

// A device runs a signed image only when a keymax it trusts names the key:
// the keymax bound in the zud_user_key file, or the --rootkeymax file given
// with --userkey, is checked as a device checks it, and the key must be one
// of its user keys. --userkey without --rootkeymax is not checked.
int check_key_against_keymax(ImageJob& job) {
    if (job.keymax_from == nullptr && job.keymax_path != nullptr) {
        if (const int r = read_keymax_file(job.keymax_path, job.keymax); r != 0) return r;
        job.keymax_from = job.keymax_path;
    }
    if (job.keymax_from == nullptr) return 0;
    const auto keymax = decode_keymax(job.keymax);
    if (job.source.external != nullptr && keymax) {
        // The root key that signed the keymax, for telling a signature a
        // signer made with it instead of the user key.
        RsaKey root;
        std::array<std::uint8_t, kKeyDigestSize> digest{};
        if (decode_block_key(&root.ctx, keymax->block, digest) == nullptr) {
            job.source.external->add_known_key(root.ctx, "the root key that signed the keymax");
        }
    }
    if (const int r = refuse_untrusted_keymax(keymax, job.keymax_from,
                                              {kImageKeymaxInvalid, kImageKeymaxSignature});
        r != 0) {
        return r;
    }
    return refuse_unnamed_user_key(*keymax, job.keymax_from, *job.key->public_key(), job.key_path,
                                   kImageKeyNotInKeymax);
}

// The AES key file that goes with --userkey: exactly 32 bytes.
int read_aes_key_file(const char* path, std::span<std::uint8_t, kAesKeySize> key) {
    std::string error;
    File f = open_input(path, error);
    const auto size = f ? stream_size(f.get()) : std::nullopt;
    if (size && *size == kAesKeySize && read_exact(f.get(), key)) return 0;
    if (!f) {
        std::fprintf(stderr, "zud_encrypt_tqrr: the --aeskey file: %s; give the 32-byte AES key file\n",
                     error.c_str());
    } else {
        std::fprintf(stderr, "zud_encrypt_tqrr: the --aeskey file %s is not exactly 32 bytes long; "
                             "give the 32-byte AES key file\n", path);
    }
    return kImageAesKeySize;
}

// The key file of "zuduserkey" is read once: the key and the AES key come
// from the same bytes.
int load_user_key(ImageJob& job) {
    std::string reason;
    zud_key_file_image file;
    // A token cannot hold the AES key: such a "zuduserkey" is opened as a
    // key and refused for the AES key below.
    const bool bound = job.aes_path == nullptr && !is_pkcs11_uri(job.key_path);
    if (bound && !read_key_file_image(job.key_path, file, &reason)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot load the user key: %s\n", reason.c_str());
        return kImageKeyFailed;
    }
    std::array<std::uint8_t, kAesKeySize> aes{};
    const bool has_aes = bound && bound_key_material(file, aes, job.keymax);
    job.key = bound ? open_signing_key(std::move(file), job.source, reason)
                    : open_signing_key(job.key_path, job.source, reason);
    if (!job.key) {
        wipe(aes.data(), aes.size());
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot load the user key: %s\n", reason.c_str());
        return kImageKeyFailed;
    }
    if (job.aes_path != nullptr) {
        if (const int r = read_aes_key_file(job.aes_path, job.aes_key); r != 0) return r;
    } else if (!has_aes) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s is not a 6976-byte zud_user_key file with its AES key at 6944\n",
                     job.key_path);
        return kImageNoAesKey;
    } else {
        job.aes_key = aes;
        wipe(aes.data(), aes.size());
        job.keymax_from = job.key_path;
    }
    std::array<std::uint8_t, kSha256Size> user_digest{};
    if (zud_get_sha_from_ctx(job.key->public_key(), user_digest.data()) != 0) {
        explain("the user key's modulus is not 1024, 2048, 4096 or 8192 bits long");
        return kImageKeyFailed;
    }
    job.key_hash = sha256(user_digest);
    // The trailing block is the raw private operation: a key that cannot
    // make it is refused before the output gets a byte.
    if (job.output_option != nullptr && !job.key->can_raw(reason)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s; the trailing upgrade signature of --output needs it\n",
                     reason.c_str());
        return kImageKeyFailed;
    }
    return check_key_against_keymax(job);
}

// Everything that can refuse the input, before the output gets any byte.
int prepare_image(ImageJob& job, std::FILE* in) {
    const auto input_size = stream_size(in);
    if (!input_size) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot take the size of %s\n", job.input);
        return kImageOpenFailed;
    }
    int result = read_header_page(in, job.input, job.page);
    if (result != 0) return result;
    job.boot = *decode_boot_image_header(job.page);
    result = check_layout(job.input, job.boot, *input_size);
    if (result == 0) result = check_header_fields(job.input, job.page, job.boot, job.signing);
    if (result != 0) return result;
    plan_stages(job);
    if (is_packaged(in)) {
        if (const int r = plan_packaged_stages(job, in, *input_size); r != 0) return r;
    }
    return job.signing ? load_user_key(job) : 0;
}

// The stage blocks of one run: laid out and signed in a first pass over the
// input, written (and in a signed image encrypted) in a second.
using StageBlocks = std::array<zud_stage_block, kImageStageCount>;
constexpr const char* kStageNames[kImageStageCount] = {"kernel", "ramdisk", "second"};

// Lays out each stage's block header (drawing its nonce, and with a key its
// timestamp, in stage order), digests the stages two at a time and signs
// them (or stores their digests) in stage order. Records each stage's
// stored length and its space (the length rounded up to the page size).
int sign_stages(ImageJob& job, int fd, std::uint64_t input_size, StageBlocks& blocks) {
    SigningKey* key = job.signing ? job.key.get() : nullptr;
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        const zud_stage_record& r = job.stages[i];
        if (zud_stage_begin(fd, input_size, r.stage_offset, r.part_size, key, blocks[i]) != kStageOk) {
            std::fprintf(stderr, "zud_encrypt_tqrr: the %s stage of %s could not be laid out\n",
                         kStageNames[i], job.input);
            return kImageStageFailed;
        }
    }
    const auto digests = zud_stage_digests(fd, blocks, job.progress.get());
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        if (!digests[i]) {
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot read the %s stage of %s: %s\n",
                         kStageNames[i], job.input, std::strerror(errno));
            return kImageStageFailed;
        }
        if (key != nullptr) key->set_slot(std::string(kStageNames[i]) + " stage");
        if (zud_stage_seal(blocks[i], key, *digests[i]) != kStageOk) {
            std::fprintf(stderr, "zud_encrypt_tqrr: the %s stage of %s could not be signed%s%s\n",
                         kStageNames[i], job.input, key != nullptr ? ": " : "",
                         key != nullptr ? key->failure().c_str() : "");
            return kImageStageFailed;
        }
        zud_stage_record& r = job.stages[i];
        r.stage_length = static_cast<std::uint32_t>(blocks[i].stored_length);
        r.stage_space = static_cast<std::uint32_t>(round_up(r.stage_length, r.page_size));
    }
    return 0;
}

// The worker's side of the writing pass: writes the output and, in a signed
// image, digests each stage's space as stored (the ciphertext), followed by
// its size.
class StageDigester {
public:
    StageDigester(const ImageJob& job, WriteBehind& out) : job_(job), out_(out) {}

    bool consume(ConstBytes piece) {
        if (!out_.write(piece)) {
            write_failed_ = true;
            return false;
        }
        if (!job_.signing) return true;
        while (!piece.empty()) {
            if (at_ < kBootHeaderPageSize) {  // the header page is not a stage
                const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kBootHeaderPageSize - at_, piece.size()));
                at_ += n;
                piece = piece.subspan(n);
                continue;
            }
            const zud_stage_record& r = job_.stages[stage_];
            const std::uint64_t left = r.stage_space - in_stage_;
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
            shas_[stage_].update(piece.first(n));
            piece = piece.subspan(n);
            at_ += n;
            in_stage_ += n;
            if (in_stage_ == r.stage_space) {
                shas_[stage_].update(stage_digest_suffix(r.stage_space));
                digests_[stage_] = shas_[stage_].finish();
                in_stage_ = 0;
                ++stage_;
            }
        }
        return true;
    }
    bool write_failed() const { return write_failed_; }
    const Digest& digest(std::size_t i) const { return digests_[i]; }

private:
    const ImageJob& job_;
    WriteBehind& out_;
    std::array<Sha256, kImageStageCount> shas_;
    std::array<Digest, kImageStageCount> digests_{};
    std::uint64_t at_ = 0;
    std::uint64_t in_stage_ = 0;
    std::size_t stage_ = 0;
    bool write_failed_ = false;
};

// Writes the header page as it came (the final one goes over it once the
// stage digests are known) and the stage blocks, each padded with zeros to
// its space. A signed image's stages are encrypted as they go, one CBC
// chain (zero IV) per stage, and digested as stored.
int write_stages(ImageJob& job, int fd, std::FILE* output, const StageBlocks& blocks) {
    AesCbc aes;
    if (job.signing && aes.set_encrypt_key(job.aes_key) != 0) return kImageEncryptFailed;
    WriteBehind out(::fileno(output), 0);
    StageDigester digester(job, out);
    PieceQueue queue(kImagePieces, kImagePieceSize, [&](ConstBytes piece) {
        add_progress(job.progress.get(), piece.size());
        return digester.consume(piece);
    });
    PieceFiller filler(queue, nullptr);
    int result = filler.put(job.page) ? 0 : kImageHeaderWriteFailed;
    for (std::size_t i = 0; result == 0 && i < kImageStageCount; ++i) {
        StageEmitter emitter(fd, blocks[i], job.stages[i].stage_space);
        std::array<std::uint8_t, kAesBlockSize> iv{};
        while (result == 0 && emitter.remaining() > 0) {
            const MutBytes room = filler.room();
            const std::int64_t n = room.empty() ? -1 : emitter.fill(room.first(static_cast<std::size_t>(
                                                          std::min<std::uint64_t>(room.size(), emitter.remaining()))));
            if (n <= 0) {
                result = kImageStageFailed;
                break;
            }
            const MutBytes filled = room.first(static_cast<std::size_t>(n));
            if (job.signing && aes.encrypt(filled, iv) != 0) result = kImageEncryptFailed;
            if (result == 0 && !filler.advance(filled.size())) result = kImageStageFailed;
        }
    }
    if (result == 0 && !filler.hand_on()) result = kImageStageFailed;
    const bool consumed = queue.finish();
    if (!queue.ok()) return kImageOpenFailed;
    // A write that failed in the header page is the header's; any later one
    // leaves a stage missing.
    if (digester.write_failed()) {
        return out.position() < kBootHeaderPageSize ? int{kImageHeaderWriteFailed} : int{kImageStageFailed};
    }
    if (result != 0) return result;
    if (!consumed) return kImageStageFailed;
    std::uint32_t offset = kBootHeaderPageSize;
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        zud_stage_record& r = job.stages[i];
        r.stage_offset = offset;
        offset += r.stage_space;
        if (job.signing) {
            r.stage_digest = digester.digest(i);
            r.key_hash = job.key_hash;
        }
    }
    return 0;
}

// The image timestamp, in the form of a key header's.
std::array<char, kSecurityTimestampSize> make_timestamp() {
    std::array<std::uint8_t, kTimestampSize> text{};
    zud_make_timestamp(text);
    std::array<char, kSecurityTimestampSize> stamp{};
    std::memcpy(stamp.data(), text.data(), stamp.size());
    return stamp;
}

// The final header page: sizes of the kernel and ramdisk stages as stored,
// and the security header. The second stage size stays the input's.
void finish_header_page(ImageJob& job) {
    encode_boot_image_part_sizes(job.page, job.stages[0].stage_space, job.stages[1].stage_space);
    zud_image_security_header header;
    header.timestamp = make_timestamp();
    header.stages = job.stages;
    put_image_security_header(header, job.page);
}

// Writes the final header page over the one copied first.
int finish_image(ImageJob& job, std::FILE* output) {
    finish_header_page(job);
    const WriteBehind out(::fileno(output), 0);
    return out.write_at(0, job.page) ? 0 : kImageFinishFailed;
}

// The trailing signature block, when an output path was given. An image
// without it would be taken for a finished one, so its failure fails the
// command.
int append_trailing_signature(const ImageJob& job, const std::string& path) {
    if (job.output_option == nullptr) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: no --output given, so %s gets no trailing upgrade "
                     "signature; give --output to append it\n",
                     job.output.c_str());
        return 0;
    }
    // The trailer covers the stage blocks, signatures and all.
    job.key->set_slot("upgrade trailer", true);
    const int result = zud_sig_upgrade_file_key(path.c_str(), *job.key);
    if (result == 0) return 0;
    std::fprintf(stderr, "zud_encrypt_tqrr: the trailing signature block failed (%d)\n", result);
    return kImageUpgradeFailed;
}

// Says why the second pass, which writes the stages, failed.
void explain_write_failure(const ImageJob& job, int result) {
    const int saved = errno;
    switch (result) {
        case kImageEncryptFailed:
            std::fprintf(stderr, "zud_encrypt_tqrr: a stage of %s could not be encrypted\n", job.input);
            break;
        case kImageOpenFailed:
            std::fprintf(stderr, "zud_encrypt_tqrr: out of memory for the write buffers of %s\n",
                         job.output.c_str());
            break;
        default:
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot read %s or write %s: %s\n", job.input,
                         job.output.c_str(), saved != 0 ? std::strerror(saved) : "short read or write");
            break;
    }
}

int check_input_unchanged(const ImageJob& job, int fd, const FileStamp& before) {
    if (same_stamp(before, stamp_file(fd))) return 0;
    std::fprintf(stderr, "zud_encrypt_tqrr: %s changed while it was being signed; run the "
                         "command again once nothing writes to it\n", job.input);
    return kImageInputChanged;
}

// The image is built, sealed and signed under a temporary name and takes
// the output's name only when it is complete: a refused or failed run
// leaves nothing new, and an earlier file of that name as it was.
int process_image(ImageJob& job) {
    std::string error;
    File in = open_input(job.input, error);
    if (!in) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kImageOpenFailed;
    }
    // The header page and the stages are read to check and sign them, and
    // the stages again to write them: a change after the first read would
    // give blocks that fail their checks.
    const int fd = ::fileno(in.get());
    const FileStamp before = stamp_file(fd);
    int result = prepare_image(job, in.get());
    if (result != 0) return result;
    OutputFile out(job.output, Exposure::kPublic);
    if (!out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return kImageOpenFailed;
    }
    auto blocks = std::make_unique<StageBlocks>();
    const auto input_size = stream_size(in.get());
    if (!input_size) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot take the size of %s\n", job.input);
        return kImageOpenFailed;
    }
    // The parts are read once to sign them, then the output is written.
    std::uint64_t work = 2 * std::uint64_t{kBootHeaderPageSize};
    for (const zud_stage_record& r : job.stages) work += 2 * std::uint64_t{r.part_size};
    job.progress = std::make_unique<Progress>("zud_encrypt_tqrr: imgsig", work);
    result = sign_stages(job, fd, *input_size, *blocks);
    if (result == 0) result = check_input_unchanged(job, fd, before);
    if (result == 0) {
        result = write_stages(job, fd, out.stream(), *blocks);
        if (result != 0) explain_write_failure(job, result);
    }
    job.progress->finish();
    if (result == 0) result = check_input_unchanged(job, fd, before);
    if (result != 0) return result;
    in.reset();
    if (job.signing) {
        result = finish_image(job, out.stream());
        if (result != 0) {
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the header page of %s: %s\n",
                         job.output.c_str(), std::strerror(errno));
        }
        if (result == 0 && !out.close_stream()) {
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot write %s: %s\n", job.output.c_str(),
                         std::strerror(errno));
            result = kImageCloseFailed;
        }
        if (result == 0) result = append_trailing_signature(job, out.temp_path());
        if (result != 0) return result;
    }
    if (!out.commit()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return out.not_durable() ? kImageOutputNotDurable : kImageCloseFailed;
    }
    return 0;
}

// --userkey and --aeskey stand in for a zud_user_key file together, never
// beside one: a signed image has one signing key and one AES key. The
// --rootkeymax that --userkey's key is checked against goes with them too:
// a zud_user_key file carries its own keymax.
int check_key_options(const char* const* slots) {
    if (slots[kSlotKey] != nullptr && (slots[kSlotUserKey] != nullptr || slots[kSlotAesKey] != nullptr ||
                                       slots[kSlotRootKeymax] != nullptr)) {
        explain("--zuduserkey holds the user key, its keymax and the AES key; give either it or "
                "--userkey with --aeskey (and --rootkeymax), not both");
        return kImageTwoKeys;
    }
    if (slots[kSlotRootKeymax] != nullptr && slots[kSlotUserKey] == nullptr) {
        explain("--rootkeymax is the keymax the --userkey key is checked against; give it with "
                "--userkey and --aeskey");
        return kImageKeyPairIncomplete;
    }
    if ((slots[kSlotUserKey] == nullptr) != (slots[kSlotAesKey] == nullptr)) {
        explain(slots[kSlotUserKey] != nullptr
                    ? "--userkey needs --aeskey: a signed image is encrypted; give the 32-byte "
                      "AES key file"
                    : "--aeskey needs --userkey, the key that signs the image (or give "
                      "--zuduserkey, which holds both)");
        return kImageKeyPairIncomplete;
    }
    return 0;
}

}  // namespace

const CommandSyntax& imgsig_command_syntax() { return kImageSyntax; }

int zud_sig_img(int argc, char** argv) {
    std::array<const char*, kHandlerSlotCount> slots{};
    const CommandLine line = read_command_line(kImageSyntax, argc, argv, slots);
    if (!line.runs()) return line.result();
    if (slots[kSlotKey] != nullptr && any_signer_option(&slots[kSlotSigner])) {
        explain("--zuduserkey holds its own user key; give --signer-key with --aeskey (and "
                "--rootkeymax) instead");
        return kImageTwoKeys;
    }
    CommandSigner external;
    if (const int r = external.open(&slots[kSlotSigner], slots[kSlotUserKey], "--userkey", argc, argv,
                                    {slots[kSlotInput], slots[kSlotAesKey], slots[kSlotRootKeymax]},
                                    kImageKeyFailed);
        r != 0) {
        return r;
    }
    ImageJob job;
    job.input = slots[kSlotInput];
    job.key_path = slots[kSlotKey] != nullptr ? slots[kSlotKey] : slots[kSlotUserKey];
    job.aes_path = slots[kSlotAesKey];
    job.keymax_path = slots[kSlotRootKeymax];
    job.source = command_key_source(slots[kSlotPkcs11Module], slots[kSlotPassphraseFile]);
    job.source.external = external.get();
    job.output_option = slots[kSlotOutput];
    job.signing = job.key_path != nullptr;
    int result = check_input(job.input);
    if (result == 0) result = check_key_options(slots.data());
    if (result == 0) result = make_output_name(job);
    if (result == 0) result = process_image(job);
    return external.finish(result, kImageCloseFailed);
}
