// Start-up of the agent: loads the configuration (which installs the log) from the data
// directory and reports what it found. The windowed shell builds on this.
#include <cstdio>
#include <exception>

#include "details/configuration.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/os.h"
#include "details/path.h"
#include "details/strings.h"

int main() {
    using namespace agent::details;
    try {
        const std::wstring directory = path::get_data_directory();
        auto config = agent::ConfigurationKeyValue::load(directory);
        std::printf("Data directory: %s\n", wide_to_utf8(config->path).c_str());
        std::printf("Client id:      %s%s\n", wide_to_utf8(config->client).c_str(),
                    config->first_run ? " (first run)" : "");
        std::printf("Agent API:      %s\n", wide_to_utf8(config->uri).c_str());
        std::printf("Sign-in:        %s\n", wide_to_utf8(config->auth_uri).c_str());
        std::printf("Proxy mode:     %s\n", wide_to_utf8(agent::proxy_mode_name(config->proxy.mode)).c_str());
        std::printf("Autolaunch:     %s\n", config->is_autolaunch() ? "on" : "off");
        std::printf("System:         %s\n", wide_to_utf8(get_os_description()).c_str());
        if (auto* logger = dynamic_cast<MonthlyLogger*>(process_logger()))
            std::printf("Log file:       %s\n", wide_to_utf8(logger->current_file()).c_str());
        else
            std::printf("Log file:       (logging is off)\n");
        AGENT_WARN(L"varnelagent::main") << "Agent started on " << get_os_description();
        return 0;
    } catch (const agent::Exception& e) {
        std::fprintf(stderr, "varnel-agent: %s\n", wide_to_utf8(e.description()).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnel-agent: %s\n", e.what());
    }
    return 1;
}
