// The audit of the boot media a bootloader is written to. An SD card image
// is 512 bytes of filler and then a file unchanged (--bootsig's ".sd.bin"
// beside its bootloader, or what --mksd makes of any file). The USB pair is
// a bootloader's first 49152 bytes, zero-filled where it is shorter
// (".usb.bl2"), and the rest (".usb.tpl"), which a device booting from USB
// reads one after the other.
//
// Offsets: the checks and sections of the file an SD card image holds give
// offsets in the image, the held file's own offsets plus 512 (the keymax in
// force, whose ids start with "given_", is a file of its own and keeps its
// offsets). A USB part's checks count from the start of the pair, the
// first byte of the .usb.bl2: they are the bootloader's own offsets, so
// byte n of a .usb.tpl is at 49152 + n.
#include <algorithm>
#include <string_view>

#include "audit_walk.h"
#include "sd_image.h"
#include "bl2_area.h"

namespace audit_walk {

namespace {

constexpr std::uint64_t kUsbBl2Size = kBl2AreaSize;
constexpr std::string_view kSdSuffix = ".sd.bin";
constexpr std::string_view kUsbBl2Suffix = ".usb.bl2";
constexpr std::string_view kUsbTplSuffix = ".usb.tpl";
static_assert(kUsbBl2Suffix.size() == kUsbTplSuffix.size(), "one stem serves both parts");
constexpr std::size_t kComparePiece = 64 * 1024;

// Where `count` bytes of `a` from `a_at` first differ from those of `b`
// from `b_at` (or from zeros, when `b` is null), counted from the start of
// the stretch. A piece that cannot be read differs at its start.
std::optional<std::uint64_t> first_difference(const Source& a, std::uint64_t a_at, const Source* b,
                                              std::uint64_t b_at, std::uint64_t count) {
    Buffer x(kComparePiece);
    Buffer y(kComparePiece);  // stays zero when `b` is null
    if (!x.ok() || !y.ok()) return 0;
    for (std::uint64_t done = 0; done < count;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kComparePiece, count - done));
        const MutBytes px = x.bytes().first(n);
        const MutBytes py = y.bytes().first(n);
        if (!a.read(a_at + done, px) || (b != nullptr && !b->read(b_at + done, py))) return done;
        const auto m = std::mismatch(px.begin(), px.end(), py.begin());
        if (m.first != px.end()) return done + static_cast<std::uint64_t>(m.first - px.begin());
        done += n;
    }
    return std::nullopt;
}

std::string without_suffix(const std::string& path, std::string_view suffix) {
    return path.substr(0, path.size() - suffix.size());
}

bool bl2_area_decodes(const Source& s) {
    Buffer area(kBl2AreaSize);
    return area.ok() && s.read(0, area.bytes()) && decode_bl2_area(area.bytes()).has_value();
}

// ---------------------------------------------------------------------------
// SD card image

// The held file's offsets made offsets in the image, from the first of its
// sections and checks on.
void move_into_image(zud_report& r, std::size_t first_section, std::size_t first_check) {
    const auto own = [](const std::string& id) { return id.rfind("given_", 0) != 0; };
    for (std::size_t i = first_section; i < r.sections.size(); ++i) {
        zud_section& s = r.sections[i];
        if (s.offset && own(s.id)) *s.offset += kSdFillerSize;
    }
    for (std::size_t i = first_check; i < r.checks.size(); ++i) {
        zud_check& c = r.checks[i];
        if (c.offset && own(c.id)) *c.offset += kSdFillerSize;
    }
}

// An ".sd.bin" beside its bootloader B must hold B exactly.
void check_same_as_bootloader(Audit& in, const Source& image, const std::string& path, zud_section& section) {
    if (!path.ends_with(kSdSuffix)) return;
    const std::string bootloader_path = without_suffix(path, kSdSuffix);
    const Source bootloader(bootloader_path.c_str());
    section.text("bootloader", bootloader_path);
    section.flag("bootloader_beside", bootloader.ok());
    if (!bootloader.ok()) return;
    const std::string id = "media.same_as_bootloader";
    const std::string what = "the image from byte 512 is " + bootloader_path + " byte for byte";
    const std::uint64_t held = image.size() - kSdFillerSize;
    if (held != bootloader.size()) {
        in.fail(id, what, kSdFillerSize,
                "it holds " + number(held) + " bytes, the bootloader has " + number(bootloader.size()));
        return;
    }
    const auto at = first_difference(image, kSdFillerSize, &bootloader, 0, held);
    in.check(!at, id, what, kSdFillerSize + at.value_or(0),
             "its byte " + number(kSdFillerSize + at.value_or(0)) + " is not the bootloader's byte " +
                 number(at.value_or(0)));
}

bool check_sd_image(Audit& in, const Source& s, const std::string& path) {
    if (s.size() < kSdFillerSize) return false;
    const Source held(s, kSdFillerSize, s.size() - kSdFillerSize);
    zud_report& r = in.report;
    const std::size_t first_section = r.sections.size();
    const std::size_t first_check = r.checks.size();
    zud_section& image = in.section("sd_image", "SD card image", 0);
    image.number("filler_bytes", kSdFillerSize);
    if (!check_held_file(in, held)) {
        r.sections.erase(r.sections.begin() + static_cast<std::ptrdiff_t>(first_section), r.sections.end());
        return false;
    }
    move_into_image(r, first_section + 1, first_check);
    image.number("held_offset", kSdFillerSize, "offsets below are in the image");
    image.text("held_kind", r.kind);
    image.text("held_kind_id", r.kind_id);
    r.kind = "SD card image holding " + r.kind;
    r.kind_id = "sd_image";
    check_same_as_bootloader(in, s, path, image);
    return true;
}

// ---------------------------------------------------------------------------
// USB pair

// The .usb.bl2 is the bootloader's first 49152 bytes, zeros behind a
// shorter one.
void check_bl2_part_of(Audit& in, const Source& bl2, const std::string& bl2_path, const Source& bootloader,
                       const std::string& bootloader_path) {
    const std::string id = "media.usb_bl2_same_as_bootloader";
    const std::string what = bl2_path + " is the first 49152 bytes of " + bootloader_path;
    if (bl2.size() != kUsbBl2Size) {
        in.fail(id, what, 0, "it has " + number(bl2.size()) + " bytes");
        return;
    }
    const std::uint64_t copied = std::min(bootloader.size(), kUsbBl2Size);
    auto at = first_difference(bl2, 0, &bootloader, 0, copied);
    if (!at) {
        if (const auto zero = first_difference(bl2, copied, nullptr, 0, kUsbBl2Size - copied)) at = copied + *zero;
    }
    in.check(!at, id, what, at.value_or(0),
             "its byte " + number(at.value_or(0)) +
                 (at.value_or(0) < copied ? " is not the bootloader's" : " is not zero, behind the bootloader's end"));
}

// The .usb.tpl is the bootloader from byte 49152 on (nothing of a shorter one).
void check_tpl_part_of(Audit& in, const Source& tpl, const std::string& tpl_path, const Source& bootloader,
                       const std::string& bootloader_path) {
    const std::string id = "media.usb_tpl_same_as_bootloader";
    const std::string what = tpl_path + " is " + bootloader_path + " from byte 49152 on";
    const std::uint64_t rest = bootloader.size() > kUsbBl2Size ? bootloader.size() - kUsbBl2Size : 0;
    if (tpl.size() != rest) {
        in.fail(id, what, kUsbBl2Size, "it has " + number(tpl.size()) + " bytes, not " + number(rest));
        return;
    }
    const auto at = first_difference(tpl, 0, &bootloader, kUsbBl2Size, rest);
    in.check(!at, id, what, kUsbBl2Size + at.value_or(0),
             "its byte " + number(at.value_or(0)) + " is not the bootloader's byte " +
                 number(kUsbBl2Size + at.value_or(0)));
}

bool check_usb_part(Audit& in, const Source& s, const std::string& path) {
    const bool bl2_part = path.ends_with(kUsbBl2Suffix) && s.size() == kUsbBl2Size;
    if (!bl2_part && !path.ends_with(kUsbTplSuffix)) return false;
    const std::string stem = without_suffix(path, kUsbBl2Suffix);
    const std::string bl2_path = stem + std::string(kUsbBl2Suffix);
    const std::string tpl_path = stem + std::string(kUsbTplSuffix);
    const Source sibling((bl2_part ? tpl_path : bl2_path).c_str());
    const Source& bl2 = bl2_part ? s : sibling;
    const Source& tpl = bl2_part ? sibling : s;
    const bool whole_bl2 = bl2.ok() && bl2.size() == kUsbBl2Size;
    const bool encrypted = whole_bl2 && in.options.aes_key && !bl2_area_decodes(bl2);
    in.report.kind = std::string("USB boot ") + (bl2_part ? "BL2 part (.usb.bl2)" : "remainder (.usb.tpl)") +
                     " of " + (encrypted ? "an encrypted bootloader" : "a bootloader");
    in.report.kind_id = bl2_part ? "usb_bl2" : "usb_tpl";
    zud_section& pair = in.section("usb_pair", "USB boot pair", 0);
    pair.text("part", bl2_part ? "bl2" : "tpl");
    pair.number("part_offset", bl2_part ? 0 : kUsbBl2Size, "offsets are in the pair, the .usb.bl2 first");
    pair.text("sibling", bl2_part ? tpl_path : bl2_path);
    pair.flag("sibling_present", sibling.ok());

    const std::string what = "the USB pair read as one bootloader";
    if (sibling.ok() && whole_bl2) {
        const Source joined(bl2, tpl);
        check_bootloader(in, joined, encrypted);
    } else if (sibling.ok()) {
        in.fail("media.usb_pair", what, 0, bl2_path + " has " + number(bl2.size()) + " bytes, not 49152");
    } else if (bl2_part) {
        check_bootloader(in, s, encrypted, BootloaderExtent::kBl2Area);
        in.not_checked("media.usb_pair", what,
                       tpl_path + " is missing: the table of contents, the stages and the trailer are not checked",
                       kUsbBl2Size);
    } else {
        in.not_checked("media.usb_pair", what,
                       bl2_path + " is missing: without the BL2 area (the keymax that names the stages' "
                                  "signers and, when encrypted, the stages' key) nothing of the remainder is checked",
                       0);
    }

    const Source bootloader(stem.c_str());
    pair.text("bootloader", stem);
    pair.flag("bootloader_beside", bootloader.ok());
    if (!bootloader.ok()) return true;
    if (bl2.ok()) check_bl2_part_of(in, bl2, bl2_path, bootloader, stem);
    if (tpl.ok()) check_tpl_part_of(in, tpl, tpl_path, bootloader, stem);
    return true;
}

}  // namespace

bool check_boot_medium(Audit& in, const Source& s, const std::string& path) {
    return check_usb_part(in, s, path) || check_sd_image(in, s, path);
}

}  // namespace audit_walk
