// Which downloads count as a program this Windows can start: this test program's own file
// (a 64-bit console program, run under 64-bit Wine on x64) and copies of it changed where
// Microsoft's "PE Format" places each field.
#include "tests/support/test_support.h"
#include "update/launcher_check.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

namespace {

// Field offsets from the PE signature, and their values, from "PE Format".
constexpr size_t kMachine = 4, kOptionalSize = 20, kCharacteristics = 22, kMagic = 24, kSubsystem = 24 + 68;

std::string OwnImage()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return ReadWhole(path).value_or("");
}

void Put16(std::string& image, size_t offset, unsigned value)
{
    image[offset] = static_cast<char>(value & 0xff);
    image[offset + 1] = static_cast<char>(value >> 8);
}

size_t HeaderOf(const std::string& image)
{
    unsigned long offset = 0;
    memcpy(&offset, image.data() + 0x3c, 4);
    return offset;
}

struct Case {
    const char* name;
    std::string (*make)(std::string image);
    bool startable;
};

const Case kCases[] = {
    {"ProgramForThisMachine", [](std::string image) { return image; }, true},
    {"ConsoleProgram", [](std::string image) { Put16(image, HeaderOf(image) + kSubsystem, 3); return image; }, true},
    {"NativeSubsystem", [](std::string image) { Put16(image, HeaderOf(image) + kSubsystem, 1); return image; }, false},
    {"Dll", [](std::string image) {
         const size_t at = HeaderOf(image) + kCharacteristics;
         Put16(image, at, (static_cast<unsigned char>(image[at]) | static_cast<unsigned char>(image[at + 1]) << 8) | 0x2000);
         return image;
     }, false},
    {"NotMarkedExecutable", [](std::string image) {
         const size_t at = HeaderOf(image) + kCharacteristics;
         image[at] = static_cast<char>(image[at] & ~0x02);
         return image;
     }, false},
    {"Arm64OnX64", [](std::string image) { Put16(image, HeaderOf(image) + kMachine, 0xaa64); return image; }, false},
    {"X86MachineWith64BitHeader", [](std::string image) { Put16(image, HeaderOf(image) + kMachine, 0x14c); return image; }, false},
    {"X64MachineWith32BitHeader", [](std::string image) { Put16(image, HeaderOf(image) + kMagic, 0x10b); return image; }, false},
    {"OptionalHeaderTooShortForTheSubsystem", [](std::string image) { Put16(image, HeaderOf(image) + kOptionalSize, 68); return image; }, false},
    {"NoPeSignature", [](std::string image) { image[HeaderOf(image) + 2] = 'X'; return image; }, false},
    {"HeaderBeyondTheEnd", [](std::string image) { return image.substr(0, HeaderOf(image) + kSubsystem); }, false},
    {"HeaderOffsetNegative", [](std::string image) { image.replace(0x3c, 4, "\xf0\xff\xff\xff", 4); return image; }, false},
    {"ZipArchive", [](std::string) { return std::string("PK\x03\x04\x14\x00\x00\x00\x08\x00", 10) + std::string(4096, 'z'); }, false},
    {"OnlyMz", [](std::string) { return std::string("MZ"); }, false},
    {"Empty", [](std::string) { return std::string(); }, false},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class LauncherCheck : public ::testing::TestWithParam<Case> {};

TEST_P(LauncherCheck, TellsAStartableProgram)
{
    const std::string image = OwnImage();
    ASSERT_GT(image.size(), 4096u);
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring path = std::wstring(dir) + L"launcher_check_" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    ASSERT_TRUE(WriteWhole(path, GetParam().make(image)));
    EXPECT_EQ(IsStartableProgram(path.c_str()), GetParam().startable);
    DeleteFileW(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Downloads, LauncherCheck, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LauncherCheckMissing, NoFileIsNoProgram)
{
    EXPECT_FALSE(IsStartableProgram(L"C:\\does\\not\\exist\\DvOrvanneLauncher.exe"));
}

}  // namespace
