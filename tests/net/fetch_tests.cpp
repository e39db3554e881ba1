// HttpsFetch against the scriptable test server (tests/harness/server.py) on port 443 of
// a private network namespace. Each case asks for a path-encoded scenario, so one
// server serves them all. Run by ctest through tests/harness/with-server.
#include "tests/net/fetch_support.h"

#include "config/config.h"
#include "net/https_fetch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t* const kLabel = L"Descargando el launcher nuevo (intento 1/3)...";
const std::string kHost = UPDATER_SERVER_HOST;

// Megabyte counts of one progress text, "<label>  <so far> / <in all> MB".
struct ProgressText {
    bool wellFormed = false;
    unsigned soFar = 0;
    unsigned inAll = 0;
};

ProgressText ParseProgress(const std::wstring& text, const std::wstring& label)
{
    ProgressText parsed;
    const std::wstring lead = label + L"  ";
    if (text.compare(0, lead.size(), lead) != 0)
        return parsed;
    // Rebuilt and compared whole: swscanf alone also takes other spacing or leading zeros.
    if (swscanf(text.c_str() + lead.size(), L"%u / %u MB", &parsed.soFar, &parsed.inAll) == 2 &&
        text == lead + std::to_wstring(parsed.soFar) + L" / " + std::to_wstring(parsed.inAll) + L" MB")
        parsed.wellFormed = true;
    return parsed;
}

class Fetch : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_postedStatuses.clear();
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::wstring(dir) + L"fetch_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                Wide(std::string(info->name()).substr(std::string(info->name()).rfind('/') + 1)) + L".bin";
        file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }

    void TearDown() override
    {
        CloseFile();
        DeleteFileW(path_.c_str());
    }

    void CloseFile()
    {
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

    // The file as the fetch left it.
    std::string Written()
    {
        CloseFile();
        return ReadWhole(path_).value_or("");
    }

    std::wstring path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

enum Sink { kFile, kBuffer, kFileAndBuffer };

struct BodyCase {
    const char* name;
    std::string query;   // of /scenario
    size_t served;       // bytes of the generated body the server holds
    Sink sink;
    bool ok;
    bool lengthKnown;    // the server announces Content-Length
    DWORD maxBytes = UINT32_MAX;
};

// Rates keep the larger bodies a second or two long, so several statuses appear.
const BodyCase kBodyCases[] = {
    {"LengthIntoFile", "size=12582912&rate=10000000", 12582912, kFile, true, true},
    {"LengthIntoFileAndBuffer", "size=2500000&rate=2000000", 2500000, kFileAndBuffer, true, true},
    {"ChunkedWithoutLength", "size=3145728&length=chunked&rate=3000000", 3145728, kFile, true, false},
    {"CloseDelimitedWithoutLength", "size=3145728&length=close&rate=3000000", 3145728, kFile, true, false},
    {"WithoutLengthIntoBuffer", "size=2200000&length=chunked&rate=2000000", 2200000, kBuffer, true, false},
    {"SmallBodyWithLength", "size=300000", 300000, kFile, true, true},
    {"SmallBodyWithoutLength", "size=300000&length=chunked", 300000, kFile, true, false},
    {"EmptyBody", "size=0", 0, kFile, true, true},
    {"EmptyChunkedBody", "size=0&length=chunked", 0, kFile, true, false},
    {"LengthLongerThanBodyCut", "size=3145728&cut_after=1500000", 3145728, kFile, false, true},
    {"LengthLongerThanBodyCutIntoBuffer", "size=800000&cut_after=200000", 800000, kBuffer, false, true},
    {"LengthAnnouncedBeyondWholeBody", "size=500000&length=600000", 500000, kFile, false, true},
    {"NotFound", "status=404&size=5000", 5000, kFile, false, true},
    {"ServerError", "status=500&size=5000", 5000, kFileAndBuffer, false, true},
    {"PartialContentIsNotOk", "status=206&size=5000", 5000, kFile, false, true},
    {"NoContent", "status=204", 0, kFile, false, true},
    {"BodyOfTheLimit", "size=1024", 1024, kBuffer, true, true, 1024},
    {"LengthBeyondTheLimit", "size=1025", 1025, kBuffer, false, true, 1024},
    {"ChunkedBeyondTheLimit", "size=300000&length=chunked", 300000, kFileAndBuffer, false, false, 1024},
    // A server that never stops sending (a digest file, say): the fetch ends at the limit.
    {"EndlessBodyEndsAtTheLimit", "size=4294967295&length=chunked", 4294967295, kBuffer, false, false, 65536},
};

void PrintTo(const BodyCase& c, std::ostream* out) { *out << c.name; }

class FetchBody : public Fetch, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(FetchBody, StoresTheBodyAndReportsProgress)
{
    const BodyCase& c = GetParam();
    const std::wstring path = L"/scenario?" + Wide(c.query);
    ByteBuffer buffer = {'a', 'b'};  // a body is appended, never put in place of what is there
    const bool toFile = c.sink != kBuffer;
    const bool toBuffer = c.sink != kFile;

    const bool ok =
        HttpsFetch(path.c_str(), toFile ? file_ : nullptr, toBuffer ? &buffer : nullptr, kLabel, c.maxBytes);

    EXPECT_EQ(ok, c.ok);
    const std::string written = Written();
    const std::string appended(buffer.begin() + 2, buffer.end());
    const std::string body = PatternBody(c.ok ? c.served : std::max(written.size(), appended.size()));
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 2), "ab");
    if (c.ok) {
        EXPECT_EQ(written, toFile ? body : "");
        EXPECT_EQ(appended, toBuffer ? body : "");
    } else {
        const std::string& stored = toFile ? written : appended;
        // A cut body leaves what arrived; an error page leaves nothing.
        EXPECT_LE(stored.size(), c.served);
        EXPECT_EQ(stored, body.substr(0, stored.size()));
        // An error page, or a length announced beyond the limit, is never read.
        if (c.query.find("status=") != std::string::npos || (c.maxBytes != UINT32_MAX && c.lengthKnown)) {
            EXPECT_EQ(written, "");
            EXPECT_EQ(appended, "");
            EXPECT_TRUE(g_postedStatuses.empty());
        }
        EXPECT_LE(stored.size(), c.maxBytes);
    }

    const unsigned totalMb = c.lengthKnown ? static_cast<unsigned>(c.served >> 20) : 0;
    if (c.ok && c.served == 0) {
        EXPECT_TRUE(g_postedStatuses.empty()) << "an empty body posts nothing";
    }
    if (c.ok && c.served > 0) {
        ASSERT_FALSE(g_postedStatuses.empty()) << "the first chunk is always reported";
    }
    int lastPercent = -1;
    unsigned lastMb = 0;
    for (const PostedStatus& status : g_postedStatuses) {
        SCOPED_TRACE(Utf8(status.text));
        const ProgressText progress = ParseProgress(status.text, kLabel);
        ASSERT_TRUE(progress.wellFormed);
        EXPECT_EQ(progress.inAll, totalMb);
        EXPECT_GE(progress.soFar, lastMb);
        EXPECT_LE(progress.soFar, c.served >> 20);
        lastMb = progress.soFar;
        if (!c.lengthKnown) {
            EXPECT_EQ(status.percent, -1);
            continue;
        }
        EXPECT_GE(status.percent, lastPercent);
        EXPECT_LE(status.percent, 100);
        // The percentage and the megabytes describe the same byte count.
        const uint64_t low = static_cast<uint64_t>(status.percent) * c.served / 100;
        const uint64_t high = static_cast<uint64_t>(status.percent + 1) * c.served / 100;
        EXPECT_GE(progress.soFar, low >> 20);
        EXPECT_LE(progress.soFar, high >> 20);
        lastPercent = status.percent;
    }
    if (!g_postedStatuses.empty()) {
        EXPECT_EQ(ParseProgress(g_postedStatuses.front().text, kLabel).soFar, 0u);
        if (c.lengthKnown) {
            EXPECT_LE(g_postedStatuses.front().percent, static_cast<int>(65536 * 100 / c.served));
        }
    }
    if (c.ok && c.served >= (3u << 20) && c.lengthKnown) {
        EXPECT_GE(g_postedStatuses.size(), 3u) << "a download of a second or more shows its progress";
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FetchBody, ::testing::ValuesIn(kBodyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Fetch, DigestDownloadPostsNothingAndAppendsToTheBuffer)
{
    const std::string digest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08  launcher_full.exe\n";
    const std::wstring path = L"/scenario?body=" + Wide(QueryEncode(digest));
    ByteBuffer buffer = {'x'};

    EXPECT_TRUE(HttpsFetch(path.c_str(), nullptr, &buffer, nullptr));

    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "x" + digest);
    EXPECT_TRUE(g_postedStatuses.empty());
    EXPECT_EQ(Written(), "");
}

TEST_F(Fetch, WithoutLabelALongDownloadPostsNothingEither)
{
    ByteBuffer buffer;
    EXPECT_TRUE(HttpsFetch(L"/scenario?size=1500000&rate=3000000", file_, &buffer, nullptr));
    EXPECT_EQ(buffer.size(), 1500000u);
    EXPECT_TRUE(g_postedStatuses.empty());
}

TEST_F(Fetch, SendsOneGetWithTheExactPathAndUserAgent)
{
    const size_t before = ReadServerLog().size();
    const std::wstring path = L"/scenario?size=1000&marker=" + std::to_wstring(GetTickCount64());

    EXPECT_TRUE(HttpsFetch(path.c_str(), file_, nullptr, nullptr));

    const std::vector<LoggedRequest> log = ReadServerLog();
    ASSERT_EQ(log.size(), before + 1);
    EXPECT_EQ(log.back().method, "GET");
    EXPECT_EQ(log.back().path, Utf8(path));
    EXPECT_EQ(log.back().userAgent, Utf8(kUserAgent));
}

TEST_F(Fetch, FollowsARedirectToTheSameSecureServer)
{
    const std::string target = "https://" + kHost + "/scenario?size=70000";
    const std::wstring path = L"/scenario?redirect=" + Wide(QueryEncode(target));

    EXPECT_TRUE(HttpsFetch(path.c_str(), file_, nullptr, nullptr));
    EXPECT_EQ(Written(), PatternBody(70000));
}

// The plain listener (port 8080) would serve the body; taking it would drop TLS.
TEST_F(Fetch, RefusesARedirectToPlainHttp)
{
    const std::string target = "http://" + kHost + ":8080/scenario?size=70001";
    const std::wstring path = L"/scenario?redirect=" + Wide(QueryEncode(target));
    ByteBuffer buffer;
    const size_t before = ReadServerLog().size();

    EXPECT_FALSE(HttpsFetch(path.c_str(), file_, &buffer, kLabel));
    EXPECT_EQ(Written(), "");
    EXPECT_TRUE(buffer.empty());
    EXPECT_TRUE(g_postedStatuses.empty());
    const std::vector<LoggedRequest> log = ReadServerLog();
    ASSERT_EQ(log.size(), before + 1) << "followed to " << target;
    EXPECT_EQ(log.back().path, Utf8(path));
}

// A body of about three seconds: statuses keep coming, never closer than 150 ms.
TEST_F(Fetch, ProgressIsThrottledTo150Milliseconds)
{
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(HttpsFetch(L"/scenario?size=4194304&rate=1400000", file_, nullptr, kLabel));
    const ULONGLONG elapsed = GetTickCount64() - start;

    ASSERT_FALSE(g_postedStatuses.empty());
    // With the first chunk: well before the body's three seconds are over.
    EXPECT_LT(g_postedStatuses.front().tick - start, 2000u);
    for (size_t i = 1; i < g_postedStatuses.size(); ++i)
        EXPECT_GT(g_postedStatuses[i].tick - g_postedStatuses[i - 1].tick, 150u) << "status " << i;
    EXPECT_LE(g_postedStatuses.size(), elapsed / 150 + 1);
    // Chunks arrive every 50 ms, so a report is due at most ~50 ms after each 150 ms.
    EXPECT_GE(g_postedStatuses.size(), elapsed / 250) << elapsed << " ms";
}

TEST_F(Fetch, OverLongLabelIsCutToTheTextSize)
{
    const std::wstring label(300, L'L');
    EXPECT_TRUE(HttpsFetch(L"/scenario?size=1000", file_, nullptr, label.c_str()));
    ASSERT_EQ(g_postedStatuses.size(), 1u);
    EXPECT_EQ(g_postedStatuses[0].text, std::wstring(255, L'L'));
}

}  // namespace
