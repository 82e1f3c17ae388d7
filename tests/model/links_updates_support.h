#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "details/logger.h"
#include "model/capture_logger.h"
#include "sandbox_server.h"
#include "support/sandbox.h"
#include "winhttp/simple_client.h"

namespace agent::testing {

inline void write_executable(const std::filesystem::path& file, const std::string& text) {
    write_text(file, text);
    ::chmod(file.c_str(), 0755);
}

// A shell script that writes its arguments, one per line, to `output` (atomically, so a
// reader never sees half of them).
inline std::string recording_script(const std::filesystem::path& output) {
    return "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + output.string() + ".part' && mv '" + output.string() + ".part' '" +
           output.string() + "'\n";
}

// A real makeself installer whose label carries the version and whose startup script
// records the arguments it was given into `output`. Returns the archive's bytes.
inline std::string build_installer(const std::filesystem::path& work, const std::string& label,
                                   const std::filesystem::path& output) {
    const std::filesystem::path content = work / "content";
    std::filesystem::create_directories(content);
    write_executable(content / "install.sh", recording_script(output));
    const std::filesystem::path archive = work / "installer.run";
    const std::string command = "makeself --quiet --nox11 '" + content.string() + "' '" + archive.string() + "' '" +
                                label + "' ./install.sh >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("makeself failed: " + command);
    std::string bytes = read_text(archive);
    std::filesystem::remove_all(content);
    std::filesystem::remove(archive);
    return bytes;
}

// A fault on one path: a canned status and body, or (status 0) only a delay.
inline sandbox::Fault fault(std::string path, int status, std::string body = {}, int count = 1,
                            std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    sandbox::Fault result;
    result.path = std::move(path);
    result.status = status;
    result.body = std::move(body);
    result.count = count;
    result.delay = delay;
    return result;
}

inline std::shared_ptr<winhttp::SimpleClient> direct_client() {
    winhttp::ProxySettings direct;
    direct.mode = winhttp::NoProxy;
    return winhttp::SimpleClient::create(L"Varnel.Agent/test", direct);
}

}  // namespace agent::testing
