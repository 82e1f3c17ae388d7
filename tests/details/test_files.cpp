#include <gtest/gtest.h>

#include <cstdlib>

#include <fcntl.h>
#include <sys/mman.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "details/exception.h"
#include "details/io.h"
#include "details/logger.h"
#include "details/os.h"
#include "details/path.h"
#include "details/registry.h"
#include "details/strings.h"
#include "support/sandbox.h"

namespace {

using namespace agent::details;
using agent::testing::read_text;
using agent::testing::write_text;
namespace fs = std::filesystem;

class FilesTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        auto logger = create_logger(utf8_to_wide((home().path() / "log").string()), LEVEL_DEBUG);
        log_file = fs::path(wide_to_utf8(logger->current_file()));
        install_logger(std::move(logger));
    }

    std::wstring in_home(const std::string& name) const { return utf8_to_wide((home().path() / name).string()); }
    std::string log() const { return read_text(log_file); }

    fs::path log_file;
};

TEST_F(FilesTest, MissingFileReadsEmptyWithOneErrorLine) {
    EXPECT_TRUE(io::read_file(in_home("missing")).empty());
    const std::string text = log();
    EXPECT_NE(text.find("| INFO | agent::details::io::read_file | Path: "), std::string::npos);
    EXPECT_NE(text.find("| ERROR | agent::details::io::read_file | [0x2]open: No such file or directory"),
              std::string::npos);
}

TEST_F(FilesTest, WriteReplacesWholeFileWithPrivateMode) {
    const std::wstring file = in_home("data.bin");
    const std::string first(1000, 'a');
    ASSERT_TRUE(io::write_file(file, first.data(), first.size()));
    const std::string second = std::string("\0\x01\xff", 3);
    ASSERT_TRUE(io::write_file(file, second.data(), second.size()));
    const auto bytes = io::read_file(file);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), second);
    struct stat info {};
    ASSERT_EQ(::stat(wide_to_utf8(file).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(home().path() / "data.bin.tmp"));
    EXPECT_TRUE(io::exist_file(file));
    EXPECT_TRUE(io::delete_file(file));
    EXPECT_FALSE(io::exist_file(file));
    EXPECT_FALSE(io::delete_file(file));
    EXPECT_NE(log().find("| ERROR | agent::details::io::delete_file | [0x2]unlink"), std::string::npos);
}

TEST_F(FilesTest, FailedWriteKeepsTheOldFileAndSaysSo) {
    const std::wstring file = in_home("keep");
    ASSERT_TRUE(io::write_file(file, "old", 3));
    // A folder where the temporary file would go makes the write fail, as a full disk would.
    fs::create_directory(home().path() / "keep.tmp");
    EXPECT_FALSE(io::write_file(file, "new", 3));
    EXPECT_EQ(read_text(home().path() / "keep"), "old");
    EXPECT_NE(log().find("| ERROR | agent::details::io::write_file | [0x15]open"), std::string::npos);
    EXPECT_THROW(io::write_file_or_throw(in_home("no/such/dir/file"), "x", 1), agent::SystemException);
}

TEST_F(FilesTest, OnlyRegularFilesWithinTheLimitAreRead) {
    EXPECT_TRUE(io::read_file(utf8_to_wide(home().path().string())).empty());
    EXPECT_NE(log().find("| ERROR | agent::details::io::read_file | [0x15]read"), std::string::npos);
    // A FIFO in a file's place fails at once instead of waiting for a writer.
    ASSERT_EQ(::mkfifo((home().path() / "fifo").c_str(), 0600), 0);
    const auto code_of = [](auto read) {
        try {
            read();
        } catch (const agent::SystemException& e) {
            return std::make_pair(e.code(), e.function());
        }
        return std::make_pair(0u, std::string());
    };
    EXPECT_EQ(code_of([&] { io::read_file_or_throw(in_home("fifo")); }), std::make_pair(22u, std::string("fstat")));
    write_text(home().path() / "ten", "0123456789");
    EXPECT_EQ(code_of([&] { io::read_file_or_throw(in_home("ten"), 9); }), std::make_pair(27u, std::string("read")));
    EXPECT_EQ(io::read_file_or_throw(in_home("ten"), 10).size(), 10u);
    const auto head = io::read_file_head(in_home("ten"), 4);
    EXPECT_EQ(std::string(head.begin(), head.end()), "0123");
    EXPECT_EQ(io::read_file_head(in_home("ten"), 100).size(), 10u);
}

TEST_F(FilesTest, DataDirectoryFollowsXdgConfig) {
    EXPECT_EQ(path::get_data_directory(), in_home(".config/varnel-agent/"));
    ::setenv("XDG_CONFIG_HOME", (home().path() / "cfg").c_str(), 1);
    EXPECT_EQ(path::get_data_directory(), in_home("cfg/varnel-agent/"));
    // A relative value is not a base directory and is ignored.
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(path::get_data_directory(), in_home(".config/varnel-agent/"));
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(FilesTest, ExecutablePathIsThisTest) {
    const std::wstring exe = path::get_executable_file_name();
    EXPECT_EQ(exe, utf8_to_wide(fs::canonical("/proc/self/exe").string()));
}

class AutostartTest : public FilesTest {
protected:
    fs::path entry() const { return home().path() / ".config/autostart/varnel-agent.desktop"; }
};

TEST_F(AutostartTest, ValueRoundTripsThroughTheDesktopEntry) {
    using namespace agent::registry;
    EXPECT_TRUE(get_value(RUN_KEY, L"VarnelAgent").empty());
    const std::wstring command = L"/opt/My Apps/varnel \"agent\"/$HOME/100%/a\\b";
    add_value(RUN_KEY, L"VarnelAgent", command);
    ASSERT_TRUE(fs::exists(entry()));
    const std::string text = read_text(entry());
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    // The desktop's own checker accepts it, the quoting of that command included.
    const std::string check = "desktop-file-validate '" + entry().string() + "' > '" +
                              (home().path() / "validate.txt").string() + "' 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << read_text(home().path() / "validate.txt") << text;
    const auto bytes = get_value(RUN_KEY, L"VarnelAgent");
    EXPECT_EQ(utf8_to_wide(std::string(bytes.begin(), bytes.end())), command);
    delete_value(RUN_KEY, L"VarnelAgent");
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_TRUE(get_value(RUN_KEY, L"VarnelAgent").empty());
}

TEST_F(AutostartTest, HiddenOrEmptyEntriesDoNotCount) {
    using namespace agent::registry;
    write_text(entry(), "[Desktop Entry]\nType=Application\nExec=/usr/bin/varnel-agent\nHidden=true\n");
    EXPECT_TRUE(get_value(RUN_KEY, L"VarnelAgent").empty());
    write_text(entry(), "[Desktop Entry]\nType=Application\nExec=\n");
    EXPECT_TRUE(get_value(RUN_KEY, L"VarnelAgent").empty());
    write_text(entry(), "[Other Group]\nExec=/bin/sh\n");
    EXPECT_TRUE(get_value(RUN_KEY, L"VarnelAgent").empty());
    write_text(entry(), "[Desktop Entry]\r\nExec=/usr/bin/varnel-agent --minimized\r\n");
    const auto bytes = get_value(RUN_KEY, L"VarnelAgent");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "/usr/bin/varnel-agent");
}

TEST_F(AutostartTest, OtherKeysHaveNoPlace) {
    using namespace agent::registry;
    add_value(L"Software\\Other", L"VarnelAgent", L"/bin/true");
    EXPECT_FALSE(fs::exists(home().path() / ".config/autostart"));
    EXPECT_TRUE(get_value(L"Software\\Other", L"VarnelAgent").empty());
    EXPECT_NE(log().find("| ERROR | agent::registry::get_value | [0x2]open"), std::string::npos);
}

TEST(OsDescriptionTest, PrettyNameAndKernelRelease) {
    agent::testing::TempHome home;
    const fs::path file = home.path() / "os-release";
    write_text(file, "NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n");
    utsname system{};
    ASSERT_EQ(::uname(&system), 0);
    EXPECT_EQ(get_os_description(file.c_str()),
              L"Debian GNU/Linux 12 (bookworm) " + utf8_to_wide(std::string(system.release)));
    write_text(file, "ID=unknown\n");
    EXPECT_EQ(get_os_description(file.c_str()), L"Linux " + utf8_to_wide(std::string(system.release)));
    EXPECT_FALSE(get_os_description().empty());
}

// A read-only mapping of a file only this process maps: its pages leave the process and
// come back from the file, unchanged, when read again. A writable private mapping whose
// page was written keeps that page.
TEST(PageOutTest, ReadOnlyFilePagesGoAndComeBackWrittenPagesStay) {
    // Beside the test rather than in the temporary folder, which may be memory (tmpfs),
    // whose pages have nowhere to go without swap.
    const fs::path file = fs::current_path() / ("page-out-" + std::to_string(::getpid()) + ".bin");
    struct Remove {
        fs::path file;
        ~Remove() { fs::remove(file); }
    } remove{file};
    struct statfs where{};
    if (::statfs(fs::current_path().c_str(), &where) == 0 && where.f_type == TMPFS_MAGIC)
        GTEST_SKIP() << "the working folder is in memory";
    const std::size_t size = 64 * 4096;
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 7 % 251);
    write_text(file, data);
    const int descriptor = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(descriptor, 0);
    // Pages still waiting to be written to the disk cannot leave the memory yet.
    ASSERT_EQ(::fsync(descriptor), 0);
    auto* shared = static_cast<const char*>(::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0));
    auto* written = static_cast<char*>(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE, descriptor, 0));
    ::close(descriptor);
    ASSERT_NE(shared, MAP_FAILED);
    ASSERT_NE(written, MAP_FAILED);
    const auto rss_kb = [](const void* start) {
        std::ifstream smaps("/proc/self/smaps");
        std::string line;
        char begin[32];
        std::snprintf(begin, sizeof begin, "%lx-", reinterpret_cast<unsigned long>(start));
        bool inside = false;
        while (std::getline(smaps, line)) {
            if (line.find('-') != std::string::npos && line.find(' ') > line.find('-') && std::isxdigit(line[0]))
                inside = line.rfind(begin, 0) == 0;
            else if (inside && line.rfind("Rss:", 0) == 0)
                return std::stoi(line.substr(4));
        }
        return -1;
    };
    EXPECT_EQ(std::string(shared, size), data);
    written[0] = 'X';
    ASSERT_GT(rss_kb(shared), 200);

    EXPECT_GT(page_out_file_mappings(), 0u);
    EXPECT_LT(rss_kb(shared), 32) << "the read-only pages left the process";
    EXPECT_EQ(written[0], 'X') << "a written page is the process's own";
    EXPECT_EQ(std::string(shared, size), data);
    ::munmap(const_cast<char*>(shared), size);
    ::munmap(written, 4096);
}

}  // namespace
