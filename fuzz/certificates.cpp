// The certificate reading of the directory store: the bytes as a PEM/DER file and as a
// PKCS#12 file, and every field the sign-in page shows of what was read.
#include "crypto/certificate.h"
#include "crypto/directory_store.h"
#include "details/exception.h"
#include "fuzz_support.h"

namespace {

void show(const std::vector<agent::crypto::Certificate>& certificates) {
    for (const agent::crypto::Certificate& certificate : certificates) {
        (void)certificate.display_name();
        (void)certificate.person_name();
        (void)certificate.inn();
        (void)certificate.kpp();
        (void)certificate.attribute(agent::crypto::oid::EMAIL_ADDRESS);
        (void)certificate.encoded();
        try {
            (void)certificate.valid_from();
            (void)certificate.valid_to();
        } catch (const agent::CryptoException&) {
            // A time OpenSSL cannot read, as documented.
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    try {
        show(agent::crypto::details::read_pem(bytes, L"fuzz.pem", L"", L"fuzz"));
    } catch (const agent::Exception&) {
    }
    try {
        show(agent::crypto::details::read_pkcs12(bytes, L"fuzz.p12", L"fuzz", nullptr));
    } catch (const agent::Exception&) {
    }
    return 0;
}
