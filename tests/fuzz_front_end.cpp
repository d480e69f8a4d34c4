// libFuzzer target over the front end: any argument vector, any code units.
//
// The first input byte picks the code unit width (16 bits as on Windows, or
// the full 32 of this platform's wchar_t); the rest are units, and a zero
// unit ends an argument. Every argument is formed into a device path and
// checked against a restatement of the rules written apart from the code:
// the prefix, the fold of A to Z alone over exactly three units, and the
// disk form losing a final colon and nothing else. Byte-sized vectors also
// go round the command line and must come back unchanged. ASan guards the
// storage.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "platform.h"
#include "platform_internal.h"

static bool is_m_b_r(wchar_t unit, char letter)
{
    // Independent of the code's fold: only the two ASCII cases count.
    return unit == (wchar_t)letter || unit == (wchar_t)(letter - 'a' + 'A');
}

static bool expected_disk_form(const std::wstring &source)
{
    return source.size() >= 3 && is_m_b_r(source[0], 'm') && is_m_b_r(source[1], 'b') &&
           is_m_b_r(source[2], 'r');
}

static std::wstring expected_path(const std::wstring &source)
{
    if (!expected_disk_form(source))
        return L"\\\\.\\" + source;
    std::wstring number = source.substr(3);
    if (!number.empty() && number.back() == L':')
        number.pop_back();
    return L"\\\\.\\PhysicalDrive" + number;
}

static void check_device_path(const std::wstring &source)
{
    // An exact-size copy, so ASan sees any read past the terminator.
    wchar_t *exact = (wchar_t *)malloc((source.size() + 1) * sizeof(wchar_t));
    memcpy(exact, source.c_str(), (source.size() + 1) * sizeof(wchar_t));
    std::wstring want = expected_path(source);
    wchar_t *path = form_device_path(exact);
    if (path == nullptr || want != path)
        abort();
    if (is_disk_form(exact) != expected_disk_form(source))
        abort();
    free(path); // GlobalAlloc is malloc here; the tool itself never frees.
    free(exact);
}

static void check_round_trip(const std::vector<std::wstring> &arguments)
{
    std::vector<std::string> bytes;
    for (const std::wstring &argument : arguments) {
        std::string b;
        for (wchar_t unit : argument) {
            if (unit < 1 || unit > 255)
                return;
            b += (char)unit;
        }
        bytes.push_back(b);
    }
    std::vector<char *> argv;
    for (std::string &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    wchar_t *line = platform_command_line((int)bytes.size(), argv.data());
    int count = -1;
    wchar_t **split = CommandLineToArgvW(line, &count);
    if (split == nullptr || count != (int)bytes.size())
        abort();
    for (int i = 0; i < count; i++) {
        if (arguments[(size_t)i] != split[i])
            abort();
    }
    if (count > 0)
        free(split[0]);
    free(split);
    free(line);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t width = data[0] % 2 == 0 ? 2 : 4;
    std::vector<std::wstring> arguments(1);
    for (size_t at = 1; at + width <= size; at += width) {
        uint32_t unit = 0;
        memcpy(&unit, data + at, width);
        if (unit == 0)
            arguments.emplace_back();
        else
            arguments.back() += (wchar_t)unit;
    }
    for (const std::wstring &argument : arguments)
        check_device_path(argument);
    check_round_trip(arguments);
    return 0;
}
