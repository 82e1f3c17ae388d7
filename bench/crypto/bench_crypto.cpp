// Listing a certificate directory of 200 certificates of which 20 can sign in, and
// decrypting one challenge.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "certgen/certgen.h"
#include "crypto/certificate_store.h"
#include "crypto/decrypt.h"
#include "crypto/directory_store.h"
#include "crypto/token_store.h"
#include "details/strings.h"

namespace {

using namespace agent::certgen;

struct Fixture {
    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnel-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        directory = pattern;
        const PkeyPtr key = generate_rsa_key(2048);
        for (unsigned i = 0; i < 200; ++i) {
            const auto kind = static_cast<SubjectKind>(i % 3);
            UserOptions options = UserOptions::for_kind(kind, i);
            options.reuse_key = key.get();
            // Every tenth certificate can sign in; the others fail one check each.
            switch (i % 10 == 0 ? 0 : 1 + i % 4) {
            case 1:
                options.expired();
                break;
            case 2:
                options.without_private_key();
                break;
            case 3:
                options.snils.reset();
                options.ogrn.reset();
                break;
            case 4:
                options.not_yet_valid();
                break;
            default:
                break;
            }
            const UserCertificate made = issue(authority, options);
            const std::string name = "user-" + std::to_string(1000 + i);
            if (i % 2 == 0)
                made.write_pkcs12(directory / (name + ".p12"));
            else
                made.write_pem(directory / (name + ".pem"), options.with_private_key);
            if (i == 0) {
                challenge = envelope(made.certificate(), std::vector<std::uint8_t>(32, 0x5A));
                Pkcs12Options with_pin;
                with_pin.pin = "1234";
                made.write_pkcs12(pin_directory / "pin.p12", with_pin);
            }
        }
    }
    ~Fixture() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
        std::filesystem::remove_all(pin_directory, ignored);
    }

    std::wstring name() const { return agent::details::utf8_to_wide(directory.string()); }

    Authority authority;
    std::filesystem::path directory;
    std::filesystem::path pin_directory = std::filesystem::temp_directory_path() /
                                          ("varnel-bench-pin-" + std::to_string(::getpid()));
    std::vector<std::uint8_t> challenge;
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

void BM_ListSignInCertificates(benchmark::State& state) {
    agent::crypto::DirectoryStore store(fixture().name());
    const agent::crypto::details::CertCustomFilterFn filter(true, true, true);
    std::size_t listed = 0;
    for (auto _ : state) {
        listed = agent::crypto::list_certificates(store, filter).size();
        benchmark::DoNotOptimize(listed);
    }
    if (listed != 20)
        state.SkipWithError("expected 20 eligible certificates");
    state.counters["listed"] = static_cast<double>(listed);
}
BENCHMARK(BM_ListSignInCertificates)->Unit(benchmark::kMillisecond);

void BM_DecryptChallenge(benchmark::State& state) {
    agent::crypto::DirectoryStore store(fixture().name());
    const agent::crypto::Certificate certificate = store.enumerate(nullptr).front();
    for (auto _ : state)
        benchmark::DoNotOptimize(agent::crypto::decrypt(certificate, fixture().challenge));
}
BENCHMARK(BM_DecryptChallenge)->Unit(benchmark::kMillisecond);

// The same with a PIN-protected PKCS#12: the PIN's key derivation is part of the cost.
void BM_DecryptChallengeWithPin(benchmark::State& state) {
    agent::crypto::DirectoryStore store(agent::details::utf8_to_wide(fixture().pin_directory.string()));
    const agent::crypto::Certificate certificate = store.enumerate(nullptr).front();
    agent::crypto::StaticPinPrompt prompt(L"1234");
    for (auto _ : state)
        benchmark::DoNotOptimize(agent::crypto::decrypt(certificate, fixture().challenge, &prompt));
}
BENCHMARK(BM_DecryptChallengeWithPin)->Unit(benchmark::kMillisecond);

// What tokens add to every listing: loading and starting the PKCS#11 modules p11-kit knows
// (on this machine softhsm2, with whatever tokens its configuration names) and asking them.
void BM_ListTokens(benchmark::State& state) {
    agent::crypto::TokenStore tokens(std::vector<std::string>{});
    std::size_t listed = 0;
    for (auto _ : state) {
        listed = tokens.enumerate(nullptr).size();
        benchmark::DoNotOptimize(listed);
    }
    state.counters["listed"] = static_cast<double>(listed);
}
BENCHMARK(BM_ListTokens)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
