#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <cstdlib>
#include <string>
#include <vector>

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
    int part = 0;
    for (auto run : { runDisplayTests, runFileCacheTests, runFlasherTests }) {
        // Each test class would truncate a log file named with -o: each gets its own,
        // FILE.1, FILE.2, ... beside the one asked for.
        std::vector<std::string> args(argv, argv + argc);
        ++part;
        for (std::size_t i = 1; i + 1 < args.size(); ++i) {
            if (args[i] != "-o")
                continue;
            std::string& output = args[i + 1];
            const std::size_t comma = output.rfind(',');
            const std::size_t end = comma == std::string::npos ? output.size() : comma;
            if (output.compare(0, end, "-") != 0)
                output.insert(end, "." + std::to_string(part));
        }
        std::vector<char*> pointers;
        for (std::string& a : args)
            pointers.push_back(a.data());
        pointers.push_back(nullptr);
        failures += run(argc, pointers.data());
    }

    if (!root.empty())
        QDir(QString::fromStdString(root)).removeRecursively();
    return failures;
}
