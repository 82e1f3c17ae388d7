#include "agent_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>
#include <json/writer.h>

#include "details/configuration.h"
#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "model/agent_client.h"

namespace bench {

using namespace varnelagent;

namespace {

// The fields of /proc/PID/stat after the command name.
std::istringstream stat_fields(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return std::istringstream(close == std::string::npos ? std::string() : line.substr(close + 2));
}

// One field of /proc/PID/smaps_rollup (or the sum of several), in megabytes.
double rollup_megabytes(pid_t pid, std::initializer_list<const char*> keys) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    double total = 0;
    while (rollup >> key) {
        double kilobytes = 0;
        for (const char* wanted : keys)
            if (key == wanted && rollup >> kilobytes)
                total += kilobytes;
        rollup.ignore(256, '\n');
    }
    return total / 1024;
}

// The same field(s) summed over the family.
double family_megabytes(std::initializer_list<const char*> keys) {
    double total = 0;
    for (pid_t pid : family())
        total += rollup_megabytes(pid, keys);
    return total;
}

pid_t provider_process = 0;

// A loopback port nobody listens on now.
int free_port() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(probe);
    return ntohs(address.sin_port);
}

int entries(const std::filesystem::path& folder) {
    int count = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator(folder, ignored); it != std::filesystem::directory_iterator();
         it.increment(ignored))
        ++count;
    return count;
}

}  // namespace

std::set<pid_t> family(pid_t root) {
    std::set<pid_t> members{root};
    bool grew = true;
    while (grew) {
        grew = false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            auto rest = stat_fields(std::stoi(name));
            char state = 0;
            pid_t parent = 0;
            if (!(rest >> state >> parent))
                continue;
            const pid_t pid = std::stoi(name);
            if (pid != provider_process && members.count(parent) != 0 && members.insert(pid).second)
                grew = true;
        }
    }
    return members;
}

std::set<pid_t> family() {
    return family(::getpid());
}

double family_pss() {
    return family_megabytes({"Pss:"});
}

double family_pss_anon() {
    return family_megabytes({"Pss_Anon:"});
}

double family_pss_file() {
    return family_megabytes({"Pss_File:"});
}

double family_uss() {
    return family_megabytes({"Private_Clean:", "Private_Dirty:"});
}

int thread_count() {
    return entries("/proc/self/task");
}

int descriptor_count() {
    return entries("/proc/self/fd");
}

double family_cpu_seconds() {
    double ticks = 0;
    for (pid_t pid : family()) {
        auto rest = stat_fields(pid);
        std::string skip;
        // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt, then utime stime
        for (int i = 0; i < 11 && rest >> skip; ++i) {
        }
        double user = 0;
        double system = 0;
        rest >> user >> system;
        ticks += user + system;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

Program::Program(Provider provider) {
    char pattern[] = "/tmp/varnel-bench-XXXXXX";
    home = ::mkdtemp(pattern);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    std::filesystem::create_directories(home / "run");
    if (provider == Provider::InProcess) {
        server = std::make_unique<sandbox::Server>();
        server->start();
        base_url = server->base_url();
    } else {
        const std::string port = std::to_string(free_port());
        const std::string state = (home / "provider").string();
        const char* arguments[] = {SANDBOX_PROGRAM, "serve", "--port", port.c_str(), "--state", state.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&provider_pid, SANDBOX_PROGRAM, &actions, nullptr, const_cast<char**>(arguments), environ) != 0)
            throw std::runtime_error("The stand-in provider cannot be started: " SANDBOX_PROGRAM);
        posix_spawn_file_actions_destroy(&actions);
        provider_process = provider_pid;
        base_url = "http://127.0.0.1:" + port;
        httplib::Client client(base_url);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!client.Get("/admin/streams") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::filesystem::path data = home / ".config" / "varnel-agent";
    std::filesystem::create_directories(data);
    std::ofstream(data / "config") << "client = 0a1b2c3d-0000-4000-8000-00000000abcd\nuri = " << base_url
                                   << "/api\nauth_uri = " << base_url << "/auth\nproxy_mode = 0\n";
    const std::wstring directory = agent::details::utf8_to_wide(data.string() + "/");
    auto configuration = agent::ConfigurationKeyValue::load(directory);
    agent::AgentClient::create(configuration)->authenticate(L"demo@varnel.example", L"demo", true);
    shell = std::make_unique<WindowImpl>(directory);
    shell->on_create();
}

Program::~Program() {
    shell.reset();
    server.reset();
    if (provider_pid != 0) {
        ::kill(provider_pid, SIGTERM);
        ::waitpid(provider_pid, nullptr, 0);
        provider_process = 0;
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
}

void Program::push(const std::string& subject) {
    sandbox::Message message;
    message.subject = subject;
    message.organization = "ФНС России";
    message.body = "Поступило требование о представлении пояснений.";
    if (server) {
        server->push_message(message);
        return;
    }
    Json::Value record(Json::objectValue);
    record["subject"] = message.subject;
    record["organization"] = message.organization;
    record["body"] = message.body;
    Json::StreamWriterBuilder builder;
    builder["emitUTF8"] = true;
    httplib::Client client(base_url);
    const auto result = client.Post("/admin/push", Json::writeString(builder, record), "application/json; charset=utf-8");
    if (!result || result->status != 201)
        throw std::runtime_error("The stand-in provider refused a message");
}

void Program::settle(std::chrono::milliseconds time) {
    engine::run_nested_until([] { return false; }, time);
}

bool Program::page_shown(std::chrono::milliseconds timeout) {
    return engine::run_nested_until(
        [this] {
            auto* page = shell->current_page();
            return page && page->placed() && page->host_window()->loaded() && shell->window().visible();
        },
        timeout);
}

bool Program::hide() {
    post_close(shell->handle());
    return engine::run_nested_until([this] { return !shell->window().visible(); }, std::chrono::seconds(10));
}

bool Program::open(std::chrono::milliseconds timeout) {
    post_command(shell->handle(), ID_OPEN);
    return page_shown(timeout);
}

pages::ModalDialog* Program::popup() const {
    auto* dialog = shell->current_dialog();
    return dialog && dialog->kind() == MESSAGE_POPUP && dialog->alive() && dialog->host_window()->loaded() &&
                   dialog->placed()
               ? dialog
               : nullptr;
}

bool Program::close_popup() {
    auto* dialog = shell->current_dialog();
    if (dialog == nullptr || !dialog->alive())
        return true;
    post_close(dialog->handle());
    return engine::run_nested_until(
        [this] {
            auto* current = shell->current_dialog();
            return current == nullptr || !current->alive();
        },
        std::chrono::seconds(10));
}

}  // namespace bench
