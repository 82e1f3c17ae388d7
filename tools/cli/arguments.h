#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace agent::cli {

// The command line was not one the program understands; the text says what is wrong.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Command {
    Help,
    Version,
    SignIn,
    Certs,
    WhoAmI,
    Messages,
    Follow,
    Read,
    Channels,
    Channel,
    Links,
    SignOut,
};

struct Arguments {
    Command command = Command::Help;
    // signin
    std::wstring login;
    bool password_stdin = false;
    bool remember = false;
    bool by_certificate = false;
    std::size_t certificate = 0;  // the number `certs` prints, from 1
    // messages
    bool all = false;
    // read
    std::vector<std::wstring> ids;
    // channel
    std::wstring channel_id;
    bool channel_on = false;
};

// argv[1...]; throws UsageError for anything it does not understand.
Arguments parse_arguments(const std::vector<std::string>& args);

// The help text, ending with a line break.
const char* usage_text();

}  // namespace agent::cli
