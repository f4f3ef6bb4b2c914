// Runs one construction scenario of the flasher in a fresh process: standard output carries
// exactly the console text, standard error one line of facts for the test to compare.
#include <cstdio>
#include <cstring>
#include <string>

#include "UART_Flasher.h"
#include "fakeprog.h"

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string scenario = argv[1];
    fakeprog::reset();
    if (scenario == "one")
        fakeprog::setPorts({"/dev/ttyUSB0"});
    else if (scenario == "three")
        fakeprog::setPorts({"/dev/ttyUSB0", "/dev/ttyUSB1", "COM3"});
    else if (scenario != "none")
        return 2;

    UART_Flasher* flasher = UART_Flasher::getInstance();
    if (scenario == "three") {
        flasher->selectUsartConnectParameters(2);
        flasher->selectUsartConnectParameters(3);
        flasher->selectUsartConnectParameters(-1);
    } else {
        flasher->selectUsartConnectParameters(scenario == "none" ? 0 : 1);
    }
    fakeprog::setConnectResult(scenario == "none" ? -3 : 0);
    flasher->connect();
    flasher->disconnectUARTInterface();
    std::fflush(stdout);

    const auto records = fakeprog::connectRecords();
    std::fprintf(stderr, "flag=%d scans=%d port=[%s]\n", flasher->getUsartListFlag(),
                 fakeprog::callCount("getUsartList"), records.empty() ? "?" : records.back().portName);
    return 0;
}
