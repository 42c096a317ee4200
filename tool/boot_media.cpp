// The USB and SD variants of a signed bootloader.
#include <cstdio>
#include <optional>
#include <string>

#include "boot.h"
#include "files.h"
#include "rng.h"

namespace {

constexpr std::size_t kSdFillerSize = 512;

// Copies `source` from its current position to its end.
bool copy_rest(std::FILE* source, std::FILE* out, MutBytes buffer) {
    for (;;) {
        const std::size_t n = read_some(source, buffer);
        if (n == 0) return std::ferror(source) == 0;
        if (!write_all(out, buffer.first(n))) return false;
    }
}

// Puts a written variant in place; one that did not reach the disk whole
// is dropped rather than left looking complete.
bool finish_variant(OutputFile& out, bool written) {
    if (written && out.commit()) return true;
    std::fprintf(stderr, "zud_encrypt_tqrr: cannot write %s\n", out.final_path().c_str());
    out.discard();
    return false;
}

// A variant that cannot be created at all is skipped, as before, but said.
bool open_variant(const std::string& name, OutputFile& out) {
    out = OutputFile(name, Exposure::kPublic);
    if (out.ok()) return true;
    std::fprintf(stderr, "zud_encrypt_tqrr: %s; skipped\n", out.error().c_str());
    return false;
}

// The BL2 area: the source's first 49152 bytes, zero where it is shorter.
bool write_usb_bl2(std::FILE* source, const std::string& name, MutBytes buffer) {
    OutputFile out;
    if (!open_variant(name, out)) return true;  // skipped, not a failure
    std::fill(buffer.begin(), buffer.end(), 0);
    bool ok = seek_to(source, 0);
    if (ok) {
        read_some(source, buffer.first(kBl2AreaSize));
        ok = std::ferror(source) == 0 && write_all(out.stream(), buffer.first(kBl2AreaSize));
    }
    return finish_variant(out, ok);
}

// Everything behind the BL2 area, whether or not the BL2 part was written.
bool write_usb_tpl(std::FILE* source, const std::string& name, MutBytes buffer) {
    OutputFile out;
    if (!open_variant(name, out)) return true;
    const auto size = stream_size(source);
    bool ok = size.has_value();
    if (ok && *size > kBl2AreaSize) ok = seek_to(source, kBl2AreaSize) && copy_rest(source, out.stream(), buffer);
    return finish_variant(out, ok);
}

bool write_sd_image(std::FILE* source, const std::string& name, MutBytes buffer) {
    OutputFile out;
    if (!open_variant(name, out)) return true;
    fill_random(buffer.first(kSdFillerSize));
    const bool ok = write_all(out.stream(), buffer.first(kSdFillerSize)) && seek_to(source, 0) &&
                    copy_rest(source, out.stream(), buffer);
    return finish_variant(out, ok);
}

}  // namespace

int zud_uboot_process(const char* path) {
    if (path == nullptr) return kBootMediaFailed;
    const auto bl2_name = derive_name(path, ".usb.bl2");
    const auto tpl_name = derive_name(path, ".usb.tpl");
    const auto sd_name = derive_name(path, ".sd.bin");
    if (!bl2_name || !tpl_name || !sd_name) return kBootMediaFailed;
    File source = open_file(path, "rb");
    Buffer buffer(kBl2AreaSize);
    if (!source || !buffer.ok()) return kBootMediaFailed;

    bool ok = write_usb_bl2(source.get(), *bl2_name, buffer.bytes());
    ok = write_usb_tpl(source.get(), *tpl_name, buffer.bytes()) && ok;
    ok = write_sd_image(source.get(), *sd_name, buffer.bytes()) && ok;
    return ok ? 0 : kBootMediaFailed;
}
