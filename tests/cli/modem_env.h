// The environment that hands vorna-flash's modem-line and serial ioctls on a simulator's
// pty to that simulator (the preload library of tests/modem-preload).
#pragma once

#include <QProcessEnvironment>
#include <QString>

inline QProcessEnvironment modemPreloadEnv(const QString& link, const QString& control)
{
    auto e = QProcessEnvironment::systemEnvironment();
    e.insert("LD_PRELOAD", VBF_MODEM_PRELOAD);
    e.insert("ASAN_OPTIONS", VBF_MODEM_PRELOAD_ASAN_OPTIONS);
    e.insert("VBF_SIM_PTY", link);
    e.insert("VBF_SIM_CONTROL", control);
    return e;
}
