#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The per-user "Run" key lives in XDG autostart here: the value "VarnelAgent" is the entry
// $XDG_CONFIG_HOME/autostart/varnel-agent.desktop and its data is the entry's Exec command.
// Like the file wrappers these log failures and return empty results.
namespace agent::registry {

inline constexpr wchar_t RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Writes the entry; data is the command (the executable's full path).
void add_value(const std::wstring& key, const std::wstring& value_name, const std::wstring& data);
// The command as UTF-8 bytes; empty when the entry is missing, hidden or has no Exec.
std::vector<std::uint8_t> get_value(const std::wstring& key, const std::wstring& value_name);
void delete_value(const std::wstring& key, const std::wstring& value_name);

// Where the value lives; empty for keys that have no place here.
std::wstring autostart_file(const std::wstring& key, const std::wstring& value_name);

}  // namespace agent::registry
