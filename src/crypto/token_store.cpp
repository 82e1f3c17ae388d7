// A token's RSA key is given to OpenSSL as an RSA object whose private operation runs on the
// token (an RSA_METHOD, the one way OpenSSL 3's CMS code takes such a key without a provider
// of its own). That interface is deprecated in OpenSSL 3; this file is its only user.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/token_store.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <map>
#include <tuple>

#include <openssl/err.h>
#include <openssl/rsa.h>
#include <p11-kit/uri.h>

#include "crypto/openssl.h"
#include "crypto/pkcs11.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"

namespace agent::crypto {

namespace {

using details::Pkcs11Module;
using details::Pkcs11Modules;
using details::Pkcs11Session;

constexpr const wchar_t* LISTING = L"agent::crypto::TokenStore::enumerate";
constexpr const wchar_t* LOADING = L"agent::crypto::TokenKey::load";

// What tells a token apart from every other: the fields of its token information.
struct TokenIdentity {
    std::string module;
    CK_TOKEN_INFO info{};

    std::string label() const { return details::padded_text(info.label, sizeof info.label); }
    std::string serial() const { return details::padded_text(info.serialNumber, sizeof info.serialNumber); }

    bool matches(const CK_TOKEN_INFO& other) const {
        return std::equal(std::begin(info.label), std::end(info.label), std::begin(other.label)) &&
               std::equal(std::begin(info.manufacturerID), std::end(info.manufacturerID),
                          std::begin(other.manufacturerID)) &&
               std::equal(std::begin(info.model), std::end(info.model), std::begin(other.model)) &&
               std::equal(std::begin(info.serialNumber), std::end(info.serialNumber), std::begin(other.serialNumber));
    }
};

struct UriDeleter {
    void operator()(P11KitUri* uri) const noexcept { p11_kit_uri_free(uri); }
};

// The PKCS#11 URI of the token, or of an object on it when an id is given.
std::wstring uri_of(const CK_TOKEN_INFO& info, const std::vector<std::uint8_t>& id = {}) {
    std::unique_ptr<P11KitUri, UriDeleter> uri(p11_kit_uri_new());
    if (!uri)
        return L"pkcs11:";
    *p11_kit_uri_get_token_info(uri.get()) = info;
    int scope = P11_KIT_URI_FOR_TOKEN;
    CK_OBJECT_CLASS type = CKO_PRIVATE_KEY;
    if (!id.empty()) {
        CK_ATTRIBUTE id_attribute{CKA_ID, const_cast<std::uint8_t*>(id.data()), static_cast<CK_ULONG>(id.size())};
        CK_ATTRIBUTE class_attribute{CKA_CLASS, &type, sizeof type};
        p11_kit_uri_set_attribute(uri.get(), &id_attribute);
        p11_kit_uri_set_attribute(uri.get(), &class_attribute);
        scope = P11_KIT_URI_FOR_OBJECT_ON_TOKEN;
    }
    char* text = nullptr;
    if (p11_kit_uri_format(uri.get(), static_cast<P11KitUriType>(scope), &text) != P11_KIT_URI_OK || text == nullptr)
        return L"pkcs11:";
    std::wstring result = agent::details::utf8_to_wide(text);
    std::free(text);
    return result;
}

// The state of one use of a token key, owned by the RSA object OpenSSL holds: the modules
// stay loaded, the session open and the user logged in until OpenSSL lets the key go.
struct TokenOperation {
    std::shared_ptr<Pkcs11Modules> modules;
    std::unique_ptr<Pkcs11Session> session;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    bool logged_in = false;
    std::function<bool()> present;  // the token is still in its slot

    ~TokenOperation() {
        if (logged_in)
            session->functions()->C_Logout(session->handle());
    }
};

bool is_sign_in_code(std::uint32_t code) {
    return code == CryptoException::NO_MATCHING_KEY || code == CryptoException::WRONG_PIN ||
           code == CryptoException::PIN_CANCELLED || code == CryptoException::PIN_LOCKED;
}

int operation_index() {
    static const int index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// OpenSSL calls this for the private-key decryption of the challenge's content key.
int token_decrypt(int size, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    auto* operation = static_cast<TokenOperation*>(RSA_get_ex_data(rsa, operation_index()));
    if (operation == nullptr || size < 0) {
        ERR_raise(ERR_LIB_RSA, ERR_R_PASSED_INVALID_ARGUMENT);
        return -1;
    }
    // OAEP padding is checked by OpenSSL on the raw result.
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (padding == RSA_NO_PADDING) {
        mechanism.mechanism = CKM_RSA_X_509;
    } else if (padding != RSA_PKCS1_PADDING) {
        ERR_raise(ERR_LIB_RSA, RSA_R_UNKNOWN_PADDING_TYPE);
        return -1;
    }
    CK_FUNCTION_LIST* functions = operation->session->functions();
    const CK_SESSION_HANDLE session = operation->session->handle();
    CK_RV rv = functions->C_DecryptInit(session, &mechanism, operation->key);
    if (rv != CKR_OK) {
        if (!is_sign_in_code(details::token_error_code(rv)) && operation->present && !operation->present())
            rv = CKR_DEVICE_REMOVED;
        details::raise_token_error(rv);
        return -1;
    }
    CK_ULONG length = static_cast<CK_ULONG>(RSA_size(rsa));
    rv = functions->C_Decrypt(session, const_cast<unsigned char*>(from), static_cast<CK_ULONG>(size), to, &length);
    if (rv != CKR_OK) {
        if (!is_sign_in_code(details::token_error_code(rv)) && operation->present && !operation->present())
            rv = CKR_DEVICE_REMOVED;
        details::raise_token_error(rv);
        return -1;
    }
    return static_cast<int>(length);
}

int token_refuse(int, const unsigned char*, unsigned char*, RSA*, int) {
    ERR_raise(ERR_LIB_RSA, RSA_R_OPERATION_NOT_SUPPORTED_FOR_THIS_KEYTYPE);
    return -1;
}

int token_finish(RSA* rsa) {
    delete static_cast<TokenOperation*>(RSA_get_ex_data(rsa, operation_index()));
    RSA_set_ex_data(rsa, operation_index(), nullptr);
    const auto base = RSA_meth_get_finish(RSA_PKCS1_OpenSSL());
    return base != nullptr ? base(rsa) : 1;
}

const RSA_METHOD* token_method() {
    static RSA_METHOD* const method = [] {
        RSA_METHOD* made = RSA_meth_dup(RSA_PKCS1_OpenSSL());
        if (made != nullptr) {
            RSA_meth_set1_name(made, "PKCS#11 token key");
            RSA_meth_set_priv_dec(made, token_decrypt);
            RSA_meth_set_priv_enc(made, token_refuse);
            RSA_meth_set_finish(made, token_finish);
        }
        return made;
    }();
    return method;
}

// An EVP_PKEY with the certificate's public RSA key whose private operation is the token's.
details::EvpPkeyPtr rsa_key_on_token(X509* certificate, std::unique_ptr<TokenOperation> operation) {
    const EVP_PKEY* public_key = X509_get0_pubkey(certificate);
    const RSA* public_rsa = public_key != nullptr ? EVP_PKEY_get0_RSA(public_key) : nullptr;
    if (public_rsa == nullptr) {
        ERR_clear_error();
        throw CryptoException(CryptoException::NO_MATCHING_KEY, "EVP_PKEY_get0_RSA");
    }
    const RSA_METHOD* method = token_method();
    if (method == nullptr)
        details::throw_openssl_error("RSA_meth_dup", ERR_PACK(ERR_LIB_RSA, 0, ERR_R_MALLOC_FAILURE));
    std::unique_ptr<RSA, decltype(&RSA_free)> rsa(RSA_new(), &RSA_free);
    if (!rsa || RSA_set_method(rsa.get(), method) != 1)
        details::throw_openssl_error("RSA_new", ERR_PACK(ERR_LIB_RSA, 0, ERR_R_MALLOC_FAILURE));
    const BIGNUM* n = nullptr;
    const BIGNUM* e = nullptr;
    RSA_get0_key(public_rsa, &n, &e, nullptr);
    BIGNUM* modulus = BN_dup(n);
    BIGNUM* exponent = BN_dup(e);
    if (modulus == nullptr || exponent == nullptr || RSA_set0_key(rsa.get(), modulus, exponent, nullptr) != 1) {
        BN_free(modulus);
        BN_free(exponent);
        details::throw_openssl_error("RSA_set0_key", ERR_PACK(ERR_LIB_RSA, 0, ERR_R_MALLOC_FAILURE));
    }
    // From here on the RSA object owns the operation: token_finish ends it.
    RSA_set_ex_data(rsa.get(), operation_index(), operation.release());
    details::EvpPkeyPtr key(EVP_PKEY_new());
    if (!key || EVP_PKEY_assign_RSA(key.get(), rsa.get()) != 1)
        details::throw_openssl_error("EVP_PKEY_assign_RSA", ERR_PACK(ERR_LIB_EVP, 0, ERR_R_MALLOC_FAILURE));
    rsa.release();
    return key;
}

CK_ULONG ulong_attribute(const Pkcs11Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                         CK_ULONG fallback) {
    const std::vector<std::uint8_t> value = session.attribute(object, type);
    if (value.size() != sizeof(CK_ULONG))
        return fallback;
    CK_ULONG result = 0;
    std::copy(value.begin(), value.end(), reinterpret_cast<std::uint8_t*>(&result));
    return result;
}

// A private key on a token, found again by the token's identity and the key's CKA_ID.
class TokenKey : public IPrivateKey {
public:
    TokenKey(std::vector<std::string> module_paths, TokenIdentity token, std::vector<std::uint8_t> id,
             details::X509Ptr certificate)
        : module_paths_(std::move(module_paths)),
          token_(std::move(token)),
          id_(std::move(id)),
          certificate_(std::move(certificate)),
          location_(uri_of(token_.info, id_)) {}

    std::wstring location() const override { return location_; }

    details::EvpPkeyPtr load(IPinPrompt* prompt, const std::wstring& holder) const override {
        auto operation = std::make_unique<TokenOperation>();
        operation->modules = Pkcs11Modules::load(module_paths_);
        const std::size_t index = operation->modules->find(token_.module);
        const Pkcs11Module* module = nullptr;
        if (index < operation->modules->modules().size() && operation->modules->start(index))
            module = &operation->modules->modules()[index];
        const std::optional<CK_SLOT_ID> slot = module != nullptr ? find_slot(*module) : std::nullopt;
        if (!slot) {
            AGENT_ERROR(LOADING) << "The token \"" << agent::details::utf8_to_wide(token_.label()) << "\" (serial "
                                 << agent::details::utf8_to_wide(token_.serial()) << ") is not inserted";
            throw CryptoException(CryptoException::NO_MATCHING_KEY, "C_GetSlotList");
        }
        CK_FUNCTION_LIST* functions = module->functions;
        // Many modules report a token pulled out mid-way as a general failure; whether it
        // is still there tells the two apart.
        // Called from within OpenSSL too: never throws; a module that cannot list its slots
        // any more has lost the token as well.
        operation->present = [this, module]() noexcept {
            try {
                return find_slot(*module).has_value();
            } catch (const std::exception&) {
                return false;
            }
        };
        try {
            operation->session = std::make_unique<Pkcs11Session>(functions, *slot);
            operation->logged_in = log_in(functions, *slot, *operation->session, prompt, holder);

            const std::vector<CK_OBJECT_HANDLE> keys = find_key(*operation->session);
            if (keys.empty()) {
                AGENT_ERROR(LOADING) << "No private key " << location_;
                throw CryptoException(CryptoException::NO_MATCHING_KEY, "C_FindObjects");
            }
            operation->key = keys.front();
            const CK_ULONG type =
                ulong_attribute(*operation->session, operation->key, CKA_KEY_TYPE, CKK_VENDOR_DEFINED);
            if (type != CKK_RSA) {
                AGENT_ERROR(LOADING) << "The key " << location_ << " is of PKCS#11 key type " << std::to_string(type)
                                     << "; only RSA keys on tokens can decrypt the challenge";
                throw CryptoException(ERR_PACK(ERR_LIB_EVP, 0, EVP_R_UNSUPPORTED_ALGORITHM), "C_GetAttributeValue");
            }
        } catch (const CryptoException& e) {
            if (is_sign_in_code(e.code()) || operation->present())
                throw;
            AGENT_ERROR(LOADING) << "The token \"" << token_.label() << "\" was pulled out: " << e.description();
            throw CryptoException(CryptoException::NO_MATCHING_KEY, e.function());
        }
        return rsa_key_on_token(certificate_.get(), std::move(operation));
    }

private:
    std::optional<CK_SLOT_ID> find_slot(const Pkcs11Module& module) const {
        for (const CK_SLOT_ID slot : details::slots_with_token(module.functions)) {
            CK_TOKEN_INFO info{};
            if (module.functions->C_GetTokenInfo(slot, &info) == CKR_OK && token_.matches(info))
                return slot;
        }
        return std::nullopt;
    }

    // True when this call logged the user in (and so logs out when done).
    bool log_in(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot, const Pkcs11Session& session, IPinPrompt* prompt,
                const std::wstring& holder) const {
        CK_TOKEN_INFO info{};
        CK_RV rv = functions->C_GetTokenInfo(slot, &info);
        if (rv != CKR_OK)
            details::throw_token_error(rv, "C_GetTokenInfo");
        // A locked PIN cannot be helped by asking for it.
        if ((info.flags & CKF_USER_PIN_LOCKED) != 0) {
            AGENT_ERROR(LOADING) << "The PIN of the token \"" << agent::details::utf8_to_wide(token_.label())
                                 << "\" is locked";
            throw CryptoException(CryptoException::PIN_LOCKED, "C_Login");
        }
        if ((info.flags & CKF_LOGIN_REQUIRED) == 0)
            return false;
        CK_SESSION_INFO state{};
        if (functions->C_GetSessionInfo(session.handle(), &state) == CKR_OK &&
            (state.state == CKS_RO_USER_FUNCTIONS || state.state == CKS_RW_USER_FUNCTIONS))
            return false;
        if ((info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
            rv = functions->C_Login(session.handle(), CKU_USER, nullptr, 0);
        } else {
            const details::Secret pin = details::ask_pin(prompt, holder, location_);
            rv = functions->C_Login(session.handle(), CKU_USER,
                                    reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.c_str())),
                                    static_cast<CK_ULONG>(pin.size()));
        }
        if (rv == CKR_USER_ALREADY_LOGGED_IN)
            return false;
        if (rv == CKR_OK)
            return true;
        // The last wrong try locks the PIN; say so rather than "wrong PIN".
        if (rv == CKR_PIN_INCORRECT && functions->C_GetTokenInfo(slot, &info) == CKR_OK &&
            (info.flags & CKF_USER_PIN_LOCKED) != 0)
            rv = CKR_PIN_LOCKED;
        AGENT_ERROR(LOADING) << "Login to " << location_ << ": " << p11_kit_strerror(rv);
        details::throw_token_error(rv, "C_Login");
    }

    std::vector<CK_OBJECT_HANDLE> find_key(const Pkcs11Session& session) const {
        CK_OBJECT_CLASS type = CKO_PRIVATE_KEY;
        return session.find({{CKA_CLASS, &type, sizeof type},
                             {CKA_ID, const_cast<std::uint8_t*>(id_.data()), static_cast<CK_ULONG>(id_.size())}},
                            1);
    }

    std::vector<std::string> module_paths_;
    TokenIdentity token_;
    std::vector<std::uint8_t> id_;
    details::X509Ptr certificate_;
    std::wstring location_;
};

struct Found {
    std::vector<std::uint8_t> label;
    std::vector<std::uint8_t> id;
    std::vector<std::uint8_t> der;
    Certificate certificate;
    // A key object of the pair was seen; false for a key taken on trust (found at sign-in).
    bool key_seen = false;
};

// What one module's listing thread hands back.
struct ModuleListing {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;  // the listing went on without this module
    std::vector<Found> found;
    std::size_t module = 0;
};

void list_token(const std::vector<std::string>& module_paths, const Pkcs11Module& module, CK_SLOT_ID slot,
                std::vector<Found>& found) {
    TokenIdentity token{module.name, {}};
    const CK_RV rv = module.functions->C_GetTokenInfo(slot, &token.info);
    if (rv != CKR_OK)
        details::throw_token_error(rv, "C_GetTokenInfo");
    // A blank token (softhsm2 keeps one free slot of these) holds nothing to list, and no
    // session can be opened on it.
    if ((token.info.flags & CKF_TOKEN_INITIALIZED) == 0) {
        AGENT_INFO(LISTING) << "Slot " << std::to_string(slot) << " of " << module.name << " holds a blank token";
        return;
    }
    const std::wstring store_name = uri_of(token.info);
    // Private objects are out of sight until the login: a key stored without a public-key
    // object beside it (as tokens provisioned with "pkcs11-tool --write-object" are) is only
    // found then.
    const bool keys_hidden = (token.info.flags & CKF_LOGIN_REQUIRED) != 0;

    Pkcs11Session session(module.functions, slot);
    CK_OBJECT_CLASS certificate_class = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    std::vector<Found> on_token;
    for (const CK_OBJECT_HANDLE object :
         session.find({{CKA_CLASS, &certificate_class, sizeof certificate_class},
                       {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}})) {
        std::vector<std::uint8_t> der = session.attribute(object, CKA_VALUE);
        const unsigned char* cursor = der.data();
        details::X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
        if (!certificate) {
            const CryptoException error(details::take_openssl_error(ERR_PACK(ERR_LIB_ASN1, 0, ASN1_R_HEADER_TOO_LONG)),
                                        "d2i_X509");
            AGENT_ERROR(LISTING) << "Skipped a certificate of " << store_name << ": " << error.description();
            continue;
        }
        std::vector<std::uint8_t> id = session.attribute(object, CKA_ID);
        // Private keys are mostly hidden until the login; the public key of the pair is not.
        bool has_key = false;
        for (CK_OBJECT_CLASS key_class : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY})
            has_key = has_key || (!id.empty() && !session
                                                      .find({{CKA_CLASS, &key_class, sizeof key_class},
                                                             {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())}},
                                                            1)
                                                      .empty());
        const bool authority = X509_check_ca(certificate.get()) != 0;
        if (!has_key && authority)
            continue;
        const bool key_seen = has_key;
        // Listed on trust: the sign-in looks for the key after the PIN, and a token that
        // then holds none gives the certificate error.
        if (!has_key && keys_hidden && !id.empty())
            has_key = true;
        std::shared_ptr<const IPrivateKey> key;
        if (has_key) {
            X509_up_ref(certificate.get());
            key = std::make_shared<TokenKey>(module_paths, token, id, details::X509Ptr(certificate.get()));
        }
        on_token.push_back(Found{session.attribute(object, CKA_LABEL), std::move(id), std::move(der),
                                 Certificate(std::move(certificate), std::move(key), store_name, Carrier::Token),
                                 key_seen});
    }
    std::sort(on_token.begin(), on_token.end(), [](const Found& a, const Found& b) {
        return std::tie(a.label, a.id, a.der) < std::tie(b.label, b.id, b.der);
    });
    for (Found& entry : on_token)
        found.push_back(std::move(entry));
}

void list_module(Pkcs11Modules& modules, std::size_t index, const std::vector<std::string>& paths,
                 std::vector<Found>& found) {
    if (!modules.start(index))
        return;
    const Pkcs11Module& module = modules.modules()[index];
    std::vector<CK_SLOT_ID> slots;
    try {
        slots = details::slots_with_token(module.functions);
    } catch (const Exception& e) {
        AGENT_ERROR(LISTING) << "Skipped the PKCS#11 module " << module.name << ": " << e.description();
        return;
    }
    for (const CK_SLOT_ID slot : slots) {
        try {
            list_token(paths, module, slot, found);
        } catch (const Exception& e) {
            AGENT_ERROR(LISTING) << "Skipped slot " << std::to_string(slot) << " of the PKCS#11 module " << module.name
                                 << ": " << e.description();
        }
    }
}

}  // namespace

TokenStore::TokenStore(std::vector<std::string> module_paths, std::chrono::milliseconds module_timeout)
    : module_paths_(std::move(module_paths)), module_timeout_(module_timeout) {}

std::vector<std::string> TokenStore::module_paths_from_environment() {
    std::vector<std::string> paths;
    const char* value = std::getenv("VARNEL_PKCS11_MODULES");
    if (value == nullptr)
        return paths;
    const std::string text = value;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(':', start), text.size());
        if (end > start)
            paths.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return paths;
}

std::vector<Certificate> TokenStore::enumerate(IPinPrompt*) {
    const std::shared_ptr<Pkcs11Modules> modules = Pkcs11Modules::load(module_paths_);
    // Each module answers on a thread of its own, so one that hangs (a reader that does
    // not respond, a module waiting on a service) holds up the listing only until the
    // deadline and hides no other module's tokens. A thread given up on keeps the modules
    // loaded until it ends.
    std::vector<std::shared_ptr<ModuleListing>> listings;
    for (std::size_t index = 0; index < modules->modules().size(); ++index) {
        auto listing = std::make_shared<ModuleListing>();
        listing->module = index;
        try {
            std::thread([modules = modules, index, paths = module_paths_, listing]() mutable {
                const std::string name = modules->modules()[index].name;
                std::vector<Found> found;
                try {
                    list_module(*modules, index, paths, found);
                } catch (const std::exception& e) {
                    AGENT_ERROR(LISTING) << "Skipped the PKCS#11 module " << name << ": " << e.what();
                    found.clear();
                }
                // Let go before saying done: the listing then finalises the modules itself
                // before it returns (or, given up on, this thread does as it ends).
                modules.reset();
                std::lock_guard lock(listing->mutex);
                if (listing->abandoned) {
                    AGENT_WARN(LISTING) << "The PKCS#11 module " << name
                                        << " answered after the listing had gone on without it";
                }
                listing->found = std::move(found);
                listing->done = true;
                listing->changed.notify_all();
            }).detach();
        } catch (const std::system_error& e) {
            AGENT_ERROR(LISTING) << "Skipped the PKCS#11 module " << modules->modules()[index].name << ": " << e.what();
            continue;
        }
        listings.emplace_back(std::move(listing));
    }

    std::vector<Found> found;
    const auto deadline = std::chrono::steady_clock::now() + module_timeout_;
    for (const auto& shared : listings) {
        ModuleListing& listing = *shared;
        std::unique_lock lock(listing.mutex);
        if (!listing.changed.wait_until(lock, deadline, [&listing] { return listing.done; })) {
            listing.abandoned = true;
            AGENT_ERROR(LISTING) << "The PKCS#11 module " << modules->modules()[listing.module].name
                                 << " did not answer within "
                                 << std::to_string(module_timeout_.count()) << " ms; its tokens are left out";
            continue;
        }
        for (Found& entry : listing.found)
            found.push_back(std::move(entry));
    }

    // The first copy of each certificate, unless a later one has a key where it had none, or
    // a key seen where it had one only on trust.
    std::vector<Certificate> result;
    std::vector<bool> key_seen;
    std::map<std::string, std::size_t> seen;
    for (Found& entry : found) {
        const std::string digest = details::fingerprint(entry.certificate.handle());
        const auto [position, added] = seen.emplace(digest, result.size());
        if (added) {
            result.push_back(std::move(entry.certificate));
            key_seen.push_back(entry.key_seen);
            continue;
        }
        const std::size_t at = position->second;
        const bool better = entry.certificate.has_private_key() &&
                            (!result[at].has_private_key() || (!key_seen[at] && entry.key_seen));
        if (better) {
            result[at] = std::move(entry.certificate);
            key_seen[at] = entry.key_seen;
        }
    }
    AGENT_INFO(LISTING) << result.size() << " certificates on " << modules->modules().size() << " PKCS#11 modules";
    return result;
}

}  // namespace agent::crypto
