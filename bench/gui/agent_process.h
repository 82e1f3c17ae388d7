#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "gui/shell/main_window.h"
#include "sandbox_server.h"

// The desktop program as a user runs it, for the benchmarks that measure what it costs:
// the demo user signed in against the stand-in provider in a throw-away home, the shell
// made and started, and readings of the process with the page engine's helpers.
namespace bench {

// The process and everything it started (the page engine's web and network processes),
// less a stand-in provider of its own process.
std::set<pid_t> family(pid_t root);
std::set<pid_t> family();
// PSS and USS (the pages the family alone holds) summed over the family, in megabytes,
// from /proc/PID/smaps_rollup. PSS shares library pages with other programs of the same
// libraries, which lowers it when another WebKit program runs meanwhile; USS does not.
double family_pss();
double family_uss();
// The part of PSS in anonymous memory (heaps, the engine's own allocations) and in file pages
// (library code and data), summed over the family, in megabytes.
double family_pss_anon();
double family_pss_file();
// Threads and open descriptors of this process; CPU time of the family in seconds.
int thread_count();
int descriptor_count();
double family_cpu_seconds();

struct Program {
    // Where the stand-in provider runs: in this process (requests can be read back), or in
    // a process of its own, so that what it keeps (every message pushed) is not counted
    // as the agent's memory.
    enum class Provider { InProcess, OwnProcess };

    std::filesystem::path home;
    std::unique_ptr<sandbox::Server> server;  // InProcess only
    pid_t provider_pid = 0;                   // OwnProcess only
    std::string base_url;
    std::unique_ptr<varnelagent::WindowImpl> shell;

    // Signed in with the session remembered, the shell started on the notifications page.
    explicit Program(Provider provider = Provider::InProcess);
    ~Program();

    // A new message for the demo user, through the provider's admin interface.
    void push(const std::string& subject);

    // Runs the GUI loop for that long.
    static void settle(std::chrono::milliseconds time);
    // Waits (GUI loop running) until the notifications page is shown and loaded.
    bool page_shown(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Closes the window into the tray, as its close button does.
    bool hide();
    // The tray's Open; waits until the page has placed its window.
    bool open(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // The popup on the screen with its document placed, or nullptr.
    varnelagent::pages::ModalDialog* popup() const;
    // Closes the popup as its close button does and waits until it has gone.
    bool close_popup();
};

}  // namespace bench
