#include "sha.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boot_image.h"
#include "cli.h"
#include "bytes.h"
#include "crypto.h"
#include "files.h"
#include "progress.h"

namespace {

constexpr std::size_t kBootHeaderSize = kBootHeaderPageSize;

// Where one boot image section lies in the file.
struct Section {
    std::uint64_t offset;
    std::uint32_t size;
};

// Bytes from `size` up to the next multiple of `page` (0 on a boundary).
std::uint32_t page_padding(std::uint32_t size, std::uint32_t page) {
    const std::uint32_t rest = size % page;
    return rest == 0 ? 0 : page - rest;
}

// Lays out the three sections from the header and checks them against the
// file: a negative size, a zero page size or a section that runs past the
// end of the file is refused, so nothing is ever hashed that is not there.
bool plan_sections(ConstBytes header, std::uint64_t file_size,
                   std::array<Section, 3>& sections, std::uint32_t& page) {
    const auto boot = decode_boot_image_header(header);
    if (!boot) return false;
    page = boot->page_size;
    if (page == 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: boot image page size is 0\n");
        return false;
    }
    const std::uint32_t raw_sizes[] = {boot->kernel_size, boot->ramdisk_size, boot->second_size};
    std::uint64_t at = kBootHeaderSize;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        // The sizes are signed fields.
        const auto size = static_cast<std::int32_t>(raw_sizes[i]);
        if (size < 0) {
            std::fprintf(stderr, "zud_encrypt_tqrr: boot image section %zu has a negative size\n", i);
            return false;
        }
        sections[i] = {at, static_cast<std::uint32_t>(size)};
        if (size > 0 && !fits(file_size, at, static_cast<std::uint32_t>(size))) {
            std::fprintf(stderr, "zud_encrypt_tqrr: boot image section %zu runs past the end of the file\n", i);
            return false;
        }
        at += static_cast<std::uint64_t>(size) + page_padding(static_cast<std::uint32_t>(size), page);
    }
    return true;
}

// Digests one section, read beside the stream in large pieces while the
// piece before is hashed.
bool hash_section(std::FILE* in, const Section& s, Digest& out, Progress& progress) {
    Sha256 sha;
    const RangeRead read = read_range(::fileno(in), s.offset, s.size, [&](ConstBytes step) {
        sha.update(step);
        progress.add(step.size());
        return true;
    });
    if (read != RangeRead::kDone) return false;
    out = sha.finish();
    return true;
}

}  // namespace

void zud_u8_prixntf(const std::uint8_t* bytes, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i)
        std::printf("%02X%c", bytes[i], (i + 1) % 16 == 0 ? '\n' : ' ');
}

void zud_u8_printf(const std::uint8_t* /*bytes*/, std::int32_t /*count*/) {}

namespace {

const option kNoOptions[] = {{nullptr, 0, nullptr, 0}};
const CommandSyntax kShaSyntax{
    "sha", kNoOptions,
    " IMAGE\n"
    "Prints the SHA-256 of the kernel, ramdisk and second stage of the Android boot image\n"
    "IMAGE and writes the empty marker file IMAGE.sha.\n",
    kShaResults, "IMAGE"};

}  // namespace

const CommandSyntax& sha_command_syntax() { return kShaSyntax; }

int zud_sha(int argc, char** argv) {
    const CommandLine line = read_command_line(kShaSyntax, argc, argv, {});
    if (!line.runs()) return line.result();
    const char* input = line.operand;
    if (input == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --sha needs the boot image to digest (--sha IMAGE)\n");
        return kShaFailed;
    }
    const auto out_name = derive_name(input, ".sha");
    if (!out_name) {
        std::fprintf(stderr, "zud_encrypt_tqrr: path too long: %s\n", input);
        return kShaFailed;
    }
    // A boot partition can be hashed where it lies.
    std::string error;
    File in = open_input(input, error, InputUse::kRead, InputKinds::kRegularOrBlockDevice);
    if (!in) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kShaFailed;
    }

    std::array<std::uint8_t, kBootHeaderSize> header{};
    const auto size = stream_size(in.get());
    if (!size || !read_exact(in.get(), header)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s is shorter than a boot image header\n", input);
        return kShaFailed;
    }
    std::array<Section, 3> sections{};
    std::uint32_t page = 0;
    if (!plan_sections(header, *size, sections, page)) return kShaFailed;

    std::array<Digest, 3> digests{};
    std::uint64_t total = 0;
    for (const Section& s : sections) total += s.size;
    Progress progress("zud_encrypt_tqrr: sha", total);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (!hash_section(in.get(), sections[i], digests[i], progress)) {
            progress.finish();
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot read %s\n", input);
            return kShaFailed;
        }
    }
    progress.finish();  // before the digests go to standard output
    // The "<image>.sha" file is made, empty, only once the image was read.
    OutputFile out(*out_name, Exposure::kPublic);
    if (!out.ok() || !out.commit()) {
        if (out.not_durable()) {
            std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        } else {
            std::fprintf(stderr, "zud_encrypt_tqrr: cannot write %s: %s\n", out_name->c_str(),
                         out.error().c_str());
        }
        return kShaFailed;
    }
    for (std::size_t i = 0; i < sections.size(); ++i) {
        std::printf("\nzud log : sha len=0x%x ...\n", sections[i].size);
        zud_u8_prixntf(digests[i].data(), static_cast<std::int32_t>(digests[i].size()));
        const std::uint32_t pad = page_padding(sections[i].size, page);
        if (i < 2 && pad != 0) std::printf("zud log : dummy read 0x%x\n", pad);
    }
    return 0;
}
