// Device packages and SD images: --mkpsd, --mkcusid and --mksd.
#include "packages.h"

#include "device_packages.h"
#include "sd_image.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "builtin.h"
#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "progress.h"
#include "rng.h"

namespace {


const option kMksdOptions[] = {
    {"input", required_argument, nullptr, 0},
    {"output", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};
const CommandSyntax kMksdSyntax{
    "mksd", kMksdOptions,
    " --input FILE --output IMAGE\n"
    "Writes IMAGE: a 512-byte sector of random filler, then all of FILE.\n",
    kMksdResults};

}  // namespace

const CommandSyntax& mksd_command_syntax() { return kMksdSyntax; }

int zud_mk_sd(int argc, char** argv) {
    const char* slots[2] = {};
    const CommandLine line = read_command_line(kMksdSyntax, argc, argv, slots);
    if (!line.runs()) return line.result();
    const char* input = slots[0];
    const char* output = slots[1];
    // Replacing the output would destroy the input it names.
    if (same_file(input, output)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --input and --output name the same file\n");
        return kSdImageFailed;
    }
    if (input == nullptr || output == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --mksd needs --input FILE and --output IMAGE\n");
        return kSdImageFailed;
    }
    // A card or partition image can be copied straight from its device; a
    // character device such as /dev/zero never ends and is refused.
    std::string error;
    File in = open_input(input, error, InputUse::kRead, InputKinds::kRegularOrBlockDevice);
    if (!in) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kSdImageFailed;
    }
    // The image takes its name only when it is whole.
    OutputFile out(output, Exposure::kPublic);
    if (!out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return kSdImageFailed;
    }
    std::array<std::uint8_t, kSdFillerSize> filler{};
    fill_random(filler);
    // The size for the progress line, taken beside the stream so that its
    // position (where the copy starts) stays as it is.
    struct stat st {};
    const bool sized = ::fstat(::fileno(in.get()), &st) == 0;
    Progress progress("zud_encrypt_tqrr: mksd", sized ? static_cast<std::uint64_t>(st.st_size) : 0);
    // The input follows the filler through the descriptors, so the filler
    // must be in the file first; nothing is written through the stream after.
    const bool copied = write_all(out.stream(), filler) && std::fflush(out.stream()) == 0 &&
                        copy_to_end(::fileno(in.get()), ::fileno(out.stream()), &progress);
    if (!copied || !out.commit()) {
        if (out.not_durable()) {
            std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
            return kSdImageNotDurable;
        }
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the SD image %s\n", output);
        return kSdImageFailed;
    }
    return 0;
}

namespace {

// Writes the package to a temporary file, seals it there with the built-in
// key and only then gives it its name: an unsigned package never stands
// under the output's name, and a failure leaves an earlier file as it was.
int seal_package(ConstBytes package, const char* path, int write_failed, int sign_failed,
                 int not_durable) {
    OutputFile out(path, Exposure::kPublic);
    if (!out.ok()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return write_failed;
    }
    if (!write_all(out.stream(), package) || !out.close_stream()) return write_failed;
    const int signed_result = zud_tq_internal_sig(out.temp_path().c_str());
    if (signed_result != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: signing %s failed (%d)\n", path, signed_result);
        return sign_failed;
    }
    if (!out.commit()) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
        return out.not_durable() ? not_durable : write_failed;
    }
    warn_development_seal(path);
    return 0;
}

// A password file holds the 16 password bytes, optionally followed by one
// line feed (as `echo` writes it), which is not part of the password;
// nothing else is taken off, so a 15-byte password written with `echo` is
// refused rather than taken with the line feed as its 16th byte. At most 18
// bytes are read, so the file's size does not matter to memory.
int read_password_file(const char* path, Buffer& password) {
    constexpr std::size_t kMostTaken = kPasswordLength + 1;
    Buffer read(kMostTaken + 1);
    std::string error;
    File f = open_input(path, error);
    if (!f) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --password-file: %s\n", error.c_str());
        return kPasswordFileUnreadable;
    }
    std::size_t n = read.ok() ? read_some(f.get(), read.bytes()) : 0;
    if (!read.ok() || std::ferror(f.get()) != 0) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: cannot read the --password-file %s: %s; give a readable "
                     "file holding the 16-byte password\n",
                     path, std::strerror(errno));
        return kPasswordFileUnreadable;
    }
    const bool too_long = n > kMostTaken;
    if (!too_long && n > 0 && read.data()[n - 1] == '\n') --n;
    if (n != kPasswordLength) {
        std::printf("zud log : Invalid password ! [16 chars]\n");
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: the password in the --password-file %s is %s bytes long, "
                     "not 16 (one line feed at its end is not counted)\n",
                     path, too_long ? "more than 16" : std::to_string(n).c_str());
        return kPasswordBadLength;
    }
    std::copy_n(read.data(), kPasswordLength, password.data());
    return 0;
}

// The 16 password bytes, from --password or --password-file, into
// `password` (a buffer wiped when it goes).
int take_password(const char* written, const char* file, Buffer& password) {
    if (written == nullptr && file == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --mkpsd needs the 16-character password: "
                             "--password-file FILE (or --password PW)\n");
        return kPasswordMissing;
    }
    if (written != nullptr && file != nullptr) {
        std::fprintf(stderr,
                     "zud_encrypt_tqrr: --password and --password-file both give the password; "
                     "give only --password-file %s\n",
                     file);
        return kPasswordTwoSources;
    }
    if (!password.ok()) return kPasswordOpenFailed;
    if (file != nullptr) return read_password_file(file, password);
    if (std::strlen(written) != kPasswordLength) {
        std::printf("zud log : Invalid password ! [16 chars]\n");
        std::fprintf(stderr, "zud_encrypt_tqrr: the password has %zu characters; give exactly 16\n",
                     std::strlen(written));
        return kPasswordBadLength;
    }
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: a password given with --password is in the command line, "
                 "which other users of this machine can see while it runs; give it with "
                 "--password-file FILE instead\n");
    std::copy_n(written, kPasswordLength, password.data());
    return 0;
}

const option kMkpsdOptions[] = {
    {"password", required_argument, nullptr, 0},
    {"output", required_argument, nullptr, 0},
    {"option", required_argument, nullptr, 0},
    {"password-file", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};
const CommandSyntax kMkpsdSyntax{
    "mkpsd", kMkpsdOptions,
    " --password-file FILE|--password PW --option jtag|usb|scan|jtagusb --output FILE\n"
    "Writes FILE: the unlock-password package (a salted digest of the 16-character\n"
    "password and the interface it unlocks), sealed with the built-in key.\n",
    kMkpsdResults};

const option kMkcusidOptions[] = {
    {"customerid", required_argument, nullptr, 0},
    {"output", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};
const CommandSyntax kMkcusidSyntax{
    "mkcusid", kMkcusidOptions,
    " --customerid ID --output FILE\n"
    "Writes FILE: the customer-ID package (an ID of 5 to 8 characters), sealed with the\n"
    "built-in key.\n",
    kMkcusidResults};

}  // namespace

const CommandSyntax& mkpsd_command_syntax() { return kMkpsdSyntax; }
const CommandSyntax& mkcusid_command_syntax() { return kMkcusidSyntax; }

int zud_mk_password(int argc, char** argv) {
    const char* slots[4] = {};
    const CommandLine line = read_command_line(kMkpsdSyntax, argc, argv, slots);
    if (!line.runs()) return line.result();
    const char* output = slots[1];
    Buffer password(kPasswordLength);
    if (const int r = take_password(slots[0], slots[3], password); r != 0) return r;
    if (slots[2] == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --mkpsd needs --option jtag, usb, scan or jtagusb "
                             "(the interface the password unlocks)\n");
        return kPasswordNoInterface;
    }
    const auto interface = password_interface_named(slots[2]);
    if (!interface) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --option %s names no interface; give jtag, usb, "
                             "scan or jtagusb\n", slots[2]);
        return kPasswordBadInterface;
    }

    zud_password_package package;
    package.interface = *interface;
    password_digest(std::span<const std::uint8_t, kPasswordLength>(password.data(), kPasswordLength),
                    random_u32(), package.digest);
    password.clear();
    if (output == nullptr) {
        wipe(package.digest.data(), package.digest.size());
        std::fprintf(stderr, "zud_encrypt_tqrr: --mkpsd needs --output FILE\n");
        return kPasswordNoOutput;
    }
    std::array<std::uint8_t, kPackageSize> bytes{};
    encode_password_package(package, bytes);
    wipe(package.digest.data(), package.digest.size());
    const int result =
        seal_package(bytes, output, kPasswordOpenFailed, kPasswordSignFailed, kPasswordNotDurable);
    wipe(bytes.data(), bytes.size());
    return result;
}

int zud_mk_customer_id(int argc, char** argv) {
    const char* slots[2] = {};
    const CommandLine line = read_command_line(kMkcusidSyntax, argc, argv, slots);
    if (!line.runs()) return line.result();
    const char* id = slots[0];
    const char* output = slots[1];
    if (id == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --mkcusid needs --customerid ID (5 to 8 characters)\n");
        return kCustomerIdMissing;
    }
    const std::size_t length = std::strlen(id);
    if (length < kCustomerIdMin || length > kCustomerIdMax) {
        std::printf("zud log : Invalid customer ID  ! [5-8 chars]\n");
        std::fprintf(stderr, "zud_encrypt_tqrr: the customer ID has %zu characters; give 5 to 8\n",
                     length);
        return kCustomerIdLength;
    }
    if (output == nullptr) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --mkcusid needs --output FILE\n");
        return kCustomerIdNoOutput;
    }
    std::array<std::uint8_t, kPackageSize> package{};
    encode_customer_id_package({std::string(id, length)}, package);
    return seal_package(package, output, kCustomerIdOpenFailed, kCustomerIdSignFailed,
                        kCustomerIdNotDurable);
}
