#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <cstdlib>
#include <string>

#include "model_tests.h"

int main(int argc, char** argv)
{
    // The cache folder and every configuration path point into a folder of the test's own;
    // the paths are read when a cache is made, so this must come before any of it.
#if defined(Q_OS_WIN)
    // No XDG folders there: Qt's test mode keeps every configuration path in a folder of
    // its own ("qttest"), away from the user's.
    QStandardPaths::setTestModeEnabled(true);
    const std::string root;
#else
    char folder[] = "/tmp/vbf-model-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string root = folder;
    setenv("XDG_CONFIG_HOME", (root + "/home").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (root + "/system").c_str(), 1);
#endif

    QCoreApplication app(argc, argv);
    int failures = 0;
    failures += runDisplayTests(argc, argv);
    failures += runFileCacheTests(argc, argv);
    failures += runFlasherTests(argc, argv);

    if (!root.empty())
        QDir(QString::fromStdString(root)).removeRecursively();
    return failures;
}
