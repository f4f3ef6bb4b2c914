#pragma once

#include <QString>

// Brings the tool up and runs it: application object, icon font, catalogue, main window,
// event loop. Returns the process exit code (-1 when the icon font cannot be registered).
// The resource paths are parameters so that both failure paths can be exercised.
int runApplication(int& argc, char** argv, const QString& fontPath = QStringLiteral(":/FontAwesome.otf"),
                   const QString& catalogPath = QStringLiteral(":/german.qm"));
