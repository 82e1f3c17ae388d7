#pragma once

#include <string>

namespace agent::details::path {

// Full path of the running executable (/proc/self/exe); empty on failure (logged).
std::wstring get_executable_file_name();

// The path a launcher (the autostart entry) should name to start the executable: the
// executable itself, or, for a copy installed for the user under ".../app/<version>/bin/",
// the same file under ".../app/current/bin/" when the link "current" names that version.
// An update replaces the version's folder (and removes it later) but keeps that path.
std::wstring get_launch_file_name(const std::wstring& executable);

// first + second with exactly one "/" at the joint (see the rules in path.cpp).
std::wstring join(const std::wstring& first, const std::wstring& second);

// The text up to and including the last "/"; empty when there is none.
std::wstring get_directory(const std::wstring& path);

// $HOME, or the password database's home when HOME is unset.
std::wstring get_home_directory();

// The agent's data directory with a trailing "/": $XDG_CONFIG_HOME/varnel-agent/
// (~/.config/varnel-agent/). Not created here.
std::wstring get_data_directory();

// $XDG_STATE_HOME/varnel-agent (~/.local/state/varnel-agent).
std::wstring get_state_directory();

// $XDG_DATA_HOME/varnel-agent (~/.local/share/varnel-agent).
std::wstring get_user_data_directory();

// $XDG_CACHE_HOME/varnel-agent (~/.cache/varnel-agent).
std::wstring get_user_cache_directory();

// $XDG_CONFIG_HOME (~/.config).
std::wstring get_config_home();

// Creates the directory and its missing parents; the last one gets the mode. Returns
// false (logged) on failure.
bool make_directories(const std::wstring& directory, unsigned mode);

}  // namespace agent::details::path
