#include "support/softhsm.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/run.h"
#include "support/test_keys.h"

namespace {

void run_softhsm_util(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"softhsm2-util"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessRun run = run_process(argv);
    if (run.exit_status != 0) {
        throw std::runtime_error("softhsm2-util failed (is SoftHSM2 installed? scripts/deps.sh "
                                 "installs it): " + run.out + run.err);
    }
}

}  // namespace

SoftHsmToken::SoftHsmToken(const std::string& label, const std::string& pin)
    : label_(label), pin_(pin) {
    if (!std::filesystem::exists(kSoftHsmModule)) {
        throw std::runtime_error(std::string("SoftHSM2 is not installed: no ") + kSoftHsmModule +
                                 " (scripts/deps.sh installs it)");
    }
    std::filesystem::create_directory(dir_.path() / "tokens");
    const std::string conf = dir_.file("softhsm2.conf");
    std::ofstream(conf) << "directories.tokendir = " << dir_.file("tokens") << "\n"
                        << "objectstore.backend = file\nlog.level = ERROR\n"
                        << "slots.removable = false\n";
    ::setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    run_softhsm_util({"--init-token", "--free", "--label", label_, "--pin", pin_, "--so-pin",
                      "so-" + pin_});
}

SoftHsmToken::~SoftHsmToken() { ::unsetenv("SOFTHSM2_CONF"); }

void SoftHsmToken::import_key(const mbedtls_rsa_context& key, const std::string& object,
                              const std::string& id_hex) {
    const std::string pem = dir_.file(object + ".pem");
    write_pem_key(pem, key, PemForm::kPkcs8);
    run_softhsm_util({"--import", pem, "--token", label_, "--label", object, "--id", id_hex,
                      "--pin", pin_});
}

std::string SoftHsmToken::uri(const std::string& object) const {
    return "pkcs11:token=" + label_ + ";object=" + object;
}
