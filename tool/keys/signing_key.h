// Signing keys: one owner for an RSA key that can sign, wherever its private
// half lives. Part of the keys module; no zud_ routine takes or returns it.
//
// A command opens its signing key from the command-line value and the two
// option values that say how to reach it:
//
//   SigningKeySource source{.pkcs11_module = slots[kModule],
//                           .passphrase_file = slots[kPassphraseFile]};
//   std::string reason;
//   auto key = open_signing_key(slots[kKey], source, reason);
//   if (!key) {
//       std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
//       return kSomethingKeyResult;
//   }
//   zud_create_key_from_ctx(0, key->public_key(), out, header, offset);  // N, E, len
//   const std::size_t len = key->length();                               // 128, 256, 512
//   if (key->sign_sha256(digest, MutBytes(slot, len)) != 0)              // PKCS#1 v1.5
//       report(key->failure());
//   if (key->private_raw(ConstBytes(block, len), MutBytes(block, len)) != 0)  // upgrade
//       report(key->failure());                                          // trailer, in place
//
// The value names one of three kinds of key, told apart without guessing:
//   "pkcs11:..."             an object on a PKCS#11 token (RFC 7512 URI):
//                            pkcs11:token=LABEL;object=LABEL[;id=%01][;type=private]
//                            [?pin-source=FILE][&module-path=MODULE.so], values
//                            percent-encoded. A file whose name starts with
//                            "pkcs11:" is reached as "./pkcs11:...".
//   a file starting with     a PEM private key: "RSA PRIVATE KEY" (PKCS#1, also
//   "-----BEGIN"             with Proc-Type/DEK-Info encryption), "PRIVATE KEY"
//                            (PKCS#8) or "ENCRYPTED PRIVATE KEY" (PKCS#8 with
//                            PBES2, as `openssl genpkey -aes-256-cbc` writes it).
//   any other file           a key file in one of its three forms, loaded with
//                            zud_tq_load_rsa_key_file exactly as the commands
//                            always have (a text key file never starts with
//                            "-----BEGIN", and a binary one does so only if the
//                            ten low bytes of N spell it).
//
// Every kind signs byte for byte as the key file of the same key does:
// PKCS#1 v1.5 and the raw operation are deterministic, key files and PEM
// keys both go through zud_rsa_sign_sha256 / zud_rsa_private, and a token
// is given the same DigestInfo (CKM_RSA_PKCS) or block (CKM_RSA_X_509).
//
// Secrets. A PEM passphrase comes from the first line of the passphrase
// file (without its line end), else ZUD_KEY_PASSPHRASE, else a prompt
// without echo on /dev/tty when standard input is a terminal; it is asked
// for only when the key is encrypted. A token PIN comes from the URI's
// pin-source file, else ZUD_PKCS11_PIN, else the same kind of prompt; it is
// asked for only when the token wants a login. A file named for this run
// beats the environment, which may have been set for another. Neither is ever taken from the command line
// (a URI with pin-value is refused), printed, or kept after use.
//
// The PKCS#11 module is the pkcs11_module value, else ZUD_PKCS11_MODULE,
// else the URI's module-path.
//
// Keys whose modulus is not 1024, 2048 or 4096 bits, or whose public
// exponent is wider than 32 bits, are refused: key blocks cannot carry them.
//
// Failures: the openers return null (or false) and set `reason` to one line
// saying what is wrong, with which file or URI, and what to do; they print
// nothing. The caller prints it on standard error after the program name.
// Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <mbedtls/rsa.h>

#include "bytes.h"
#include "keyfile.h"
#include "key_block.h"

class ExternalSigner;

// How to reach the private half: the command's option values, or null.
struct SigningKeySource {
    const char* pkcs11_module = nullptr;    // path of the PKCS#11 module (.so)
    const char* passphrase_file = nullptr;  // file whose first line is the PEM passphrase
    // Key files are taken as they load, without the size checks below or
    // the check for D: a command keeps its own rules for key files, which
    // have always taken sizes beyond those (an upgrade signature takes any
    // modulus of 48 to 1024 bytes). PEM files and tokens are checked all
    // the same.
    bool key_files_as_loaded = false;
    // When set, the key value names only the public half (--signer-key),
    // and every signature is asked of this signer (external_signer.h).
    ExternalSigner* external = nullptr;
};

// The source a command's --pkcs11-module and --passphrase-file values give,
// with key files taken as they load.
SigningKeySource command_key_source(const char* pkcs11_module, const char* passphrase_file);

// True when `value` is a PKCS#11 URI ("pkcs11:...").
bool is_pkcs11_uri(const char* value);

// `value` itself when it names a key file (no URI, and no file starting
// with "-----BEGIN"), else null. A file that cannot be read counts as a key
// file, so that the key file loader reports it as it always has. Key blocks
// are laid out from a full binary key file's own records
// (zud_create_key_from_source), so they need to know.
const char* key_file_of(const char* value);

// True when the file read starts "-----BEGIN": a PEM key, not a key file.
bool is_pem_file(const zud_key_file_image& file);

// Results of sign_sha256 and private_raw. Key files and PEM keys pass on
// mbed TLS's own codes (as zud_rsa_private always has); tokens give these.
enum SigningKeyResult : int {
    kSignOk = 0,
    kSignBadInput = MBEDTLS_ERR_RSA_BAD_INPUT_DATA,  // wrong sizes, or input not below N
    kSignFailed = MBEDTLS_ERR_RSA_PRIVATE_FAILED,    // the token refused or failed
};

// An RSA key that can sign. Made by open_signing_key; not copyable, not
// movable (callers hold it by unique_ptr). Closing it closes whatever it
// holds open (token session and module).
class SigningKey {
public:
    virtual ~SigningKey() = default;
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    // The public half: N, E and len (the modulus length in bytes) and nothing
    // else, for key blocks and key digests (zud_create_key_from_ctx,
    // zud_get_sha_from_ctx) and for checking with zud_rsa_public.
    const mbedtls_rsa_context* public_key() const { return &public_.ctx; }
    mbedtls_rsa_context* public_key() { return &public_.ctx; }
    std::size_t length() const { return public_.ctx.len; }

    // What the key was opened from (a path, or the token and object labels),
    // for messages.
    const std::string& name() const { return name_; }

    // The key file the key was loaded from, as read (once) when it was
    // opened, or null for a PEM key or a token: key blocks are laid out from
    // a full binary key file's own records (zud_create_key_from_image).
    const zud_key_file_image* key_file() const { return file_ ? &*file_ : nullptr; }

    // PKCS#1 v1.5 signature with the SHA-256 DigestInfo of a 32-byte digest,
    // written to the first length() bytes of `sig` (which must hold them).
    // Returns 0, or non-zero with `sig`'s first length() bytes zeroed and
    // failure() saying why.
    int sign_sha256(std::span<const std::uint8_t, 32> digest, MutBytes sig);

    // The raw RSA private operation: `in` (exactly length() bytes, read as
    // one big-endian number, which must be below N) raised to D modulo N,
    // written big-endian to the first length() bytes of `out`. `in` and `out`
    // may be the same buffer. Returns 0, or non-zero with failure() set;
    // `out` is then unspecified.
    int private_raw(ConstBytes in, MutBytes out);

    // One line on the last failure of sign_sha256 or private_raw.
    const std::string& failure() const { return failure_; }

    // Names the signature the next calls make ("FIP entry 2", "upgrade
    // trailer"), for a signer outside the process; `covers_earlier` when
    // what it signs holds signatures made before it in the run.
    void set_slot(std::string slot, bool covers_earlier = false) {
        slot_ = std::move(slot);
        covers_earlier_ = covers_earlier;
    }

    // Whether the key can make the raw private operation (private_raw),
    // as far as can be known before trying: false, with `reason`, for a
    // token key whose token offers no CKM_RSA_X_509 signing.
    virtual bool can_raw(std::string& reason) {
        reason.clear();
        return true;
    }

protected:
    explicit SigningKey(std::string name) : name_(std::move(name)) {}
    // The back end's operations: sizes and the range of the input are
    // already checked; they set failure_ when they fail.
    virtual int sign_digest_info(std::span<const std::uint8_t, 32> digest, std::uint8_t* sig) = 0;
    virtual int raise_private(const std::uint8_t* in, std::uint8_t* out) = 0;

    RsaKey public_;
    std::string name_;
    std::string failure_;
    std::string slot_ = "signature";
    bool covers_earlier_ = false;
    std::optional<zud_key_file_image> file_;
};

// Opens the signing key that `value` names (see above). Returns null and
// sets `reason` when it cannot. Loading a key file leaves
// g_nVQ_RSA_keyFormat as it found it: the key keeps its own mode and sets
// the flag only around its own private operations.
std::unique_ptr<SigningKey> open_signing_key(const char* value, const SigningKeySource& source,
                                             std::string& reason);

// The same for a file read before (a key file or a PEM key), so that a
// command that reads more than the key from it reads it once.
std::unique_ptr<SigningKey> open_signing_key(zud_key_file_image image, const SigningKeySource& source,
                                             std::string& reason);

// A signer over a context the caller keeps (which must outlive it): it signs
// with zud_rsa_sign_sha256 and zud_rsa_private under whatever
// g_nVQ_RSA_keyFormat says at the time, as the context interfaces always
// have. Null when out of memory.
std::unique_ptr<SigningKey> borrow_signing_key(mbedtls_rsa_context* ctx);

// Fills N, E and len of `out` (a fresh context) from whatever `value`
// names: a PEM "PUBLIC KEY" (SubjectPublicKeyInfo) or "RSA PUBLIC KEY", a PEM
// private key (its public half; an encrypted one needs its passphrase), a
// key file of any form, or a PKCS#11 URI (a public key object, or the
// modulus and exponent of the private key object; type= chooses, without it
// a public key object is looked for first). Returns false and sets `reason`
// when it cannot. Leaves g_nVQ_RSA_keyFormat as it found it.
// When `file` is given and `value` names a key file, the file as read is
// left there (for its key block).
bool open_public_key(const char* value, const SigningKeySource& source, RsaKey& out,
                     std::string& reason, zud_key_file_image* file = nullptr);

// ---------------------------------------------------------------------------
// Between the back ends (internal to the keys module)

// A passphrase or PIN in a fixed buffer that is wiped when it goes, so no
// copy is left behind in freed memory.
class Secret {
public:
    static constexpr std::size_t kCapacity = 1024;
    Secret() = default;
    ~Secret();
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Takes `text`; false (and empty) when it is longer than kCapacity.
    bool assign(std::string_view text);

private:
    char data_[kCapacity + 1] = {};
    std::size_t size_ = 0;
};

enum class SecretStatus { kGot, kNone, kFailed };

// Reads a secret from the first line of `file` (when given), else the
// environment variable `variable`, else a no-echo prompt on /dev/tty when
// standard input is a terminal. kNone when no source has one; kFailed (with
// `reason`) when the file cannot be read or its line is too long.
SecretStatus read_secret(const char* variable, const char* file, const std::string& prompt,
                         Secret& out, std::string& reason);

// A PKCS#11 URI taken apart; values percent-decoded.
struct Pkcs11Uri {
    std::string token;             // token label; empty: any single token
    std::string object;            // object label
    std::string id;                // object id bytes (has_id tells an empty id apart)
    bool has_id = false;
    std::string type;              // "private", "public" or empty
    std::string pin_source;        // PIN file ("file:" or "file://" prefix removed)
    std::string module_path;       // module named in the URI
};

// Parses `uri` (starting "pkcs11:"). Attributes this tool cannot honour
// (pin-value, unknown ones, repeated ones, bad percent-encoding) are refused
// with a reason rather than ignored, so that a URI never silently names a
// different key than it says.
bool parse_pkcs11_uri(std::string_view uri, Pkcs11Uri& out, std::string& reason);

// The PKCS#11 back end (tool/pkcs11_key.cpp).
std::unique_ptr<SigningKey> open_pkcs11_key(const char* uri, const SigningKeySource& source,
                                            std::string& reason);
bool open_pkcs11_public_key(const char* uri, const SigningKeySource& source, RsaKey& out,
                            std::string& reason);

// The public half of a key file or PEM key read before (see open_public_key).
bool open_public_key_image(const zud_key_file_image& image, const SigningKeySource& source, RsaKey& out,
                           std::string& reason);

// Checks what every back end needs of a key's public half: a modulus of 1024,
// 2048 or 4096 bits and an exponent of at most 32 bits. `name` goes into the
// reason.
bool check_key_size(const mbedtls_rsa_context& ctx, const std::string& name,
                    std::string& reason);

// Copies N and E of `from` into `to` and sets to.len; false when out of memory.
bool copy_public_half(const mbedtls_rsa_context& from, mbedtls_rsa_context& to);
