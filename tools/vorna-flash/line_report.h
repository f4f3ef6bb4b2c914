// vorna-flash report: the line's yield as text, and with --html as one self-contained page
// (inline SVG charts, no network).
#pragma once

#include "options.h"

#include "connection.h"
#include "queries.h"

#include <string>

namespace vf {

int runReport(const Options& o, linedb::Connection& c, const std::string& sinceUtc);

// The page: yield over time and failures by step as inline SVG, then the tables.
std::string reportHtml(const linedb::Report& r, const std::string& title);

}  // namespace vf
