// Signing where the key lives: a signer program, or signature requests
// carried out of the run and signatures carried back in.
//
// A command that is given --signer-key PUB instead of a private key signs
// through an ExternalSigner in one of three modes:
//
//   --signer 'PROGRAM [ARGS]'   runs PROGRAM once per signature, without a
//                               shell, with the tool's environment and the
//                               arguments ARGS... FORM KEY_DIGEST BITS; it
//                               gets the request on standard input and
//                               writes exactly k bytes (the modulus length)
//                               on standard output, then exits 0, within
//                               --signer-timeout seconds (60).
//   --export-requests DIR       runs the command up to its signatures and
//                               writes request-N.bin (N from 1) and
//                               requests.json to DIR instead of any output.
//   --import-signatures DIR     runs the command again with the seed and
//                               clock DIR's requests.json records, taking
//                               signature-N.bin for request N.
//
// Forms, per signature slot:
//   sha256-digest  stdin: the 32-byte SHA-256 digest; the answer is the
//                  PKCS#1 v1.5 signature over it (a "sign digest" call).
//   pkcs1-block    stdin: the k-byte PKCS#1 v1.5 block (00 01 FF.. 00,
//                  the SHA-256 DigestInfo, the digest); the answer is the
//                  raw RSA private operation on it.
//   raw-block      stdin: the k-byte block of an upgrade trailer; the
//                  answer is the raw RSA private operation on it.
// Block signatures take sha256-digest unless --signer-form pkcs1-block is
// given; upgrade trailers always take raw-block.
//
// Every answer, from a program or a file, is checked with the public key
// before it is used. One that does not verify fails the run (its outputs
// are then never put in place) with what the common mistakes, checked with
// public-key operations only, say about it: the digest hashed again,
// PKCS#1 padding where a raw block was wanted or the other way round,
// padding without the DigestInfo, another key the run knows, a
// byte-reversed result.
//
// A request that covers signatures made before it in the same run (the
// trailer of a kernel image covers its stages' signatures) cannot be asked
// for until those are known: an export then ends before it, says so, and a
// second export into the same DIR, once their signature files are there,
// asks for it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <mbedtls/rsa.h>

#include "bytes.h"
#include "signing_key.h"

enum class SignatureForm { kSha256Digest, kPkcs1Block, kRawBlock };

const char* signature_form_name(SignatureForm form);
std::optional<SignatureForm> signature_form_named(std::string_view name);

// The signer options of a command line (null when not given).
struct SignerOptions {
    const char* signer = nullptr;             // --signer 'PROGRAM [ARGS]'
    const char* signer_key = nullptr;         // --signer-key PUB
    const char* signer_form = nullptr;        // --signer-form sha256-digest|pkcs1-block
    const char* signer_timeout = nullptr;     // --signer-timeout SECONDS
    const char* export_requests = nullptr;    // --export-requests DIR
    const char* import_signatures = nullptr;  // --import-signatures DIR

    bool any() const {
        return signer != nullptr || signer_key != nullptr || signer_form != nullptr ||
               signer_timeout != nullptr || export_requests != nullptr || import_signatures != nullptr;
    }
};

// The k-byte PKCS#1 v1.5 block (EMSA-PKCS1-v1_5 with the SHA-256
// DigestInfo) of `digest`; empty when k is too small to hold it.
std::vector<std::uint8_t> pkcs1_sha256_block(std::span<const std::uint8_t, 32> digest, std::size_t k);

// A key besides the signing key that the run knows the public half of,
// and what it is ("root key 2 of the keymax"), for the diagnosis.
struct KnownKey {
    RsaKey key;
    std::string role;
};

// Checks `signature`, the answer to `request` in `form`, against `key`.
// Empty when it is the right answer; else one sentence saying what is wrong
// with it, naming the mistake that fits.
std::string diagnose_signature(const mbedtls_rsa_context& key, SignatureForm form, ConstBytes request,
                               ConstBytes signature,
                               const std::vector<std::unique_ptr<KnownKey>>& known = {});

// Splits 'PROGRAM [ARGS]' into words: blanks separate, single quotes keep
// everything, double quotes and a backslash keep blanks and quotes. No
// expansion of any kind. nullopt (and `reason`) on an open quote or an
// empty command.
std::optional<std::vector<std::string>> split_signer_command(std::string_view text, std::string& reason);

// Runs the signer program `argv` (its own arguments first) with `form`,
// the key digest and the modulus size appended, writes `request` to its
// standard input and reads its standard output. True with exactly
// `answer_size` bytes in `answer`; false with `reason` when it could not
// be started, exited with another status or a signal, wrote another number
// of bytes, or ran past `timeout_ms` milliseconds (it and its process
// group are then killed).
bool run_signer_program(const std::vector<std::string>& argv, SignatureForm form,
                        const std::string& key_digest_hex, std::size_t modulus_bits, ConstBytes request,
                        std::size_t answer_size, unsigned timeout_ms, std::vector<std::uint8_t>& answer,
                        std::string& reason);

class ExternalSigner {
public:
    enum class Mode { kProgram, kExport, kImport };

    // Reads the options. `command_line` is the command's words (the command
    // word first); `inputs` the files the run reads. An import, and an
    // export into a DIR that holds an earlier export, check that the
    // command line (less the exchange option) and the inputs are those
    // requests.json records, then seed the random source and pin the clock
    // as it records; a first export records the seed and the clock in use
    // and withholds the run's outputs. Null with `reason` when refused.
    static std::unique_ptr<ExternalSigner> open(const SignerOptions& options,
                                                std::vector<std::string> command_line,
                                                std::vector<std::string> inputs, std::string& reason);
    ~ExternalSigner();
    ExternalSigner(const ExternalSigner&) = delete;
    ExternalSigner& operator=(const ExternalSigner&) = delete;

    Mode mode() const { return mode_; }
    const char* signer_key_path() const { return signer_key_.c_str(); }
    // The form of block signatures (sha256-digest or pkcs1-block).
    SignatureForm block_form() const { return block_form_; }

    // Adds a key the diagnosis may recognise a signature by.
    void add_known_key(const mbedtls_rsa_context& key, std::string role);

    // The signature of `request` (in `form`) for `slot`, into `signature`
    // (the key's length). 0, or -1 with `failure`.
    int sign(const mbedtls_rsa_context& key, SignatureForm form, const std::string& slot,
             bool covers_earlier, ConstBytes request, MutBytes signature, std::string& failure);

    // Ends a run whose command succeeded: an export writes its requests to
    // DIR. `summary` gets the line to print on standard error. False with
    // `reason` when the requests cannot be written, or an import did not
    // use every signature.
    bool finish(std::string& summary, std::string& reason);

private:
    struct Request;
    struct Recorded;
    ExternalSigner() = default;
    bool read_earlier(const std::string& dir, std::string& reason);
    int answer_from_file(const mbedtls_rsa_context& key, const Request& request, MutBytes signature,
                         std::string& failure);

    Mode mode_ = Mode::kProgram;
    std::vector<std::string> program_;
    unsigned timeout_ = 60 * 1000;  // milliseconds
    SignatureForm block_form_ = SignatureForm::kSha256Digest;
    std::string signer_key_;
    std::string dir_;
    std::vector<std::string> command_line_;
    std::vector<std::string> inputs_;
    std::vector<std::string> input_digests_;
    unsigned seed_ = 0;
    long long clock_ = 0;
    bool clock_utc_ = false;
    long utc_offset_ = 0;
    std::vector<std::unique_ptr<KnownKey>> known_;
    std::vector<std::unique_ptr<Recorded>> earlier_;   // requests.json read at open
    std::vector<std::unique_ptr<Recorded>> made_;      // requests of this run
    std::vector<std::unique_ptr<Recorded>> pending_;   // not asked for yet
    bool placeholders_ = false;
};

// A signing key whose private half is reached through `signer`, with the
// public half `public_key` (the file or URI --signer-key names; a key
// file's own records are kept for key blocks). Null with `reason`.
std::unique_ptr<SigningKey> open_external_key(ExternalSigner& signer, const SigningKeySource& source,
                                              std::string& reason);
std::unique_ptr<SigningKey> open_external_key(ExternalSigner& signer, const zud_key_file_image& image,
                                              const SigningKeySource& source, std::string& reason);
