// The entry: command selection, failure line, exit status, help and version.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

#include <mbedtls/version.h>
#include <openssl/crypto.h>

#include "support/run.h"
#include "zud_encrypt_tqrr.h"
#include "zud_version.h"

namespace {

const std::string kHelpTail =
    "\n\t--bootsig //sub-cmd to signature bootloader for secure boot\n\t  --output "
    "signed-bootloader\n\t\t//[OUT] signed & encrypted bootloader\n\t  --zuduserkey "
    "zud_user_key\n\t\t//[IN] zudonix user key for secure boot\n\t  [--efuse "
    "efuse-output]\n\t\t//[OPTIONAL][IN] efuse pattern for secure boot,if not set "
    "signed-bootloader.efuse will be used as file name\n"
    "\n\t--keybnd //sub-cmd to bind user RSA private key, signed keymax and AES key for "
    "secure boot\n\t  --output zud_user_key\n\t\t//[OUT] zudonix user key for secure "
    "boot\n\t  --ukey rsakey\n\t\t//[IN] user RSA private key for later signature, the "
    "corresponding public key already signed and inside the keymax\n\t  --rootkeymax "
    "keymax\n\t\t//[IN] keymax of root key and user key\n\t  [--aeskey "
    "aes-key]\n\t\t//[OPTIONAL][IN] AES key for secure boot,if not set tool will generate "
    "one\n"
    "\n\t--keysig //sub-cmd to signature keymax for secure boot\n\t  --output "
    "sig-rsa-key\n\t\t//[OUT] signatured keymax\n\t  --skey rsakey\n\t\t//[IN] root RSA "
    "private key for signature keymax\n\t  --rkey1 rsakey [--rkey2 rsakey] [--rkey3 "
    "rsakey] [--rkey4 rsakey]\n\t\t//[IN] root RSA public key for create keymax\n\t  "
    "--ukey1 rsakey\n\t\t//[IN] user RSA public key for create keymax\n"
    "\n\n";

TEST(Help, PrintsBannerAndThreeUsageTextsExactly) {
    const ToolRun run = run_tool({"--help"});
    EXPECT_EQ(run.result, 0);
    const std::string banner = std::string("\nzud_encrypt_tqrr : ZUDONIX-TQR-SIG-module : Ver-0.9 ") +
                               __g_InfoX__[1] + __g_InfoX__[2] + "\n";
    EXPECT_EQ(run.out, banner + kHelpTail);
}

TEST(Help, VersionGlobalsCarryTheVersionAndBuildStamp) {
    EXPECT_STREQ(__g_Info__, "ZUDONIX-TQR-SIG-module : Ver-0.9 ");
    EXPECT_STREQ(__g_InfoX__[0], "zud_encrypt_tqrr");
    EXPECT_EQ(std::string(__g_InfoX__[1]).size(), 11u);  // "Oct 28 2015"
    EXPECT_EQ(std::string(__g_InfoX__[2]).size(), 8u);   // "14:04:15"
}

TEST(Dispatch, NothingRunsWithoutACommandWordAndTheHintSaysWhy) {
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{}, "no command given"},
        {{"help"}, "not a command: help"},
        {{"-"}, "not a command: -"},
        {{"--"}, "not a command: --"},
        {{"--nosuch"}, "unknown command --nosuch"},
        {{"--bootsgi"}, "unknown command --bootsgi"},
        {{"-x"}, "unknown command -x"},
        {{"--nosuch", "--help"}, "unknown command --nosuch"},
        {{"--help=1"}, "a command takes no value: --help=1"},
        {{"--error"}, "--error is not a sub-command"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--bootsig"), std::string::npos) << "the hint lists the commands";
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

TEST(Dispatch, LaterArgumentsNeverSelectACommand) {
    const ToolRun run = run_tool({"unknown", "--help"});
    EXPECT_EQ(run.out, "");
}

TEST(Dispatch, AbbreviationsSelectOneCommandOrNone) {
    // A unique prefix selects its command.
    EXPECT_NE(run_tool({"--he"}).out.find("ZUDONIX-TQR-SIG-module"), std::string::npos);
    EXPECT_NE(run_tool({"--upg"}).out.find(" upgsig fail["), std::string::npos);
    EXPECT_NE(run_tool({"--mks"}).out.find(" mksd fail["), std::string::npos);
    // A prefix of several commands runs none of them.
    for (const char* word : {"--k", "--key", "--m", "--mk"}) {
        const ToolRun run = run_tool({word});
        EXPECT_EQ(run.result, 2) << word;
        EXPECT_EQ(run.out, "") << word;
        EXPECT_NE(run.err.find(std::string("ambiguous command ") + word), std::string::npos) << run.err;
    }
    // "version" follows "error" in the table: --v is version, --e still runs nothing.
    EXPECT_EQ(run_tool({"--v"}).out.rfind("zud_encrypt_tqrr ", 0), 0u);
    EXPECT_EQ(run_tool({"--e"}).out, "");
}

TEST(Version, BothProgramsPrintOneLineAndExitZero) {
    const std::string libraries = std::string(" (mbed TLS ") + MBEDTLS_VERSION_STRING + ", " +
                                  OpenSSL_version(OPENSSL_VERSION) + ")\n";
    const std::pair<std::string, std::string> programs[] = {
        {tool_path(), "zud_encrypt_tqrr"}, {keytool_path(), "zud_keytool"}};
    for (const auto& [path, name] : programs) {
        SCOPED_TRACE(name);
        const ProcessRun run = run_process({path, "--version"});
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.out, name + " " + ZUD_VERSION + libraries);
        EXPECT_EQ(run.err, "");
    }
}

TEST(Dispatch, FailedCommandPrintsItsLineAndExitsWithTheLowByte) {
    const ProcessRun run = run_process({tool_path(), "--keysig"});
    ASSERT_FALSE(run.out.empty());
    const auto open = run.out.find("keysig fail[");
    ASSERT_NE(open, std::string::npos) << run.out;
    EXPECT_EQ(run.out.substr(0, open), tool_path() + " ");
    const int result = std::atoi(run.out.c_str() + open + 12);
    EXPECT_NE(result, 0);
    EXPECT_EQ(run.out.substr(open + 12 + std::to_string(result).size()), "]!\n");
    EXPECT_EQ(run.exit_status, zud_exit_status(result));
}

TEST(Dispatch, HelpExitsZeroAsAProgram) {
    const ProcessRun run = run_process({tool_path(), "--help"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
}

TEST(Dispatch, MistypedCommandExitsTwoAsAProgram) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"--bootsgi"}}) {
        std::vector<std::string> argv{tool_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessRun run = run_process(argv);
        EXPECT_EQ(run.exit_status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(run.err.empty());
    }
}

TEST(Dispatch, FailureWhoseLowByteIsZeroDoesNotExitZero) {
    EXPECT_EQ(zud_exit_status(0), 0);
    EXPECT_EQ(zud_exit_status(2), 2);  // the dispatcher's usage status
    EXPECT_EQ(zud_exit_status(3105), 33);
    EXPECT_EQ(zud_exit_status(4221), 125);
    // Bits that would read as success, a usage error, a program the shell
    // could not run (126, 127) or a signal (128 and above) exit 1.
    for (const int result : {-256, 0x4000, 4866, 4862, 4734, 4735, 4738, 5771, -1}) {
        EXPECT_EQ(zud_exit_status(result), 1) << result;
    }
}

}  // namespace
