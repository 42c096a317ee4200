// Large reads and copies beneath the digest and SD image commands, and
// outputs that take their names only once they are whole and durable.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "support/fault.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace {

constexpr std::size_t kPiece = kRangePieceSize;

// A descriptor closed at the end of the scope.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

int write_and_open(const std::string& path, const Bytes& data) {
    write_file(path, data);
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

class ReadRangeTest : public testing::Test {
protected:
    TempDir dir;
    const Bytes data = seeded_bytes(2 * kPiece + kPiece / 2 + 48, 3);
    const Fd in{write_and_open(dir.file("data"), data)};
};

TEST_F(ReadRangeTest, BytesArriveWholeAndInOrder) {
    struct Range { std::size_t offset, count; };
    const Range kRanges[] = {
        {0, data.size()},           // two whole pieces and a short one
        {16, 2 * kPiece},           // exactly two pieces
        {kPiece - 16, kPiece + 32}, // one whole piece and 32 bytes
        {100, kPiece},              // one piece, read without the second thread
        {data.size() - 5, 5},
    };
    for (const Range& r : kRanges) {
        SCOPED_TRACE(testing::Message() << r.offset << "+" << r.count);
        Bytes got;
        const RangeRead result = read_range(in.fd, r.offset, r.count, [&](ConstBytes step) {
            EXPECT_LE(step.size(), kRangeStepSize);
            got.insert(got.end(), step.begin(), step.end());
            return true;
        });
        EXPECT_EQ(result, RangeRead::kDone);
        EXPECT_TRUE(got == slice(data, r.offset, r.count));
    }
    EXPECT_EQ(::lseek(in.fd, 0, SEEK_CUR), 0);  // the position is not used
}

TEST_F(ReadRangeTest, EndOfFileIsShortAndAStoppedConsumerGetsNoMore) {
    std::size_t handed = 0;
    EXPECT_EQ(read_range(in.fd, kPiece, data.size(), [&](ConstBytes piece) {
                  handed += piece.size();
                  return true;
              }),
              RangeRead::kShort);
    EXPECT_EQ(handed, kPiece);  // the whole pieces before the end, no more

    std::size_t calls = 0;
    EXPECT_EQ(read_range(in.fd, 0, data.size(), [&](ConstBytes) { return ++calls < 2; }),
              RangeRead::kStopped);
    EXPECT_EQ(calls, 2u);
}

// Copies the rest of the input into a fresh output after a 512-byte filler
// and returns the output's bytes.
class CopyToEndTest : public testing::Test {
protected:
    Bytes copy_after_filler(int in_fd) {
        const std::string out_path = dir.file("out");
        const Fd out{::open(out_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
        const Bytes filler(512, 0xA5);
        EXPECT_EQ(::write(out.fd, filler.data(), filler.size()), 512);
        EXPECT_TRUE(copy_to_end(in_fd, out.fd));
        return read_file(out_path);
    }

    TempDir dir;
};

TEST_F(CopyToEndTest, FileLargerThanOneCopyStepIsCopiedFromThePosition) {
    // Past one 32 MiB step of the kernel copy, and not a multiple of it.
    const Bytes data = seeded_bytes(32 * 1024 * 1024 + 4097, 5);
    const Fd in{write_and_open(dir.file("in"), data)};
    ASSERT_EQ(::lseek(in.fd, 100, SEEK_SET), 100);

    const Bytes out = copy_after_filler(in.fd);
    ASSERT_EQ(out.size(), 512 + data.size() - 100);
    EXPECT_EQ(slice(out, 0, 512), Bytes(512, 0xA5));
    EXPECT_TRUE(slice(out, 512, data.size() - 100) == slice(data, 100, data.size() - 100));
}

TEST_F(CopyToEndTest, StreamTheKernelCannotCopyIsReadThroughTheBuffer) {
    const Bytes data = seeded_bytes(3 * 1024 * 1024 + 5, 6);
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const Fd reader{ends[0]};
    // The writer sends without SIGPIPE, so a failed copy that closes the
    // reading end ends it instead of leaving it blocked.
    std::thread writer([fd = ends[1], &data] {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
    const Bytes out = copy_after_filler(reader.fd);
    ::shutdown(reader.fd, SHUT_RDWR);
    writer.join();
    ASSERT_EQ(out.size(), 512 + data.size());
    EXPECT_TRUE(slice(out, 512, data.size()) == data);
}

TEST(WriteBehindTest, WritesInOrderAndPatchesAhead) {
    TempDir dir;
    const std::string path = dir.file("out");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const Bytes data = counting_bytes(40 * 1024 * 1024 + 5, 1);  // past one writeback step
    WriteBehind out(fd, 512);
    EXPECT_TRUE(out.write(ConstBytes(data).first(1000)));
    EXPECT_TRUE(out.write(ConstBytes(data).subspan(1000)));
    EXPECT_EQ(out.position(), 512 + data.size());
    const Bytes head = counting_bytes(512, 200);
    EXPECT_TRUE(out.write_at(0, head));
    ::close(fd);
    Bytes expected = head;
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(read_file(path), expected);
}

TEST(WriteBehindTest, FailedWriteLeavesThePositionWhereTheFileStops) {
    const int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    WriteBehind out(fd, 100);
    EXPECT_FALSE(out.write(counting_bytes(10)));
    EXPECT_EQ(out.position(), 100u);
    ::close(fd);
}

// An output with `content` written to its temporary file.
OutputFile written_output(const std::string& path, const Bytes& content) {
    OutputFile out(path, Exposure::kPublic);
    EXPECT_TRUE(out.ok()) << out.error();
    EXPECT_TRUE(write_all(out.stream(), content));
    return out;
}

// A hook that fails with `error` every call of kind `call`, or only those
// that give the name `to`.
FileCallHook fail_calls(FileCall call, int error, std::string to = "") {
    return [=](const FileCallSite& site) {
        const bool named = to.empty() || (site.to != nullptr && to == site.to);
        return site.call == call && named ? error : 0;
    };
}

// Inputs open without waiting, and only regular files (and, where asked
// for, block devices) are taken.
TEST(OpenInputTest, RefusesWhatIsNotARegularFileWithoutWaiting) {
    TempDir dir;
    const std::string plain = dir.file("plain");
    const std::string fifo = dir.file("fifo");
    write_file(plain, counting_bytes(10));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        InputUse use;
        InputKinds kinds;
        std::string error;  // empty when it opens
    } cases[] = {
        {plain, InputUse::kUpdate, InputKinds::kRegular, ""},
        {fifo, InputUse::kRead, InputKinds::kRegular, fifo + " is a FIFO; only regular files are read"},
        {fifo, InputUse::kUpdate, InputKinds::kRegular, fifo + " is a FIFO; only regular files are read"},
        {dir.path().string(), InputUse::kRead, InputKinds::kRegular,
         dir.path().string() + " is a directory; only regular files are read"},
        {"/dev/zero", InputUse::kRead, InputKinds::kRegularOrBlockDevice,
         "/dev/zero is a character device; only regular files and block devices are read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string error;
        const File f = open_input(c.path.c_str(), error, c.use, c.kinds);
        EXPECT_EQ(error, c.error);
        ASSERT_EQ(f != nullptr, c.error.empty());
        if (!f) continue;
        // Reads wait for their bytes again.
        EXPECT_EQ(::fcntl(::fileno(f.get()), F_GETFL) & O_NONBLOCK, 0);
        Bytes got(10);
        EXPECT_TRUE(read_exact(f.get(), got));
        EXPECT_EQ(got, counting_bytes(10));
    }
}

class OutputFilesTest : public testing::Test {
protected:
    TempDir dir;
    const std::string final_name = dir.file("out");
    const Bytes earlier = counting_bytes(300, 9);
    const Bytes fresh = counting_bytes(500, 1);
};

TEST_F(OutputFilesTest, CommitSyncsTheTemporaryFileBeforeRenamingIt) {
    OutputFile out = written_output(final_name, fresh);
    const std::string temp = out.temp_path();
    std::vector<std::string> calls;
    {
        const ScopedFileCallHook hook([&](const FileCallSite& site) {
            const auto fd_link = "/proc/self/fd/" + std::to_string(site.fd);
            if (site.call == FileCall::kSync) {
                calls.push_back("sync " + std::filesystem::read_symlink(fd_link).string());
            } else if (site.call == FileCall::kSyncDirectory) {
                calls.push_back("sync directory " + std::filesystem::read_symlink(fd_link).string() +
                                " for " + site.to);
            } else {
                calls.push_back("rename " + std::string(site.from) + " " + site.to);
            }
            return 0;
        });
        ASSERT_TRUE(out.commit()) << out.error();
    }
    const std::vector<std::string> expected{
        "sync " + std::filesystem::weakly_canonical(temp).string(),
        "rename " + temp + " " + final_name,
        "sync directory " + std::filesystem::weakly_canonical(dir.path()).string() + " for " + final_name};
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(read_file(final_name), fresh);
}

TEST_F(OutputFilesTest, FailedCommitKeepsTheEarlierFileAndNoTemporary) {
    const struct {
        FileCall call;
        int error;
    } cases[] = {{FileCall::kSync, EIO}, {FileCall::kRename, EXDEV}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.call));
        write_file(final_name, earlier);
        OutputFile out = written_output(final_name, fresh);
        {
            const ScopedFileCallHook hook(fail_calls(c.call, c.error));
            EXPECT_FALSE(out.commit());
        }
        EXPECT_NE(out.error().find(std::strerror(c.error)), std::string::npos) << out.error();
        EXPECT_EQ(read_file(final_name), earlier);
        EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"out"});
    }
}

TEST_F(OutputFilesTest, CommitTogetherTakesTheFirstBackWhenTheSecondCannotFollow) {
    const std::string second_name = dir.file("out.second");
    const Bytes second_earlier = counting_bytes(40, 3);
    const struct {
        const char* what;
        bool first_existed;
        FileCall failing;
        std::string failing_name;  // none when empty
        CommitResult committed;
        std::optional<Bytes> first_after;
        Bytes second_after;
    } cases[] = {
        {"both committed", true, FileCall::kRename, "", CommitResult::kInPlace, fresh, fresh},
        {"second fails, first put back", true, FileCall::kRename, second_name, CommitResult::kFailed, earlier, second_earlier},
        {"second fails, first removed", false, FileCall::kRename, second_name, CommitResult::kFailed, std::nullopt, second_earlier},
        {"first fails, second not committed", true, FileCall::kRename, final_name, CommitResult::kFailed, earlier, second_earlier},
        // A directory that cannot be synced does not split the pair.
        {"first not durable, second follows", true, FileCall::kSyncDirectory, final_name, CommitResult::kNotDurable, fresh, fresh},
        {"second not durable, first stays", true, FileCall::kSyncDirectory, second_name, CommitResult::kNotDurable, fresh, fresh},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(final_name);
        if (c.first_existed) write_file(final_name, earlier);
        write_file(second_name, second_earlier);
        OutputFile first = written_output(final_name, fresh);
        OutputFile second = written_output(second_name, fresh);
        std::string error;
        {
            std::optional<ScopedFileCallHook> hook;
            if (!c.failing_name.empty()) hook.emplace(fail_calls(c.failing, EIO, c.failing_name));
            EXPECT_EQ(commit_together(first, second, error), c.committed);
        }
        EXPECT_EQ(error.empty(), c.committed == CommitResult::kInPlace) << error;
        if (c.first_after) {
            EXPECT_EQ(read_file(final_name), *c.first_after);
        } else {
            EXPECT_FALSE(file_exists(final_name));
        }
        EXPECT_EQ(read_file(second_name), c.second_after);
        // Neither temporary file nor the kept earlier file is left.
        std::set<std::string> names{"out.second"};
        if (c.first_after) names.insert("out");
        EXPECT_EQ(files_in(dir.path()), names);
    }
}

}  // namespace
