#include "support/keyring.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/sandbox.h"

namespace agent::testing {

namespace {

constexpr char PASSWORD[] = "keyring-test-password\n";

std::string run(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {};
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    ::pclose(pipe);
    return output;
}

void end(pid_t& pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

}  // namespace

PrivateKeyring::PrivateKeyring(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_ / "run");
    std::filesystem::permissions(folder_ / "run", std::filesystem::perms::owner_all);
    // "--fork" prints the address and the pid on its first two lines.
    const std::string started = run("dbus-daemon --session --fork --print-address=1 --print-pid=1");
    const std::size_t line = started.find('\n');
    if (line == std::string::npos)
        throw std::runtime_error("dbus-daemon did not start: " + started);
    address_ = started.substr(0, line);
    bus_pid_ = static_cast<pid_t>(std::atoi(started.c_str() + line + 1));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    start_service();
}

PrivateKeyring::~PrivateKeyring() {
    stop_service();
    end(bus_pid_);
}

void PrivateKeyring::start_service() {
    if (keyring_pid_ > 0)
        return;
    int input[2];
    if (::pipe(input) != 0)
        throw std::runtime_error("pipe");
    keyring_pid_ = ::fork();
    if (keyring_pid_ == 0) {
        ::dup2(input[0], 0);
        ::close(input[1]);
        const std::string data = (folder_ / "data").string();
        const std::string runtime = (folder_ / "run").string();
        ::setenv("XDG_DATA_HOME", data.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::execlp("gnome-keyring-daemon", "gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(input[0]);
    if (::write(input[1], PASSWORD, sizeof PASSWORD - 1) < 0)
        ::perror("write");
    ::close(input[1]);
    const std::string check = "dbus-send --bus='" + address_ +
                              "' --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                              "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null";
    if (!wait_for([&] { return run(check).find("boolean true") != std::string::npos; }))
        throw std::runtime_error("gnome-keyring-daemon did not come up on the private bus");
}

void PrivateKeyring::stop_service() {
    end(keyring_pid_);
    const std::string check = "dbus-send --bus='" + address_ +
                              "' --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                              "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null";
    wait_for([&] { return run(check).find("boolean false") != std::string::npos; });
}

std::string PrivateKeyring::search(const std::string& attributes) const {
    return run("DBUS_SESSION_BUS_ADDRESS='" + address_ + "' secret-tool search --all " + attributes + " 2>&1");
}

}  // namespace agent::testing
