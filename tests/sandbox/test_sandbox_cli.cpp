#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "server_fixture.h"

namespace sandbox::testing {
namespace {

// Runs the program with the arguments; the exit status and what it printed on stdout.
std::pair<int, std::string> run(const std::vector<std::string>& arguments) {
    std::string command = VARNEL_SANDBOX_PROGRAM;
    for (const std::string& argument : arguments)
        command += " '" + argument + "'";
    command += " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// `varnel-sandbox serve` as a child process, stopped with SIGTERM.
class ServeProcess {
public:
    explicit ServeProcess(const std::vector<std::string>& arguments) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            std::vector<char*> argv{const_cast<char*>(VARNEL_SANDBOX_PROGRAM), const_cast<char*>("serve")};
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(VARNEL_SANDBOX_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        output_ = ::fdopen(fds[0], "r");
    }
    ~ServeProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (output_ != nullptr)
            std::fclose(output_);
    }
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    std::string line() {
        char buffer[512];
        return std::fgets(buffer, sizeof buffer, output_) != nullptr ? std::string(buffer) : std::string();
    }
    int terminate() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    std::FILE* output_ = nullptr;
};

using CliTest = agent::testing::SandboxTest;

TEST_F(CliTest, ServeListensAndPushReachesItsDemoUser) {
    ServeProcess serve({"--state", (home().path() / "state").string(), "--admin-token", "t"});
    const std::string first = serve.line();
    ASSERT_EQ(first.rfind("listening on http://127.0.0.1:", 0), 0u) << first;
    const std::string base = first.substr(13, first.size() - 14);

    const auto [status, output] = run({"push", "--url", base, "--admin-token", "t", "--subject", "Из командной строки",
                                        "--body", "Текст", "--link", "{base}/account"});
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output.rfind("pushed ", 0), 0u) << output;

    httplib::Client client(base);
    const auto sign_in = client.Post("/auth/authenticate-by-pass?login=demo@varnel.example", "demo", "text/plain");
    ASSERT_TRUE(sign_in);
    const std::string sid = parse(sign_in->body)["Sid"].asString();
    const auto top = client.Get("/api/v1/messages/top?count=1", session_header(sid));
    const Json::Value newest = parse(top->body)["items"][0];
    EXPECT_EQ(newest["subject"].asString(), "Из командной строки");
    EXPECT_EQ(newest["link"].asString(), base + "/account");
    EXPECT_EQ(serve.terminate(), 0);

    // The state outlives the process: the same session works after a new start.
    ServeProcess again({"--state", (home().path() / "state").string()});
    const std::string line = again.line();
    httplib::Client second(line.substr(13, line.size() - 14));
    EXPECT_EQ(second.Get("/api/v1/user/info", session_header(sid))->status, 200);
}

// A GOST user's certificate, made by OpenSSL's own tool, signs in at the first try against a
// stand-in provider that has just started (nothing in its process has used the engine yet).
TEST_F(CliTest, AGostCertificateSignsInAtTheFirstTryOfAFreshProvider) {
    const auto work = home().path();
    const std::string in = "cd '" + work.string() + "' && ";
    ASSERT_EQ(std::system((in + "openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes "
                                "-keyout key.pem -out cert.pem -days 30 -subj '/CN=Петров/emailAddress=demo@varnel.example' "
                                ">/dev/null 2>&1 && openssl x509 -engine gost -in cert.pem -outform DER -out cert.der "
                                ">/dev/null 2>&1")
                               .c_str()),
              0);
    ServeProcess serve({"--state", (work / "state").string()});
    const std::string first = serve.line();
    ASSERT_EQ(first.rfind("listening on http://127.0.0.1:", 0), 0u) << first;
    httplib::Client client(first.substr(13, first.size() - 14));
    const auto step1 =
        client.Post("/auth/authenticate-by-cert", agent::testing::read_text(work / "cert.der"), "application/octet-stream");
    ASSERT_TRUE(step1);
    ASSERT_EQ(step1->status, 200) << step1->body;
    const Json::Value answer = parse(step1->body);
    agent::testing::write_text(work / "challenge.b64", answer["EncryptedKey"].asString() + "\n");
    ASSERT_EQ(std::system((in + "openssl base64 -d -A -in challenge.b64 -out challenge.der && "
                                "openssl cms -engine gost -decrypt -binary -inform DER -in challenge.der "
                                "-inkey key.pem -recip cert.pem -out plain.bin >/dev/null 2>&1")
                               .c_str()),
              0);
    const std::string href = answer["Link"]["Href"].asString();
    const auto step2 = client.Post(href.substr(href.find("/auth/")), agent::testing::read_text(work / "plain.bin"),
                                   "application/octet-stream");
    ASSERT_TRUE(step2);
    EXPECT_EQ(step2->status, 200) << step2->body;
    EXPECT_EQ(serve.terminate(), 0);
}

// An installer posted the way curl posts a file by default (as a form) is taken as it is.
TEST_F(CliTest, AnInstallerPostedAsAFormIsTakenAsItIs) {
    ServeProcess serve({"--state", (home().path() / "state").string()});
    const std::string first = serve.line();
    const std::string base = first.substr(13, first.size() - 14);
    httplib::Client client(base);
    const std::string installer(18 * 1024, 'x');
    const auto posted = client.Post("/admin/update", installer, "application/x-www-form-urlencoded");
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->status, 204) << posted->body;
    // Too large for any content type: the reason is the size.
    const auto huge = client.Post("/admin/update", std::string(5 << 20, 'x'), "application/x-www-form-urlencoded");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->status, 413);
    EXPECT_NE(huge->body.find("larger than 4194304 bytes"), std::string::npos) << huge->body;
    const auto sign_in = client.Post("/auth/authenticate-by-pass?login=demo@varnel.example", "demo", "text/plain");
    const std::string sid = parse(sign_in->body)["Sid"].asString();
    const auto served = client.Get("/api/v1/client/installer", session_header(sid));
    ASSERT_TRUE(served);
    EXPECT_EQ(served->body, installer);
}

TEST_F(CliTest, BadCommandLinesAreRefused) {
    EXPECT_EQ(run({}).first, 2);
    EXPECT_EQ(run({"fly"}).first, 2);
    EXPECT_EQ(run({"serve", "--port", "banana"}).first, 2);
    EXPECT_EQ(run({"serve", "--bogus", "1"}).first, 2);
    EXPECT_EQ(run({"push", "--url", "http://127.0.0.1:1"}).first, 2);
    const auto [status, output] = run({"push", "--url", "http://127.0.0.1:1", "--subject", "s", "--body", "b"});
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("cannot reach"), std::string::npos) << output;
}

struct Pkcs12Contents {
    bool parsed = false;
    bool has_key = false;
    std::string subject;
};

Pkcs12Contents read_pkcs12(const std::filesystem::path& file, const char* pin) {
    Pkcs12Contents contents;
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr)
        return contents;
    PKCS12* p12 = d2i_PKCS12_fp(in, nullptr);
    std::fclose(in);
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* others = nullptr;
    if (p12 != nullptr && PKCS12_parse(p12, pin, &key, &certificate, &others) == 1) {
        // Without a key the user's certificate is not told apart: it is the one not self-signed.
        X509* user = certificate;
        for (int i = 0; user == nullptr && i < sk_X509_num(others); ++i)
            if (X509_NAME_cmp(X509_get_subject_name(sk_X509_value(others, i)),
                              X509_get_issuer_name(sk_X509_value(others, i))) != 0)
                user = sk_X509_value(others, i);
        if (user != nullptr) {
            contents.parsed = true;
            contents.has_key = key != nullptr;
            char* text = X509_NAME_oneline(X509_get_subject_name(user), nullptr, 0);
            contents.subject = text;
            OPENSSL_free(text);
        }
    }
    sk_X509_pop_free(others, X509_free);
    EVP_PKEY_free(key);
    X509_free(certificate);
    PKCS12_free(p12);
    return contents;
}

TEST_F(CliTest, MakeCertWritesCertificatesOfEachKind) {
    const auto file = home().path() / "person.p12";
    ASSERT_EQ(run({"make-cert", "--out", file.string(), "--pin", "1234"}).first, 0);
    const Pkcs12Contents person = read_pkcs12(file, "1234");
    EXPECT_TRUE(person.parsed);
    EXPECT_TRUE(person.has_key);
    EXPECT_NE(person.subject.find("emailAddress=demo@varnel.example"), std::string::npos) << person.subject;
    EXPECT_NE(person.subject.find("SNILS="), std::string::npos) << person.subject;
    EXPECT_FALSE(read_pkcs12(file, "wrong").parsed);

    const auto organization = home().path() / "org.p12";
    ASSERT_EQ(run({"make-cert", "--out", organization.string(), "--kind", "organization", "--no-key", "--email", ""}).first, 0);
    const Pkcs12Contents org = read_pkcs12(organization, "");
    EXPECT_TRUE(org.parsed);
    EXPECT_FALSE(org.has_key);
    EXPECT_NE(org.subject.find("OGRN="), std::string::npos) << org.subject;
    EXPECT_EQ(org.subject.find("emailAddress"), std::string::npos) << org.subject;

    // GOST keys, through OpenSSL's GOST engine: the tool reads them back with the engine.
    const auto gost = home().path() / "gost.pem";
    const auto made = run({"make-cert", "--out", gost.string(), "--kind", "entrepreneur", "--key", "gost2012_512"});
    ASSERT_EQ(made.first, 0) << made.second;
    EXPECT_EQ(std::system(("openssl x509 -engine gost -noout -text -in '" + gost.string() +
                           "' 2>/dev/null | grep -q 'GOST R 34.10-2012 with 512 bit modulus' && "
                           "openssl pkey -engine gost -noout -in '" + gost.string() + "' 2>/dev/null")
                              .c_str()),
              0);
    EXPECT_EQ(run({"make-cert", "--out", (home().path() / "z.p12").string(), "--key", "dsa"}).first, 2);

    EXPECT_EQ(run({"make-cert", "--out", (home().path() / "x.p12").string(), "--kind", "robot"}).first, 2);
    EXPECT_EQ(run({"make-cert", "--out", (home().path() / "y.p12").string(), "--expired", "--not-yet-valid"}).first, 2);
}

}  // namespace
}  // namespace sandbox::testing
