// The POSIX layer's own rules: how arguments survive the command line, and
// which whole disk a number names.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform.h"
#include "platform_internal.h"

namespace
{

// Set before a call whose code a test reads, as Wine's own tests do: a
// call that fails without setting the code then shows.
const DWORD sentinel = 0xdeadbeef;

std::string bytes_of(const wchar_t *wide)
{
    std::string out;
    for (; *wide != 0; wide++) {
        EXPECT_LE((unsigned)*wide, 255u);
        out += (char)*wide;
    }
    return out;
}

std::vector<std::string> split(const wchar_t *line)
{
    int count = -1;
    wchar_t **arguments = CommandLineToArgvW(line, &count);
    std::vector<std::string> out;
    if (arguments == nullptr)
        return out;
    for (int i = 0; i < count; i++)
        out.push_back(bytes_of(arguments[i]));
    EXPECT_EQ(arguments[count], nullptr);
    return out;
}

TEST(Arguments, EveryByteSurvivesTheCommandLine)
{
    const std::vector<std::vector<std::string>> vectors = {
        {"sectpull", "C:", "out.bin"},
        {"sectpull", "\xff\xfe\x80.bin"},               // not UTF-8
        {"sectpull", "caf\xc3\xa9 \xe2\x82\xac.bin"},   // UTF-8 with a space
        {"sectpull", ""},                               // empty
        {"sectpull", "", "", "x"},                      // several empty
        {"sectpull", "a\"b", "\"", "\"\""},             // quotes
        {"sectpull", "a\\b", "a\\\\", "dir\\", "\\\""}, // backslashes
        {"sectpull", "tab\there", " lead", "trail "},   // blanks
        {"sectpull", "\\\\\"x\\\\\" \\"},               // both together
        {"/path with space/sectpull", "mbr0:"},         // program name quoted
        {"sectpull", "\x01\x1f\x7f"},                   // control bytes
    };
    for (const std::vector<std::string> &vector : vectors) {
        std::vector<char *> argv;
        for (const std::string &argument : vector)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        wchar_t *line = platform_command_line((int)vector.size(), argv.data());
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(split(line), vector) << "line: " << bytes_of(line);
    }
}

TEST(Arguments, LongArgumentSurvives)
{
    std::string long_argument(131071, 'x');
    long_argument[70000] = '"';
    long_argument[131070] = '\\';
    char *argv[] = {const_cast<char *>("sectpull"), long_argument.data(), nullptr};
    wchar_t *line = platform_command_line(2, argv);
    ASSERT_NE(line, nullptr);
    std::vector<std::string> got = split(line);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[1] == long_argument);
}

struct SplitCase {
    const wchar_t *line;
    std::vector<std::string> arguments;
};

// How a command line typed on Windows splits.
TEST(Arguments, WindowsSplittingRules)
{
    const SplitCase cases[] = {
        {L"p a b", {"p", "a", "b"}},
        {L"p  \t a\t\tb  ", {"p", "a", "b"}},
        {L"p \"a b\" c", {"p", "a b", "c"}},
        {L"p a\"b c\"d", {"p", "ab cd"}},
        {L"p \\\\\"a b\\\\\"", {"p", "\\a b\\"}}, // 2n backslashes: n, and a quote toggles
        {L"p \\\"a", {"p", "\"a"}},               // 2n+1: n and a literal quote
        {L"p \\\\\\\"a", {"p", "\\\"a"}},         // three backslashes, quote
        {L"p a\\\\b", {"p", "a\\\\b"}},           // not before a quote: literal
        {L"p \"\"", {"p", ""}},                   // empty quoted
        {L"p \"a\"\"b\"", {"p", "a\"b"}},         // doubled quote inside quotes
        {L"p \"unterminated", {"p", "unterminated"}},
        {L"", {}},
        {L"   ", {}},
    };
    for (const SplitCase &c : cases)
        EXPECT_EQ(split(c.line), c.arguments) << "line: " << bytes_of(c.line);
}

class FakeSysBlock : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/sysblock-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        top = name;
        root = top + "/block";
        dev = top + "/dev";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + top + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    // An entry of /sys/block, with hardware behind it or not, its node
    // under /dev or not, and its "hidden" attribute when given.
    void entry(const char *name, bool has_device, bool has_node = true,
               const char *hidden = nullptr)
    {
        std::string folder = root + "/" + name;
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        if (has_device) {
            ASSERT_EQ(symlink("../../devices/fake", (folder + "/device").c_str()), 0);
        }
        if (has_node) {
            int fd = open((dev + "/" + name).c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(fd, 0);
            close(fd);
        }
        if (hidden != nullptr) {
            int fd = open((folder + "/hidden").c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, hidden, strlen(hidden)), (ssize_t)strlen(hidden));
            close(fd);
        }
    }
    // The disk's name under /dev, without the fake tree's folder.
    std::string disk(unsigned long index, int *error)
    {
        char path[256];
        *error = find_whole_disk(root.c_str(), dev.c_str(), index, path, sizeof path);
        if (*error != 0)
            return "";
        std::string found = path;
        EXPECT_EQ(found.compare(0, dev.size() + 1, dev + "/"), 0) << found;
        return "/dev/" + found.substr(dev.size() + 1);
    }
    // The disks counted, in order, and then no more.
    void expect_disks(const std::vector<std::string> &order)
    {
        for (unsigned long i = 0; i < order.size(); i++) {
            int error = -1;
            EXPECT_EQ(disk(i, &error), order[i]) << "disk " << i;
            EXPECT_EQ(error, 0);
        }
        int error = 0;
        EXPECT_EQ(disk(order.size(), &error), "");
        EXPECT_EQ(error, ENOENT);
    }
    std::string top;
    std::string root;
    std::string dev;
};

TEST_F(FakeSysBlock, WholeDisksInTheKernelsOrder)
{
    const char *disks[] = {"sdb",     "sdaa", "sda",     "sdz", "nvme10n1",
                           "nvme2n1", "vda",  "mmcblk0", "xvda"};
    for (const char *name : disks)
        entry(name, true);
    // Devices with no hardware behind them, and optical drives, are not disks.
    const char *not_disks[] = {"loop0", "loop12", "ram0", "zram0", "dm-0", "md127", "sr0"};
    for (const char *name : not_disks)
        entry(name, strcmp(name, "sr0") == 0 || strcmp(name, "loop12") == 0);
    entry("nohardware", false);

    // Letter runs count shorter first, so the four-letter "nvme" comes
    // between sdz and sdaa.
    expect_disks({"/dev/sda", "/dev/sdb", "/dev/sdz", "/dev/vda", "/dev/nvme2n1", "/dev/nvme10n1",
                  "/dev/sdaa", "/dev/xvda", "/dev/mmcblk0"});
    int error = 0;
    EXPECT_EQ(disk(~0ul, &error), "");
    EXPECT_EQ(error, ENOENT);
}

// A floppy drive would sort before sda; a hidden NVMe multipath path and an
// entry without a node under /dev cannot be opened as the disk they count.
TEST_F(FakeSysBlock, OnlyRealWholeDisksCount)
{
    entry("fd0", true);
    entry("fd1", true);
    entry("nvme0c0n1", true, false, "1\n");
    entry("nvme0n1", true, true, "0\n");
    entry("nvme1c1n1", true, true, "1\n");
    entry("sda", true);
    entry("sdb", true, false);
    entry("vda", true);

    expect_disks({"/dev/sda", "/dev/vda", "/dev/nvme0n1"});
}

TEST_F(FakeSysBlock, NoDisksAtAll)
{
    entry("loop0", false);
    int error = 0;
    EXPECT_EQ(disk(0, &error), "");
    EXPECT_EQ(error, ENOENT);
}

TEST_F(FakeSysBlock, MissingTree)
{
    char path[64];
    EXPECT_EQ(find_whole_disk((root + "/absent").c_str(), dev.c_str(), 0, path, sizeof path),
              ENOENT);
}

TEST(NaturalOrder, Pairs)
{
    const char *ascending[][2] = {
        {"sda", "sdb"},         {"sdb", "sdz"},         {"sdz", "sdaa"}, {"nvme2n1", "nvme10n1"},
        {"nvme0n1", "nvme0n2"}, {"sd9", "sd10"},        {"a1b", "a1c"},  {"x", "x1"},
        {"sd1", "sda"},         {"mmcblk0", "mmcblk1"},
    };
    for (const auto &pair : ascending) {
        EXPECT_EQ(compare_natural(pair[0], pair[1]), -1) << pair[0] << " < " << pair[1];
        EXPECT_EQ(compare_natural(pair[1], pair[0]), 1) << pair[1] << " > " << pair[0];
        EXPECT_EQ(compare_natural(pair[0], pair[0]), 0);
    }
}

TEST(Handles, NeverAStandardStreamNumber)
{
    // With standard input closed, the next descriptor the system hands out
    // is 0; the layer must not return it, as a null handle means failure.
    int saved = dup(0); // -1 when the test itself runs without standard input
    close(0);
    HANDLE handle = CreateFileW(L"/dev/null", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_GT((intptr_t)handle, 2);
    CloseHandle(handle);
    if (saved >= 0) {
        ASSERT_EQ(dup2(saved, 0), 0);
        close(saved);
    }
}

TEST(Handles, UnsupportedCombinationsAreRefused)
{
    struct Refused {
        DWORD access;
        DWORD disposition;
        DWORD flags;
        const char *what;
    };
    const DWORD sqos = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    const Refused rows[] = {
        {GENERIC_WRITE, OPEN_EXISTING, 0, "writing an existing name"},
        {GENERIC_READ, CREATE_NEW, 0, "reading a new name"},
        {GENERIC_READ, OPEN_EXISTING, 0x80, "a flag other than the pipe's quality of service"},
        {GENERIC_READ, OPEN_EXISTING, sqos | 0x40000000, "the quality of service and another"},
        {GENERIC_READ, OPEN_EXISTING, 0x00020000, "impersonation rather than identification"},
    };
    for (const Refused &row : rows) {
        SCOPED_TRACE(row.what);
        platform_set_last_error(sentinel);
        HANDLE handle =
            CreateFileW(L"/dev/null", row.access, 0, nullptr, row.disposition, row.flags, nullptr);
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)EINVAL);
    }
}

// The quality of service Windows gives pipes has no POSIX counterpart: both
// opens accept it and behave as without it.
TEST(Handles, PipeQualityOfServiceIsAccepted)
{
    const DWORD sqos = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    HANDLE source = CreateFileW(L"/dev/null", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, sqos, nullptr);
    EXPECT_NE(source, INVALID_HANDLE_VALUE);
    CloseHandle(source);
    char folder[] = "/tmp/sqos-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string name = std::string(folder) + "/new.bin";
    std::wstring wide(name.begin(), name.end());
    HANDLE target = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, sqos, nullptr);
    EXPECT_NE(target, INVALID_HANDLE_VALUE);
    CloseHandle(target);
    struct stat status;
    EXPECT_EQ(stat(name.c_str(), &status), 0);
    std::string command = std::string("rm -rf '") + folder + "'";
    ASSERT_EQ(system(command.c_str()), 0);
}

// What the tool asks of a new target's handle: only a new regular file
// passes as an empty disk file that is neither a folder nor a device.
TEST(Handles, TypeAndInformationTellFilesFromDevices)
{
    char folder[] = "/tmp/handles-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string fifo = std::string(folder) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string file = std::string(folder) + "/new.bin";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    int folder_fd = open(folder, O_RDONLY | O_DIRECTORY);
    int null_fd = open("/dev/null", O_WRONLY);
    int fifo_fd = open(fifo.c_str(), O_RDWR);

    struct Expected {
        int fd;
        DWORD type;
        DWORD attributes;
        const char *what;
    };
    const Expected rows[] = {
        {fd, FILE_TYPE_DISK, 0, "a new file"},
        {folder_fd, FILE_TYPE_DISK, FILE_ATTRIBUTE_DIRECTORY, "a folder"},
        {null_fd, FILE_TYPE_CHAR, FILE_ATTRIBUTE_DEVICE, "a character device"},
        {fifo_fd, FILE_TYPE_PIPE, 0, "a FIFO"},
    };
    for (const Expected &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_GE(row.fd, 0);
        HANDLE handle = (HANDLE)(intptr_t)row.fd;
        EXPECT_EQ(GetFileType(handle), row.type);
        BY_HANDLE_FILE_INFORMATION information = {~0u, ~0u, ~0u};
        EXPECT_TRUE(GetFileInformationByHandle(handle, &information));
        EXPECT_EQ(information.dwFileAttributes, row.attributes);
    }
    ASSERT_EQ(write(fd, "abc", 3), 3);
    BY_HANDLE_FILE_INFORMATION information = {};
    EXPECT_TRUE(GetFileInformationByHandle((HANDLE)(intptr_t)fd, &information));
    EXPECT_EQ(information.nFileSizeLow, 3u);
    EXPECT_EQ(information.nFileSizeHigh, 0u);

    for (int open_fd : {fd, folder_fd, null_fd, fifo_fd})
        close(open_fd);
    // A closed descriptor: both calls fail and say why. A sentinel first,
    // so that a call that never set the code cannot pass.
    platform_set_last_error(sentinel);
    EXPECT_EQ(GetFileType((HANDLE)(intptr_t)fd), FILE_TYPE_UNKNOWN);
    EXPECT_EQ(GetLastError(), (DWORD)EBADF);
    platform_set_last_error(sentinel);
    EXPECT_FALSE(GetFileInformationByHandle((HANDLE)(intptr_t)fd, &information));
    EXPECT_EQ(GetLastError(), (DWORD)EBADF);
    std::string command = std::string("rm -rf '") + folder + "'";
    ASSERT_EQ(system(command.c_str()), 0);
}

TEST(Arguments, NoCommandLineIsOutOfMemory)
{
    int count = 7;
    platform_set_last_error(sentinel);
    EXPECT_EQ(CommandLineToArgvW(nullptr, &count), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ENOMEM);
}

TEST(Handles, NameWithUnitAboveAByteIsRefused)
{
    platform_set_last_error(sentinel);
    HANDLE handle =
        CreateFileW(L"/tmp/\u0100", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)EILSEQ);
}

// Windows' CreateFileW clears the code when it succeeds, so that a code
// left by an earlier call never explains a later failure; the layer does
// the same.
TEST(Handles, SuccessfulOpenClearsTheCode)
{
    platform_set_last_error(sentinel);
    HANDLE handle = CreateFileW(L"/dev/null", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(handle);
}

} // namespace
