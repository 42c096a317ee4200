// The USB and SD variants of a signed bootloader.
#include <cstdio>
#include <optional>
#include <string>

#include "bootsig.h"
#include "sd_image.h"

#include <algorithm>
#include <array>

#include "bl2_area.h"
#include "files.h"
#include "rng.h"

namespace {


}  // namespace

// One variant: its temporary file, and where in it B's bytes go. A variant
// whose write failed takes no more bytes and is removed at the end.
struct BootMedia::Variant {
    OutputFile file;
    WriteBehind sink;
    bool failed = false;

    void put(ConstBytes bytes) {
        if (!failed && !sink.write(bytes)) failed = true;
    }
    // Puts the variant in place; one that did not reach the disk whole is
    // dropped rather than left looking complete.
    bool commit() {
        if (!failed && file.commit()) return true;
        if (file.not_durable()) {
            std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", file.error().c_str());
            return false;
        }
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write %s\n", file.final_path().c_str());
        file.discard();
        return false;
    }
};

namespace {

// A variant that cannot be created at all is skipped, as it always was, but
// said.
std::unique_ptr<BootMedia::Variant> open_variant(const std::string& name, std::uint64_t start) {
    auto v = std::make_unique<BootMedia::Variant>();
    v->file = OutputFile(name, Exposure::kPublic);
    if (!v->file.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s; skipped\n", v->file.error().c_str());
        return nullptr;
    }
    v->sink = WriteBehind(::fileno(v->file.stream()), start);
    return v;
}

}  // namespace

BootMedia::BootMedia(const std::string& output) {
    const auto bl2_name = derive_name(output, ".usb.bl2");
    const auto tpl_name = derive_name(output, ".usb.tpl");
    const auto sd_name = derive_name(output, ".sd.bin");
    if (!bl2_name || !tpl_name || !sd_name) return;
    named_ = true;
    bl2_ = open_variant(*bl2_name, 0);
    tpl_ = open_variant(*tpl_name, 0);
    sd_ = open_variant(*sd_name, kSdFillerSize);  // the filler goes in front at the end
}

BootMedia::~BootMedia() = default;

void BootMedia::write(ConstBytes piece) {
    const std::uint64_t start = at_;
    at_ += piece.size();
    const std::size_t in_bl2 = start < kBl2AreaSize
                                   ? static_cast<std::size_t>(std::min<std::uint64_t>(kBl2AreaSize - start, piece.size()))
                                   : 0;
    if (bl2_ && in_bl2 > 0) bl2_->put(piece.first(in_bl2));
    if (tpl_ && in_bl2 < piece.size()) tpl_->put(piece.subspan(in_bl2));
    if (sd_) sd_->put(piece);
}

bool BootMedia::finish() {
    if (!named_) return false;
    bool ok = true;
    if (bl2_) {
        // A source shorter than the BL2 area leaves zeros in its place.
        const std::array<std::uint8_t, 4096> zeros{};
        while (bl2_->sink.position() < kBl2AreaSize) {
            const auto n = static_cast<std::size_t>(
                std::min<std::uint64_t>(kBl2AreaSize - bl2_->sink.position(), zeros.size()));
            bl2_->put(ConstBytes(zeros).first(n));
            if (bl2_->failed) break;
        }
        ok = bl2_->commit() && ok;
    }
    if (tpl_) ok = tpl_->commit() && ok;
    if (sd_) {
        std::array<std::uint8_t, kSdFillerSize> filler{};
        fill_random(filler);
        if (!sd_->failed && !sd_->sink.write_at(0, filler)) sd_->failed = true;
        ok = sd_->commit() && ok;
    }
    return ok;
}

int zud_uboot_process(const char* path) {
    if (path == nullptr) return kBootMediaFailed;
    BootMedia media(path);
    if (!media.named()) return kBootMediaFailed;
    std::string error;
    File source = open_input(path, error);
    const auto size = stream_size(source.get());
    if (!source || !size) {
        if (!source) std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kBootMediaFailed;
    }
    const RangeRead read = read_range(::fileno(source.get()), 0, *size, [&media](ConstBytes step) {
        media.write(step);
        return true;
    });
    if (read != RangeRead::kDone) return kBootMediaFailed;
    return media.finish() ? 0 : kBootMediaFailed;
}
