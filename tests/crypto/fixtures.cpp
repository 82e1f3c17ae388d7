#include "fixtures.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "details/path.h"
#include "details/strings.h"
#include "support/sandbox.h"

namespace agent::testing::crypto {

namespace cli {
// A field name is cut after its first ".", as in "0.OU"; "0." keeps the whole OID.
const char* const REQUEST_HEADER = R"([ req ]
distinguished_name = subject
prompt = no
string_mask = utf8only
utf8 = yes

[ subject ]
)";

const char* const PERSON = R"(CN = Сидоров Сидор Сидорович
0.2.5.4.4 = Сидоров
0.2.5.4.42 = Сидор Сидорович
C = RU
ST = 50 Московская область
0.1.2.643.3.131.1.1 = 500100732259
0.1.2.643.100.3 = 11223344595
)";

const char* const ORGANISATION = R"(CN = АО «Берёзка»
O = АО «Берёзка»
C = RU
ST = 78 Санкт-Петербург
0.1.2.643.3.131.1.1 = 007810123456
0.1.2.643.100.1 = 1027810123456
0.1.2.840.113549.1.9.2 = INN=7810123456/KPP=781001001
)";

const char* const EXTENSIONS_CONFIG = R"([ user ]
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
certificatePolicies = 1.2.643.100.113.1
crlDistributionPoints = URI:http://127.0.0.1/cli-ca.crl
1.2.643.100.111 = ASN1:UTF8String:КриптоТест 1.0
1.2.643.100.112 = ASN1:SEQUENCE:issuer_tools

[ issuer_tools ]
sign_tool = UTF8:КриптоТест 1.0
ca_tool = UTF8:УЦ Тест 2.0
sign_tool_certificate = UTF8:СФ/124-0001
ca_tool_certificate = UTF8:СФ/128-0002
)";

}  // namespace cli

const certgen::Authority& authority() {
    static const certgen::Authority instance;
    return instance;
}

EVP_PKEY* shared_key() {
    static const certgen::PkeyPtr key = certgen::generate_rsa_key(2048);
    return key.get();
}

certgen::UserCertificate make(certgen::UserOptions options, bool fresh_key) {
    if (!fresh_key && options.reuse_key == nullptr)
        options.reuse_key = shared_key();
    return certgen::issue(authority(), options);
}

std::filesystem::path certificate_directory() {
    const std::filesystem::path directory =
        std::filesystem::path(details::wide_to_utf8(details::path::get_user_data_directory())) / "certificates";
    std::filesystem::create_directories(directory);
    return directory;
}

bool same(const agent::crypto::Certificate& listed, const certgen::UserCertificate& made) {
    return X509_cmp(listed.handle(), made.certificate()) == 0;
}

std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void CapturingLogger::write(const wchar_t* text, std::size_t count) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text, count);
}

std::vector<std::wstring> CapturingLogger::lines_with(const std::wstring& part) const {
    std::lock_guard lock(mutex_);
    std::vector<std::wstring> found;
    for (const auto& line : lines_)
        if (line.find(part) != std::wstring::npos)
            found.push_back(line);
    return found;
}

CapturingLogger& capture_log() {
    auto logger = std::make_unique<CapturingLogger>();
    logger->level = details::LEVEL_DEBUG;
    CapturingLogger& result = *logger;
    details::install_logger(std::move(logger));
    return result;
}

bool openssl_gost_pkcs12(const std::filesystem::path& work, const std::filesystem::path& out, const std::string& pin) {
    std::filesystem::create_directories(work);
    write_text(work / "ext.cnf", cli::EXTENSIONS_CONFIG);
    write_text(work / "person.cnf", std::string(cli::REQUEST_HEADER) + cli::PERSON);
    const std::string in = "cd '" + work.string() + "' && ";
    return run(in + "openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout ca.key "
                    "-out ca.crt -days 30 -subj '/CN=GOST CLI CA' -addext basicConstraints=critical,CA:TRUE") &&
           run(in + "openssl req -engine gost -new -newkey gost2012_256 -pkeyopt paramset:A -nodes -config "
                    "person.cnf -keyout person.key -out person.csr") &&
           run(in + "openssl x509 -engine gost -req -in person.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
                    "-days 365 -extfile ext.cnf -extensions user -out person.crt") &&
           run(in + "openssl pkcs12 -engine gost -export -in person.crt -inkey person.key -keypbe gost89 -certpbe "
                    "gost89 -macalg md_gost12_256 -passout 'pass:" + pin + "' -out '" + out.string() + "'");
}

bool run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    EXPECT_EQ(status, 0) << command;
    return status == 0;
}

}  // namespace agent::testing::crypto
