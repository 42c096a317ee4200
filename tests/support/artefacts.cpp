#include "support/artefacts.h"

#include <stdexcept>

#include "support/boot_image.h"
#include "support/files.h"
#include "support/run.h"
#include "support/test_keys.h"

Artefacts::Artefacts() {
    keys = make_key_files(dir.path().string());
    write_file(file("aes.bin"), counting_bytes(32, 0x61));
    write_public_pem(file("user.pub.pem"), test_key(2048, 1));
    const std::string boot = write_plain_bootloader(file("boot.bin"), counting_bytes(30000, 3),
                                                    {counting_bytes(70000, 1), counting_bytes(500, 2)});
    run_tool_or_throw({"--bootsig", "--input", boot, "--zuduserkey", keys.user_key, "--aeskey", file("aes.bin"),
                  "--output", file("boot.enc")});
    run_tool_or_throw({"--bootsig", "--input", boot, "--zuduserkey", keys.user_key, "--output", file("boot.plain")});
    run_tool_or_throw({"--bootsig", "--input", boot, "--output", file("boot.pkg")});
    const std::string image = make_boot_image(dir.path().string(), counting_bytes(9000, 4), counting_bytes(3000, 5),
                                              counting_bytes(40, 6));
    run_tool_or_throw({"--imgsig", "--input", image, "--zuduserkey", keys.user_key, "--output", file("kernel.signed")});
    run_tool_or_throw({"--imgsig", "--input", image, "--output", file("kernel.pkg")});
    write_file(file("upgrade.bin"), counting_bytes(8192, 7));
    run_tool_or_throw({"--upgsig", "--input", file("upgrade.bin"), "--zuduserkey", keys.user_key});
    run_tool_or_throw({"--mkpsd", "--password", "0123456789abcdef", "--option", "scan", "--output", file("unlock.bin")});
    run_tool_or_throw({"--mkcusid", "--customerid", "ACME01", "--output", file("customer.bin")});
}

const std::vector<std::string>& Artefacts::names() {
    static const std::vector<std::string> kNames = {
        "boot.enc", "boot.enc.efuse", "boot.plain", "boot.plain.efuse", "boot.pkg", "kernel.signed",
        "kernel.pkg", "upgrade.bin", "unlock.bin", "customer.bin", "km.bin", "user.zud",
    };
    return kNames;
}

std::vector<std::string> Artefacts::options_for(const std::string& name) const {
    if (name == "boot.enc" || name == "kernel.signed") return {"--user-key", keys.user_key};
    if (name == "upgrade.bin") return {"--key", file("user.pub.pem")};
    return {};
}
