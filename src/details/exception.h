#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace agent {

// Root of every failure the agent reports. Each object renders two texts: a short
// message for the user (also what() in UTF-8) and a fuller description for the log.
class Exception : public std::exception {
public:
    ~Exception() override = default;

    // UTF-8 form of message(), computed on the first call and cached in the object.
    const char* what() const noexcept override;

    virtual std::wstring description() const = 0;
    virtual std::wstring message() const = 0;

private:
    mutable std::string what_;
    mutable bool what_ready_ = false;
};

// A failed system call: the error code (errno here) and the name of the call.
class SystemException : public Exception {
public:
    SystemException(std::uint32_t code, std::string function);

    std::uint32_t code() const noexcept { return code_; }
    const std::string& function() const noexcept { return function_; }

    // The text of the code in its own domain: strerror for system calls.
    std::wstring message() const override;
    // "[0x<hex code>]<function>: <message>"
    std::wstring description() const override;

private:
    std::uint32_t code_;
    std::string function_;
};

// A failed transfer call; the code is a CURLcode (or CURLMcode for curl_multi_* calls).
class WinHttpException : public SystemException {
public:
    using SystemException::SystemException;
    std::wstring message() const override;
};

// A failed certificate or decryption call; the code is an OpenSSL error code, or one of
// the three codes below that the sign-in page tells apart, or PIN_LOCKED.
class CryptoException : public SystemException {
public:
    using SystemException::SystemException;
    std::wstring message() const override;

    static constexpr std::uint32_t NO_MATCHING_KEY = 0x8009200C;
    static constexpr std::uint32_t WRONG_PIN = 0x8010006B;
    static constexpr std::uint32_t PIN_CANCELLED = 0x8010006E;
    // A token's PIN locked after too many wrong entries: no PIN will do until it is
    // unlocked, so it is not WRONG_PIN; the sign-in page shows it as a key problem.
    static constexpr std::uint32_t PIN_LOCKED = 0x8010006C;
};

// The agent's own checks. Kinds: 0 bad date, 1 unreadable answer, 2 proxy without address.
class AgentException : public Exception {
public:
    static constexpr int BAD_DATE = 0;
    static constexpr int BAD_ANSWER = 1;
    static constexpr int PROXY_WITHOUT_ADDRESS = 2;

    AgentException(int kind, std::string detail = {});

    int kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }

    std::wstring message() const override;
    // message(), then " [" + detail + "]" when the detail is not empty.
    std::wstring description() const override;

private:
    int kind_;
    std::string detail_;
};

// The server's error answer.
struct ApiError {
    std::int32_t status = 0;
    std::string id;
    std::wstring message;
    std::string track_id;
    std::vector<std::wstring> details;
};

// The server answered with a status other than the call's success code.
class AgentApiException : public Exception {
public:
    explicit AgentApiException(ApiError error);

    const ApiError& error() const noexcept { return error_; }
    std::int32_t status() const noexcept { return error_.status; }

    // "<status> <id> <track id> <message>" and, with details, " [ a  b ]".
    std::wstring message() const override;
    std::wstring description() const override;

private:
    ApiError error_;
    mutable std::shared_ptr<const std::wstring> message_;
};

}  // namespace agent
