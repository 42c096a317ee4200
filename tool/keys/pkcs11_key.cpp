// Signing keys on PKCS#11 tokens: URI parsing, the module, the token
// session and the two private operations.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "files.h"
#include "signing_key.h"

namespace {

constexpr std::string_view kScheme = "pkcs11:";

std::string rv_name(CK_RV rv) {
    static const std::pair<CK_RV, const char*> kNames[] = {
        {CKR_CANCEL, "CKR_CANCEL"},
        {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
        {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
        {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE"},
        {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
        {CKR_DATA_INVALID, "CKR_DATA_INVALID"},
        {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE"},
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
        {CKR_FUNCTION_CANCELED, "CKR_FUNCTION_CANCELED"},
        {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
        {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID"},
        {CKR_KEY_SIZE_RANGE, "CKR_KEY_SIZE_RANGE"},
        {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
        {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
        {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
        {CKR_MECHANISM_PARAM_INVALID, "CKR_MECHANISM_PARAM_INVALID"},
        {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID"},
        {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE"},
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {CKR_PIN_INVALID, "CKR_PIN_INVALID"},
        {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
        {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED"},
        {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
        {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED"},
        {CKR_SESSION_COUNT, "CKR_SESSION_COUNT"},
        {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
        {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
        {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
        {CKR_USER_TYPE_INVALID, "CKR_USER_TYPE_INVALID"},
        {CKR_USER_ANOTHER_ALREADY_LOGGED_IN, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
        {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL"},
        {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
        {CKR_FUNCTION_REJECTED, "CKR_FUNCTION_REJECTED"},
    };
    for (const auto& [code, name] : kNames) {
        if (code == rv) return name;
    }
    char text[32] = {};
    std::snprintf(text, sizeof text, "CKR 0x%lx", static_cast<unsigned long>(rv));
    return text;
}

// ---------------------------------------------------------------------------
// URI

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool percent_decode(std::string_view in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int high = hex_value(in[i + 1]);
        const int low = hex_value(in[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// Calls `take(name, value)` for each "name=value" of `list` split at
// `separator`; stops at the first refusal.
template <typename Take>
bool for_each_attribute(std::string_view list, char separator, std::string& reason, Take take) {
    while (!list.empty()) {
        const std::size_t end = list.find(separator);
        const std::string_view item = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view{} : list.substr(end + 1);
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        const std::string name(item.substr(0, eq));
        std::string value;
        if (eq == std::string_view::npos || !percent_decode(item.substr(eq + 1), value)) {
            reason = "the PKCS#11 URI attribute '" + name + "' needs a value (percent-encoded as %XX)";
            return false;
        }
        if (!take(name, value)) return false;
    }
    return true;
}

// Sets `field` once; a repeated attribute could name two different keys.
bool set_once(std::string& field, bool& seen, const std::string& name, const std::string& value,
              std::string& reason) {
    if (seen) {
        reason = "the PKCS#11 URI gives '" + name + "' twice";
        return false;
    }
    seen = true;
    field = value;
    return true;
}

// The attributes of one URI, each of which may be given once.
struct UriFields {
    Pkcs11Uri& out;
    std::string& reason;
    bool seen[6] = {};
};

bool take_path_attribute(UriFields& f, const std::string& name, const std::string& value) {
    if (name == "token") return set_once(f.out.token, f.seen[0], name, value, f.reason);
    if (name == "object") return set_once(f.out.object, f.seen[1], name, value, f.reason);
    if (name == "id") {
        f.out.has_id = true;
        return set_once(f.out.id, f.seen[2], name, value, f.reason);
    }
    if (name == "type") return set_once(f.out.type, f.seen[3], name, value, f.reason);
    f.reason = "the PKCS#11 URI attribute '" + name +
               "' is not supported; name the key with token=, object=, id= and type=";
    return false;
}

bool take_query_attribute(UriFields& f, const std::string& name, const std::string& value) {
    if (name == "pin-source") return set_once(f.out.pin_source, f.seen[4], name, value, f.reason);
    if (name == "module-path") return set_once(f.out.module_path, f.seen[5], name, value, f.reason);
    if (name == "pin-value") {
        f.reason = "a PIN on the command line is refused: put it in a file named by "
                   "?pin-source=FILE, or set ZUD_PKCS11_PIN";
    } else {
        f.reason = "the PKCS#11 URI query attribute '" + name +
                   "' is not supported; use pin-source= and module-path=";
    }
    return false;
}

std::string strip_file_scheme(const std::string& source) {
    if (source.rfind("file://", 0) == 0) return source.substr(7);
    if (source.rfind("file:", 0) == 0) return source.substr(5);
    return source;
}

// ---------------------------------------------------------------------------
// Module

// A loaded and initialised module. Several keys opened from one module
// share it, so that one key's C_Finalize cannot pull the module from under
// another.
class Module {
public:
    static std::shared_ptr<Module> open(const std::string& path, std::string& reason);
    ~Module() {
        if (finalize_) list_->C_Finalize(nullptr);
        ::dlclose(handle_);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    CK_FUNCTION_LIST* operator->() const { return list_; }

private:
    Module(void* handle, CK_FUNCTION_LIST* list, bool finalize)
        : handle_(handle), list_(list), finalize_(finalize) {}
    void* handle_;
    CK_FUNCTION_LIST* list_;
    bool finalize_;
};

std::shared_ptr<Module> Module::open(const std::string& path, std::string& reason) {
    static std::map<void*, std::weak_ptr<Module>> loaded;
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        reason = "cannot load the PKCS#11 module " + path + " (" + (why ? why : "unknown") +
                 "); give the module's path with --pkcs11-module or ZUD_PKCS11_MODULE";
        return nullptr;
    }
    if (auto existing = loaded[handle].lock()) {
        ::dlclose(handle);  // the module holds its own reference
        return existing;
    }
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    if (get_list == nullptr || get_list(&list) != CKR_OK || list == nullptr) {
        ::dlclose(handle);
        reason = path + " is no PKCS#11 module (it has no usable C_GetFunctionList)";
        return nullptr;
    }
    const CK_RV rv = list->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        ::dlclose(handle);
        reason = "the PKCS#11 module " + path + " does not start (" + rv_name(rv) +
                 "); check its configuration";
        return nullptr;
    }
    // Initialised by someone else in this process: theirs to finalise.
    std::shared_ptr<Module> module(new (std::nothrow) Module(handle, list, rv == CKR_OK));
    if (!module) {
        reason = "out of memory";
        return nullptr;
    }
    loaded[handle] = module;
    return module;
}

std::string module_path(const SigningKeySource& source, const Pkcs11Uri& uri) {
    if (source.pkcs11_module != nullptr && *source.pkcs11_module != '\0') return source.pkcs11_module;
    if (const char* env = std::getenv("ZUD_PKCS11_MODULE"); env != nullptr && *env != '\0') {
        return env;
    }
    return uri.module_path;
}

// ---------------------------------------------------------------------------
// Session

std::string token_label(const CK_TOKEN_INFO& info) {
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
    return label;
}

// An open session on the token the URI names; closed when it goes, before
// the module it holds.
class Session {
public:
    std::shared_ptr<Module> module;
    CK_SESSION_HANDLE handle = 0;
    bool open = false;
    CK_FLAGS token_flags = 0;
    CK_SLOT_ID slot = 0;
    std::string token;

    Session() = default;
    ~Session() {
        if (open) (*module)->C_CloseSession(handle);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

std::string describe_tokens(const std::vector<std::string>& labels) {
    if (labels.empty()) return "the module shows no token";
    std::string text = "tokens present:";
    for (const auto& label : labels) text += " '" + label + "'";
    return text;
}

// Finds the one slot whose token carries the URI's label (or the only
// token, when the URI names none).
bool find_token(Module& module, const Pkcs11Uri& uri, CK_SLOT_ID& slot, CK_TOKEN_INFO& info,
                std::string& reason) {
    CK_ULONG count = 0;
    CK_RV rv = module->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    if (rv == CKR_OK && count > 0) rv = module->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK) {
        reason = "cannot list the tokens of the PKCS#11 module (" + rv_name(rv) + ")";
        return false;
    }
    slots.resize(count);
    std::vector<std::string> labels;
    int matches = 0;
    for (const CK_SLOT_ID id : slots) {
        CK_TOKEN_INFO candidate{};
        if (module->C_GetTokenInfo(id, &candidate) != CKR_OK ||
            (candidate.flags & CKF_TOKEN_INITIALIZED) == 0) {
            continue;
        }
        labels.push_back(token_label(candidate));
        if (!uri.token.empty() && labels.back() != uri.token) continue;
        ++matches;
        slot = id;
        info = candidate;
    }
    if (matches == 1) return true;
    if (uri.token.empty()) {
        reason = "the PKCS#11 URI names no token and the module has " + std::to_string(matches) +
                 "; add token=LABEL (" + describe_tokens(labels) + ")";
    } else {
        reason = (matches == 0 ? "no token labelled '" : "more than one token labelled '") +
                 uri.token + "' (" + describe_tokens(labels) + ")";
    }
    return false;
}

bool open_session(const Pkcs11Uri& uri, const SigningKeySource& source, Session& session,
                  std::string& reason) {
    const std::string path = module_path(source, uri);
    if (path.empty()) {
        reason = "no PKCS#11 module for the token: give --pkcs11-module, set ZUD_PKCS11_MODULE, "
                 "or add module-path= to the URI";
        return false;
    }
    session.module = Module::open(path, reason);
    if (!session.module) return false;
    CK_SLOT_ID slot = 0;
    CK_TOKEN_INFO info{};
    if (!find_token(*session.module, uri, slot, info, reason)) return false;
    session.token = token_label(info);
    session.token_flags = info.flags;
    session.slot = slot;
    const CK_RV rv = (*session.module)->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                                      &session.handle);
    if (rv != CKR_OK) {
        reason = "cannot open a session on token '" + session.token + "' (" + rv_name(rv) + ")";
        return false;
    }
    session.open = true;
    return true;
}

bool logged_in(Session& session) {
    CK_SESSION_INFO info{};
    if ((*session.module)->C_GetSessionInfo(session.handle, &info) != CKR_OK) return false;
    return info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
}

std::string describe_login_failure(CK_RV rv, const std::string& token) {
    switch (rv) {
        case CKR_PIN_INCORRECT:
        case CKR_PIN_LEN_RANGE:
            return "wrong PIN for token '" + token +
                   "' (CKR_PIN_INCORRECT); the token locks the PIN after a few wrong tries";
        case CKR_PIN_LOCKED:
            return "the user PIN of token '" + token +
                   "' is locked (CKR_PIN_LOCKED); its security officer must unlock it";
        case CKR_PIN_EXPIRED:
            return "the user PIN of token '" + token + "' has expired (CKR_PIN_EXPIRED); set a new one";
        case CKR_USER_PIN_NOT_INITIALIZED:
            return "token '" + token + "' has no user PIN yet (CKR_USER_PIN_NOT_INITIALIZED)";
        default:
            return "cannot log in to token '" + token + "' (" + rv_name(rv) + ")";
    }
}

// Logs in as the user unless the session already is; the PIN is read only
// when it is needed and wiped straight after C_Login.
bool log_in(Session& session, const Pkcs11Uri& uri, std::string& reason) {
    if ((session.token_flags & CKF_LOGIN_REQUIRED) == 0 || logged_in(session)) return true;
    CK_RV rv = CKR_OK;
    if ((session.token_flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
        rv = (*session.module)->C_Login(session.handle, CKU_USER, nullptr, 0);
    } else {
        Secret pin;
        const char* file = uri.pin_source.empty() ? nullptr : uri.pin_source.c_str();
        const SecretStatus status =
            read_secret("ZUD_PKCS11_PIN", file,
                        "PIN for token '" + session.token + "': ", pin, reason);
        if (status == SecretStatus::kNone) {
            reason = "token '" + session.token + "' needs its user PIN: set ZUD_PKCS11_PIN, add "
                     "?pin-source=FILE to the URI, or run on a terminal";
        }
        if (status != SecretStatus::kGot) return false;
        auto* text = reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data()));
        rv = (*session.module)->C_Login(session.handle, CKU_USER, text, pin.size());
    }
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return true;
    reason = describe_login_failure(rv, session.token);
    return false;
}

enum class Found { kOne, kNone, kMany, kFailed };

Found find_object(Session& session, CK_OBJECT_CLASS object_class, const Pkcs11Uri& uri,
                  CK_OBJECT_HANDLE& object) {
    std::vector<CK_ATTRIBUTE> query{{CKA_CLASS, &object_class, sizeof object_class}};
    if (!uri.object.empty()) {
        query.push_back({CKA_LABEL, const_cast<char*>(uri.object.data()), uri.object.size()});
    }
    if (uri.has_id) query.push_back({CKA_ID, const_cast<char*>(uri.id.data()), uri.id.size()});
    Module& module = *session.module;
    if (module->C_FindObjectsInit(session.handle, query.data(), query.size()) != CKR_OK) {
        return Found::kFailed;
    }
    CK_OBJECT_HANDLE found[2] = {};
    CK_ULONG count = 0;
    const CK_RV rv = module->C_FindObjects(session.handle, found, 2, &count);
    module->C_FindObjectsFinal(session.handle);
    if (rv != CKR_OK) return Found::kFailed;
    object = found[0];
    return count == 0 ? Found::kNone : count == 1 ? Found::kOne : Found::kMany;
}

std::string describe_object(const Pkcs11Uri& uri, const std::string& token) {
    std::string text = uri.object.empty() ? "key" : "key '" + uri.object + "'";
    if (uri.has_id) {
        text += " with id ";
        for (const char c : uri.id) {
            char hex[4] = {};
            std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(c));
            text += hex;
        }
    }
    return text + " on token '" + token + "'";
}

std::string describe_find_failure(Found found, const char* kind, const Pkcs11Uri& uri,
                                  const std::string& token) {
    const std::string what = std::string(kind) + " " + describe_object(uri, token);
    switch (found) {
        case Found::kNone: return "no " + what + "; check object= and id= in the URI";
        case Found::kMany: return "more than one " + what + "; add object= or id= to tell them apart";
        default: return "cannot search for the " + what;
    }
}

// Reads one attribute into `out`; false when the token will not give it.
bool read_attribute(Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                    std::vector<std::uint8_t>& out) {
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    Module& module = *session.module;
    if (module->C_GetAttributeValue(session.handle, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION || attribute.ulValueLen > 4096) {
        return false;
    }
    out.assign(attribute.ulValueLen, 0);
    attribute.pValue = out.data();
    return module->C_GetAttributeValue(session.handle, object, &attribute, 1) == CKR_OK;
}

bool read_public_half(Session& session, CK_OBJECT_HANDLE object, mbedtls_rsa_context& ctx,
                      std::string& reason) {
    std::vector<std::uint8_t> key_type;
    std::vector<std::uint8_t> modulus;
    std::vector<std::uint8_t> exponent;
    CK_KEY_TYPE rsa = CKK_RSA;
    if (!read_attribute(session, object, CKA_KEY_TYPE, key_type) ||
        key_type.size() != sizeof rsa || std::memcmp(key_type.data(), &rsa, sizeof rsa) != 0) {
        reason = "is no RSA key; only RSA keys can sign firmware";
        return false;
    }
    if (!read_attribute(session, object, CKA_MODULUS, modulus) ||
        !read_attribute(session, object, CKA_PUBLIC_EXPONENT, exponent) ||
        mbedtls_mpi_read_binary(&ctx.N, modulus.data(), modulus.size()) != 0 ||
        mbedtls_mpi_read_binary(&ctx.E, exponent.data(), exponent.size()) != 0) {
        reason = "does not show its modulus and public exponent";
        return false;
    }
    ctx.len = mbedtls_mpi_size(&ctx.N);
    return true;
}

bool always_authenticate(Session& session, CK_OBJECT_HANDLE object) {
    std::vector<std::uint8_t> value;
    return read_attribute(session, object, CKA_ALWAYS_AUTHENTICATE, value) && value.size() == 1 &&
           value[0] == CK_TRUE;
}

// ---------------------------------------------------------------------------
// The key

// DER prefix of a SHA-256 DigestInfo: CKM_RSA_PKCS signs DigestInfo+digest.
constexpr std::uint8_t kSha256DigestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                              0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                              0x01, 0x05, 0x00, 0x04, 0x20};

bool is_refusal(CK_RV rv) {
    return rv == CKR_MECHANISM_INVALID || rv == CKR_MECHANISM_PARAM_INVALID ||
           rv == CKR_KEY_FUNCTION_NOT_PERMITTED || rv == CKR_KEY_TYPE_INCONSISTENT ||
           rv == CKR_FUNCTION_NOT_SUPPORTED;
}

class TokenKey final : public SigningKey {
public:
    explicit TokenKey(std::string name) : SigningKey(std::move(name)) {}
    Session session;
    CK_OBJECT_HANDLE object = 0;

    mbedtls_rsa_context& public_context() { return public_.ctx; }

    // The token's own word on CKM_RSA_X_509: a token that does not list it
    // for signing cannot make the upgrade trailer. A token that cannot say
    // is given the benefit of the doubt; the attempt then tells.
    bool can_raw(std::string& reason) override {
        reason.clear();
        CK_MECHANISM_INFO info{};
        const CK_RV rv = (*session.module)->C_GetMechanismInfo(session.slot, CKM_RSA_X_509, &info);
        if (rv == CKR_MECHANISM_INVALID || (rv == CKR_OK && (info.flags & CKF_SIGN) == 0)) {
            reason = "the token of " + name_ + " offers no raw RSA signing (CKM_RSA_X_509), which the "
                     "upgrade trailer needs; sign it with a key that can, or through --signer with a "
                     "service that makes the raw operation";
            return false;
        }
        return true;
    }

private:
    struct Mechanism {
        CK_MECHANISM_TYPE type;
        const char* name;
        const char* purpose;
    };

    int sign_digest_info(std::span<const std::uint8_t, 32> digest, std::uint8_t* sig) override {
        std::uint8_t info[sizeof kSha256DigestInfo + 32];
        std::memcpy(info, kSha256DigestInfo, sizeof kSha256DigestInfo);
        std::memcpy(info + sizeof kSha256DigestInfo, digest.data(), digest.size());
        Buffer result(length());
        const Mechanism pkcs{CKM_RSA_PKCS, "CKM_RSA_PKCS", "needed for the block signatures"};
        if (!result.ok() || !run(pkcs, ConstBytes(info), result)) return kSignFailed;
        // A token whose key does not match the public half it shows would
        // make signatures no device accepts: check before handing it out.
        if (zud_rsa_verify_sha256(&public_.ctx, digest.data(), result.data()) != 0) {
            failure_ = "the signature made by " + name_ + " does not match its public key";
            return kSignFailed;
        }
        std::memcpy(sig, result.data(), result.size());
        return kSignOk;
    }

    int raise_private(const std::uint8_t* in, std::uint8_t* out) override {
        Buffer result(length());
        Buffer back(length());
        const Mechanism raw{CKM_RSA_X_509, "CKM_RSA_X_509", "needed for the upgrade signature"};
        if (!result.ok() || !back.ok() || !run(raw, ConstBytes(in, length()), result)) {
            return kSignFailed;
        }
        if (mbedtls_rsa_public(&public_.ctx, result.data(), back.data()) != 0 ||
            std::memcmp(back.data(), in, length()) != 0) {
            failure_ = "the raw operation of " + name_ + " does not match its public key";
            return kSignFailed;
        }
        std::memcpy(out, result.data(), result.size());
        return kSignOk;
    }

    bool run(const Mechanism& m, ConstBytes in, Buffer& result) {
        CK_MECHANISM mechanism{m.type, nullptr, 0};
        Module& module = *session.module;
        CK_RV rv = module->C_SignInit(session.handle, &mechanism, object);
        CK_ULONG size = result.size();
        if (rv == CKR_OK) {
            rv = module->C_Sign(session.handle, const_cast<std::uint8_t*>(in.data()), in.size(),
                                result.data(), &size);
        }
        if (rv == CKR_OK && size == result.size()) return true;
        if (is_refusal(rv)) {
            failure_ = "the token refuses " + std::string(m.name) + " with " + name_ + ", " +
                       m.purpose + " (" + rv_name(rv) + ")";
        } else {
            failure_ = "the token failed to sign with " + name_ + " (" +
                       (rv == CKR_OK ? "wrong length" : rv_name(rv)) + ")";
        }
        return false;
    }
};

// The URI without its query, to name the key in messages.
std::string uri_name(std::string_view uri) { return std::string(uri.substr(0, uri.find('?'))); }

}  // namespace

bool parse_pkcs11_uri(std::string_view uri, Pkcs11Uri& out, std::string& reason) {
    out = Pkcs11Uri{};
    if (uri.substr(0, kScheme.size()) != kScheme) {
        reason = "a PKCS#11 URI starts with pkcs11:";
        return false;
    }
    uri.remove_prefix(kScheme.size());
    const std::size_t question = uri.find('?');
    const std::string_view query =
        question == std::string_view::npos ? std::string_view{} : uri.substr(question + 1);
    UriFields fields{out, reason};
    const auto path_attribute = [&](const std::string& name, const std::string& value) {
        return take_path_attribute(fields, name, value);
    };
    const auto query_attribute = [&](const std::string& name, const std::string& value) {
        return take_query_attribute(fields, name, value);
    };
    if (!for_each_attribute(uri.substr(0, question), ';', reason, path_attribute) ||
        !for_each_attribute(query, '&', reason, query_attribute)) {
        return false;
    }
    out.pin_source = strip_file_scheme(out.pin_source);
    if (!out.type.empty() && out.type != "private" && out.type != "public") {
        reason = "the PKCS#11 URI has type=" + out.type + "; a key is type=private or type=public";
        return false;
    }
    return true;
}

std::unique_ptr<SigningKey> open_pkcs11_key(const char* text, const SigningKeySource& source,
                                            std::string& reason) {
    Pkcs11Uri uri;
    if (!parse_pkcs11_uri(text, uri, reason)) return nullptr;
    if (uri.type == "public") {
        reason = "the PKCS#11 URI names a public key (type=public); signing needs type=private";
        return nullptr;
    }
    auto key = std::make_unique<TokenKey>(uri_name(text));
    Session& session = key->session;
    if (!open_session(uri, source, session, reason) || !log_in(session, uri, reason)) {
        return nullptr;
    }
    const Found found = find_object(session, CKO_PRIVATE_KEY, uri, key->object);
    if (found != Found::kOne) {
        reason = describe_find_failure(found, "private", uri, session.token);
        return nullptr;
    }
    CK_OBJECT_HANDLE public_object = key->object;
    // Some tokens show the modulus on the public key object only.
    std::string why;
    if (!read_public_half(session, key->object, key->public_context(), why) &&
        (find_object(session, CKO_PUBLIC_KEY, uri, public_object) != Found::kOne ||
         !read_public_half(session, public_object, key->public_context(), why))) {
        reason = "the private " + describe_object(uri, session.token) + " " + why;
        return nullptr;
    }
    if (always_authenticate(session, key->object)) {
        reason = "the private " + describe_object(uri, session.token) +
                 " wants its PIN for every signature (CKA_ALWAYS_AUTHENTICATE), which is not "
                 "supported; use a key without it";
        return nullptr;
    }
    if (!check_key_size(key->public_context(), key->name(), reason)) return nullptr;
    return key;
}

bool open_pkcs11_public_key(const char* text, const SigningKeySource& source, RsaKey& out,
                            std::string& reason) {
    Pkcs11Uri uri;
    if (!parse_pkcs11_uri(text, uri, reason)) return false;
    Session session;
    if (!open_session(uri, source, session, reason)) return false;
    // A public key object needs no login; a private key object may.
    std::vector<CK_OBJECT_CLASS> classes;
    if (uri.type != "private") classes.push_back(CKO_PUBLIC_KEY);
    if (uri.type != "public") classes.push_back(CKO_PRIVATE_KEY);
    CK_OBJECT_HANDLE object = 0;
    Found found = Found::kNone;
    for (int attempt = 0; attempt < 2 && found == Found::kNone; ++attempt) {
        if (attempt == 1 && !log_in(session, uri, reason)) return false;
        for (const CK_OBJECT_CLASS c : classes) {
            found = find_object(session, c, uri, object);
            if (found != Found::kNone) break;
        }
    }
    if (found != Found::kOne) {
        reason = describe_find_failure(found, uri.type.empty() ? "public or private"
                                                              : uri.type.c_str(),
                                       uri, session.token);
        return false;
    }
    std::string why;
    if (!read_public_half(session, object, out.ctx, why)) {
        reason = "the " + describe_object(uri, session.token) + " " + why;
        return false;
    }
    return check_key_size(out.ctx, uri_name(text), reason);
}
