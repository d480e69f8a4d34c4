// The device path each source argument forms, checked without a device.
#include <gtest/gtest.h>

#include <wchar.h>

#include "command_line.h"

namespace
{

struct PathCase {
    const wchar_t *source;
    const wchar_t *path;
    bool disk;
    const char *covers;
};

const PathCase path_cases[] = {
    {L"C:", L"\\\\.\\C:", false, "a drive letter is taken whole"},
    {L"c:", L"\\\\.\\c:", false, "letter case is kept"},
    {L"mbr0:", L"\\\\.\\PhysicalDrive0", true, "the documented disk form"},
    {L"MBR0:", L"\\\\.\\PhysicalDrive0", true, "upper case folds"},
    {L"mBr0:", L"\\\\.\\PhysicalDrive0", true, "mixed case folds"},
    {L"mbr12:", L"\\\\.\\PhysicalDrive12", true, "more than one digit"},
    {L"mbr0", L"\\\\.\\PhysicalDrive0", true, "a forgotten colon keeps the digit"},
    {L"mbr12", L"\\\\.\\PhysicalDrive12", true, "and both digits: never disk 1"},
    {L"MBR12:", L"\\\\.\\PhysicalDrive12", true, "the colon goes in any case"},
    {L"mbr0::", L"\\\\.\\PhysicalDrive0:", true, "only one colon goes"},
    {L"mbr", L"\\\\.\\PhysicalDrive", true, "the prefix alone, nothing removed"},
    {L"mbr:", L"\\\\.\\PhysicalDrive", true, "a colon right after mbr"},
    {L"mb", L"\\\\.\\mb", false, "too short to be the disk form"},
    {L"m", L"\\\\.\\m", false, "one character"},
    {L"", L"\\\\.\\", false, "an empty argument gives the bare prefix"},
    {L"PhysicalDrive0", L"\\\\.\\PhysicalDrive0", false, "the platform's own name, whole"},
    {L"mbrX:", L"\\\\.\\PhysicalDriveX", true, "nothing checks for digits"},
    {L"mbr0:extra", L"\\\\.\\PhysicalDrive0:extra", true, "a colon not at the end stays"},
    {L"\u00cdbr0:", L"\\\\.\\\u00cdbr0:", false, "only A to Z fold: not I with an accent"},
    {L"\u039cbr0:", L"\\\\.\\\u039cbr0:", false, "nor Greek capital mu"},
    {L"mbR\u0130", L"\\\\.\\PhysicalDrive\u0130", true, "any character after mbr is copied"},
    {L"@br0:", L"\\\\.\\@br0:", false, "@ (64) lies just below A and is not folded"},
    {L"[br0:", L"\\\\.\\[br0:", false, "[ (91) lies just above Z and is not folded"},
    {L"Mbr0:", L"\\\\.\\PhysicalDrive0", true, "M (77) folds to m"},
    {L"mbr\0x:", L"\\\\.\\PhysicalDrive", true, "the argument ends at its terminator"},
};

TEST(DevicePath, EachSourceFormsItsPath)
{
    for (const PathCase &c : path_cases) {
        SCOPED_TRACE(c.covers);
        EXPECT_EQ(is_disk_form(c.source), c.disk);
        wchar_t *path = form_device_path(c.source);
        ASSERT_NE(path, nullptr);
        EXPECT_STREQ(path, c.path);
    }
}

// "mbr" folded is "MBR" only for the letters M, B and R: every other code
// unit in those positions must fail the match.
TEST(DevicePath, FoldIsAsciiOnlyForEveryCodeUnit)
{
    for (wchar_t unit = 1; unit < 0x10000; unit++) {
        bool matches = unit == L'm' || unit == L'M';
        wchar_t source[] = {unit, L'b', L'r', L'0', L':', 0};
        EXPECT_EQ(is_disk_form(source), matches) << "code unit " << (unsigned)unit;
    }
}

} // namespace
