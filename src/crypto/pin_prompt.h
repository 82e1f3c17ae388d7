#pragma once

#include <atomic>
#include <optional>
#include <string>

namespace agent::crypto {

// What the certificate layer says when it needs a PIN: the holder shown to the user and
// where the key lives (a file path, later a token).
struct PinRequest {
    std::wstring holder;
    std::wstring location;
};

// Asks the user for the PIN of a private key. Supplied by the caller: the shell shows a
// dialog, tests and the command line answer directly. Called on the thread that lists or
// decrypts (a worker thread in the shell). A key without a PIN never causes a call.
class IPinPrompt {
public:
    virtual ~IPinPrompt() = default;
    // The PIN, or std::nullopt when the user cancelled.
    virtual std::optional<std::wstring> ask_pin(const PinRequest& request) = 0;
    // Listing only: the PIN just given did not open the file. True asks for it again (a
    // person may have mistyped); false gives up on the file (a fixed answer would only be
    // wrong again). Signing in never asks again: a wrong PIN there is the caller's error.
    virtual bool pin_refused(const PinRequest&) { return false; }
};

// Answers every request with the same PIN (std::nullopt: cancels), and counts the requests.
class StaticPinPrompt : public IPinPrompt {
public:
    explicit StaticPinPrompt(std::optional<std::wstring> pin) : pin_(std::move(pin)) {}

    std::optional<std::wstring> ask_pin(const PinRequest&) override {
        ++asked_;
        return pin_;
    }
    int asked() const noexcept { return asked_; }

private:
    std::optional<std::wstring> pin_;
    std::atomic<int> asked_{0};
};

}  // namespace agent::crypto
