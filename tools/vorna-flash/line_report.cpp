#include "line_report.h"

#include "exit_status.h"
#include "output_file.h"
#include "platform.h"

#include "system.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace vf {

namespace {

std::string percent(unsigned part, unsigned whole)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.1f%%", whole ? 100.0 * part / whole : 0.0);
    return buf;
}

std::string escaped(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// "2024-05-01T12" as the local hour it stands for: "2024-05-01 14:00".
std::string localHour(const std::string& hourUtc)
{
    return linedb::localTimeText(hourUtc + ":00:00Z").substr(0, 16);
}

std::string stepName(const linedb::Report::StepFailures& f)
{
    return (f.step.empty() ? std::string("-") : f.step) + " (" + f.status + ")";
}

std::string reportText(const linedb::Report& r)
{
    std::ostringstream s;
    const unsigned total = r.passed + r.failed;
    s << "Yield" << (r.since.empty() ? std::string() : " since " + linedb::localTimeText(r.since)) << ": " << r.passed
      << " passed, " << r.failed << " failed of " << total << " (" << percent(r.passed, total) << ")\n";
    s << "By station and port:\n";
    for (const auto& y : r.yields)
        s << "  " << y.host << " " << y.port << ": " << y.passed << " passed, " << y.failed << " failed ("
          << percent(y.passed, y.passed + y.failed) << ")\n";
    s << "Failures by step:\n";
    if (r.failures.empty())
        s << "  none\n";
    for (const auto& f : r.failures)
        s << "  " << stepName(f) << ": " << f.count << "\n";
    s << "Duplicate DevEUIs (other-module): " << r.duplicates.size() << "\n";
    for (const auto& d : r.duplicates)
        s << "  " << linedb::localTimeText(d.timeUtc) << " " << d.host << " " << d.port << ": DevEUI " << d.devEui
          << " on unique ID " << d.uniqueId << ", claimed by " << d.holder << (d.late ? " (found late)" : "") << "\n";
    s << "Modules per hour (local time):\n";
    for (const auto& h : r.hours)
        s << "  " << localHour(h.hourUtc) << ": " << h.passed + h.failed << " (" << h.passed << " passed)\n";
    return s.str();
}

// Yield per hour as a line over bars of the modules handled.
std::string yieldChart(const linedb::Report& r)
{
    const int w = 760, h = 260, left = 50, right = 36, top = 20, bottom = 50;
    const int plotW = w - left - right, plotH = h - top - bottom;
    unsigned most = 1;
    for (const auto& x : r.hours)
        most = std::max(most, x.passed + x.failed);
    std::ostringstream s;
    s << "<svg xmlns='http://www.w3.org/2000/svg' width='" << w << "' height='" << h << "' viewBox='0 0 " << w << " "
      << h << "' role='img' aria-label='Yield over time'>";
    s << "<rect x='" << left << "' y='" << top << "' width='" << plotW << "' height='" << plotH
      << "' fill='#fafafa' stroke='#ccc'/>";
    for (int p = 0; p <= 100; p += 25) {
        const int y = top + plotH - plotH * p / 100;
        s << "<line x1='" << left << "' x2='" << left + plotW << "' y1='" << y << "' y2='" << y
          << "' stroke='#e4e4e4'/><text x='" << left - 6 << "' y='" << y + 4
          << "' font-size='11' text-anchor='end' fill='#555'>" << p << "%</text>";
    }
    // The bars' scale on the right: modules per hour.
    for (unsigned k = 0; k <= 2; ++k)
        s << "<text x='" << left + plotW + 4 << "' y='" << top + plotH - int(plotH * 0.9 * k / 2) + 4
          << "' font-size='11' fill='#7a9cc6'>" << most * k / 2 << "</text>";
    const size_t n = r.hours.size();
    const double slot = n ? double(plotW) / double(n) : plotW;
    std::string line;
    for (size_t i = 0; i < n; ++i) {
        const auto& x = r.hours[i];
        const unsigned all = x.passed + x.failed;
        const double barH = double(plotH) * all / most * 0.9;
        const double cx = left + slot * (double(i) + 0.5);
        s << "<rect x='" << cx - slot * 0.35 << "' y='" << top + plotH - barH << "' width='" << slot * 0.7
          << "' height='" << barH << "' fill='#cfe0f5'><title>" << escaped(localHour(x.hourUtc)) << ": " << all
          << " modules</title></rect>";
        const double y = top + plotH - double(plotH) * (all ? double(x.passed) / all : 0.0);
        line += (line.empty() ? "" : " ") + std::to_string(cx) + "," + std::to_string(y);
        s << "<circle cx='" << cx << "' cy='" << y << "' r='3.5' fill='#1f7a3a'><title>" << escaped(localHour(x.hourUtc))
          << ": " << percent(x.passed, all) << " yield</title></circle>";
        if (n <= 12 || i % ((n + 11) / 12) == 0)
            s << "<text x='" << cx << "' y='" << top + plotH + 16 << "' font-size='11' text-anchor='middle' fill='#555'>"
              << escaped(localHour(x.hourUtc).substr(11)) << "</text>";
    }
    if (!line.empty())
        s << "<polyline points='" << line << "' fill='none' stroke='#1f7a3a' stroke-width='2'/>";
    if (n)
        s << "<text x='" << left << "' y='" << h - 8 << "' font-size='11' fill='#555'>"
          << escaped(localHour(r.hours.front().hourUtc).substr(0, 10)) << " (local time); bars: modules per hour, up to "
          << most << "; line: yield</text>";
    else
        s << "<text x='" << left + plotW / 2 << "' y='" << top + plotH / 2
          << "' font-size='13' text-anchor='middle' fill='#777'>no modules in this time</text>";
    s << "</svg>";
    return s.str();
}

std::string failureChart(const linedb::Report& r)
{
    const int w = 760, rowH = 26, left = 220, top = 10;
    const int h = top * 2 + rowH * int(std::max<size_t>(r.failures.size(), 1));
    unsigned most = 1;
    for (const auto& f : r.failures)
        most = std::max(most, f.count);
    std::ostringstream s;
    s << "<svg xmlns='http://www.w3.org/2000/svg' width='" << w << "' height='" << h << "' viewBox='0 0 " << w << " "
      << h << "' role='img' aria-label='Failures by step'>";
    if (r.failures.empty())
        s << "<text x='10' y='" << top + 17 << "' font-size='13' fill='#777'>no failures</text>";
    for (size_t i = 0; i < r.failures.size(); ++i) {
        const auto& f = r.failures[i];
        const int y = top + rowH * int(i);
        const double barW = double(w - left - 60) * f.count / most;
        s << "<text x='" << left - 8 << "' y='" << y + 17 << "' font-size='12' text-anchor='end' fill='#333'>"
          << escaped(stepName(f)) << "</text><rect x='" << left << "' y='" << y + 4 << "' width='" << barW
          << "' height='" << rowH - 8 << "' fill='#c0392b'/><text x='" << left + barW + 6 << "' y='" << y + 17
          << "' font-size='12' fill='#333'>" << f.count << "</text>";
    }
    s << "</svg>";
    return s.str();
}

}  // namespace

std::string reportHtml(const linedb::Report& r, const std::string& title)
{
    const unsigned total = r.passed + r.failed;
    std::ostringstream s;
    s << "<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'><title>" << escaped(title)
      << "</title><style>body{font-family:sans-serif;margin:24px;color:#222;max-width:820px}"
         "h1{font-size:22px}h2{font-size:17px;margin-top:28px}table{border-collapse:collapse;font-size:13px}"
         "td,th{border:1px solid #ddd;padding:4px 8px;text-align:left}th{background:#f0f0f0}"
         ".big{font-size:28px;font-weight:bold}.pass{color:#1f7a3a}.fail{color:#c0392b}</style></head><body>\n";
    s << "<h1>" << escaped(title) << "</h1>\n<p><span class='big'>" << percent(r.passed, total)
      << "</span> yield: <span class='pass'>" << r.passed << " passed</span>, <span class='fail'>" << r.failed
      << " failed</span> of " << total << (r.since.empty() ? "" : " since " + escaped(linedb::localTimeText(r.since)))
      << "; " << r.duplicates.size() << " duplicate DevEUIs. Times are local.</p>\n";
    s << "<h2>Yield over time</h2>\n" << yieldChart(r) << "\n<h2>Failures by step</h2>\n" << failureChart(r) << "\n";
    s << "<h2>By station and port</h2>\n<table><tr><th>Station</th><th>Port</th><th>Passed</th><th>Failed</th><th>Yield</th></tr>";
    for (const auto& y : r.yields)
        s << "<tr><td>" << escaped(y.host) << "</td><td>" << escaped(y.port) << "</td><td>" << y.passed << "</td><td>"
          << y.failed << "</td><td>" << percent(y.passed, y.passed + y.failed) << "</td></tr>";
    s << "</table>\n<h2>Duplicate DevEUIs</h2>\n";
    if (r.duplicates.empty())
        s << "<p>None.</p>\n";
    else {
        s << "<table><tr><th>Time</th><th>Station</th><th>Port</th><th>DevEUI</th><th>Unique ID</th><th>Claimed by</th></tr>";
        for (const auto& d : r.duplicates)
            s << "<tr><td>" << escaped(linedb::localTimeText(d.timeUtc)) << (d.late ? " (found late)" : "") << "</td><td>"
              << escaped(d.host) << "</td><td>" << escaped(d.port) << "</td><td>" << escaped(d.devEui) << "</td><td>"
              << escaped(d.uniqueId) << "</td><td>" << escaped(d.holder) << "</td></tr>";
        s << "</table>\n";
    }
    s << "<h2>Modules per hour</h2>\n<table><tr><th>Hour</th><th>Modules</th><th>Passed</th><th>Yield</th></tr>";
    for (const auto& h : r.hours)
        s << "<tr><td>" << escaped(localHour(h.hourUtc)) << "</td><td>" << h.passed + h.failed << "</td><td>" << h.passed
          << "</td><td>" << percent(h.passed, h.passed + h.failed) << "</td></tr>";
    s << "</table>\n</body></html>\n";
    return s.str();
}

int runReport(const Options& o, linedb::Connection& c, const std::string& sinceUtc)
{
    const linedb::Report r = linedb::report(c, sinceUtc);
    std::fputs(reportText(r).c_str(), stdout);
    if (o.html.empty())
        return EXIT_OK;
    // Put in place whole: a pipe given as the page would block, a device be replaced.
    const std::string page = reportHtml(r, "Line report, " + linedb::localTimeText(linedb::utcNowText()).substr(0, 16));
    std::string why;
    OutputFile file;
    if (!file.begin(o.html, false, why) || !file.commit(page, why)) {
        std::fprintf(stderr, "vorna-flash: Cannot write the report to %s: %s.\n", o.html.c_str(), why.c_str());
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

}  // namespace vf
