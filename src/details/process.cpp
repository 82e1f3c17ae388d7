#include "details/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include "details/exception.h"

namespace agent::details {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// execvp would search PATH between fork and exec, where only async-signal-safe calls are
// allowed in a threaded program; so the search happens here, before the fork.
std::string resolve_program(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char* search = std::getenv("PATH");
    const std::string path = search != nullptr && *search != '\0' ? search : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find(':', begin);
        if (end == std::string::npos)
            end = path.size();
        const std::string directory = end > begin ? path.substr(begin, end - begin) : ".";
        const std::string candidate = directory + "/" + name;
        if (is_executable_file(candidate))
            return candidate;
        begin = end + 1;
    }
    throw SystemException(ENOENT, "execv");
}

// Between fork and exec: async-signal-safe calls only.
enum Stage : int { FORK = 1, EXEC = 2 };

[[noreturn]] void report_and_exit(int channel, Stage stage, int error) {
    const int report[2] = {stage, error};
    ssize_t ignored = ::write(channel, report, sizeof report);
    (void)ignored;
    ::_exit(127);
}

}  // namespace

void start_detached(const std::vector<std::string>& argv) {
    if (argv.empty() || argv.front().empty())
        throw std::invalid_argument("start_detached: no program");

    const std::string program = resolve_program(argv.front());
    std::vector<char*> arguments;
    arguments.reserve(argv.size() + 1);
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    // For the fallback below: close() of every possible descriptor, computed before the fork.
    rlimit limit{};
    int descriptor_limit = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 65536)
        descriptor_limit = static_cast<int>(limit.rlim_cur);

    Descriptor null_input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    // The grandchild writes its errno here when exec fails; a successful exec closes the
    // write end (close-on-exec), which the parent reads as end of file.
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0)
        throw SystemException(errno, "pipe2");
    Descriptor reader(channel[0]);
    Descriptor writer(channel[1]);

    const pid_t child = ::fork();
    if (child < 0)
        throw SystemException(errno, "fork");
    if (child == 0) {
        // The intermediate child leaves at once so that the program is adopted by init and
        // never becomes a zombie of ours.
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild < 0)
            report_and_exit(writer.get(), FORK, errno);
        if (grandchild > 0)
            ::_exit(0);
        if (null_input.get() >= 0)
            ::dup2(null_input.get(), STDIN_FILENO);
        // A browser or installer must not hold the agent's sockets and files open (a
        // stream the agent closes would stay open on the server's side): everything above
        // the standard three goes at exec. The report channel is close-on-exec already.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3; fd < descriptor_limit; ++fd)
                if (fd != writer.get())
                    ::close(fd);
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(program.c_str(), arguments.data());
        report_and_exit(writer.get(), EXEC, errno);
    }

    writer.reset();
    int report[2] = {0, 0};
    ssize_t got = 0;
    do {
        got = ::read(reader.get(), report, sizeof report);
    } while (got < 0 && errno == EINTR);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof report))
        throw SystemException(static_cast<std::uint32_t>(report[1]), report[0] == FORK ? "fork" : "execv");
}

}  // namespace agent::details
