#include "crypto/pkcs11.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

#include <openssl/err.h>

#include "details/exception.h"
#include "details/logger.h"

namespace agent::crypto::details {

namespace {

constexpr const wchar_t* FUNCTION = L"agent::crypto::Pkcs11Modules::load";

struct FreeText {
    void operator()(char* text) const noexcept { std::free(text); }
};
using TextPtr = std::unique_ptr<char, FreeText>;

std::string module_name(CK_FUNCTION_LIST* module, const std::string& fallback) {
    const TextPtr name(p11_kit_module_get_name(module));
    return name ? std::string(name.get()) : fallback;
}

bool is_trust_module(CK_FUNCTION_LIST* module) {
    const TextPtr value(p11_kit_config_option(module, "trust-policy"));
    return value && (std::string(value.get()) == "yes" || std::string(value.get()) == "true");
}

// The "PKCS#11" library of OpenSSL's error queue, with p11-kit's text for each value that
// has been reported, so that CryptoException::message() reads well.
class ErrorLibrary {
public:
    static ErrorLibrary& instance() {
        static ErrorLibrary library;
        return library;
    }

    int number() const noexcept { return number_; }

    std::uint32_t code(CK_RV rv) {
        const unsigned long reason = static_cast<unsigned long>(rv) & ERR_REASON_MASK;
        std::lock_guard lock(mutex_);
        auto& entry = reasons_[reason];
        if (!entry) {
            entry = std::make_unique<Reason>();
            entry->text = p11_kit_strerror(rv);
            entry->strings[0] = {ERR_PACK(0, 0, reason), entry->text.c_str()};
            entry->strings[1] = {0, nullptr};
            ERR_load_strings(number_, entry->strings);
        }
        return static_cast<std::uint32_t>(ERR_PACK(number_, 0, reason));
    }

private:
    struct Reason {
        std::string text;
        ERR_STRING_DATA strings[2];
    };

    ErrorLibrary() : number_(ERR_get_next_error_library()) {
        name_[0] = {ERR_PACK(0, 0, 0), "PKCS#11 token"};
        name_[1] = {0, nullptr};
        ERR_load_strings(number_, name_);
    }

    int number_;
    ERR_STRING_DATA name_[2];
    std::mutex mutex_;
    std::map<unsigned long, std::unique_ptr<Reason>> reasons_;
};

}  // namespace

std::shared_ptr<Pkcs11Modules> Pkcs11Modules::load(const std::vector<std::string>& extra_paths) {
    std::shared_ptr<Pkcs11Modules> result(new Pkcs11Modules());
    // p11-kit prints its own complaints to standard error; they are logged here instead.
    p11_kit_be_quiet();
    std::vector<std::pair<CK_FUNCTION_LIST*, std::string>> loaded;
    result->registered_ = p11_kit_modules_load(nullptr, 0);
    if (result->registered_ == nullptr) {
        const char* message = p11_kit_message();
        AGENT_ERROR(FUNCTION) << "p11-kit loaded no modules: " << std::string(message ? message : "");
    } else {
        for (CK_FUNCTION_LIST** module = result->registered_; *module != nullptr; ++module)
            if (!is_trust_module(*module))
                loaded.emplace_back(*module, module_name(*module, "?"));
    }
    for (const std::string& path : extra_paths) {
        CK_FUNCTION_LIST* module = p11_kit_module_load(path.c_str(), 0);
        if (module == nullptr) {
            const char* message = p11_kit_message();
            AGENT_ERROR(FUNCTION) << "The PKCS#11 module " << path << " did not load: "
                                  << std::string(message ? message : "");
            continue;
        }
        result->by_path_.push_back(module);
        loaded.emplace_back(module, path);
    }
    for (const auto& [functions, name] : loaded)
        result->modules_.push_back(Pkcs11Module{functions, name});
    std::sort(result->modules_.begin(), result->modules_.end(),
              [](const Pkcs11Module& a, const Pkcs11Module& b) { return a.name < b.name; });
    result->started_.assign(result->modules_.size(), 0);
    return result;
}

bool Pkcs11Modules::start(std::size_t index) {
    if (started_[index] != 0)
        return true;
    const CK_RV rv = p11_kit_module_initialize(modules_[index].functions);
    if (rv != CKR_OK) {
        AGENT_ERROR(FUNCTION) << "The PKCS#11 module " << modules_[index].name << " did not start: "
                              << p11_kit_strerror(rv);
        return false;
    }
    started_[index] = 1;
    return true;
}

Pkcs11Modules::~Pkcs11Modules() {
    for (std::size_t i = 0; i < modules_.size(); ++i)
        if (started_[i] != 0)
            p11_kit_module_finalize(modules_[i].functions);
    for (CK_FUNCTION_LIST* module : by_path_)
        p11_kit_module_release(module);
    if (registered_ != nullptr)
        p11_kit_modules_release(registered_);
}

std::size_t Pkcs11Modules::find(const std::string& name) const noexcept {
    std::size_t index = 0;
    while (index < modules_.size() && modules_[index].name != name)
        ++index;
    return index;
}

Pkcs11Session::Pkcs11Session(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot) : functions_(functions) {
    const CK_RV rv = functions_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_);
    if (rv != CKR_OK)
        throw_token_error(rv, "C_OpenSession");
}

Pkcs11Session::~Pkcs11Session() {
    if (handle_ != CK_INVALID_HANDLE)
        functions_->C_CloseSession(handle_);
}

std::vector<CK_OBJECT_HANDLE> Pkcs11Session::find(std::vector<CK_ATTRIBUTE> pattern, std::size_t most) const {
    CK_RV rv = functions_->C_FindObjectsInit(handle_, pattern.data(), static_cast<CK_ULONG>(pattern.size()));
    if (rv != CKR_OK)
        throw_token_error(rv, "C_FindObjectsInit");
    std::vector<CK_OBJECT_HANDLE> found;
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG count = 0;
    while (found.size() < most) {
        rv = functions_->C_FindObjects(handle_, batch, 64, &count);
        if (rv != CKR_OK || count == 0)
            break;
        found.insert(found.end(), batch, batch + count);
    }
    functions_->C_FindObjectsFinal(handle_);
    if (rv != CKR_OK)
        throw_token_error(rv, "C_FindObjects");
    if (found.size() > most)
        found.resize(most);
    return found;
}

std::vector<std::uint8_t> Pkcs11Session::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
    CK_ATTRIBUTE query{type, nullptr, 0};
    CK_RV rv = functions_->C_GetAttributeValue(handle_, object, &query, 1);
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE || query.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return {};
    if (rv != CKR_OK)
        throw_token_error(rv, "C_GetAttributeValue");
    std::vector<std::uint8_t> value(query.ulValueLen);
    query.pValue = value.data();
    rv = functions_->C_GetAttributeValue(handle_, object, &query, 1);
    if (rv != CKR_OK)
        throw_token_error(rv, "C_GetAttributeValue");
    value.resize(query.ulValueLen);
    return value;
}

std::vector<CK_SLOT_ID> slots_with_token(CK_FUNCTION_LIST* functions) {
    CK_ULONG count = 0;
    CK_RV rv = functions->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK)
        throw_token_error(rv, "C_GetSlotList");
    std::vector<CK_SLOT_ID> slots(count);
    // A token inserted between the two calls grows the list.
    while ((rv = functions->C_GetSlotList(CK_TRUE, slots.data(), &count)) == CKR_BUFFER_TOO_SMALL)
        slots.resize(count);
    if (rv != CKR_OK)
        throw_token_error(rv, "C_GetSlotList");
    slots.resize(count);
    std::sort(slots.begin(), slots.end());
    return slots;
}

std::string padded_text(const unsigned char* field, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(field), p11_kit_space_strlen(field, size));
}

std::uint32_t token_error_code(CK_RV rv) {
    switch (rv) {
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SLOT_ID_INVALID:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_KEY_HANDLE_INVALID:
    case CKR_OBJECT_HANDLE_INVALID:
        return CryptoException::NO_MATCHING_KEY;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
        return CryptoException::WRONG_PIN;
    case CKR_PIN_LOCKED:
        return CryptoException::PIN_LOCKED;
    case CKR_FUNCTION_CANCELED:
        return CryptoException::PIN_CANCELLED;
    default:
        return ErrorLibrary::instance().code(rv);
    }
}

void throw_token_error(CK_RV rv, const char* function) {
    throw CryptoException(token_error_code(rv), function);
}

void raise_token_error(CK_RV rv) {
    ErrorLibrary::instance().code(rv);  // registers the text
    ERR_raise(ErrorLibrary::instance().number(), static_cast<int>(static_cast<unsigned long>(rv) & ERR_REASON_MASK));
}

std::uint32_t sign_in_code(std::uint32_t openssl_code) {
    if (ERR_GET_LIB(openssl_code) != ErrorLibrary::instance().number())
        return openssl_code;
    return token_error_code(static_cast<CK_RV>(ERR_GET_REASON(openssl_code)));
}

}  // namespace agent::crypto::details
