// Signer programs, signature requests and the checks of what comes back.
#include "external_signer.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "clock.h"
#include "crypto.h"
#include "files.h"
#include "key_block.h"
#include "rng.h"

extern char** environ;

namespace {

constexpr std::uint8_t kSha256DigestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                              0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                              0x01, 0x05, 0x00, 0x04, 0x20};
constexpr char kRequestsName[] = "requests.json";
constexpr char kRequestsFormat[] = "zud signature requests";
constexpr int kRequestsVersion = 1;

using Bytes = std::vector<std::uint8_t>;

std::string key_digest_hex(const mbedtls_rsa_context& key) {
    const auto digest = public_key_digest(key);
    return digest ? hex_text(*digest) : std::string("(no key digest for this size)");
}

// The public operation over `in` (the key's length): nullopt when `in` is
// not below N. The context is only read, but mbed TLS caches a Montgomery
// value in it, hence the cast; keys are used on one thread.
std::optional<Bytes> public_op(const mbedtls_rsa_context& key, ConstBytes in) {
    if (in.size() != key.len) return std::nullopt;
    Bytes out(key.len);
    if (mbedtls_rsa_public(const_cast<mbedtls_rsa_context*>(&key), in.data(), out.data()) != 0) {
        return std::nullopt;
    }
    return out;
}

bool equal(const std::optional<Bytes>& a, ConstBytes b) {
    return a && a->size() == b.size() && std::equal(a->begin(), a->end(), b.begin());
}

// 00 01 FF.. 00 followed by `tail`, k bytes in all; empty when it does not fit.
Bytes type1_block(ConstBytes tail, std::size_t k) {
    if (k < tail.size() + 11) return {};
    Bytes em(k, 0xFF);
    em[0] = 0x00;
    em[1] = 0x01;
    em[k - tail.size() - 1] = 0x00;
    std::copy(tail.begin(), tail.end(), em.end() - static_cast<std::ptrdiff_t>(tail.size()));
    return em;
}

bool has_type1_padding(const Bytes& m) {
    return m.size() > 11 && m[0] == 0x00 && m[1] == 0x01 && m[2] == 0xFF && m[3] == 0xFF;
}

struct Mistake {
    Bytes em;
    std::string says;
};

// What the usual mistakes of a signer give under the right key, for one
// request. A form's right answer is not among them.
std::vector<Mistake> mistakes_for(SignatureForm form, ConstBytes request, std::size_t k) {
    std::vector<Mistake> out;
    const Digest hashed = sha256(request);
    switch (form) {
        case SignatureForm::kSha256Digest: {
            out.push_back({pkcs1_sha256_block(hashed, k),
                           "the signer hashed the digest again: it signed the SHA-256 of the 32 bytes "
                           "it was given instead of signing them as a SHA-256 digest (openssl pkeyutl "
                           "-sign -pkeyopt digest:sha256, not openssl dgst -sign)"});
            out.push_back({type1_block(request, k),
                           "PKCS#1 v1.5 padding without the SHA-256 DigestInfo: the signer was not told "
                           "that its input is a SHA-256 digest (openssl pkeyutl -pkeyopt digest:sha256)"});
            Bytes raw(k, 0);
            if (k >= request.size()) std::copy(request.begin(), request.end(), raw.end() - static_cast<std::ptrdiff_t>(request.size()));
            out.push_back({std::move(raw),
                           "a raw RSA operation on the digest where a PKCS#1 v1.5 signature was wanted: "
                           "sign the digest with PKCS#1 v1.5 padding and the SHA-256 DigestInfo"});
            break;
        }
        case SignatureForm::kPkcs1Block: {
            out.push_back({pkcs1_sha256_block(hashed, k),
                           "PKCS#1 padding where a raw block was wanted: the signer hashed and padded "
                           "the block it was given, which is padded already; return the raw RSA "
                           "operation on it (openssl pkeyutl -sign -pkeyopt rsa_padding_mode:none)"});
            if (request.size() >= 32) {
                const Digest twice = sha256(request.last(32));
                out.push_back({pkcs1_sha256_block(twice, k),
                               "the signer hashed the digest again: it signed the SHA-256 of the digest "
                               "at the end of the block instead of the block"});
            }
            break;
        }
        case SignatureForm::kRawBlock:
            out.push_back({pkcs1_sha256_block(hashed, k),
                           "PKCS#1 padding where a raw block was wanted: the signer hashed and padded the "
                           "upgrade trailer's block; it needs the raw RSA private operation on the block "
                           "as given (openssl pkeyutl -sign -pkeyopt rsa_padding_mode:none)"});
            break;
    }
    return out;
}

}  // namespace

const char* signature_form_name(SignatureForm form) {
    switch (form) {
        case SignatureForm::kSha256Digest: return "sha256-digest";
        case SignatureForm::kPkcs1Block: return "pkcs1-block";
        case SignatureForm::kRawBlock: return "raw-block";
    }
    return "?";
}

std::optional<SignatureForm> signature_form_named(std::string_view name) {
    for (const SignatureForm f : {SignatureForm::kSha256Digest, SignatureForm::kPkcs1Block, SignatureForm::kRawBlock}) {
        if (name == signature_form_name(f)) return f;
    }
    return std::nullopt;
}

std::vector<std::uint8_t> pkcs1_sha256_block(std::span<const std::uint8_t, 32> digest, std::size_t k) {
    Bytes tail(std::begin(kSha256DigestInfo), std::end(kSha256DigestInfo));
    tail.insert(tail.end(), digest.begin(), digest.end());
    return type1_block(tail, k);
}

std::string diagnose_signature(const mbedtls_rsa_context& key, SignatureForm form, ConstBytes request,
                               ConstBytes signature, const std::vector<std::unique_ptr<KnownKey>>& known) {
    const std::size_t k = key.len;
    if (signature.size() != k) {
        return "it is " + std::to_string(signature.size()) + " bytes long where the key's modulus takes " +
               std::to_string(k);
    }
    Bytes expected;
    if (form == SignatureForm::kSha256Digest) {
        if (request.size() != 32) return "the request is not a 32-byte digest";
        expected = pkcs1_sha256_block(request.first<32>(), k);
    } else {
        expected.assign(request.begin(), request.end());
    }
    const auto m = public_op(key, signature);
    if (equal(m, expected)) return {};
    if (m) {
        for (const Mistake& mistake : mistakes_for(form, request, k)) {
            if (!mistake.em.empty() && equal(m, mistake.em)) return mistake.says;
        }
        if (form == SignatureForm::kRawBlock && has_type1_padding(*m)) {
            return "PKCS#1 padding where a raw block was wanted: the signer padded what it signed; the "
                   "upgrade trailer needs the raw RSA private operation on the block as given";
        }
    }
    Bytes reversed(signature.rbegin(), signature.rend());
    if (equal(public_op(key, reversed), expected)) {
        return "the result is byte-reversed (least significant byte first); write it most significant "
               "byte first";
    }
    for (const auto& other : known) {
        if (other->key.ctx.len != k || mbedtls_mpi_cmp_mpi(&other->key.ctx.N, &key.N) == 0) continue;
        if (equal(public_op(other->key.ctx, signature), expected)) {
            return "it is made by another key, " + other->role + " (key digest " +
                   key_digest_hex(other->key.ctx) + "), not by the --signer-key key (key digest " +
                   key_digest_hex(key) + ")";
        }
    }
    if (!m) {
        return "it is not below the modulus of the --signer-key key (key digest " + key_digest_hex(key) +
               "), so no signature by that key; the signer may use another key";
    }
    return "it does not verify under the --signer-key key (key digest " + key_digest_hex(key) +
           ") and fits none of the common mistakes (the digest hashed twice, PKCS#1 padding where a "
           "raw block was wanted or the other way round, a byte-reversed result, another key of "
           "the run): the signer may use a key this run does not know, or sign other bytes";
}

// ---------------------------------------------------------------------------
// Running a signer program

std::optional<std::vector<std::string>> split_signer_command(std::string_view text, std::string& reason) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else word += c;
        } else if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
                word += text[++i];
            } else {
                word += c;
            }
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == '\\' && i + 1 < text.size()) {
            word += text[++i];
            in_word = true;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote != 0) {
        reason = "the --signer command has an unclosed " + std::string(1, quote) + " quote";
        return std::nullopt;
    }
    if (in_word) words.push_back(std::move(word));
    if (words.empty()) {
        reason = "--signer names no program; give --signer 'PROGRAM [ARGS]'";
        return std::nullopt;
    }
    return words;
}

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// SIGPIPE ignored while a request is written to a program that may already
// have gone.
class PipeSignalIgnored {
public:
    PipeSignalIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        saved_ok_ = ::sigaction(SIGPIPE, &ignore, &saved_) == 0;
    }
    ~PipeSignalIgnored() {
        if (saved_ok_) ::sigaction(SIGPIPE, &saved_, nullptr);
    }

private:
    struct sigaction saved_ {};
    bool saved_ok_ = false;
};

// Waits for `pid` until `deadline`; true with its status when it ended.
bool wait_until(pid_t pid, Clock::time_point deadline, int& status) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) break;
        const int left = ms_left(deadline);
        if (left == 0) {
            if (pidfd >= 0) ::close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, left);
        } else {
            ::poll(nullptr, 0, std::min(left, 10));
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    return true;
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("was killed by signal ") + strsignal(WTERMSIG(status));
    return "ended abnormally";
}

}  // namespace

bool run_signer_program(const std::vector<std::string>& argv, SignatureForm form,
                        const std::string& key_digest_hex, std::size_t modulus_bits, ConstBytes request,
                        std::size_t answer_size, unsigned timeout_ms, std::vector<std::uint8_t>& answer,
                        std::string& reason) {
    answer.clear();
    std::vector<std::string> words = argv;
    words.emplace_back(signature_form_name(form));
    words.push_back(key_digest_hex);
    words.push_back(std::to_string(modulus_bits));
    std::vector<char*> args;
    for (std::string& w : words) args.push_back(w.data());
    args.push_back(nullptr);
    const std::string& program = argv.front();

    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        reason = std::string("cannot make a pipe for the signer program: ") + std::strerror(errno);
        return false;
    }
    Fd in_read(in[0]), in_write(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) {
        reason = std::string("cannot make a pipe for the signer program: ") + std::strerror(errno);
        return false;
    }
    Fd out_read(out[0]), out_write(out[1]);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);  // its own group, so that a timeout ends all it started
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        reason = "cannot run the signer program " + program + ": " + std::strerror(spawned);
        return false;
    }
    in_read.reset();
    out_write.reset();
    ::fcntl(in_write.get(), F_SETFL, O_NONBLOCK);

    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const PipeSignalIgnored ignored;
    std::size_t written = 0;
    std::size_t got = 0;
    bool eof = false;
    bool timed_out = false;
    std::array<std::uint8_t, 4096> piece{};
    while (!eof) {
        pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {in_write.get(), POLLOUT, 0}};
        const nfds_t count = in_write.get() >= 0 ? 2 : 1;
        const int left = ms_left(deadline);
        if (left == 0) {
            timed_out = true;
            break;
        }
        const int ready = ::poll(fds, count, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (count == 2 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = ::write(in_write.get(), request.data() + written, request.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            // A program that does not read all of its input is judged by its
            // answer; its input is closed either way once written or refused.
            if (written == request.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) in_write.reset();
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::read(out_read.get(), piece.data(), piece.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                eof = true;
            } else {
                got += static_cast<std::size_t>(n);
                // More than the answer is kept only up to one byte past it.
                const std::size_t keep = std::min<std::size_t>(static_cast<std::size_t>(n),
                                                               answer_size + 1 - std::min(answer.size(), answer_size + 1));
                answer.insert(answer.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(keep));
            }
        }
    }
    in_write.reset();
    int status = 0;
    if (timed_out || !wait_until(pid, deadline, status)) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", timeout_ms / 1000.0);
        reason = "the signer program " + program + " did not finish within " + seconds +
                 " s (--signer-timeout) and was stopped";
        answer.clear();
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        reason = "the signer program " + program + " " + describe_status(status) + " for a " +
                 signature_form_name(form) + " request (its own messages are above)";
        answer.clear();
        return false;
    }
    if (got != answer_size) {
        reason = "the signer program " + program + " wrote " + std::to_string(got) +
                 " bytes on standard output where exactly " + std::to_string(answer_size) +
                 " (the modulus length) were wanted";
        answer.clear();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The signer and its requests

struct ExternalSigner::Recorded {
    std::size_t index = 0;
    std::string slot;
    SignatureForm form = SignatureForm::kSha256Digest;
    std::string key_digest;
    std::size_t size = 0;
    std::string sha256;
    Bytes bytes;
    bool pending = false;
};

struct ExternalSigner::Request {
    std::size_t index;
    const Recorded& record;
};

namespace {

std::string file_in(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::string numbered(const char* stem, std::size_t index) {
    return std::string(stem) + "-" + std::to_string(index) + ".bin";
}

// The SHA-256 of a file, read in pieces; nullopt when it cannot be read.
std::optional<std::string> file_digest(const std::string& path) {
    std::string error;
    File f = open_input(path.c_str(), error);
    if (!f) return std::nullopt;
    Sha256 sha;
    std::array<std::uint8_t, 64 * 1024> piece{};
    for (;;) {
        const std::size_t n = read_some(f.get(), piece);
        if (n == 0) break;
        sha.update(ConstBytes(piece).first(n));
    }
    if (std::ferror(f.get())) return std::nullopt;
    return hex_text(sha.finish());
}

// The command's words without --export-requests/--import-signatures (and
// their values), in whatever spelling the command line took.
std::vector<std::string> without_exchange_options(const std::vector<std::string>& words) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const std::size_t eq = w.find('=');
        const std::string name = w.substr(0, eq);
        const auto abbreviates = [&](std::string_view full) {
            return name.size() > 2 && name.rfind("--", 0) == 0 && full.substr(0, name.size()) == name;
        };
        if (i > 0 && (abbreviates("--export-requests") || abbreviates("--import-signatures"))) {
            if (eq == std::string::npos) ++i;
            continue;
        }
        out.push_back(w);
    }
    return out;
}

long utc_offset_at(std::time_t t) {
    std::tm fields{};
    localtime_r(&t, &fields);
    return fields.tm_gmtoff;
}

bool read_file_bytes(const std::string& path, std::size_t limit, Bytes& out) {
    std::string error;
    File f = open_input(path.c_str(), error);
    if (!f) return false;
    out.assign(limit + 1, 0);
    const std::size_t n = read_some(f.get(), out);
    out.resize(n);
    return !std::ferror(f.get());
}

bool write_file(const std::string& path, ConstBytes bytes, std::string& reason) {
    OutputFile out(path, Exposure::kPublic);
    if (!out.ok()) {
        reason = out.error();
        return false;
    }
    if (!write_all(out.stream(), bytes) || !out.commit()) {
        reason = "cannot write " + path + (out.error().empty() ? "" : ": " + out.error());
        return false;
    }
    return true;
}

}  // namespace

// The pinned clock and withheld outputs belong to the run the signer
// served.
ExternalSigner::~ExternalSigner() {
    if (mode_ == Mode::kProgram) return;
    withhold_outputs(false);
    zud_unpin_clock();
}

std::unique_ptr<ExternalSigner> ExternalSigner::open(const SignerOptions& o, std::vector<std::string> command_line,
                                                     std::vector<std::string> inputs, std::string& reason) {
    std::unique_ptr<ExternalSigner> s(new ExternalSigner());
    const int modes = (o.signer != nullptr) + (o.export_requests != nullptr) + (o.import_signatures != nullptr);
    if (o.signer_key == nullptr) {
        reason = "--signer, --export-requests and --import-signatures need --signer-key PUB, the public "
                 "key of the key that signs";
        return nullptr;
    }
    if (modes != 1) {
        reason = modes == 0 ? "--signer-key names the key another party signs with; give --signer "
                              "'PROGRAM [ARGS]', --export-requests DIR or --import-signatures DIR with it"
                            : "give one of --signer, --export-requests and --import-signatures";
        return nullptr;
    }
    s->signer_key_ = o.signer_key;
    if (o.signer_form != nullptr) {
        const auto form = signature_form_named(o.signer_form);
        if (!form || *form == SignatureForm::kRawBlock) {
            reason = std::string("--signer-form takes sha256-digest or pkcs1-block (the form of block "
                                 "signatures; upgrade trailers are always raw-block), not \"") +
                     o.signer_form + "\"";
            return nullptr;
        }
        s->block_form_ = *form;
    }
    if (o.signer_timeout != nullptr) {
        char* end = nullptr;
        errno = 0;
        const double seconds = std::strtod(o.signer_timeout, &end);
        if (errno != 0 || end == o.signer_timeout || *end != '\0' || !(seconds > 0) || seconds > 86400) {
            reason = std::string("--signer-timeout takes a number of seconds above 0 and at most 86400, "
                                 "not \"") + o.signer_timeout + "\"";
            return nullptr;
        }
        s->timeout_ = static_cast<unsigned>(std::ceil(seconds * 1000));
    } else {
        s->timeout_ = 60 * 1000;
    }
    if (o.signer != nullptr) {
        auto words = split_signer_command(o.signer, reason);
        if (!words) return nullptr;
        s->program_ = std::move(*words);
        s->mode_ = Mode::kProgram;
        return s;
    }
    s->mode_ = o.export_requests != nullptr ? Mode::kExport : Mode::kImport;
    s->dir_ = o.export_requests != nullptr ? o.export_requests : o.import_signatures;
    s->command_line_ = without_exchange_options(command_line);
    s->inputs_ = std::move(inputs);
    for (const std::string& path : s->inputs_) {
        auto digest = file_digest(path);
        if (!digest) {
            reason = "cannot read " + path + " to take its digest: " + std::strerror(errno);
            return nullptr;
        }
        s->input_digests_.push_back(std::move(*digest));
    }
    struct stat st {};
    const bool dir_exists = ::stat(s->dir_.c_str(), &st) == 0;
    if (dir_exists && !S_ISDIR(st.st_mode)) {
        reason = s->dir_ + " is not a directory; name a directory for the requests and signatures";
        return nullptr;
    }
    const bool earlier = dir_exists && path_exists(file_in(s->dir_, kRequestsName).c_str());
    if (s->mode_ == Mode::kImport && !earlier) {
        reason = "--import-signatures " + s->dir_ + ": no " + kRequestsName +
                 " there; give the directory an --export-requests run filled";
        return nullptr;
    }
    if (earlier) {
        if (!s->read_earlier(s->dir_, reason)) return nullptr;
    } else {
        if (!dir_exists && ::mkdir(s->dir_.c_str(), 0777) != 0) {
            reason = "cannot make the directory " + s->dir_ + ": " + std::strerror(errno);
            return nullptr;
        }
        s->seed_ = random_seed();
        s->clock_ = static_cast<long long>(zud_now());
        s->clock_utc_ = zud_clock_is_utc();
        s->utc_offset_ = s->clock_utc_ ? 0 : utc_offset_at(static_cast<std::time_t>(s->clock_));
    }
    seed_random(s->seed_);
    zud_pin_clock(static_cast<std::time_t>(s->clock_), s->clock_utc_);
    if (s->mode_ == Mode::kExport) withhold_outputs(true);
    return s;
}

bool ExternalSigner::read_earlier(const std::string& dir, std::string& reason) {
    const std::string path = file_in(dir, kRequestsName);
    nlohmann::json j;
    try {
        std::ifstream in(path);
        j = nlohmann::json::parse(in);
        if (j.at("format") != kRequestsFormat || j.at("version") != kRequestsVersion) throw std::runtime_error("format");
        const auto words = j.at("command_line").get<std::vector<std::string>>();
        if (words != command_line_) {
            std::string was;
            for (const auto& w : words) was += (was.empty() ? "" : " ") + w;
            reason = path + " was made for another command line (" + was +
                     "); give the same command, with the same inputs, as the export";
            return false;
        }
        const auto& inputs = j.at("inputs");
        if (inputs.size() != inputs_.size()) throw std::runtime_error("inputs");
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            if (inputs[i].at("path") != inputs_[i]) throw std::runtime_error("inputs");
            if (inputs[i].at("sha256") != input_digests_[i]) {
                reason = inputs_[i] + " changed since the requests in " + dir +
                         " were made (SHA-256 " + input_digests_[i] + ", was " +
                         inputs[i].at("sha256").get<std::string>() +
                         "); the signatures would not fit: export the requests again";
                return false;
            }
        }
        seed_ = j.at("seed").get<unsigned>();
        clock_ = j.at("clock").get<long long>();
        clock_utc_ = j.at("clock_utc").get<bool>();
        utc_offset_ = j.at("utc_offset").get<long>();
        for (const auto& r : j.at("requests")) {
            auto rec = std::make_unique<Recorded>();
            rec->index = r.at("index").get<std::size_t>();
            rec->slot = r.at("slot").get<std::string>();
            const auto form = signature_form_named(r.at("form").get<std::string>());
            if (!form || rec->index != earlier_.size() + 1) throw std::runtime_error("requests");
            rec->form = *form;
            rec->key_digest = r.at("key_digest").get<std::string>();
            rec->size = r.at("size").get<std::size_t>();
            rec->sha256 = r.at("sha256").get<std::string>();
            rec->pending = r.value("pending", false);
            earlier_.push_back(std::move(rec));
        }
    } catch (const std::exception&) {
        if (reason.empty()) {
            reason = path + " is not a requests file of this tool for this command (or is damaged); "
                            "export the requests again";
        }
        return false;
    }
    if (!clock_utc_ && utc_offset_at(static_cast<std::time_t>(clock_)) != utc_offset_) {
        reason = "the requests in " + dir + " were made with the local time of another time zone (UTC "
                 "offset " + std::to_string(utc_offset_) + " s); run with the TZ of that machine, or "
                 "make both runs with SOURCE_DATE_EPOCH";
        return false;
    }
    if (const auto epoch = zud_source_date_epoch(); epoch && (*epoch != clock_ || !clock_utc_)) {
        reason = "SOURCE_DATE_EPOCH is " + std::to_string(*epoch) + " but the requests in " + dir +
                 " were made with the clock at " + std::to_string(clock_) +
                 (clock_utc_ ? "" : " (local time)") + "; unset it or give that value";
        return false;
    }
    if (mode_ != Mode::kImport) return true;
    // Every request has its signature, and no signature answers nothing.
    for (const auto& rec : earlier_) {
        if (rec->pending) {
            reason = "request " + std::to_string(rec->index) + " (" + rec->slot + ") in " + path +
                     " is not exported yet: it covers the signatures before it; put their signature "
                     "files in " + dir + " and run --export-requests " + dir + " again";
            return false;
        }
        if (!path_exists(file_in(dir, numbered("signature", rec->index)).c_str())) {
            reason = file_in(dir, numbered("signature", rec->index)) + " is missing: request " +
                     std::to_string(rec->index) + " (" + rec->slot + ") has no signature";
            return false;
        }
    }
    if (DIR* d = ::opendir(dir.c_str())) {
        std::string extra;
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind("signature-", 0) != 0 || name.size() < 15 || name.substr(name.size() - 4) != ".bin") continue;
            const std::string number = name.substr(10, name.size() - 14);
            const bool digits = !number.empty() && number.size() < 9 &&
                                std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
            const std::size_t index = digits ? std::stoul(number) : 0;
            if (index == 0 || index > earlier_.size() || name != numbered("signature", index)) extra = name;
        }
        ::closedir(d);
        if (!extra.empty()) {
            reason = file_in(dir, extra) + " answers no request: " + path + " lists " +
                     std::to_string(earlier_.size()) + "; remove it or export again";
            return false;
        }
    }
    return true;
}

void ExternalSigner::add_known_key(const mbedtls_rsa_context& key, std::string role) {
    auto known = std::make_unique<KnownKey>();
    if (!copy_public_half(key, known->key.ctx)) return;
    known->role = std::move(role);
    known_.push_back(std::move(known));
}

int ExternalSigner::answer_from_file(const mbedtls_rsa_context& key, const Request& request, MutBytes signature,
                                     std::string& failure) {
    const std::string path = file_in(dir_, numbered("signature", request.index));
    Bytes answer;
    if (!read_file_bytes(path, key.len, answer)) {
        failure = "cannot read " + path + ": " + std::strerror(errno);
        return -1;
    }
    const std::string diagnosis =
        diagnose_signature(key, request.record.form, request.record.bytes, answer, known_);
    if (!diagnosis.empty()) {
        failure = path + " (request " + std::to_string(request.index) + ", " + request.record.slot +
                  ", " + signature_form_name(request.record.form) + ") does not verify: " + diagnosis;
        return -1;
    }
    std::copy(answer.begin(), answer.end(), signature.begin());
    return 0;
}

int ExternalSigner::sign(const mbedtls_rsa_context& key, SignatureForm form, const std::string& slot,
                         bool covers_earlier, ConstBytes request, MutBytes signature, std::string& failure) {
    auto rec = std::make_unique<Recorded>();
    rec->index = made_.size() + 1;
    rec->slot = slot;
    rec->form = form;
    rec->key_digest = key_digest_hex(key);
    rec->size = request.size();
    rec->sha256 = hex_text(sha256(request));
    rec->bytes.assign(request.begin(), request.end());
    const std::size_t index = rec->index;
    const std::size_t k = key.len;
    if (signature.size() < k) {
        failure = "the signature slot is shorter than the key's modulus";
        return -1;
    }
    const MutBytes out = signature.first(k);
    Recorded& r = *rec;
    made_.push_back(std::move(rec));
    if (mode_ == Mode::kProgram) {
        Bytes answer;
        std::string reason;
        if (!run_signer_program(program_, form, r.key_digest, mbedtls_mpi_bitlen(&key.N), request, k, timeout_,
                                answer, reason)) {
            failure = reason + " (" + slot + ")";
            return -1;
        }
        const std::string diagnosis = diagnose_signature(key, form, request, answer, known_);
        if (!diagnosis.empty()) {
            failure = "the signer program's answer for the " + slot + " (" + signature_form_name(form) +
                      ") does not verify: " + diagnosis;
            return -1;
        }
        std::copy(answer.begin(), answer.end(), out.begin());
        return 0;
    }
    const Recorded* before = index <= earlier_.size() ? earlier_[index - 1].get() : nullptr;
    const bool same = before != nullptr && before->slot == r.slot && before->form == r.form &&
                      before->sha256 == r.sha256 && before->size == r.size && before->key_digest == r.key_digest;
    if (mode_ == Mode::kImport) {
        if (before == nullptr) {
            failure = "the run asks for signature " + std::to_string(index) + " (" + slot + "), but " +
                      file_in(dir_, kRequestsName) + " lists " + std::to_string(earlier_.size()) +
                      "; export the requests again";
            return -1;
        }
        if (!same) {
            failure = "request " + std::to_string(index) + " (" + slot + ") is not the one in " +
                      file_in(dir_, numbered("request", index)) +
                      ": an input or the command line changed since the export; export again";
            return -1;
        }
        return answer_from_file(key, Request{index, r}, out, failure);
    }
    // Exporting: a signature already carried back answers its request, so
    // that the requests after it can be asked for.
    if (same && !before->pending && path_exists(file_in(dir_, numbered("signature", index)).c_str())) {
        return answer_from_file(key, Request{index, r}, out, failure);
    }
    if (before != nullptr && !same && !before->pending) {
        failure = "request " + std::to_string(index) + " (" + slot + ") is not the one in " +
                  file_in(dir_, numbered("request", index)) +
                  ": an input or the command line changed; export into an empty directory";
        return -1;
    }
    if (covers_earlier && placeholders_) r.pending = true;
    placeholders_ = true;
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    return 0;
}

bool ExternalSigner::finish(std::string& summary, std::string& reason) {
    summary.clear();
    if (mode_ == Mode::kProgram) return true;
    if (mode_ == Mode::kImport) {
        if (made_.size() != earlier_.size()) {
            reason = "the run made " + std::to_string(made_.size()) + " signatures but " +
                     file_in(dir_, kRequestsName) + " lists " + std::to_string(earlier_.size());
            return false;
        }
        summary = std::to_string(made_.size()) + " signature" + (made_.size() == 1 ? "" : "s") + " from " +
                  dir_ + " checked and used";
        return true;
    }
    withhold_outputs(false);
    nlohmann::ordered_json j;
    j["format"] = kRequestsFormat;
    j["version"] = kRequestsVersion;
    j["command_line"] = command_line_;
    j["inputs"] = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        j["inputs"].push_back({{"path", inputs_[i]}, {"sha256", input_digests_[i]}});
    }
    j["seed"] = seed_;
    j["clock"] = clock_;
    j["clock_utc"] = clock_utc_;
    j["utc_offset"] = utc_offset_;
    j["requests"] = nlohmann::ordered_json::array();
    std::size_t exported = 0;
    std::size_t pending = 0;
    for (const auto& r : made_) {
        nlohmann::ordered_json e{{"index", r->index},
                                 {"slot", r->slot},
                                 {"form", signature_form_name(r->form)},
                                 {"key_digest", r->key_digest},
                                 {"size", r->size},
                                 {"sha256", r->sha256}};
        if (r->pending) {
            e["pending"] = true;
            ++pending;
        } else {
            if (!write_file(file_in(dir_, numbered("request", r->index)), r->bytes, reason)) return false;
            ++exported;
        }
        j["requests"].push_back(std::move(e));
    }
    const std::string text = j.dump(2) + "\n";
    if (!write_file(file_in(dir_, kRequestsName),
                    ConstBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), reason)) {
        return false;
    }
    summary = std::to_string(exported) + " signature request" + (exported == 1 ? "" : "s") + " written to " +
              dir_ + " (no output was written); sign each request-N.bin in the form requests.json names "
              "and put signature-N.bin beside it, then ";
    summary += pending == 0 ? "run the same command with --import-signatures " + dir_
                            : "run the same command with --export-requests " + dir_ + " again for the " +
                                  std::to_string(pending) + " request" + (pending == 1 ? "" : "s") +
                                  " that cover those signatures";
    return true;
}

// ---------------------------------------------------------------------------
// The key

namespace {

class ExternalKey final : public SigningKey {
public:
    ExternalKey(ExternalSigner& signer, std::string name) : SigningKey(std::move(name)), signer_(signer) {}
    RsaKey& public_half() { return public_; }
    void keep_file(zud_key_file_image image) { file_ = std::move(image); }

private:
    int sign_digest_info(std::span<const std::uint8_t, 32> digest, std::uint8_t* sig) override {
        const SignatureForm form = signer_.block_form();
        Bytes request = form == SignatureForm::kSha256Digest ? Bytes(digest.begin(), digest.end())
                                                             : pkcs1_sha256_block(digest, length());
        if (request.empty()) {
            failure_ = "the key of " + name_ + " is too short for a PKCS#1 v1.5 block";
            return kSignBadInput;
        }
        return signer_.sign(public_.ctx, form, slot_, covers_earlier_, request, MutBytes(sig, length()),
                            failure_) == 0
                   ? kSignOk
                   : kSignFailed;
    }

    int raise_private(const std::uint8_t* in, std::uint8_t* out) override {
        const Bytes request(in, in + length());
        return signer_.sign(public_.ctx, SignatureForm::kRawBlock, slot_, covers_earlier_, request,
                            MutBytes(out, length()), failure_) == 0
                   ? kSignOk
                   : kSignFailed;
    }

    ExternalSigner& signer_;
};

SigningKeySource plain(const SigningKeySource& source) {
    SigningKeySource s = source;
    s.external = nullptr;
    return s;
}

}  // namespace

std::unique_ptr<SigningKey> open_external_key(ExternalSigner& signer, const SigningKeySource& source,
                                              std::string& reason) {
    auto key = std::make_unique<ExternalKey>(signer, signer.signer_key_path());
    zud_key_file_image file;
    if (!open_public_key(signer.signer_key_path(), plain(source), key->public_half(), reason, &file)) {
        reason = "--signer-key: " + reason;
        return nullptr;
    }
    if (!file.path.empty()) key->keep_file(std::move(file));
    return key;
}

std::unique_ptr<SigningKey> open_external_key(ExternalSigner& signer, const zud_key_file_image& image,
                                              const SigningKeySource& source, std::string& reason) {
    auto key = std::make_unique<ExternalKey>(signer, image.path);
    if (!open_public_key_image(image, plain(source), key->public_half(), reason)) {
        reason = "--signer-key: " + reason;
        return nullptr;
    }
    if (!is_pem_file(image)) {
        zud_key_file_image copy;
        copy.path = image.path;
        copy.size = image.size;
        copy.head = Buffer(image.head.size());
        std::copy_n(image.head.data(), image.head.size(), copy.head.data());
        key->keep_file(std::move(copy));
    }
    return key;
}
