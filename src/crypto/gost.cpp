// The engine interface is deprecated in OpenSSL 3 in favour of providers, but the GOST
// provider Debian ships cannot decrypt CMS messages; the engine can, as `openssl cms
// -engine gost` does. This file is the only user of the engine interface.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "crypto/gost.h"

#include <mutex>

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "crypto/openssl.h"
#include "details/exception.h"
#include "details/logger.h"

namespace agent::crypto {

namespace {

constexpr const wchar_t* FUNCTION = L"agent::crypto::gost_available";
constexpr const char* ENGINE_ID = "gost";

struct Engine {
    bool loaded = false;
    std::uint32_t failure = 0;  // OpenSSL's code for why it could not be loaded
};

Engine load_engine() {
    Engine result;
    ERR_set_mark();
    ENGINE* engine = ENGINE_by_id(ENGINE_ID);
    if (engine == nullptr) {
        result.failure = details::take_openssl_error(ERR_PACK(ERR_LIB_ENGINE, 0, ENGINE_R_NO_SUCH_ENGINE));
        ERR_pop_to_mark();
        AGENT_WARN(FUNCTION) << "The GOST engine for OpenSSL was not found (install libengine-gost-openssl); "
                                "certificates with GOST R 34.10-2012 keys cannot sign in";
        return result;
    }
    // ENGINE_set_default takes its own functional references, kept in OpenSSL's tables
    // until the process ends; ours are released at once.
    const bool ok = ENGINE_init(engine) == 1 && ENGINE_set_default(engine, ENGINE_METHOD_ALL) == 1;
    if (!ok)
        result.failure = details::take_openssl_error(ERR_PACK(ERR_LIB_ENGINE, 0, ENGINE_R_INIT_FAILED));
    else
        ENGINE_finish(engine);
    ENGINE_free(engine);
    ERR_pop_to_mark();
    result.loaded = ok;
    if (ok)
        AGENT_INFO(FUNCTION) << "GOST engine for OpenSSL loaded";
    else
        AGENT_ERROR(FUNCTION) << "The GOST engine for OpenSSL did not start: "
                              << CryptoException(result.failure, "ENGINE_init").description();
    return result;
}

const Engine& engine() {
    static std::once_flag once;
    static Engine state;
    std::call_once(once, [] { state = load_engine(); });
    return state;
}

}  // namespace

bool gost_available() {
    return engine().loaded;
}

bool is_gost_key(X509* certificate) {
    ASN1_OBJECT* algorithm = nullptr;
    X509_PUBKEY* key = X509_get_X509_PUBKEY(certificate);
    if (key == nullptr || X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, key) != 1)
        return false;
    switch (OBJ_obj2nid(algorithm)) {
    case NID_id_GostR3410_2001:
    case NID_id_GostR3410_2012_256:
    case NID_id_GostR3410_2012_512:
        return true;
    default:
        return false;
    }
}

void require_gost_support(X509* certificate) {
    if (!is_gost_key(certificate) || gost_available())
        return;
    const CryptoException error(engine().failure, "ENGINE_by_id");
    AGENT_ERROR(L"agent::crypto::require_gost_support")
        << "The certificate has a GOST R 34.10-2012 key, which needs the GOST engine for OpenSSL "
           "(Debian package libengine-gost-openssl); it could not be loaded: "
        << error.description();
    throw error;
}

}  // namespace agent::crypto
