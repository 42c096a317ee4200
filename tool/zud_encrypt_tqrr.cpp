#include "zud_encrypt_tqrr.h"

#include <getopt.h>

#include <cstdio>
#include <string_view>

#include "bootsig.h"
#include "cli.h"
#include "builtin.h"
#include "packages.h"
#include "sha.h"
#include "imgsig.h"
#include "keysig.h"
#include "rng.h"
#include "upgsig.h"
#include "version.h"

const char* const __g_Info__ = "ZUDONIX-TQR-SIG-module : Ver-0.9 ";
const char* const __g_InfoX__[3] = {"zud_encrypt_tqrr", __DATE__, __TIME__};

namespace {

// The command table: a command's position is its index in kHandlers.
// "error" has no handler: its entry is null.
const option kCommands[] = {
    {"keysig", no_argument, nullptr, 0},  {"bootsig", no_argument, nullptr, 0},
    {"imgsig", no_argument, nullptr, 0},  {"keybnd", no_argument, nullptr, 0},
    {"mksd", no_argument, nullptr, 0},    {"help", no_argument, nullptr, 0},
    {"sha", no_argument, nullptr, 0},     {"upgsig", no_argument, nullptr, 0},
    {"mkpsd", no_argument, nullptr, 0},   {"mkcusid", no_argument, nullptr, 0},
    {"error", no_argument, nullptr, 0},   {"version", no_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

const zud_handler kHandlers[] = {
    zud_sig_key, zud_sig_boot,    zud_sig_img,     zud_key_bnd,     zud_mk_sd,
    zud_show_help, zud_sha,       zud_sig_upgrade, zud_mk_password, zud_mk_customer_id,
    nullptr,       zud_show_version,
};
constexpr int kHandlerCount = sizeof kHandlers / sizeof kHandlers[0];

const char kBootsigUsage[] =
    "\n\t--bootsig //sub-cmd to signature bootloader for secure boot\n\t  --output "
    "signed-bootloader\n\t\t//[OUT] signed & encrypted bootloader\n\t  --zuduserkey "
    "zud_user_key\n\t\t//[IN] zudonix user key for secure boot\n\t  [--efuse "
    "efuse-output]\n\t\t//[OPTIONAL][IN] efuse pattern for secure boot,if not set "
    "signed-bootloader.efuse will be used as file name\n";
const char kKeybndUsage[] =
    "\n\t--keybnd //sub-cmd to bind user RSA private key, signed keymax and AES key for "
    "secure boot\n\t  --output zud_user_key\n\t\t//[OUT] zudonix user key for secure "
    "boot\n\t  --ukey rsakey\n\t\t//[IN] user RSA private key for later signature, the "
    "corresponding public key already signed and inside the keymax\n\t  --rootkeymax "
    "keymax\n\t\t//[IN] keymax of root key and user key\n\t  [--aeskey "
    "aes-key]\n\t\t//[OPTIONAL][IN] AES key for secure boot,if not set tool will generate "
    "one\n";
const char kKeysigUsage[] =
    "\n\t--keysig //sub-cmd to signature keymax for secure boot\n\t  --output "
    "sig-rsa-key\n\t\t//[OUT] signatured keymax\n\t  --skey rsakey\n\t\t//[IN] root RSA "
    "private key for signature keymax\n\t  --rkey1 rsakey [--rkey2 rsakey] [--rkey3 "
    "rsakey] [--rkey4 rsakey]\n\t\t//[IN] root RSA public key for create keymax\n\t  "
    "--ukey1 rsakey\n\t\t//[IN] user RSA public key for create keymax\n";

}  // namespace

int zud_show_help(int /*argc*/, char** argv) {
    std::printf("\n%s : %s%s%s\n", argv[0], __g_Info__, __g_InfoX__[1], __g_InfoX__[2]);
    std::fputs(kBootsigUsage, stdout);
    std::fputs(kKeybndUsage, stdout);
    std::fputs(kKeysigUsage, stdout);
    std::puts("\n");
    return 0;
}

int zud_show_version(int /*argc*/, char** /*argv*/) {
    zud_print_version("zud_encrypt_tqrr", stdout);
    return 0;
}

namespace {

// The commands a user can name, for the usage hint.
constexpr char kCommandList[] =
    "--keysig, --keybnd, --bootsig, --imgsig, --upgsig, --mkpsd, --mkcusid, --mksd, --sha, "
    "--help or --version";

int refuse_command_word(const char* program, const char* why, const char* word) {
    std::fprintf(stderr, "%s: %s%s%s; the first argument names the command: %s\n", program, why,
                 word != nullptr ? " " : "", word != nullptr ? word : "", kCommandList);
    return kDispatchUsage;
}

// True when `word` is "--" and a prefix of several command names but not a
// name itself. getopt_long takes the first of several table entries that
// look alike, so "--mk" would run --mksd; a prefix has to name one command.
bool is_ambiguous(const char* word) {
    const std::string_view text(word);
    if (!text.starts_with("--") || text.find('=') != std::string_view::npos) return false;
    const std::string_view name = text.substr(2);
    if (name.empty()) return false;
    int matches = 0;
    for (const option* o = kCommands; o->name != nullptr; ++o) {
        if (name == o->name) return false;
        if (std::string_view(o->name).starts_with(name)) ++matches;
    }
    return matches > 1;
}

// Why getopt_long refused argv[1]: a value attached to a command name, or
// no name at all.
const char* refusal_of(const char* word) {
    const std::string_view text(word);
    if (text.starts_with("--") && text.find('=') != std::string_view::npos) return "a command takes no value:";
    return "unknown command";
}

}  // namespace

int zud_dispatch(int argc, char** argv, unsigned seed) {
    seed_random(seed);
    const char* program = argc >= 1 ? argv[0] : "zud_encrypt_tqrr";
    if (argc < 2) return refuse_command_word(program, "no command given", nullptr);
    if (is_ambiguous(argv[1])) return refuse_command_word(program, "ambiguous command", argv[1]);
    // Restart the option parser (glibc re-initialises on 0), then let it look
    // at argv[1] only: the handler continues from argv[2]. Its own messages
    // are replaced by the one-line hint; handlers get them back.
    optind = 0;
    opterr = 0;
    int index = -1;
    const int found = getopt_long(2, argv, "", kCommands, &index);
    opterr = 1;
    const char* word = argv[1];
    if (found == -1) return refuse_command_word(program, "not a command:", word);
    if (found != 0 || index < 0) return refuse_command_word(program, refusal_of(word), word);
    if (index >= kHandlerCount || kHandlers[index] == nullptr) {
        return refuse_command_word(program, "--error is not a sub-command; nothing was done",
                                   nullptr);
    }
    const int result = kHandlers[index](argc, argv);
    // A refused command line ran nothing: its reason is on standard error.
    if (result == kUsageRefused) return kDispatchUsage;
    if (result != 0) std::printf("%s %s fail[%d]!\n", argv[0], kCommands[index].name, result);
    std::fflush(stdout);
    return result;
}

int zud_exit_status(int result) {
    if (result == 0 || result == kDispatchUsage) return result;
    // A failure keeps the low eight bits of its number unless they read as
    // something else: success (0), a usage error (2), or what a shell
    // reports for a program it could not run or a signal (126 and above).
    const int low = result & 0xFF;
    return low == 0 || low == kDispatchUsage || low >= 126 ? 1 : low;
}
