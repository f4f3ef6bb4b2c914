#pragma once

#include <QFuture>
#include <QFutureWatcher>
#include <QMainWindow>
#include <QString>

#include "FileCache.h"

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

class QCloseEvent;
class UART_Flasher;

// The flash job, run on the global thread pool: downloads the file at filePath through the
// flasher and returns the library's status code.
int flashFirmware(QString filePath, UART_Flasher* uartFlasher);

// Fixed window size.
extern const int WINDOW_WIDTH;
extern const int WINDOW_HEIGHT;

// The tool's only window: connect, open, flash.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void open();
    void handleConnectDisconnect();
    void executeApplication();
    void on_actionAbout_triggered();
    void on_actionLicenses_triggered();
    void on_refreshBtn_clicked();
    void on_comPortComboBox_activated(int index);
    void on_flashBtn_clicked();

public slots:
    void handleFlashFinished();
    void setFirmwareProgress(int progress, int total);

private:
    void initComPortComboBox();
    void initUserInterface();
    void resetApplication();
    void readKeys();
    void disconnectUartFlasher();
    int connectUsartInterface();
    int openLink();
    void handleUIFlashStarted();
    void handleUIFlashFinished();
    void savePath(QString filePath);
    // The critical box with one OK button; cause, when known, is its informative text.
    void showErrorBox(const QString& title, const QString& text, const QString& cause = QString());
    void showFlashFailed();
    void waitForFlashJob();
    static QString keyText(int readResult, const unsigned char* data, int size);

    const int MAX_FILE_DESCRIPTION_LENGTH;
    Ui::MainWindow* ui;
    bool isConnected;
    QString filePath;
    UART_Flasher* uartFlasher;
    FileCache fileCache;
    QFutureWatcher<int> watcher;
    QFuture<int> flashFirmwareFuture;
    // From the job's submission until handleFlashFinished() has taken its result.
    bool flashJobActive;
};
