#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace agent::testing {

// A real Secret Service of the test's own: a private D-Bus session with gnome-keyring in it,
// its login keyring made and unlocked with a test password (the daemon's --unlock reads it
// from standard input). The process's session bus is this one from the start: make it
// before anything in the process talks to D-Bus, and keep it for the process (GIO keeps the
// first session bus it meets).
class PrivateKeyring {
public:
    explicit PrivateKeyring(const std::filesystem::path& folder);
    ~PrivateKeyring();
    PrivateKeyring(const PrivateKeyring&) = delete;
    PrivateKeyring& operator=(const PrivateKeyring&) = delete;

    const std::string& bus_address() const { return address_; }

    // Ends the keyring daemon (the bus stays): as on a desktop without a Secret Service.
    void stop_service();
    // Starts it again, unlocked (nothing when it runs).
    void start_service();

    // What secret-tool, from outside the program, finds under the attributes
    // ("kind session"): its whole output, empty when nothing is stored.
    std::string search(const std::string& attributes) const;

private:
    std::filesystem::path folder_;
    std::string address_;
    pid_t bus_pid_ = -1;
    pid_t keyring_pid_ = -1;
};

}  // namespace agent::testing
