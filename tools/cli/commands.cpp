#include "commands.h"

#include <atomic>
#include <exception>
#include <mutex>

#include "crypto/certificate.h"
#include "crypto/certificate_store.h"
#include "crypto/pin_prompt.h"
#include "details/configuration.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/strings.h"
#include "error_texts.h"
#include "format.h"
#include "model/agent_client.h"
#include "model/channel_service.h"
#include "model/message.h"
#include "model/message_archive.h"
#include "model/message_service.h"
#include "model/update_service.h"
#include "model/uri_service.h"

namespace agent::cli {

namespace {

using details::utf8_to_wide;

constexpr wchar_t RUN[] = L"agent::cli::run_command";

class NotSignedIn : public std::exception {};

// The page size the notifications page uses too.
constexpr int PAGE_SIZE = 30;

void require_session(const AgentClient& agent) {
    if (!agent.has_session())
        throw NotSignedIn();
}

// The PIN of a certificate's key, asked on the terminal.
class ConsolePinPrompt : public crypto::IPinPrompt {
public:
    explicit ConsolePinPrompt(Console& console) : console_(console) {}

    std::optional<std::wstring> ask_pin(const crypto::PinRequest& request) override {
        return console_.ask_secret(L"PIN for " + request.holder + L" (" + request.location + L"): ");
    }

private:
    Console& console_;
};

CertificateLine certificate_line(std::size_t number, const crypto::Certificate& certificate) {
    CertificateLine line;
    line.number = number;
    line.inn = certificate.inn();
    // A 12-digit INN belongs to a person: the common name is the one to show, and a person
    // has no KPP.
    if (line.inn.size() == 12) {
        line.organization = certificate.attribute(crypto::oid::COMMON_NAME);
    } else {
        line.organization = certificate.attribute(crypto::oid::ORGANIZATION);
        line.kpp = certificate.kpp();
    }
    line.holder = certificate.person_name();
    line.valid_to = certificate.valid_to();
    line.on_token = certificate.carrier() == crypto::Carrier::Token;
    return line;
}

int list_certificates(Console& console) {
    ConsolePinPrompt prompt(console);
    const auto certificates = crypto::list_sign_in_certificates(&prompt);
    if (certificates.empty()) {
        console.error(L"No certificate that can sign in was found in " + crypto::default_certificate_directory() +
                      L" or on a token");
        return EXIT_FAILED;
    }
    for (std::size_t i = 0; i < certificates.size(); ++i)
        console.print(format_certificate(certificate_line(i + 1, certificates[i])));
    return EXIT_OK;
}

void sign_in_with_certificate(const Arguments& arguments, AgentClient& agent, Console& console) {
    ConsolePinPrompt prompt(console);
    const auto certificates = crypto::list_sign_in_certificates(&prompt);
    if (arguments.certificate > certificates.size())
        throw std::runtime_error("There is no certificate " + std::to_string(arguments.certificate) + " (`certs` lists " +
                                 std::to_string(certificates.size()) + ")");
    agent.authenticate(certificates[arguments.certificate - 1], arguments.remember, &prompt);
}

int list_messages(const Arguments& arguments, AgentClient& agent, Console& console) {
    require_session(agent);
    MessageReader reader = agent.message_service().create_reader(PAGE_SIZE);
    const auto archive = agent.archive();
    bool first = true;
    do {
        const std::vector<Message> page = reader.get_messages();
        // What is read here is in the tray program's archive too (also while it runs).
        archive->add_page(page, first, reader.finished());
        first = false;
        for (const Message& message : page)
            console.print(format_message(message));
    } while (arguments.all && !reader.finished());
    return EXIT_OK;
}

int follow(AgentClient& agent, Console& console) {
    require_session(agent);
    // The stream thread and every thread it starts must leave Ctrl+C to the main thread.
    console.block_interrupts();
    std::mutex print_lock;
    agent.message_service().start_message_stream([&agent, &console, &print_lock](std::vector<Message>&& batch) {
        // Stream thread.
        std::lock_guard lock(print_lock);
        for (const Message& message : batch)
            console.print(format_message(message));
        agent.archive()->add(batch);
    });
    const bool interrupted =
        console.wait_for_interrupt([&agent] { return agent.message_service().stream_running(); });
    agent.message_service().stop_message_stream();
    if (interrupted)
        return EXIT_OK;
    // The stream ends by itself only when the server no longer knows the session.
    ApiError error;
    error.status = 401;
    throw AgentApiException(error);
}

int mark_read(const Arguments& arguments, AgentClient& agent, Console& console) {
    require_session(agent);
    for (const std::wstring& id : arguments.ids)
        agent.message_service().mark_as_read(id, false);
    agent.message_service().mark_queue_as_read();
    for (const std::wstring& id : arguments.ids)
        agent.archive()->mark_read(id);
    console.print(L"Marked read: " + std::to_wstring(arguments.ids.size()));
    return EXIT_OK;
}

int sign_in(const Arguments& arguments, AgentClient& agent, Console& console) {
    if (arguments.by_certificate) {
        sign_in_with_certificate(arguments, agent, console);
    } else {
        std::optional<std::wstring> password =
            arguments.password_stdin ? console.read_line() : console.ask_secret(L"Password for " + arguments.login + L": ");
        if (!password) {
            console.error(arguments.password_stdin
                              ? L"No password on standard input."
                              : L"No password given (without a terminal, pass it with --password-stdin).");
            return EXIT_FAILED;
        }
        agent.authenticate(arguments.login, *password, arguments.remember);
    }
    console.print(L"Signed in as " + format_user(agent.get_user_info()));
    if (!arguments.remember)
        console.print(L"The session is not saved: sign in with --remember to use the other commands.");
    return EXIT_OK;
}

int who_am_i(AgentClient& agent, Console& console) {
    require_session(agent);
    console.print(format_user(agent.get_user_info()));
    return EXIT_OK;
}

int list_channels(AgentClient& agent, Console& console) {
    require_session(agent);
    for (const Channel& channel : agent.channel_service().user_channels())
        console.print(format_channel(channel));
    return EXIT_OK;
}

int switch_channel(const Arguments& arguments, AgentClient& agent, Console& console) {
    require_session(agent);
    agent.channel_service().change_status(arguments.channel_id, arguments.channel_on);
    console.print(L"Channel " + arguments.channel_id + (arguments.channel_on ? L" is on." : L" is off."));
    return EXIT_OK;
}

int list_links(AgentClient& agent, Console& console) {
    require_session(agent);
    for (const LinkItem& link : agent.uri_service().get_service_links())
        console.print(format_link(link));
    return EXIT_OK;
}

int sign_out(AgentClient& agent, Console& console) {
    if (!agent.has_session()) {
        console.print(L"Not signed in.");
        return EXIT_OK;
    }
    agent.signout();
    console.print(L"Signed out.");
    return EXIT_OK;
}

int dispatch(const Arguments& arguments, AgentClient& agent, Console& console) {
    switch (arguments.command) {
    case Command::SignIn:
        return sign_in(arguments, agent, console);
    case Command::Certs:
        return list_certificates(console);
    case Command::WhoAmI:
        return who_am_i(agent, console);
    case Command::Messages:
        return list_messages(arguments, agent, console);
    case Command::Follow:
        return follow(agent, console);
    case Command::Read:
        return mark_read(arguments, agent, console);
    case Command::Channels:
        return list_channels(agent, console);
    case Command::Channel:
        return switch_channel(arguments, agent, console);
    case Command::Links:
        return list_links(agent, console);
    case Command::SignOut:
        return sign_out(agent, console);
    case Command::Help:
    case Command::Version:
        break;
    }
    return EXIT_OK;
}

// A rejected session is forgotten, as the windowed agent does on a 401: the next command
// then says "not signed in" instead of failing the same way again.
void forget_session(AgentClient& agent) {
    try {
        agent.signout();
    } catch (const std::exception& e) {
        AGENT_WARN(RUN) << "Signout after an expired session: " << e.what();
    }
}

}  // namespace

int run_command(const Arguments& arguments, Console& console) {
    if (arguments.command == Command::Help) {
        console.print(utf8_to_wide(usage_text()));
        return EXIT_OK;
    }
    if (arguments.command == Command::Version) {
        console.print(std::wstring(L"varnel-agent-cli ") + AGENT_VERSION);
        return EXIT_OK;
    }

    std::unique_ptr<AgentClient> agent;
    try {
        auto configuration = ConfigurationKeyValue::load(details::path::get_data_directory());
        agent = AgentClient::create(configuration);
        return dispatch(arguments, *agent, console);
    } catch (const NotSignedIn&) {
        console.error(L"Not signed in. Sign in first: varnel-agent-cli signin --login LOGIN --remember");
        return EXIT_FAILED;
    } catch (...) {
        const Context context = arguments.command == Command::SignIn ? Context::SignIn : Context::Call;
        const UserError error = describe_error(std::current_exception(), context);
        console.error(error.text);
        if (error.session_expired && agent)
            forget_session(*agent);
        return EXIT_FAILED;
    }
}

int run(const std::vector<std::string>& args, Console& console) {
    try {
        return run_command(parse_arguments(args), console);
    } catch (const UsageError& e) {
        console.error(L"varnel-agent-cli: " + utf8_to_wide(e.what()));
        console.error(L"Try \"varnel-agent-cli help\".");
        return EXIT_USAGE;
    }
}

}  // namespace agent::cli
