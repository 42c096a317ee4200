// Outputs are written under temporary names and renamed into place: a run
// that is killed, refused or racing another never leaves a partial file
// under an output's name, a symlink there is replaced and never followed,
// and files holding secrets are readable by their owner only from their
// first byte.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/bootloader.h"
#include "support/boot_image.h"
#include "support/files.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

bool is_temp_name(const std::string& name) { return name.rfind(".zud-", 0) == 0; }

std::set<std::string> temp_files_in(const std::filesystem::path& dir) {
    std::set<std::string> temps;
    for (const auto& name : files_in(dir))
        if (is_temp_name(name)) temps.insert(name);
    return temps;
}

class SafeWritesTest : public testing::Test {
protected:
    void SetUp() override { keys = make_key_files(dir.path().string()); }

    // True when `path` is a complete output of its kind: its trailing
    // upgrade signature checks with the user key.
    bool upgrade_checks(const std::string& path) {
        return run_process({tool_path(), "--upgsig", "--input", path, "--zuduserkey",
                            keys.user_key, "--option", "chk"})
                   .exit_status == 0;
    }

    std::vector<std::string> bootsig_args(const std::string& input, const std::string& output) {
        write_file(dir.file("aes.bin"), counting_bytes(32, 3));
        return {tool_path(), "--bootsig", "--input", input, "--zuduserkey", keys.user_key,
                "--aeskey", dir.file("aes.bin"), "--output", output};
    }

    TempDir dir;
    KeyFiles keys;
};

TEST_F(SafeWritesTest, KilledRunsLeaveNoPartialOutputUnderAnyName) {
    Bytes stage(24u << 20);
    for (std::size_t i = 0; i < stage.size(); i += 4096) stage[i] = static_cast<std::uint8_t>(i >> 12);
    const std::string input = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(1000), {stage});
    const std::string out = dir.file("boot.signed");
    const auto args = bootsig_args(input, out);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_process(args).exit_status, 0);
    const int full_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count());
    int killed = 0;
    for (const int percent : {5, 20, 35, 50, 65, 80, 95}) {
        SCOPED_TRACE(std::to_string(percent) + "% of " + std::to_string(full_ms) + " ms");
        killed += signal_after(args, full_ms * percent / 100, SIGKILL) ? 1 : 0;
        // Each name holds nothing or a complete output (the earlier run's or
        // this one's); the SD image is a complete copy of a complete output.
        ASSERT_TRUE(upgrade_checks(out));
        EXPECT_EQ(size_of(out + ".efuse"), 1168u);
        if (file_exists(out + ".usb.bl2")) {
            EXPECT_EQ(size_of(out + ".usb.bl2"), 49152u);
        }
        if (file_exists(out + ".sd.bin")) {
            write_file(dir.file("sd-tail"), slice(read_file(out + ".sd.bin"), 512, size_of(out + ".sd.bin") - 512));
            EXPECT_TRUE(upgrade_checks(dir.file("sd-tail")));
        }
    }
    // Timing varies with the machine's load; enough runs must be cut short
    // for the checks above to show anything.
    EXPECT_GE(killed, 3);
    // Signing in place: the file is as it was, or signed whole.
    const std::string file = dir.file("upgrade.bin");
    write_file(file, Bytes(32u << 20, 0x5A));
    const std::vector<std::string> sign{tool_path(), "--upgsig", "--input", file, "--zuduserkey", keys.user_key};
    for (const int delay : {20, 60, 120}) {
        signal_after(sign, delay, SIGKILL);
        const std::uint64_t size = size_of(file);
        EXPECT_TRUE((size - (32u << 20)) % 256 == 0);
        if (size > (32u << 20)) {
            EXPECT_TRUE(upgrade_checks(file)) << size;
        }
    }
}

TEST_F(SafeWritesTest, InterruptedRunRemovesItsTemporaryFiles) {
    const std::string input =
        write_plain_bootloader(dir.file("boot.bin"), counting_bytes(1000), {Bytes(16u << 20, 7)});
    const std::string out = dir.file("boot.signed");
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        EXPECT_TRUE(signal_after(bootsig_args(input, out), 30, signal));
        EXPECT_EQ(temp_files_in(dir.path()), std::set<std::string>{});
        // Stopped before the output took its name, or after it did, whole.
        if (file_exists(out)) {
            EXPECT_TRUE(upgrade_checks(out));
            std::filesystem::remove(out);
        }
    }
}

TEST_F(SafeWritesTest, SymlinksAtOutputNamesAreReplacedNotFollowed) {
    const std::string image = make_boot_image(dir.path().string(), counting_bytes(5000), counting_bytes(3000), std::nullopt);
    const std::string boot = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(100), {counting_bytes(999)});
    const std::string o = dir.file("o");
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> outputs;
    } cases[] = {
        {{tool_path(), "--keysig", "--rkey1", keys.root, "--ukey1", keys.user1, "--skey", keys.root, "--output", o}, {o}},
        {{tool_path(), "--keybnd", "--ukey", keys.user1, "--rootkeymax", keys.keymax, "--output", o}, {o}},
        {bootsig_args(boot, o), {o, o + ".efuse", o + ".usb.bl2", o + ".usb.tpl", o + ".sd.bin"}},
        {{tool_path(), "--imgsig", "--input", image, "--zuduserkey", keys.user_key, "--output", o}, {o}},
        {{tool_path(), "--mkpsd", "--password", "0123456789abcdef", "--option", "usb", "--output", o}, {o}},
        {{tool_path(), "--mkcusid", "--customerid", "ABCDEF", "--output", o}, {o}},
        {{tool_path(), "--mksd", "--input", image, "--output", o}, {o}},
        {{tool_path(), "--sha", image}, {image + ".sha"}},
        {{keytool_path(), "generate", "--bits", "1024", "--form", "full", "--output", o, "--force"}, {o}},
    };
    const std::string victim = dir.file("victim");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        write_file(victim, counting_bytes(9));
        for (const auto& name : c.outputs) {
            std::filesystem::remove(name);
            std::filesystem::create_symlink(victim, name);
        }
        const ProcessRun run = run_process(c.args);
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_EQ(read_file(victim), counting_bytes(9));
        for (const auto& name : c.outputs) {
            EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(name))) << name;
            std::filesystem::remove(name);
        }
    }
}

TEST_F(SafeWritesTest, RefusedRunsLeaveAnEarlierOutputUnchanged) {
    const std::string o = dir.file("earlier");
    write_file(dir.file("not-an-image"), counting_bytes(4096));
    const std::vector<std::string> cases[] = {
        {tool_path(), "--imgsig", "--input", dir.file("not-an-image"), "--output", o},
        {tool_path(), "--mksd", "--input", dir.file("missing"), "--output", o},
        {tool_path(), "--keybnd", "--ukey", keys.user2, "--rootkeymax", keys.keymax, "--output", o},
        {tool_path(), "--bootsig", "--input", dir.file("not-an-image"), "--output", o},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[1]);
        write_file(o, counting_bytes(77));
        EXPECT_NE(run_process(args).exit_status, 0);
        EXPECT_EQ(read_file(o), counting_bytes(77));
    }
    EXPECT_EQ(temp_files_in(dir.path()), std::set<std::string>{});
}

TEST_F(SafeWritesTest, ConcurrentRunsOnOneOutputLeaveAWholeImage) {
    Bytes kernel(6u << 20);
    for (std::size_t i = 0; i < kernel.size(); i += 512) kernel[i] = static_cast<std::uint8_t>(i >> 9);
    const std::string image = make_boot_image(dir.path().string(), kernel, counting_bytes(70000), std::nullopt);
    const std::string out = dir.file("kernel.signed");
    const std::vector<std::string> args{tool_path(), "--imgsig", "--input", image, "--zuduserkey",
                                        keys.user_key, "--output", out};
    for (int round = 0; round < 4; ++round) {
        int exits[2] = {-1, -1};
        std::thread other([&] { exits[1] = run_process(args).exit_status; });
        exits[0] = run_process(args).exit_status;
        other.join();
        EXPECT_EQ(exits[0], 0);
        EXPECT_EQ(exits[1], 0);
        EXPECT_TRUE(upgrade_checks(out)) << "round " << round;
    }
    EXPECT_EQ(temp_files_in(dir.path()), std::set<std::string>{});
}

// Watches a directory and records, for every file that appears in it or is
// written, the mode it has at that moment.
class ModeWatcher {
public:
    explicit ModeWatcher(const std::filesystem::path& dir) : dir_(dir) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ::inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO);
        thread_ = std::thread([this] { run(); });
    }
    ~ModeWatcher() { stop(); }
    void stop() {
        if (!thread_.joinable()) return;
        done_ = true;
        thread_.join();
        ::close(fd_);
    }
    // The loosest mode each name was seen with.
    const std::map<std::string, unsigned>& modes() const { return modes_; }

private:
    void run() {
        alignas(inotify_event) char buf[64 * 1024];
        while (!done_) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            for (char* p = buf; p < buf + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                if (e->len > 0) {
                    struct stat st {};
                    if (::lstat((dir_ / e->name).c_str(), &st) == 0) modes_[e->name] |= st.st_mode & 0777;
                }
                p += sizeof(inotify_event) + e->len;
            }
        }
    }

    std::filesystem::path dir_;
    int fd_ = -1;
    std::atomic<bool> done_{false};
    std::thread thread_;
    std::map<std::string, unsigned> modes_;
};

TEST_F(SafeWritesTest, SecretsAreNeverReadableByOthers) {
    const std::string work = dir.file("work");
    std::filesystem::create_directory(work);
    const std::string boot = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(100), {Bytes(4u << 20, 1)});
    ModeWatcher watcher(work);
    ASSERT_EQ(run_process({tool_path(), "--keybnd", "--ukey", keys.user1, "--rootkeymax", keys.keymax,
                           "--output", work + "/user.zud"}).exit_status, 0);
    ASSERT_EQ(run_process(bootsig_args(boot, work + "/boot.signed")).exit_status, 0);
    ASSERT_EQ(run_process({keytool_path(), "generate", "--bits", "1024", "--form", "text", "--output",
                           work + "/new.key"}).exit_status, 0);
    watcher.stop();
    const std::set<std::string> secret = {"user.zud", "boot.signed.efuse", "new.key"};
    int temps = 0;
    for (const auto& [name, mode] : watcher.modes()) {
        if (is_temp_name(name)) ++temps;
        if (is_temp_name(name) || secret.count(name) != 0) {
            EXPECT_EQ(mode & 0077, 0u) << name;
        }
    }
    EXPECT_GT(temps, 0) << "the watcher saw no temporary file";
    for (const auto& name : secret) EXPECT_EQ(watcher.modes().count(name), 1u) << name;
}

}  // namespace
