#include "arguments.h"

#include <charconv>

#include "details/strings.h"

namespace agent::cli {

namespace {

using details::utf8_to_wide;

struct Cursor {
    const std::vector<std::string>& args;
    std::size_t next = 1;

    bool done() const { return next >= args.size(); }
    const std::string& take() { return args[next++]; }
    const std::string& value_of(const std::string& option) {
        if (done())
            throw UsageError(option + " needs a value");
        return take();
    }
};

std::size_t parse_number(const std::string& text) {
    std::size_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value == 0)
        throw UsageError("the certificate number must be one of the numbers `certs` prints, not \"" + text + "\"");
    return value;
}

void no_more(Cursor& cursor, const char* command) {
    if (!cursor.done())
        throw UsageError(std::string("unexpected \"") + cursor.take() + "\" after " + command);
}

void parse_signin(Cursor& cursor, Arguments& result) {
    bool by_login = false;
    while (!cursor.done()) {
        const std::string& option = cursor.take();
        if (option == "--login") {
            result.login = utf8_to_wide(cursor.value_of(option));
            by_login = true;
        } else if (option == "--cert") {
            result.certificate = parse_number(cursor.value_of(option));
            result.by_certificate = true;
        } else if (option == "--password-stdin") {
            result.password_stdin = true;
        } else if (option == "--remember") {
            result.remember = true;
        } else {
            throw UsageError("signin does not know \"" + option + "\"");
        }
    }
    if (by_login == result.by_certificate)
        throw UsageError("signin needs either --login LOGIN or --cert N");
    if (by_login && result.login.empty())
        throw UsageError("the login is empty");
    if (result.by_certificate && result.password_stdin)
        throw UsageError("--password-stdin goes with --login only");
}

}  // namespace

Arguments parse_arguments(const std::vector<std::string>& args) {
    Arguments result;
    Cursor cursor{args};
    if (cursor.done())
        throw UsageError("no command given");
    const std::string command = cursor.take();
    if (command == "help" || command == "--help" || command == "-h") {
        result.command = Command::Help;
    } else if (command == "--version" || command == "version") {
        result.command = Command::Version;
    } else if (command == "signin") {
        result.command = Command::SignIn;
        parse_signin(cursor, result);
    } else if (command == "certs") {
        result.command = Command::Certs;
    } else if (command == "whoami") {
        result.command = Command::WhoAmI;
    } else if (command == "messages") {
        result.command = Command::Messages;
        while (!cursor.done()) {
            const std::string& option = cursor.take();
            if (option != "--all")
                throw UsageError("messages does not know \"" + option + "\"");
            result.all = true;
        }
    } else if (command == "follow") {
        result.command = Command::Follow;
    } else if (command == "read") {
        result.command = Command::Read;
        while (!cursor.done())
            result.ids.push_back(utf8_to_wide(cursor.take()));
        if (result.ids.empty())
            throw UsageError("read needs at least one message id");
    } else if (command == "channels") {
        result.command = Command::Channels;
    } else if (command == "channel") {
        result.command = Command::Channel;
        if (cursor.done())
            throw UsageError("channel needs an id and on or off");
        result.channel_id = utf8_to_wide(cursor.take());
        if (cursor.done())
            throw UsageError("channel needs on or off after the id");
        const std::string& state = cursor.take();
        if (state != "on" && state != "off")
            throw UsageError("channel takes on or off, not \"" + state + "\"");
        result.channel_on = state == "on";
    } else if (command == "links") {
        result.command = Command::Links;
    } else if (command == "signout") {
        result.command = Command::SignOut;
    } else {
        throw UsageError("unknown command \"" + command + "\"");
    }
    if (result.command != Command::SignIn && result.command != Command::Messages &&
        result.command != Command::Read && result.command != Command::Channel)
        no_more(cursor, command.c_str());
    else if (result.command == Command::Channel)
        no_more(cursor, "channel ID on|off");
    return result;
}

const char* usage_text() {
    return "Usage: varnel-agent-cli COMMAND [OPTIONS]\n"
           "\n"
           "Signs in to the provider and reads notifications, with the agent's own data\n"
           "directory and settings (~/.config/varnel-agent/).\n"
           "\n"
           "Commands:\n"
           "  signin --login LOGIN [--password-stdin] [--remember]\n"
           "                        sign in with a login and a password (asked on the\n"
           "                        terminal, or one line read from standard input)\n"
           "  signin --cert N [--remember]\n"
           "                        sign in with certificate N of `certs`\n"
           "                        --remember keeps the session for the next start\n"
           "  certs                 the certificates that can sign in, one per line\n"
           "  whoami                the signed-in user\n"
           "  messages [--all]      the newest messages (--all: every page), one per line\n"
           "  follow                print new messages as they arrive, until interrupted\n"
           "  read ID...            mark messages read\n"
           "  channels              the notification channels, one per line\n"
           "  channel ID on|off     switch a channel on or off\n"
           "  links                 the provider's service and support links\n"
           "  signout               sign out and forget the saved session\n"
           "  help, --version\n"
           "\n"
           "Exit status: 0 on success, 1 on a failure, 2 on a wrong command line.\n";
}

}  // namespace agent::cli
