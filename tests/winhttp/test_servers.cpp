#include "winhttp/test_servers.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "details/strings.h"
#include "support/sandbox.h"

namespace agent::testing {

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Cert = std::unique_ptr<X509, CertDeleter>;

Key make_key() {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key)
        throw std::runtime_error("EVP_PKEY_Q_keygen failed");
    return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        throw std::runtime_error("X509V3_EXT_conf_nid failed");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

Cert make_certificate(EVP_PKEY* key, const char* common_name, X509* issuer, EVP_PKEY* issuer_key, long serial) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7 * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (issuer == nullptr) {
        add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        add_extension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        add_extension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
        add_extension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        add_extension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256()) == 0)
        throw std::runtime_error("X509_sign failed");
    return cert;
}

void write_pem(const std::filesystem::path& file, X509* cert, EVP_PKEY* key) {
    FILE* out = std::fopen(file.c_str(), "w");
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    if (cert)
        PEM_write_X509(out, cert);
    if (key)
        PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(out);
}

bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

TestCa::TestCa(const std::filesystem::path& directory) {
    std::filesystem::create_directories(directory);
    Key ca_key = make_key();
    Cert ca = make_certificate(ca_key.get(), "varnel test CA", nullptr, nullptr, 1);
    Key server_key = make_key();
    Cert server = make_certificate(server_key.get(), "127.0.0.1", ca.get(), ca_key.get(), 2);
    ca_file = directory / "ca.pem";
    certificate_file = directory / "server.pem";
    key_file = directory / "server.key";
    write_pem(ca_file, ca.get(), nullptr);
    write_pem(certificate_file, server.get(), nullptr);
    write_pem(key_file, nullptr, server_key.get());
}

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (iequals(key, name))
            return value;
    return {};
}

bool RecordedRequest::has_header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (iequals(key, name))
            return true;
    return false;
}

// ---- HttpServer ------------------------------------------------------------------------

HttpServer::HttpServer() : server_(std::make_unique<httplib::Server>()) {}

HttpServer::HttpServer(const TestCa& ca)
    : secure_(true),
      server_(std::make_unique<httplib::SSLServer>(ca.certificate_file.c_str(), ca.key_file.c_str())) {
    if (!server_->is_valid())
        throw std::runtime_error("the HTTPS test server cannot load its certificate");
}

HttpServer::~HttpServer() {
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

void HttpServer::start() {
    // After the handler, before the answer goes out: the body has been read by then, and the
    // client cannot see the answer before the request is on record.
    server_->set_post_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        RecordedRequest record;
        record.method = request.method;
        record.target = request.target;
        for (const auto& [name, value] : request.headers)
            record.headers.emplace_back(name, value);
        record.body = request.body;
        record.remote_port = request.remote_port;
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(record));
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("the test server cannot bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() does nothing to a server that is not running yet, and the destructor would then
    // wait for a listen loop that never ends.
    if (!wait_for([this] { return server_->is_running(); }, std::chrono::seconds(30)))
        throw std::runtime_error("the test server does not start");
}

std::wstring HttpServer::url(const std::string& path) const {
    return details::utf8_to_wide((secure_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path);
}

std::vector<RecordedRequest> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

// ---- RawServer -------------------------------------------------------------------------

std::string RawConnection::read_request() {
    auto fill = [this]() {
        char data[4096];
        for (;;) {
            pollfd entry{fd_, POLLIN, 0};
            int ready = ::poll(&entry, 1, 100);
            if (stopping_.load())
                return false;
            if (ready <= 0)
                continue;
            ssize_t got = ::recv(fd_, data, sizeof data, 0);
            if (got <= 0)
                return false;
            buffer_.append(data, static_cast<std::size_t>(got));
            return true;
        }
    };
    std::size_t head_end;
    while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos)
        if (!fill())
            return {};
    head_end += 4;
    std::string head = buffer_.substr(0, head_end);
    std::string lower = head;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t end = head_end;
    if (lower.find("\r\ntransfer-encoding:") != std::string::npos) {
        std::size_t final_chunk;
        while ((final_chunk = buffer_.find("\r\n0\r\n\r\n", head_end - 2)) == std::string::npos)
            if (!fill())
                return {};
        end = final_chunk + 7;
    } else if (std::size_t at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
        end = head_end + std::stoul(head.substr(at + 17));
        while (buffer_.size() < end)
            if (!fill())
                return {};
    }
    std::string request = buffer_.substr(0, end);
    buffer_.erase(0, end);
    return request;
}

void RawConnection::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        done += static_cast<std::size_t>(sent);
    }
}

void RawConnection::close() {
    ::shutdown(fd_, SHUT_RDWR);
}

void RawConnection::hold() {
    char data[256];
    while (!stopping_.load()) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, 100) > 0 && ::recv(fd_, data, sizeof data, 0) <= 0)
            return;
    }
}

RawServer::RawServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("the raw test server cannot listen");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

RawServer::~RawServer() {
    stopping_.store(true);
    acceptor_.join();
    ::close(listener_);
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        for (int fd : fds_)
            ::shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers)
        worker.join();
    for (int fd : fds_)
        ::close(fd);
}

void RawServer::accept_loop() {
    while (!stopping_.load()) {
        pollfd entry{listener_, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections_;
        std::lock_guard lock(mutex_);
        fds_.push_back(fd);
        workers_.emplace_back([this, fd] {
            RawConnection connection(fd, stopping_);
            script_(connection, *this);
            connection.close();
        });
    }
}

std::wstring RawServer::url(const std::string& path) const {
    return details::utf8_to_wide("http://127.0.0.1:" + std::to_string(port_) + path);
}

void RawServer::record(const std::string& raw) {
    std::lock_guard lock(mutex_);
    requests_.push_back(raw);
}

std::vector<std::string> RawServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

// ---- Tinyproxy -------------------------------------------------------------------------

}  // namespace agent::testing
