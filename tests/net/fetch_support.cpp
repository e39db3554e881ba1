#include "tests/net/fetch_support.h"

#include <cstdio>
#include <cstdlib>

std::string QueryEncode(const std::string& value)
{
    std::string out;
    for (unsigned char c : value) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

std::string PatternBody(size_t size)
{
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>(i % 251);
    return body;
}

namespace {

// The string value of "key" in one JSON line as the server writes it (ASCII paths and
// agents; only \" and \\ escapes matter).
std::string JsonString(const std::string& line, const std::string& key)
{
    const std::string marker = "\"" + key + "\": \"";
    size_t at = line.find(marker);
    if (at == std::string::npos)
        return {};
    std::string value;
    for (at += marker.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] == '\\' && at + 1 < line.size())
            ++at;
        value += line[at];
    }
    return value;
}

}  // namespace

std::vector<LoggedRequest> ReadServerLog()
{
    std::vector<LoggedRequest> requests;
    const char* unixPath = getenv("UPDATER_SERVER_LOG");
    if (!unixPath)
        return requests;
    // Wine shows the Linux root as drive Z:.
    std::wstring path = L"Z:" + Wide(unixPath);
    for (auto& c : path)
        if (c == L'/')
            c = L'\\';
    const std::string log = ReadWhole(path).value_or("");
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(start, end - start);
        if (line.find("\"method\"") != std::string::npos)
            requests.push_back({JsonString(line, "method"), JsonString(line, "path"), JsonString(line, "user_agent")});
        start = end + 1;
    }
    return requests;
}
