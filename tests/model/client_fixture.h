#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "details/configuration.h"
#include "details/logger.h"
#include "details/strings.h"
#include "model/agent_client.h"
#include "sandbox_server.h"
#include "support/sandbox.h"

namespace agent::testing {

// A temporary HOME, the stand-in provider on a loopback port, and a configuration that
// points the agent at it.
class ClientTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        server_ = std::make_unique<sandbox::Server>();
        server_->start();
        configuration_ = ConfigurationKeyValue::load(home().data_directory());
        details::install_logger(nullptr);
        configuration_->uri = wide(server_->api_url());
        configuration_->auth_uri = wide(server_->auth_url());
        configuration_->proxy = {};
        configuration_->proxy.mode = winhttp::NoProxy;
    }

    void TearDown() override {
        server_.reset();
        SandboxTest::TearDown();
    }

    std::unique_ptr<AgentClient> create() { return AgentClient::create(configuration_); }

    std::filesystem::path sid_file() const {
        return std::filesystem::path(details::wide_to_utf8(configuration_->path)) / "sid";
    }

    unsigned sid_mode() const {
        struct stat info {};
        ::stat(sid_file().c_str(), &info);
        return info.st_mode & 0777;
    }

    static std::wstring wide(const std::string& text) { return details::utf8_to_wide(text); }
    static std::string narrow(const std::wstring& text) { return details::wide_to_utf8(text); }

    sandbox::Server& server() { return *server_; }

    // A canned answer to the next request of the path.
    void answer_next(const std::string& path, int status, const std::string& body = {}) {
        sandbox::Fault fault;
        fault.path = path;
        fault.status = status;
        fault.body = body;
        server_->add_fault(fault);
    }

    std::unique_ptr<sandbox::Server> server_;
    std::shared_ptr<ConfigurationKeyValue> configuration_;
};

}  // namespace agent::testing
