// Outputs are written under temporary names and renamed into place: a run
// that is killed, refused or racing another never leaves a partial file
// under an output's name, a symlink there is replaced and never followed,
// and files holding secrets are readable by their owner only from their
// first byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/bootloader.h"
#include "support/boot_image.h"
#include "support/fault.h"
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

// The kinds of the file calls of a whole run of the tool, in order.
std::vector<FileCall> file_calls_of(const std::vector<std::string>& args) {
    FileCallLog log;
    {
        const ScopedFileCallHook hook(log.hook());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.result, 0) << run.err;
    }
    return log.calls();
}

// The number (counting from 1) of the `nth` call (from 0) of kind `call`
// after call number `after`, or 0 when there is none.
std::size_t number_after(const std::vector<FileCall>& calls, FileCall call, std::size_t after,
                         std::size_t nth = 0) {
    for (std::size_t i = after; i < calls.size(); ++i) {
        if (calls[i] == call && nth-- == 0) return i + 1;
    }
    return 0;
}

// Calls at which a --bootsig run is stopped: its first write, a third and
// two thirds into its writes, the sync and the rename that give the output
// its name, the rename of its eFuse file (the output new, the eFuse file
// not yet), and the last call. The syncs and renames before the first write
// are a work file's.
std::vector<std::size_t> bootsig_stops(const std::vector<FileCall>& calls) {
    const auto writes = static_cast<std::size_t>(std::count(calls.begin(), calls.end(), FileCall::kWrite));
    EXPECT_GE(writes, 6u) << "too few writes to stop the run in between";
    const std::size_t first_write = number_after(calls, FileCall::kWrite, 0);
    const std::size_t output_sync = number_after(calls, FileCall::kSync, first_write);
    const std::size_t output_rename = number_after(calls, FileCall::kRename, output_sync);
    std::vector<std::size_t> stops{first_write,
                                   number_after(calls, FileCall::kWrite, 0, writes / 3),
                                   number_after(calls, FileCall::kWrite, 0, 2 * writes / 3),
                                   output_sync,
                                   output_rename,
                                   number_after(calls, FileCall::kRename, output_rename),
                                   calls.size()};
    EXPECT_EQ(std::count(stops.begin(), stops.end(), 0u), 0) << "a stop was not found";
    std::sort(stops.begin(), stops.end());
    stops.erase(std::unique(stops.begin(), stops.end()), stops.end());
    return stops;
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

    // The words of a --bootsig run after the program's name.
    std::vector<std::string> bootsig_words(const std::string& input, const std::string& output) {
        write_file(dir.file("aes.bin"), counting_bytes(32, 3));
        return {"--bootsig", "--input", input, "--zuduserkey", keys.user_key,
                "--aeskey", dir.file("aes.bin"), "--output", output};
    }
    std::vector<std::string> bootsig_args(const std::string& input, const std::string& output) {
        std::vector<std::string> args{tool_path()};
        for (auto& word : bootsig_words(input, output)) args.push_back(std::move(word));
        return args;
    }

    TempDir dir;
    KeyFiles keys;
};

TEST_F(SafeWritesTest, KilledRunsLeaveNoPartialOutputUnderAnyName) {
    Bytes stage(8u << 20);
    for (std::size_t i = 0; i < stage.size(); i += 4096) stage[i] = static_cast<std::uint8_t>(i >> 12);
    const std::string input = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(1000), {stage});
    const std::string out = dir.file("boot.signed");
    const auto words = bootsig_words(input, out);
    // The whole run leaves the earlier output the killed runs start from.
    for (const std::size_t stop : bootsig_stops(file_calls_of(words))) {
        SCOPED_TRACE("killed at file call " + std::to_string(stop));
        ASSERT_EQ(run_tool_in_child(words, signal_at_call(stop, SIGKILL)).signal, SIGKILL);
        // Each name holds a complete output (the earlier run's or this
        // one's); the SD image is a complete copy of a complete output.
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
    // Signing in place: killed before the block is written the file is as
    // it was; once it is written (the sync not yet made, or made) the file
    // is signed whole.
    const std::string file = dir.file("upgrade.bin");
    const Bytes unsigned_bytes(4u << 20, 0x5A);
    const std::vector<std::string> sign{"--upgsig", "--input", file, "--zuduserkey", keys.user_key};
    write_file(file, unsigned_bytes);
    const std::vector<FileCall> calls = file_calls_of(sign);
    const std::size_t block_write = number_after(calls, FileCall::kWrite, 0);
    const std::size_t sync = number_after(calls, FileCall::kSync, block_write);
    ASSERT_NE(block_write, 0u);
    ASSERT_NE(sync, 0u);
    const auto kill_after_sync = [](const FileCallSite& site) {
        ::fsync(site.fd);
        ::raise(SIGKILL);
        return 0;
    };
    const struct {
        const char* when;
        FileCallHook hook;
        bool signed_whole;
    } stops[] = {
        {"before the block's write", signal_at_call(block_write, SIGKILL), false},
        {"after the block's write", signal_at_call(sync, SIGKILL), true},
        {"after the sync", at_call(sync, kill_after_sync), true},
    };
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.when);
        write_file(file, unsigned_bytes);
        ASSERT_EQ(run_tool_in_child(sign, stop.hook).signal, SIGKILL);
        if (stop.signed_whole) {
            EXPECT_EQ(size_of(file), unsigned_bytes.size() + 256);
            EXPECT_TRUE(upgrade_checks(file));
        } else {
            EXPECT_EQ(read_file(file), unsigned_bytes);
        }
    }
}

TEST_F(SafeWritesTest, InterruptedRunRemovesItsTemporaryFiles) {
    const std::string input =
        write_plain_bootloader(dir.file("boot.bin"), counting_bytes(1000), {Bytes(4u << 20, 7)});
    const std::string out = dir.file("boot.signed");
    const auto words = bootsig_words(input, out);
    // An earlier output stands at the name throughout, so that the runs also
    // keep it under a second name while theirs goes in place; the calls are
    // counted with it there.
    (void)file_calls_of(words);
    ASSERT_TRUE(file_exists(out));
    const std::vector<std::size_t> stops = bootsig_stops(file_calls_of(words));
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        for (const std::size_t stop : stops) {
            SCOPED_TRACE("signal " + std::to_string(signal) + " at file call " + std::to_string(stop));
            ASSERT_EQ(run_tool_in_child(words, signal_at_call(stop, signal)).signal, signal);
            EXPECT_EQ(temp_files_in(dir.path()), std::set<std::string>{});
            // The earlier output, or this run's whole.
            EXPECT_TRUE(upgrade_checks(out));
        }
    }
}

// --bootsig and --imgsig read their input twice, to sign its stages and to
// write them, and --upgsig reads its file to sign it before appending the
// block. An input changed after the first read, even with its modification
// time put back, fails the run with the command's own result: nothing new
// stands under any name, and the input is as the writer left it.
TEST_F(SafeWritesTest, InputChangedWhileBeingSignedFailsTheRun) {
    const std::string boot = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(1000), {Bytes(3u << 20, 7)});
    const std::string image = make_boot_image(dir.path().string(), counting_bytes(300000), counting_bytes(70000), std::nullopt);
    const std::string file = dir.file("upgrade.bin");
    const std::string out = dir.file("out.signed");
    const std::vector<std::string> imgsig{"--imgsig", "--input", image, "--zuduserkey", keys.user_key, "--output", out};
    const std::vector<std::string> upgsig{"--upgsig", "--input", file, "--zuduserkey", keys.user_key};
    // The second stamp is the check between the passes (for --upgsig, before
    // the block is appended); the first write is the output's, in the
    // second pass.
    const struct {
        const char* what;
        std::vector<std::string> words;
        std::string input;
        FileCall call;
        std::size_t nth;
        Bytes append;
        int result;
    } cases[] = {
        {"bootsig, between the passes", bootsig_words(boot, out), boot, FileCall::kStamp, 2, {}, 4868},
        {"bootsig, while writing", bootsig_words(boot, out), boot, FileCall::kWrite, 1, {}, 4868},
        {"imgsig, between the passes", imgsig, image, FileCall::kStamp, 2, {}, 5793},
        {"imgsig, while writing", imgsig, image, FileCall::kWrite, 1, {}, 5793},
        {"upgsig, appended to after the digest", upgsig, file, FileCall::kStamp, 2, counting_bytes(32), 4082},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(file, Bytes(64u << 10, 0x5A));
        const std::set<std::string> names_before = files_in(dir.path());
        Bytes left;
        ToolRun run{};
        {
            const ScopedFileCallHook hook(at_call_of(c.call, c.nth, [&](const FileCallSite&) {
                left = change_keeping_mtime(c.input, c.append);
                return 0;
            }));
            run = run_tool(c.words);
        }
        ASSERT_FALSE(left.empty()) << "the input was never changed";
        EXPECT_EQ(run.result, c.result);
        EXPECT_NE(run.err.find(c.input + " changed while it was being signed"), std::string::npos) << run.err;
        EXPECT_EQ(files_in(dir.path()), names_before);
        EXPECT_EQ(read_file(c.input), left);
    }
}

// An output whose directory cannot be synced once it has its name stays
// there, and the run fails with the command's own result and says so.
TEST_F(SafeWritesTest, UnsyncedDirectoryFailsTheRunWithTheOutputInPlace) {
    const std::string image = make_boot_image(dir.path().string(), counting_bytes(5000), counting_bytes(3000), std::nullopt);
    const std::string boot = write_plain_bootloader(dir.file("boot.bin"), counting_bytes(100), {counting_bytes(999)});
    const std::string o = dir.file("o");
    const struct {
        std::vector<std::string> words;
        std::string unsynced;  // the output whose directory sync fails
        int result;
    } cases[] = {
        {{"--keysig", "--rkey1", keys.root, "--ukey1", keys.user1, "--skey", keys.root, "--output", o}, o, 3131},
        {{"--keybnd", "--ukey", keys.user1, "--rootkeymax", keys.keymax, "--output", o}, o, 3127},
        {bootsig_words(boot, o), o, 4869},
        {bootsig_words(boot, o), o + ".efuse", 4869},
        {{"--imgsig", "--input", image, "--zuduserkey", keys.user_key, "--output", o}, o, 5794},
        {{"--mkpsd", "--password", "0123456789abcdef", "--option", "usb", "--output", o}, o, 4441},
        {{"--mkcusid", "--customerid", "ABCDEF", "--output", o}, o, 4546},
        {{"--mksd", "--input", image, "--output", o}, o, 5851},
        {{"--sha", image}, image + ".sha", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words[0] + " " + c.unsynced);
        std::filesystem::remove(c.unsynced);
        ToolRun run{};
        {
            const ScopedFileCallHook hook([&](const FileCallSite& site) {
                return site.call == FileCall::kSyncDirectory && c.unsynced == site.to ? EIO : 0;
            });
            run = run_tool(c.words);
        }
        EXPECT_EQ(run.result, c.result);
        EXPECT_NE(run.err.find(c.unsynced + " is in place but its directory could not be synced: " +
                               std::strerror(EIO) + "; check the disk before relying on it"),
                  std::string::npos) << run.err;
        EXPECT_TRUE(file_exists(c.unsynced));
        EXPECT_EQ(temp_files_in(dir.path()), std::set<std::string>{});
    }
    // --upgsig renames nothing: it syncs the file it appended to, and a
    // block that cannot be synced is cut off again.
    const std::string file = dir.file("upgrade.bin");
    write_file(file, Bytes(4096, 0x5A));
    ToolRun run{};
    {
        const ScopedFileCallHook hook([](const FileCallSite& site) { return site.call == FileCall::kSync ? EIO : 0; });
        run = run_tool({"--upgsig", "--input", file, "--zuduserkey", keys.user_key});
    }
    EXPECT_EQ(run.result, 4083);
    EXPECT_NE(run.err.find(file + " could not be synced to the disk: " + std::strerror(EIO)), std::string::npos) << run.err;
    EXPECT_EQ(read_file(file), Bytes(4096, 0x5A));
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
        if (::pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }
    ~ModeWatcher() { stop(); }
    // Ends the watch once the events already queued are recorded.
    void stop() {
        if (!thread_.joinable()) return;
        const char byte = 0;
        (void)!::write(stop_[1], &byte, 1);
        thread_.join();
        ::close(fd_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    // The loosest mode each name was seen with.
    const std::map<std::string, unsigned>& modes() const { return modes_; }

private:
    void run() {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) {
                while (record_events()) {}
                return;
            }
            record_events();
        }
    }

    // Records the events waiting; false when there were none.
    bool record_events() {
        alignas(inotify_event) char buf[64 * 1024];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) return false;
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            if (e->len > 0) {
                struct stat st {};
                if (::lstat((dir_ / e->name).c_str(), &st) == 0) modes_[e->name] |= st.st_mode & 0777;
            }
            p += sizeof(inotify_event) + e->len;
        }
        return true;
    }

    std::filesystem::path dir_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
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
