#include "support/boot_image.h"

#include <stdexcept>
#include <vector>

#include "support/run.h"

std::string make_boot_image(const std::string& dir, const Bytes& kernel, const Bytes& ramdisk,
                            const std::optional<Bytes>& second, int page_size) {
    write_file(dir + "/kernel.bin", kernel);
    write_file(dir + "/ramdisk.bin", ramdisk);
    std::vector<std::string> argv{"mkbootimg", "--kernel", dir + "/kernel.bin", "--ramdisk",
                                  dir + "/ramdisk.bin", "--pagesize", std::to_string(page_size),
                                  "-o", dir + "/boot.img"};
    if (second) {
        write_file(dir + "/second.bin", *second);
        argv.insert(argv.end(), {"--second", dir + "/second.bin"});
    }
    const ProcessRun run = run_process(argv);
    if (run.exit_status != 0) {
        throw std::runtime_error("mkbootimg failed (is the mkbootimg package installed?): " +
                                 run.err);
    }
    return dir + "/boot.img";
}
