// What the line's database needs from the system; the one place with POSIX and Windows calls.
#pragma once

#include <string>

namespace linedb {

// Creates the file (readable and writable by its owner alone) when it does not exist yet;
// an existing file is left as it is.
bool createPrivateFile(const std::string& path, std::string& error);

// The user's folder for state kept between runs: $XDG_STATE_HOME, else ~/.local/state;
// %LOCALAPPDATA% on Windows. Empty when none can be told.
std::string userStateFolder();
// Why that folder cannot be told: the variables that name it.
std::string noStateFolderReason();

// Creates the folder and its parents, readable by the owner alone where it is new.
bool makeFolder(const std::string& path, std::string& error);

// This computer's name, as the station's runs record it.
std::string hostName();

// Now in UTC, ISO 8601 with milliseconds: 2024-05-01T12:00:00.123Z.
std::string utcNowText();

// A UTC ISO 8601 time shown in local time: "2024-05-01 14:00:00" (or "10:42" with `clockOnly`).
std::string localTimeText(const std::string& utcIso, bool clockOnly = false);

// A random (version 4) UUID in its usual text.
std::string newUuid();

}  // namespace linedb
