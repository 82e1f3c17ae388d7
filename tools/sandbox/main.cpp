// varnel-sandbox: the stand-in provider as a program.
//   serve      run the server on 127.0.0.1 until SIGINT or SIGTERM
//   push       push one message through a running server's admin interface
//   make-cert  write a user certificate that the server accepts for sign-in

#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "certgen/certgen.h"
#include "sandbox_server.h"
#include "wire.h"

namespace {

constexpr const char* USAGE =
    "usage:\n"
    "  varnel-sandbox serve [--port N] [--tls] [--state DIR] [--seed FILE] [--heartbeat-ms N]\n"
    "                       [--admin-token T] [--threads N] [--empty]\n"
    "  varnel-sandbox push --url BASE [--user LOGIN] --subject S --body B [--link URL]\n"
    "                      [--organization O] [--channel ID] [--admin-token T] [--ca FILE]\n"
    "  varnel-sandbox make-cert --out FILE.p12 [--pin PIN] [--kind person|organization|entrepreneur]\n"
    "                           [--key rsa|gost2012_256|gost2012_512]\n"
    "                           [--expired|--not-yet-valid|--no-key] [--email E] [--variant N]\n"
    "                           [--ca-out FILE]   (FILE.pem/.crt: PEM certificate and key instead)\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "--name value" pairs and bare "--flag"s; `flags` lists the names that take no value.
std::map<std::string, std::string> parse_arguments(int argc, char** argv, const std::vector<std::string>& flags) {
    std::map<std::string, std::string> arguments;
    for (int i = 2; i < argc; ++i) {
        const std::string name = argv[i];
        if (name.rfind("--", 0) != 0)
            throw UsageError("unexpected argument " + name);
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            arguments[name] = "1";
            continue;
        }
        if (i + 1 >= argc)
            throw UsageError(name + " needs a value");
        arguments[name] = argv[++i];
    }
    return arguments;
}

long number_of(const std::map<std::string, std::string>& arguments, const std::string& name, long fallback, long low,
               long high) {
    const auto it = arguments.find(name);
    if (it == arguments.end())
        return fallback;
    char* end = nullptr;
    const long value = std::strtol(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0' || value < low || value > high)
        throw UsageError(name + " must be a number from " + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

void check_known(const std::map<std::string, std::string>& arguments, const std::vector<std::string>& known) {
    for (const auto& [name, value] : arguments)
        if (std::find(known.begin(), known.end(), name) == known.end())
            throw UsageError("unknown option " + name);
}

int serve(int argc, char** argv) {
    const auto arguments = parse_arguments(argc, argv, {"--tls", "--empty"});
    check_known(arguments, {"--port", "--tls", "--state", "--seed", "--heartbeat-ms", "--admin-token", "--threads",
                            "--empty"});
    sandbox::Options options;
    options.port = static_cast<std::uint16_t>(number_of(arguments, "--port", 0, 0, 65535));
    options.tls = arguments.count("--tls") != 0;
    options.empty = arguments.count("--empty") != 0;
    if (arguments.count("--state"))
        options.state_directory = arguments.at("--state");
    if (arguments.count("--seed"))
        options.seed_file = arguments.at("--seed");
    options.heartbeat = std::chrono::milliseconds(number_of(arguments, "--heartbeat-ms", 15000, 10, 3600000));
    options.threads = static_cast<std::size_t>(number_of(arguments, "--threads", 320, 4, 4096));
    if (arguments.count("--admin-token"))
        options.admin_token = arguments.at("--admin-token");

    // Signals are taken by sigwait below; every thread the server starts inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    sandbox::Server server(options);
    server.start();
    std::cout << "listening on " << server.base_url() << std::endl;
    if (options.tls)
        std::cout << "CA certificate: " << server.ca_certificate().string() << std::endl;
    std::cout << "state: " << server.state_directory().string()
              << (options.state_directory.empty() ? " (temporary)" : "") << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}

int push(int argc, char** argv) {
    const auto arguments = parse_arguments(argc, argv, {});
    check_known(arguments, {"--url", "--user", "--subject", "--body", "--link", "--organization", "--channel",
                            "--admin-token", "--ca"});
    for (const char* required : {"--url", "--subject", "--body"})
        if (arguments.count(required) == 0)
            throw UsageError(std::string(required) + " is required");
    Json::Value message(Json::objectValue);
    message["subject"] = arguments.at("--subject");
    message["body"] = arguments.at("--body");
    const std::map<std::string, const char*> optional_members = {
        {"--user", "user"}, {"--link", "link"}, {"--organization", "organization"}, {"--channel", "channel"}};
    for (const auto& [option, member] : optional_members)
        if (arguments.count(option))
            message[member] = arguments.at(option);

    httplib::Client client(arguments.at("--url"));
    if (!client.is_valid())
        throw UsageError("--url must be http://host:port or https://host:port");
    if (arguments.count("--ca"))
        client.set_ca_cert_path(arguments.at("--ca").c_str());
    httplib::Headers headers;
    if (arguments.count("--admin-token"))
        headers.emplace("Authorization", "Bearer " + arguments.at("--admin-token"));
    const auto result =
        client.Post("/admin/push", headers, sandbox::wire::to_json(message), "application/json; charset=utf-8");
    if (!result) {
        std::cerr << "varnel-sandbox: cannot reach " << arguments.at("--url") << ": " << httplib::to_string(result.error())
                  << "\n";
        return 1;
    }
    if (result->status != 201) {
        std::cerr << "varnel-sandbox: the server answered " << result->status << ": " << result->body << "\n";
        return 1;
    }
    const auto stored = sandbox::wire::parse_json(result->body);
    std::cout << "pushed " << (stored ? (*stored)["id"].asString() : std::string("?")) << std::endl;
    return 0;
}

int make_cert(int argc, char** argv) {
    const auto arguments = parse_arguments(argc, argv, {"--expired", "--not-yet-valid", "--no-key"});
    check_known(arguments, {"--out", "--pin", "--kind", "--key", "--expired", "--not-yet-valid", "--no-key",
                            "--email", "--variant", "--ca-out"});
    if (arguments.count("--out") == 0)
        throw UsageError("--out is required");
    if (arguments.count("--expired") + arguments.count("--not-yet-valid") > 1)
        throw UsageError("--expired and --not-yet-valid exclude each other");
    namespace certgen = agent::certgen;
    certgen::SubjectKind kind = certgen::SubjectKind::Person;
    const std::string kind_name = arguments.count("--kind") ? arguments.at("--kind") : "person";
    if (kind_name == "organization")
        kind = certgen::SubjectKind::Organization;
    else if (kind_name == "entrepreneur")
        kind = certgen::SubjectKind::Entrepreneur;
    else if (kind_name != "person")
        throw UsageError("--kind must be person, organization or entrepreneur");

    const std::string key_name = arguments.count("--key") ? arguments.at("--key") : "rsa";
    certgen::KeyKind key = certgen::KeyKind::Rsa;
    if (key_name == "gost2012_256")
        key = certgen::KeyKind::Gost2012_256;
    else if (key_name == "gost2012_512")
        key = certgen::KeyKind::Gost2012_512;
    else if (key_name != "rsa")
        throw UsageError("--key must be rsa, gost2012_256 or gost2012_512");
    if (key != certgen::KeyKind::Rsa && !certgen::load_gost_engine())
        throw std::runtime_error("GOST keys need OpenSSL's GOST engine: install libengine-gost-openssl");

    auto options = certgen::UserOptions::for_kind(
        kind, static_cast<unsigned>(number_of(arguments, "--variant", 0, 0, 1000000)));
    options.key_kind = key;
    if (arguments.count("--expired"))
        options.expired();
    if (arguments.count("--not-yet-valid"))
        options.not_yet_valid();
    if (arguments.count("--no-key"))
        options.without_private_key();
    // The server signs a certificate in as the user named by its e-mail address; the demo
    // user by default, so that a certificate sign-in shows the demo messages.
    const std::string email =
        arguments.count("--email") ? arguments.at("--email") : std::string(sandbox::Server::DEMO_LOGIN);
    if (!email.empty())
        options.extra_subject.emplace_back("1.2.840.113549.1.9.1", email);

    const certgen::Authority authority;
    const certgen::UserCertificate certificate = certgen::issue(authority, options);
    const std::filesystem::path out = arguments.at("--out");
    const std::string extension = out.extension().string();
    if (extension == ".pem" || extension == ".crt") {
        if (arguments.count("--pin"))
            throw UsageError("--pin applies to PKCS#12 files only");
        certificate.write_pem(out, certificate.with_private_key());
    } else {
        certgen::Pkcs12Options pkcs12;
        if (arguments.count("--pin"))
            pkcs12.pin = arguments.at("--pin");
        pkcs12.chain.push_back(authority.certificate());
        certificate.write_pkcs12(out, pkcs12);
    }
    if (arguments.count("--ca-out")) {
        const std::string pem = authority.certificate_pem();
        certgen::write_bytes(arguments.at("--ca-out"), std::vector<std::uint8_t>(pem.begin(), pem.end()));
    }
    std::cout << "wrote " << out.string() << " (" << kind_name << ", " << key_name
              << (email.empty() ? "" : ", " + email) << ")"
              << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << USAGE;
        return 2;
    }
    const std::string command = argv[1];
    try {
        if (command == "serve")
            return serve(argc, argv);
        if (command == "push")
            return push(argc, argv);
        if (command == "make-cert")
            return make_cert(argc, argv);
        if (command == "--help" || command == "help") {
            std::cout << USAGE;
            return 0;
        }
        std::cerr << "varnel-sandbox: unknown command " << command << "\n" << USAGE;
        return 2;
    } catch (const UsageError& error) {
        std::cerr << "varnel-sandbox: " << error.what() << "\n" << USAGE;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "varnel-sandbox: " << error.what() << "\n";
        return 1;
    }
}
