// A minimal test harness for the Qt-free test programs, which also run as Windows
// programs where no Qt exists: named cases, checks that report and go on, and a non-zero
// exit status when any failed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check {

inline int& failures()
{
    static int n = 0;
    return n;
}

inline bool that(bool ok, const char* what, const char* file, int line, const std::string& detail = {})
{
    if (!ok) {
        ++failures();
        std::printf("FAIL %s:%d: %s%s%s\n", file, line, what, detail.empty() ? "" : " -- ", detail.c_str());
    }
    return ok;
}

struct Case {
    const char* name;
    std::function<void()> run;
};

inline int runAll(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        const int before = failures();
        c.run();
        std::printf("%s %s\n", failures() == before ? "PASS" : "FAIL", c.name);
    }
    std::printf("%zu cases, %d failed checks\n", cases.size(), failures());
    std::fflush(stdout);
    return failures() == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK(cond) ::check::that((cond), #cond, __FILE__, __LINE__)
#define CHECK_EQ(a, b) ::check::that((a) == (b), #a " == " #b, __FILE__, __LINE__)
#define CHECK_MSG(cond, detail) ::check::that((cond), #cond, __FILE__, __LINE__, (detail))
