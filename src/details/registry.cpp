#include "details/registry.h"

#include <cerrno>
#include <sstream>

#include "details/exception.h"
#include "details/io.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/strings.h"

namespace agent::registry {

namespace {

using namespace agent::details;

std::wstring file_name_for(const std::wstring& value_name) {
    if (value_name == L"VarnelAgent")
        return L"varnel-agent.desktop";
    return to_lower_ascii(value_name) + L".desktop";
}

// One argument of an Exec line: quoted, with the characters the desktop entry format
// reserves inside quotes escaped, then the string-level escape of backslashes.
std::string quote_exec(const std::string& command) {
    std::string quoted = "\"";
    for (char c : command) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (char c : quoted) {
        if (c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string unescape_string(const std::string& value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        const char next = value[++i];
        switch (next) {
        case 's': text += ' '; break;
        case 'n': text += '\n'; break;
        case 't': text += '\t'; break;
        case 'r': text += '\r'; break;
        default: text += next; break;
        }
    }
    return text;
}

// The program of an Exec line: the first argument, unquoted.
std::string exec_program(const std::string& exec) {
    const std::string line = unescape_string(exec);
    std::string program;
    std::size_t i = 0;
    if (!line.empty() && line[0] == '"') {
        for (i = 1; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size())
                ++i;
            program += line[i];
        }
    } else {
        for (; i < line.size() && line[i] != ' '; ++i)
            program += line[i];
    }
    std::string unpercent;
    for (std::size_t j = 0; j < program.size(); ++j) {
        if (program[j] == '%' && j + 1 < program.size() && program[j + 1] == '%')
            ++j;
        unpercent += program[j];
    }
    return unpercent;
}

void log_key(const wchar_t* function, const std::wstring& key, const std::wstring& value_name) {
    AGENT_INFO(function) << "Key: " << key;
    AGENT_INFO(function) << "Value name: " << value_name;
}

}  // namespace

std::wstring autostart_file(const std::wstring& key, const std::wstring& value_name) {
    if (key != RUN_KEY || value_name.empty())
        return {};
    const std::wstring config = path::get_config_home();
    if (config.empty())
        return {};
    return path::join(path::join(config, L"autostart"), file_name_for(value_name));
}

void add_value(const std::wstring& key, const std::wstring& value_name, const std::wstring& data) {
    constexpr auto function = L"agent::registry::add_value";
    log_key(function, key, value_name);
    const std::wstring file = autostart_file(key, value_name);
    if (file.empty()) {
        AGENT_ERROR(function) << SystemException(ENOENT, "open").description();
        return;
    }
    if (!path::make_directories(path::get_directory(file), 0700))
        return;
    const std::string entry = "[Desktop Entry]\nType=Application\nName=Varnel Agent\nComment=Notifications of your "
                              "business services\nExec=" +
                              quote_exec(wide_to_utf8(data)) +
                              "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    io::write_file(file, entry.data(), entry.size());
}

std::vector<std::uint8_t> get_value(const std::wstring& key, const std::wstring& value_name) {
    constexpr auto function = L"agent::registry::get_value";
    log_key(function, key, value_name);
    const std::wstring file = autostart_file(key, value_name);
    if (file.empty()) {
        AGENT_ERROR(function) << SystemException(ENOENT, "open").description();
        return {};
    }
    const std::vector<std::uint8_t> bytes = io::read_file(file);
    std::istringstream lines(std::string(bytes.begin(), bytes.end()));
    std::string line, exec, group;
    bool hidden = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            group = line;
            continue;
        }
        if (group != "[Desktop Entry]")
            continue;
        if (line.rfind("Exec=", 0) == 0)
            exec = line.substr(5);
        else if (line == "Hidden=true")
            hidden = true;
    }
    if (hidden)
        return {};
    const std::string program = exec_program(exec);
    return {program.begin(), program.end()};
}

void delete_value(const std::wstring& key, const std::wstring& value_name) {
    constexpr auto function = L"agent::registry::delete_value";
    log_key(function, key, value_name);
    const std::wstring file = autostart_file(key, value_name);
    if (file.empty()) {
        AGENT_ERROR(function) << SystemException(ENOENT, "unlink").description();
        return;
    }
    if (io::exist_file(file))
        io::delete_file(file);
}

}  // namespace agent::registry
