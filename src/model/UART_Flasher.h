#pragma once

#include <QObject>

#include "flash_layout.h"
#include "programmer_api.h"

// The one object through which the tool works on the module.
class UART_Flasher : public QObject
{
    Q_OBJECT

public:
    // The module's flash layout, as the library defines it.
    static const int APPLICATION_ADRESS = int(vbprog::kApplicationStart);
    static const int APPLICATION_SIZE = 256;
    static const int DEV_EUI_ADRESS = int(vbprog::kDevEuiAddress);
    static const int DEV_EUI_SIZE = int(vbprog::kDevEuiSize);
    static const int JOIN_EUI_ADRESS = int(vbprog::kJoinEuiAddress);
    static const int JOIN_EUI_SIZE = int(vbprog::kJoinEuiSize);
    static const int APP_KEY_ADRESS = int(vbprog::kAppKeyAddress);
    static const int APP_KEY_SIZE = int(vbprog::kAppKeySize);

    static UART_Flasher* getInstance();
    // The library's progress callback.
    static void firmwareProgress(int currProgress, int total);

    ~UART_Flasher() override;

    void connectParent(QObject* parent);
    int refreshUsartList();
    int getUsartListFlag();
    usartConnectParameters* getUsartConnectParameters();
    void selectUsartConnectParameters(int index);
    int connect();
    int readOutMemory(int adress, unsigned char** data, int size);
    int readDevEUI(unsigned char** devEUI);
    int readJoinEUI(unsigned char** joinEUI);
    int readAppKey(unsigned char** appKey);
    int readFirmware(unsigned char** data);
    int flashFirmware(const wchar_t* filePath);
    int executeApplication();
    void disconnectUARTInterface();
    void deleteUsartInterfaceList();
    void emitFirmwareProgress(int currProgress, int total);
    // The library's own sentence for the failure of the last connect, read, flash or start,
    // as the library keeps it; empty when that call succeeded or gave none.
    QString lastErrorMessage() const;

signals:
    void firmwareResult(int result);
    void setFirmwareProgress(int progress, int total);

private:
    UART_Flasher();

    unsigned int isVerify;
    unsigned int isSkipErase;
    generalInf* genInfo;
    usartConnectParameters* uartParam;
    usartConnectParameters activeComInterface;
    int usartListFlag;
    // The held list was released by deleteUsartInterfaceList(); it must not be read before
    // the next scan.
    bool usartListReleased;
};
