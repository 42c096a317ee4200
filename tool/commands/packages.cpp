// Device packages and SD images: --mkpsd, --mkcusid and --mksd.
#include "packages.h"

#include "device_packages.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "builtin.h"
#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "progress.h"
#include "rng.h"

namespace {

constexpr std::size_t kSdFillerSize = 512;

}  // namespace

int zud_mk_sd(int argc, char** argv) {
    static const option options[] = {
        {"input", required_argument, nullptr, 0},
        {"output", required_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const char* slots[2] = {};
    parse_option_slots(argc, argv, options, slots);
    const char* input = slots[0];
    const char* output = slots[1];
    // Replacing the output would destroy the input it names.
    if (same_file(input, output)) {
        std::fprintf(stderr, "zud_encrypt_tqrr: --input and --output name the same file\n");
        return kSdImageFailed;
    }
    // A card or partition image can be copied straight from its device; a
    // character device such as /dev/zero never ends and is refused.
    std::string error;
    File in = open_input(input, error, InputUse::kRead, InputKinds::kRegularOrBlockDevice);
    if (!in) {
        if (input != nullptr) std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kSdImageFailed;
    }
    if (output == nullptr) return kSdImageFailed;
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
    if (out.commit()) return 0;
    std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", out.error().c_str());
    return out.not_durable() ? not_durable : write_failed;
}

}  // namespace

int zud_mk_password(int argc, char** argv) {
    static const option options[] = {
        {"password", required_argument, nullptr, 0},
        {"output", required_argument, nullptr, 0},
        {"option", required_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const char* slots[3] = {};
    parse_option_slots(argc, argv, options, slots);
    const char* password = slots[0];
    const char* output = slots[1];
    if (password == nullptr) return kPasswordMissing;
    if (std::strlen(password) != kPasswordLength) {
        std::printf("zud log : Invalid password ! [16 chars]\n");
        return kPasswordBadLength;
    }
    if (slots[2] == nullptr) return kPasswordNoInterface;
    const auto interface = password_interface_named(slots[2]);
    if (!interface) return kPasswordBadInterface;

    zud_password_package package;
    package.interface = *interface;
    password_digest(std::span<const std::uint8_t, kPasswordLength>(
                        reinterpret_cast<const std::uint8_t*>(password), kPasswordLength),
                    random_u32(), package.digest);
    if (output == nullptr) {
        wipe(package.digest.data(), package.digest.size());
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
    static const option options[] = {
        {"customerid", required_argument, nullptr, 0},
        {"output", required_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const char* slots[2] = {};
    parse_option_slots(argc, argv, options, slots);
    const char* id = slots[0];
    const char* output = slots[1];
    if (id == nullptr) return kCustomerIdMissing;
    const std::size_t length = std::strlen(id);
    if (length < kCustomerIdMin || length > kCustomerIdMax) {
        std::printf("zud log : Invalid customer ID  ! [5-8 chars]\n");
        return kCustomerIdLength;
    }
    if (output == nullptr) return kCustomerIdNoOutput;
    std::array<std::uint8_t, kPackageSize> package{};
    encode_customer_id_package({std::string(id, length)}, package);
    return seal_package(package, output, kCustomerIdOpenFailed, kCustomerIdSignFailed,
                        kCustomerIdNotDurable);
}
