// vorna-flash's system layer: files named in any script, the bench log shared by several
// stations, the log file's refusal of things that are not files, and the command line and
// JSON text with words no code page holds.
#include "check.h"

#include "benchlog.h"
#include "options.h"
#include "platform.h"
#include "report_json.h"

#include "programmer_api.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#endif

namespace {

namespace fs = std::filesystem;

// A folder of this run's own, named with characters no code page holds all of.
struct Scratch {
    std::string dir;  // UTF-8
    Scratch()
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir = (fs::temp_directory_path() / ("vbf-portable-" + std::to_string(stamp))).u8string() +
              "/\xc3\x9c" "bung \xe2\x82\xac \xce\xb1";  // "Übung € α"
        fs::create_directories(vf::diskPath(dir));
    }
    ~Scratch()
    {
        std::error_code ec;
        fs::remove_all(vf::diskPath(dir).parent_path(), ec);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
};

std::string readAll(const std::string& utf8Path)
{
    std::ifstream in(vf::diskPath(utf8Path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void filesWithNonAsciiNames()
{
    Scratch s;
    const std::string file = s.path("Fw \xf0\x9f\x93\xa1 v1.bin");
    {
        std::ofstream out(vf::diskPath(file), std::ios::binary);
        out << std::string(1000, '\x5a');
    }
    std::uintmax_t size = 0;
    CHECK(vf::regularFileSize(file, size));
    CHECK_EQ(size, std::uintmax_t(1000));
    CHECK_EQ(readAll(file).size(), std::size_t(1000));
    CHECK(!vf::regularFileSize(s.dir, size));                 // a folder
    CHECK(!vf::regularFileSize(s.path("missing.hex"), size));  // nothing there
}

vf::LogRow row(const std::string& result)
{
    vf::LogRow r;
    r.timeUtc = vf::utcTimestamp();
    r.port = "COM7";
    r.file = "C:\\fw\\M\xc3\xbcller.hex";
    r.result = result;
    return r;
}

void benchLogAppendsAcrossPrograms()
{
    Scratch s;
    const std::string path = s.path("bench \xc3\xa9t\xc3\xa9.csv");
    std::string why;
    for (const char* result : {"ok", "timeout"}) {
        vf::BenchLog log;  // a new program on the bench each time
        CHECK_MSG(log.open(path, why), why);
        CHECK_MSG(log.append(row(result), why), why);
    }
    const std::string text = readAll(path);
    std::istringstream lines(text);
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);)
        got.push_back(line);
    CHECK_EQ(got.size(), std::size_t(3));
    if (got.size() == 3) {
        CHECK_EQ(got[0] + "\n", std::string(vf::BenchLog::header()));
        CHECK(got[1].find(",ok,") != std::string::npos);
        CHECK(got[2].find(",timeout,") != std::string::npos);
        CHECK(got[1].find("M\xc3\xbcller") != std::string::npos);
    }
    // The timestamp is UTC in ISO 8601 form.
    const std::string t = vf::utcTimestamp();
    CHECK_MSG(t.size() == 20 && t[4] == '-' && t[10] == 'T' && t.back() == 'Z', t);
}

void benchLogRefusesWhatIsNoFile()
{
    Scratch s;
    std::string why;
    vf::BenchLog folder;
    CHECK(!folder.open(s.dir, why));
    CHECK(!why.empty());
    vf::BenchLog nowhere;
    CHECK(!nowhere.open(s.path("no such folder/bench.csv"), why));
    CHECK(!why.empty());
#if defined(_WIN32)
    vf::BenchLog device;
    CHECK(!device.open("NUL", why));
    CHECK_MSG(why == "not a regular file", why);
#endif
}

// The words as the UTF-8 command line hands them on, through the option parser untouched.
void commandLineKeepsUtf8()
{
    const std::string port = "\\\\.\\COM7";
    const std::string log = "C:\\Pr\xc3\xbc" "fung \xe2\x82\xac\\bench log.csv";
    const std::string file = "Z:\\fw \xc3\xbc \xf0\x9f\x93\xa1 v1.hex";
    const char* argv[] = {"vorna-flash", "flash", "--port", port.c_str(), "--log", log.c_str(), file.c_str()};
    const vf::ParsedCommandLine r = vf::parseCommandLine(7, argv);
    if (!CHECK_MSG(r.ok, r.error))
        return;
    CHECK(r.options.ports == std::vector<std::string>{port});
    CHECK_EQ(r.options.logPath, log);
    CHECK_EQ(r.options.file, file);
}

void jsonTextKeepsUtf8()
{
    vbprog::ModuleOutcome r;
    r.port = "COM7 \xc3\xbc\xf0\x9f\x93\xa1";
    r.status = PROG_ERR_NO_ANSWER;
    vf::JsonContext c;
    c.shape = vf::JsonShape::Keys;
    const std::string text = vf::jsonText(vf::outcomeJson(r, c));
    CHECK_MSG(text == "{\"port\":\"" + r.port + "\",\"result\":\"no-answer\",\"status\":\"no-answer\",\"code\":2}", text);
    CHECK(vf::Json::parse(text)["port"] == r.port);
}

#if defined(_WIN32)
std::wstring sidText(PSID sid)
{
    wchar_t* text = nullptr;
    std::wstring out;
    if (ConvertSidToStringSidW(sid, &text))
        out = text;
    LocalFree(text);
    return out;
}

std::wstring currentUserSid()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    DWORD bytes = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
    std::vector<unsigned char> buffer(bytes);
    GetTokenInformation(token, TokenUser, buffer.data(), bytes, &bytes);
    CloseHandle(token);
    return sidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

// The log holds AppKeys: a file it creates lets its owner in and nobody else, whatever
// the folder would hand down. (Wine keeps no access lists of its own; it maps them to the
// file's mode and back, and adds SYSTEM.)
void benchLogIsOwnerOnly()
{
    Scratch s;
    const std::string path = s.path("keys.csv");
    std::string why;
    {
        vf::BenchLog log;
        CHECK_MSG(log.open(path, why), why);
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = GetNamedSecurityInfoW(vf::diskPath(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, &dacl, nullptr, &sd);
    if (!CHECK_MSG(rc == ERROR_SUCCESS && dacl, "GetNamedSecurityInfoW " + std::to_string(rc)))
        return;
    const std::wstring user = currentUserSid();
    int userAces = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        const std::wstring sid = sidText(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart);
        userAces += sid == user;
        CHECK_MSG(sid == user || sid == L"S-1-5-18", "access for " + std::filesystem::path(sid).u8string());
    }
    CHECK_EQ(userAces, 1);
    LocalFree(sd);
}
#endif

}  // namespace

int main()
{
    return check::runAll({
        {"files with non-ASCII names", filesWithNonAsciiNames},
        {"bench log appends across programs", benchLogAppendsAcrossPrograms},
        {"bench log refuses what is no file", benchLogRefusesWhatIsNoFile},
        {"command line keeps UTF-8", commandLineKeepsUtf8},
        {"JSON text keeps UTF-8", jsonTextKeepsUtf8},
#if defined(_WIN32)
        {"bench log is owner-only", benchLogIsOwnerOnly},
#endif
    });
}
