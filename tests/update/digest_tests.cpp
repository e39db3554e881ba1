// The expected digest as read from the digest file, and the SHA-256 of files on disk,
// with the file and BCrypt calls passing through digest_seams.h.
#define DIGEST_SEAMS_CALL_WINDOWS  // the tests' own file calls go straight to Windows
#include "tests/update/digest_seams.h"
#include "update/digest_check.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

// SHA-256 of "abc" and of empty input, the FIPS 180-4 examples.
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Utf16Le(const std::string& ascii)
{
    std::string out("\xFF\xFE", 2);
    for (const char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

std::string BytesAbove127()
{
    std::string out;
    for (int byte = 128; byte < 256; ++byte)
        out.push_back(static_cast<char>(byte));
    return out;
}

struct ParseCase {
    const char* name;
    std::string body;
    std::string expected;  // empty: no digest
};

const ParseCase kParseCases[] = {
    {"LowercaseDigits", kAbcDigest, kAbcDigest},
    {"UppercaseDigits", Upper(kAbcDigest), kAbcDigest},
    {"DigitsAndLineBreak", kAbcDigest + "\n", kAbcDigest},
    {"DigitsAndCrLf", kAbcDigest + "\r\n", kAbcDigest},
    {"DigitsTwoSpacesAndFileName", kAbcDigest + "  launcher_full.exe\n", kAbcDigest},
    {"SixtyThreeDigits", kAbcDigest.substr(0, 63) + "\n", ""},
    {"SplitThirtyAndThirtyFour", kAbcDigest.substr(0, 30) + " " + kAbcDigest.substr(30), kAbcDigest},
    {"Sha256Label", "sha256:" + kAbcDigest, "a256" + kAbcDigest.substr(0, 60)},
    {"SeventyDigits", kAbcDigest + "abcdef", kAbcDigest},
    {"Utf8ByteOrderMark", "\xEF\xBB\xBF" + kAbcDigest + "\n", kAbcDigest},
    {"HighBytesAreNeverDigits", BytesAbove127() + kAbcDigest, kAbcDigest},
    {"Utf16", Utf16Le(Upper(kAbcDigest) + "\r\n"), kAbcDigest},
    {"HexPrefix", "0x" + kAbcDigest, "0" + kAbcDigest.substr(0, 63)},
    {"ErrorPage", "<html><body><h1>404 Not Found</h1></body></html>", ""},
    {"Empty", "", ""},
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class Parse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Parse, TakesTheFirstSixtyFourHexDigits)
{
    const ParseCase& c = GetParam();
    EXPECT_EQ(ParseExpectedDigest(ByteBuffer(c.body.begin(), c.body.end())), c.expected);
}

INSTANTIATE_TEST_SUITE_P(DigestFile, Parse, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A deterministic, non-repeating-per-chunk byte pattern for files of any size.
std::string Pattern(size_t size)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 131 + (i >> 12)) & 0xFF);
    return out;
}

// A file in the temporary directory, removed when the test ends.
class TempFile {
public:
    explicit TempFile(const std::string& content)
    {
        static int serial = 0;
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        path_ = std::wstring(dir) + L"digest_tests_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(++serial) + L".bin";
        HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
        EXPECT_EQ(written, content.size());
        CloseHandle(file);
    }
    ~TempFile() { DeleteFileW(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const wchar_t* path() const { return path_.c_str(); }

private:
    std::wstring path_;
};

struct FileCase {
    const char* name;
    std::string content;
    std::string expected;
};

// The Pattern digests were computed once with sha256sum over the same bytes, written
// by: python3 -c "import sys; n=N; sys.stdout.buffer.write(bytes((i*131+(i>>12))&255
// for i in range(n)))" | sha256sum
const FileCase kFileCases[] = {
    {"Empty", "", kEmptyDigest},
    {"Abc", "abc", kAbcDigest},
    {"OneByteShortOfAChunk", Pattern(65535), "6c00edcf81584c5b5a979e2e22849dc45439d3055bcab0a15e790aa2ec38e322"},
    {"ExactlyOneChunk", Pattern(65536), "51b9ecf3220e7e09b7873c47bf2c573641a71ff111a634b46d59689bf86fe84f"},
    {"OneByteOverAChunk", Pattern(65537), "4ae1b76167cf5c0a6233b2dc851cb613fe028df6f5c520afcd726cac3c05aa84"},
    {"FiveMegabytes", Pattern(5 * 1024 * 1024 + 123),
     "a69b8efdfb8df5b482806a0c700c400e776292a826a4cd19b88dab6530ef81d2"},
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

class Hash : public ::testing::TestWithParam<std::tuple<FileCase, bool>> {
protected:
    void SetUp() override { seams::Reset(); }
    void TearDown() override { seams::Reset(); }
};

// On Windows Vista the hash object's memory has to come from the caller; the digests
// must be the same with and without that rule.
TEST_P(Hash, MatchesTheKnownDigest)
{
    const auto& [file, vista] = GetParam();
    seams::vistaHashObjects = vista;
    TempFile temp(file.content);
    EXPECT_EQ(Sha256FileHex(temp.path()), file.expected);
}

INSTANTIATE_TEST_SUITE_P(Files, Hash, ::testing::Combine(::testing::ValuesIn(kFileCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_VistaHashObjects" : "");
                         });

// Keeps the Vista rows honest: the seam really refuses what Windows Vista refuses.
TEST(HashSeams, VistaRuleRefusesAHashWithoutObjectMemory)
{
    seams::Reset();
    seams::vistaHashObjects = true;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    ASSERT_EQ(SeamBCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0), 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR tooSmall[8];
    EXPECT_NE(SeamBCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0), 0);
    EXPECT_NE(SeamBCryptCreateHash(algorithm, &hash, tooSmall, sizeof tooSmall, nullptr, 0, 0), 0);
    SeamBCryptCloseAlgorithmProvider(algorithm, 0);
    seams::Reset();
}

TEST(HashUnreadable, GivesNoDigest)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    EXPECT_EQ(Sha256FileHex((std::wstring(dir) + L"digest_tests_no_such_file.exe").c_str()), "");
    EXPECT_EQ(Sha256FileHex(dir), "") << "a directory";

    // A writer that shares nothing, as a scanner holding the download might.
    TempFile temp("abc");
    HANDLE held = CreateFileW(temp.path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Sha256FileHex(temp.path()), "") << "a file held without sharing";
    CloseHandle(held);
    EXPECT_EQ(Sha256FileHex(temp.path()), kAbcDigest);
}

using Log = std::vector<std::string>;

const Log kOpenedAll = {"open file", "open provider", "create hash"};
const Log kReleasedAll = {"destroy hash", "close provider", "close file"};

Log operator+(Log a, const Log& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct FailureCase {
    const char* name;
    seams::Fail failing;
    int readsBeforeFailure;
    size_t fileSize;
    std::string expected;
    Log log;
};

// Whatever fails, there is no digest, and what was opened is released in reverse order.
// A read failure gives no digest either, not the digest of the bytes read before it.
const FailureCase kFailureCases[] = {
    {"NothingFails", seams::Fail::kNothing, 0, 65537,
     "4ae1b76167cf5c0a6233b2dc851cb613fe028df6f5c520afcd726cac3c05aa84", kOpenedAll + kReleasedAll},
    {"OpenProvider", seams::Fail::kOpenProvider, 0, 65537, "", {"open file", "close file"}},
    {"GetObjectLength", seams::Fail::kGetObjectLength, 0, 65537, "",
     {"open file", "open provider", "close provider", "close file"}},
    {"CreateHash", seams::Fail::kCreateHash, 0, 65537, "",
     {"open file", "open provider", "close provider", "close file"}},
    {"FirstRead", seams::Fail::kRead, 0, 65537, "", kOpenedAll + kReleasedAll},
    {"ReadInTheMiddle", seams::Fail::kRead, 1, 200000, "", kOpenedAll + kReleasedAll},
    {"ReadAtTheEnd", seams::Fail::kRead, 1, 65536, "", kOpenedAll + kReleasedAll},
    {"HashData", seams::Fail::kHashData, 0, 65537, "", kOpenedAll + kReleasedAll},
    {"FinishHash", seams::Fail::kFinishHash, 0, 65537, "", kOpenedAll + kReleasedAll},
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class HashFailure : public ::testing::TestWithParam<FailureCase> {
protected:
    void TearDown() override { seams::Reset(); }
};

TEST_P(HashFailure, GivesNoDigestAndReleasesEverything)
{
    const FailureCase& c = GetParam();
    TempFile temp(Pattern(c.fileSize));
    seams::Reset();
    seams::failing = c.failing;
    seams::readsBeforeFailure = c.readsBeforeFailure;
    EXPECT_EQ(Sha256FileHex(temp.path()), c.expected);
    EXPECT_EQ(seams::log, c.log);
}

INSTANTIATE_TEST_SUITE_P(Steps, HashFailure, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
