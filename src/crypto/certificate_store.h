#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crypto/certificate.h"
#include "crypto/pin_prompt.h"
#include "details/datetime.h"

namespace agent::crypto {

// A source of the user's certificates: the certificate directory, PKCS#11 tokens, or both.
// Callers see only this interface and Certificate.
class ICertificateStore {
public:
    virtual ~ICertificateStore() = default;

    // The store's name as certificates carry it (the directory path, or a token address).
    virtual std::wstring name() const = 0;

    // Every certificate of the store, in a stable order. An entry that cannot be read is
    // skipped with an ERROR log line, so one bad entry never hides the others. The prompt
    // (may be null) is asked only for entries whose certificate itself is locked by a PIN.
    virtual std::vector<Certificate> enumerate(IPinPrompt* prompt) = 0;
};

namespace details {

// The clock the validity check reads; tests set the edges of a validity period.
using UtcClock = std::function<DateTime()>;

// The filter of the listings: three checks, each switched by its flag.
class CertCustomFilterFn {
public:
    CertCustomFilterFn(bool require_private_key, bool check_validity, bool require_qualified,
                       UtcClock clock = agent::utc_now);

    bool operator()(const Certificate& certificate) const;

    bool require_private_key;
    bool check_validity;
    bool require_qualified;

private:
    UtcClock clock_;
};

// Subject attributes of a certificate, from OID to the first value with that OID.
using SubjectAttributes = std::map<std::string, std::wstring>;
SubjectAttributes read_subject(const Certificate& certificate);

// The subject shapes of a person (with or without OGRNIP) and of an organisation.
bool check_subject(const SubjectAttributes& subject);

// Walks the extensions in order; passes when one of them set a mark before a recognised
// extension failed its test.
bool check_extensions(const Certificate& certificate);

}  // namespace details

using CertificateFilter = std::function<bool(const Certificate&)>;

// The store's certificates for which the filter answers true, in the store's order. A
// certificate whose check throws is skipped with an ERROR log line.
std::vector<Certificate> list_certificates(ICertificateStore& store, const CertificateFilter& filter,
                                           IPinPrompt* prompt = nullptr);

// The user's certificate directory: $XDG_DATA_HOME/varnel-agent/certificates/.
std::wstring default_certificate_directory();

// The certificates that can sign in: from the user's tokens and certificate directory
// (UserCertificateStore), with a private key, valid now, shaped like a qualified
// certificate. Called on a worker thread.
std::vector<Certificate> list_sign_in_certificates(IPinPrompt* prompt = nullptr);

}  // namespace agent::crypto
