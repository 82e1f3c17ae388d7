// OpenSSL's GOST engine for the test tools: the engine interface is deprecated in OpenSSL 3,
// and this file is the tools' only user of it (the agent loads the engine in src/crypto).
#define OPENSSL_SUPPRESS_DEPRECATED

#include <mutex>

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "certgen/certgen.h"

namespace agent::certgen {

bool load_gost_engine() {
    static std::once_flag once;
    static bool loaded = false;
    std::call_once(once, [] {
        ENGINE* engine = ENGINE_by_id("gost");
        if (engine != nullptr) {
            loaded = ENGINE_init(engine) == 1 && ENGINE_set_default(engine, ENGINE_METHOD_ALL) == 1;
            if (loaded)
                ENGINE_finish(engine);
            ENGINE_free(engine);
        }
        ERR_clear_error();
    });
    return loaded;
}

bool has_gost_key(X509* certificate) {
    ASN1_OBJECT* algorithm = nullptr;
    X509_PUBKEY* key = X509_get_X509_PUBKEY(certificate);
    if (key == nullptr || X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, key) != 1)
        return false;
    const int nid = OBJ_obj2nid(algorithm);
    return nid == NID_id_GostR3410_2001 || nid == NID_id_GostR3410_2012_256 || nid == NID_id_GostR3410_2012_512;
}

}  // namespace agent::certgen
