#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <p11-kit/p11-kit.h>

// PKCS#11 modules through p11-kit, for the token store and its keys. Internal to src/crypto.
namespace agent::crypto::details {

// One loaded module.
struct Pkcs11Module {
    CK_FUNCTION_LIST* functions = nullptr;
    std::string name;  // p11-kit's name of the module, or the path it was loaded from
};

// The modules p11-kit is configured with (trust-policy modules, which hold the system's
// authorities, left out) and any further modules named by path, loaded for one use: a
// listing, or a key while it is in use. A module that fails to load is left out with an
// ERROR log line. The started ones are finalised and all released with the last reference,
// so a token inserted or removed in between is seen by the next use.
class Pkcs11Modules {
public:
    static std::shared_ptr<Pkcs11Modules> load(const std::vector<std::string>& extra_paths);
    ~Pkcs11Modules();
    Pkcs11Modules(const Pkcs11Modules&) = delete;
    Pkcs11Modules& operator=(const Pkcs11Modules&) = delete;

    // In order of name, so that listings come in a stable order.
    const std::vector<Pkcs11Module>& modules() const noexcept { return modules_; }
    // The index of the module with the name, or modules().size().
    std::size_t find(const std::string& name) const noexcept;

    // Initialises the module (once); false, with an ERROR log line, when it does not start.
    // Different modules may be started from different threads at the same time.
    bool start(std::size_t index);

private:
    Pkcs11Modules() = default;

    CK_FUNCTION_LIST** registered_ = nullptr;
    std::vector<CK_FUNCTION_LIST*> by_path_;
    std::vector<Pkcs11Module> modules_;
    std::vector<std::uint8_t> started_;  // one element per module, each written by its own thread
};

// An open session, closed when it goes out of scope.
class Pkcs11Session {
public:
    Pkcs11Session(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot);  // throws CryptoException
    ~Pkcs11Session();
    Pkcs11Session(const Pkcs11Session&) = delete;
    Pkcs11Session& operator=(const Pkcs11Session&) = delete;

    CK_FUNCTION_LIST* functions() const noexcept { return functions_; }
    CK_SESSION_HANDLE handle() const noexcept { return handle_; }

    // The handles of the objects with all the attributes (up to `most`).
    std::vector<CK_OBJECT_HANDLE> find(std::vector<CK_ATTRIBUTE> pattern, std::size_t most = 1000) const;
    // One attribute's bytes; nothing when the object has no such attribute or keeps it secret.
    std::vector<std::uint8_t> attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;

private:
    CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

// The slots holding a token, in order of slot id.
std::vector<CK_SLOT_ID> slots_with_token(CK_FUNCTION_LIST* functions);

// Text of a blank-padded PKCS#11 field, without the padding.
std::string padded_text(const unsigned char* field, std::size_t size);

// The CryptoException code of a PKCS#11 failure: a token that is gone (removed, its session
// or slot lost) is NO_MATCHING_KEY, as for a key that is not there; a wrong PIN WRONG_PIN; a
// locked PIN PIN_LOCKED; a PIN entry cancelled on the reader PIN_CANCELLED. Anything else is
// an OpenSSL-style code of the "PKCS#11" error library, whose text is p11-kit's for the value.
std::uint32_t token_error_code(CK_RV rv);
[[noreturn]] void throw_token_error(CK_RV rv, const char* function);

// Puts the failure on OpenSSL's error queue, for a key operation that OpenSSL runs through a
// token (the queue is how such a failure leaves OpenSSL's call).
void raise_token_error(CK_RV rv);

// The code a decryption failure is reported with: a token's own reason when the oldest
// error of the queue came from the token, else OpenSSL's code unchanged.
std::uint32_t sign_in_code(std::uint32_t openssl_code);

}  // namespace agent::crypto::details
