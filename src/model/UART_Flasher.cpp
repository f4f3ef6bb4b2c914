#include "UART_Flasher.h"

#include <cstring>

#include "DisplayManager.h"

namespace {

// The library's texts are fixed-size fields; a field that lacks its NUL must not make a
// log line read past the record.
template <std::size_t N>
void copyText(char (&out)[N + 1], const char (&in)[N])
{
    std::memcpy(out, in, N);
    out[N] = '\0';
}

}  // namespace

UART_Flasher* UART_Flasher::getInstance()
{
    static UART_Flasher instance;
    return &instance;
}

void UART_Flasher::firmwareProgress(int currProgress, int total)
{
    getInstance()->emitFirmwareProgress(currProgress, total);
}

UART_Flasher::UART_Flasher()
    : QObject(nullptr),
      isVerify(1),
      isSkipErase(0),
      genInfo(nullptr),
      uartParam(nullptr),
      activeComInterface(),
      usartListFlag(0),
      usartListReleased(false)
{
    std::memset(&activeComInterface, 0, sizeof activeComInterface);

    displayCallBacks callbacks;
    callbacks.initProgressBar = InitPBar;
    callbacks.logMessage = DisplayMessage;
    callbacks.loadBar = UART_Flasher::firmwareProgress;
    setDisplayCallbacks(callbacks);

    setVerbosityLevel(1);

    logMessage(Title, "\n+++ UART Flasher Example +++\n\n");

    refreshUsartList();

    if (uartParam != nullptr)
        std::memcpy(&activeComInterface, &uartParam[0], sizeof activeComInterface);
}

UART_Flasher::~UART_Flasher() = default;

void UART_Flasher::connectParent(QObject* parent)
{
    if (parent == nullptr)
        return;
    QObject::connect(this, SIGNAL(setFirmwareProgress(int,int)), parent, SLOT(setFirmwareProgress(int,int)),
                     Qt::AutoConnection);
}

int UART_Flasher::refreshUsartList()
{
    usartConnectParameters* list = nullptr;
    int count = getUsartList(&list);
    // A negative code or a missing list is no port at all.
    if (count < 0 || list == nullptr)
        count = 0;
    usartListFlag = count;

    if (count == 0) {
        logMessage(Error, "NO Serial Port available\n");
        return 0;
    }

    logMessage(Title, "\n------------- Serial Port List --------------\n");
    for (int i = 0; i < count; ++i) {
        char portName[sizeof list[i].portName + 1];
        copyText(portName, list[i].portName);
        logMessage(Normal, "\nPort Name [%d] :", i);
        logMessage(Info, " %s ", portName);
    }
    logMessage(Title, "\n---------------------------------------------\n\n");

    uartParam = list;
    usartListReleased = false;
    return count;
}

int UART_Flasher::getUsartListFlag()
{
    return usartListFlag;
}

usartConnectParameters* UART_Flasher::getUsartConnectParameters()
{
    return uartParam;
}

void UART_Flasher::selectUsartConnectParameters(int index)
{
    if (usartListReleased) {
        // The held list is gone: scan again and select from the new list, which is then
        // current, so no second scan follows.
        refreshUsartList();
        if (!usartListReleased && index >= 0 && index < usartListFlag && uartParam != nullptr)
            std::memcpy(&activeComInterface, &uartParam[index], sizeof activeComInterface);
        return;
    }

    if (index < 0 || index >= usartListFlag || uartParam == nullptr)
        return;
    // The copy comes first: the rescan replaces the list it is taken from.
    std::memcpy(&activeComInterface, &uartParam[index], sizeof activeComInterface);
    refreshUsartList();
}

int UART_Flasher::connect()
{
    const int result = connectUsartBootloader(activeComInterface);
    if (result != 0) {
        ::disconnect();
        return result;
    }

    logMessage(GreenInfo, "\n--- Device Connected --- \n");
    genInfo = getDeviceGeneralInf();
    if (genInfo != nullptr) {
        char name[sizeof genInfo->name + 1];
        char type[sizeof genInfo->type + 1];
        char cpu[sizeof genInfo->cpu + 1];
        copyText(name, genInfo->name);
        copyText(type, genInfo->type);
        copyText(cpu, genInfo->cpu);
        logMessage(Normal, "\nDevice name : %s ", name);
        logMessage(Normal, "\nDevice type : %s ", type);
        logMessage(Normal, "\nDevice CPU  : %s \n", cpu);
    }
    return 0;
}

int UART_Flasher::readOutMemory(int adress, unsigned char** data, int size)
{
    return readMemory(static_cast<unsigned int>(adress), data, static_cast<unsigned int>(size));
}

int UART_Flasher::readDevEUI(unsigned char** devEUI)
{
    return readOutMemory(DEV_EUI_ADRESS, devEUI, DEV_EUI_SIZE);
}

int UART_Flasher::readJoinEUI(unsigned char** joinEUI)
{
    return readOutMemory(JOIN_EUI_ADRESS, joinEUI, JOIN_EUI_SIZE);
}

int UART_Flasher::readAppKey(unsigned char** appKey)
{
    return readOutMemory(APP_KEY_ADRESS, appKey, APP_KEY_SIZE);
}

int UART_Flasher::readFirmware(unsigned char** data)
{
    return readOutMemory(APPLICATION_ADRESS, data, APPLICATION_SIZE);
}

int UART_Flasher::flashFirmware(const wchar_t* filePath)
{
    // Runs on the pool thread.
    const int result = downloadFile(filePath, APPLICATION_ADRESS, isSkipErase, isVerify, L"");
    emit firmwareResult(result);
    return result;
}

int UART_Flasher::executeApplication()
{
    return execute(APPLICATION_ADRESS);
}

void UART_Flasher::disconnectUARTInterface()
{
    ::disconnect();
}

void UART_Flasher::deleteUsartInterfaceList()
{
    deleteInterfaceList();
    usartListReleased = true;
}

void UART_Flasher::emitFirmwareProgress(int currProgress, int total)
{
    emit setFirmwareProgress(currProgress, total);
}

QString UART_Flasher::lastErrorMessage() const
{
    const wchar_t* text = getLastErrorMessage();
    return text ? QString::fromWCharArray(text).trimmed() : QString();
}
