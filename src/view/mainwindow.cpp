#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "UART_Flasher.h"
#include "text_format.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QStringList>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>
#include <string>

// Text of ":/style.qss"; the window and the boxes it opens share it.
QString styleSheetString;

static const QString SUCCESS_STYLE = QStringLiteral("color:#22BA3D; font: 16px;");
static const QString ERROR_STYLE = QStringLiteral("color:#FF2B16; font: 16px;");
static const QString FLASH_STYLE = QStringLiteral("background-color: transparent;");
// Check mark, cross and refresh arrow of the icon font.
static const QString successString = QString::fromUtf8("\xEF\x80\x8C"); // U+F00C
static const QString errorString = QString::fromUtf8("\xEF\x80\x8D");   // U+F00D
static const QString refreshString = QString::fromUtf8("\xEF\x8B\xB9"); // U+F2F9
static const QString programmingString = QStringLiteral("Programming...");
static const QString verificationString = QStringLiteral("Verifying...");
// Start folder of the file dialog; it follows the last file taken.
QString previousPath = QDir::homePath();
// Bytes of a port record's name field that make up the port's entry.
static const int COM_PORT_LIST_SIZE = 100;
// Width up to which an error box's cause is laid out before it wraps.
static const int CAUSE_MIN_WIDTH = 420;

const int WINDOW_WIDTH = 1080;
const int WINDOW_HEIGHT = 421;

static const QString ICON_FONT_FAMILY = QStringLiteral("Font Awesome 5 Free Solid");
// Windows registers the same font under its typographic family, without the style.
static const QStringList ICON_FONT_FAMILIES = { ICON_FONT_FAMILY, QStringLiteral("Font Awesome 5 Free") };

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      MAX_FILE_DESCRIPTION_LENGTH(70),
      ui(new Ui::MainWindow),
      isConnected(false),
      filePath(),
      uartFlasher(nullptr),
      fileCache(),
      watcher(),
      flashFirmwareFuture(),
      flashJobActive(false)
{
    ui->setupUi(this);

    uartFlasher = UART_Flasher::getInstance();
    uartFlasher->connectParent(this);

    QObject::connect(&watcher, &QFutureWatcher<int>::finished, this, &MainWindow::handleFlashFinished);

    // An unreadable sheet leaves the window in Qt's default look.
    QFile styleFile(QStringLiteral(":/style.qss"));
    if (styleFile.open(QIODevice::ReadOnly)) {
        styleSheetString = QString::fromLatin1(styleFile.readAll());
        styleFile.close();
    }

    QObject::connect(ui->openBtn, SIGNAL(clicked()), this, SLOT(open()));
    QObject::connect(ui->connectBtn, SIGNAL(clicked()), this, SLOT(handleConnectDisconnect()));

    setLoadersPath("./.");

    initUserInterface();

    initComPortComboBox();
}

MainWindow::~MainWindow()
{
    // The running job still uses the link; it must end before the link is closed. Its
    // result has no window left to go to.
    QObject::disconnect(&watcher, nullptr, this, nullptr);
    waitForFlashJob();
    uartFlasher->disconnectUARTInterface();
    delete ui;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Closing during a flash lets the job end first, with its result shown as usual, so the
    // link is never closed under the download.
    if (flashJobActive) {
        waitForFlashJob();
        // handleFlashFinished() closes the link; its call is already posted.
        while (flashJobActive)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::waitForFlashJob()
{
    // Keep painting (and taking the job's progress) while waiting; user input stays out.
    while (!flashFirmwareFuture.isFinished()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
        QThread::msleep(5);
    }
}

void MainWindow::initUserInterface()
{
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint);
    setMaximumWidth(WINDOW_WIDTH);
    setMinimumWidth(WINDOW_WIDTH);
    setMinimumHeight(WINDOW_HEIGHT);
    setMaximumHeight(WINDOW_HEIGHT);

    ui->retranslateUi(this);
    setStyleSheet(styleSheetString);

    QFont iconFont(ICON_FONT_FAMILY, 0, -1, false);
    iconFont.setFamilies(ICON_FONT_FAMILIES);
    iconFont.setPixelSize(32);

    setWindowIcon(QIcon(QStringLiteral(":/Vorna-Icon")));
    ui->successIconLbl->setFont(iconFont);

    // The refresh glyph lies in the private-use range, which Arial lacks and font fallback
    // does not reliably reach, so the button takes the icon family at its own size.
    QFont refreshFont = ui->refreshBtn->font();
    refreshFont.setFamilies(ICON_FONT_FAMILIES);
    ui->refreshBtn->setFont(refreshFont);
    ui->refreshBtn->setText(refreshString);

    ui->titleLbl->setText(tr("Vorna-Base Flasher Tool"));
    setWindowTitle(tr("Vorna-Base Flasher Tool"));

    ui->connectBtn->setText(tr("Connect"));
    ui->openBtn->setText(tr("Open"));
    ui->flashBtn->setText(tr("Flash"));
    ui->devEUITitel->setText(tr("DEV EUI"));
    ui->joinEUITitel->setText(tr("JOIN EUI"));
    ui->appKeyTitel->setText(tr("APP Key"));
    ui->actionAbout->setText(tr("About"));
    ui->actionLicenses->setText(tr("Licenses"));

    ui->disconnectWarning->hide();

    // The Help pop-up draws its own rounded ground from the style sheet.
    ui->menuHelp->setWindowFlags(ui->menuHelp->windowFlags() | Qt::FramelessWindowHint |
                                 Qt::NoDropShadowWindowHint);
    ui->menuHelp->setAttribute(Qt::WA_TranslucentBackground);

    ui->verticalLayoutFirstStep->setAlignment(Qt::AlignCenter);
    ui->verticalLayoutSecondStep->setAlignment(Qt::AlignCenter);
    ui->verticalLayoutThirdStep->setAlignment(Qt::AlignCenter);
    ui->horizontalLayout_3->setAlignment(Qt::AlignCenter);
}

void MainWindow::open()
{
    ui->successIconLbl->setStyleSheet(QString());
    ui->successIconLbl->setText(QStringLiteral("..."));
    ui->flashProgressBar->setValue(0);

    const QString path =
        QFileDialog::getOpenFileName(this, tr("Select Firmware"), previousPath, tr("Firmware Files (*.hex)"));

    ui->openProgressBar->setValue(0);

    if (!path.isEmpty()) {
        fileCache.clear();
        savePath(path);
        previousPath = path.left(path.lastIndexOf(QLatin1Char('/')) + 1).remove(QLatin1Char('"'));
        // Only a copy that exists can be flashed; without one the file is not taken, and the
        // previous file's copy is gone already.
        if (!QFileInfo(fileCache.getCachePath()).isFile()) {
            filePath.clear();
            ui->fileDescriptionLbl->clear();
            ui->flashBtn->setEnabled(false);
            showErrorBox(tr("Unable to open empty file"),
                         tr("An error has occured while opening the selected file."));
            return;
        }
        ui->flashBtn->setEnabled(true);
        ui->openProgressBar->setValue(ui->openProgressBar->maximum());
        return;
    }

    if (!filePath.isEmpty()) {
        ui->openProgressBar->setValue(ui->openProgressBar->maximum());
        return;
    }
    showErrorBox(tr("Unable to open empty file"), tr("An error has occured while opening the selected file."));
}

void MainWindow::handleConnectDisconnect()
{
    if (isConnected) {
        disconnectUartFlasher();
        uartFlasher->deleteUsartInterfaceList();
        resetApplication();
        return;
    }

    if (connectUsartInterface() != 0)
        return;
    ui->openBtn->setEnabled(true);
    ui->connectProgressBar->setValue(ui->connectProgressBar->maximum());
    ui->connectBtn->setText(tr("Disconnect"));
    ui->comPortComboBox->setEnabled(false);
    readKeys();
    // The link is open only while it is used.
    uartFlasher->disconnectUARTInterface();
}

void MainWindow::executeApplication()
{
    uartFlasher->executeApplication();
    disconnectUartFlasher();
    resetApplication();
}

void MainWindow::on_refreshBtn_clicked()
{
    initComPortComboBox();
}

void MainWindow::on_comPortComboBox_activated(int index)
{
    uartFlasher->selectUsartConnectParameters(index);
}

void MainWindow::on_flashBtn_clicked()
{
    handleUIFlashStarted();
    ui->successIconLbl->setText(programmingString);
    ui->successIconLbl->setStyleSheet(QString());
    ui->flashProgressBar->setStyleSheet(FLASH_STYLE);

    if (openLink() == 0) {
        flashJobActive = true;
        flashFirmwareFuture = QtConcurrent::run(QThreadPool::globalInstance(), flashFirmware, filePath, uartFlasher);
        watcher.setFuture(flashFirmwareFuture);
        return;
    }
    // Nothing is programming: the window shows a failed flash, as after a failed job, before
    // the box tells why.
    const QString cause = uartFlasher->lastErrorMessage();
    handleUIFlashFinished();
    showFlashFailed();
    showErrorBox(tr("Connection Error"), tr("The COM port connection could not be established"), cause);
}

void MainWindow::handleFlashFinished()
{
    flashJobActive = false;
    // The job has ended, so its messages are all in; taken before anything else talks to
    // the library.
    const QString cause = uartFlasher->lastErrorMessage();
    uartFlasher->disconnectUARTInterface();
    handleUIFlashFinished();

    // A job that ended by an exception has no result; it counts as a failed upload.
    int result = PROG_ERR_NOT_CONNECTED;
    QFuture<int> future = watcher.future();
    try {
        future.waitForFinished();  // finished already; rethrows what the job threw
        if (future.resultCount() > 0)
            result = future.result();
    } catch (...) {
        result = PROG_ERR_NOT_CONNECTED;
    }

    if (result != 0) {
        showFlashFailed();
        if (result == PROG_ERR_WRITE_VERIFY)
            showErrorBox(tr("Memory write failure"),
                         tr("Unable to flash/verify the base module. Please reconnect and retry."), cause);
        else
            showErrorBox(tr("Flash Error"), tr("The firmware file could not be uploaded"), cause);
        return;
    }
    ui->successIconLbl->setStyleSheet(SUCCESS_STYLE);
    ui->successIconLbl->setText(successString);
    ui->flashProgressBar->setStyleSheet(QString());
}

void MainWindow::setFirmwareProgress(int progress, int total)
{
    if (total <= 9)
        return;
    QProgressBar* bar = ui->flashProgressBar;
    const double value = double(bar->maximum()) * (double(progress) / double(total));
    const double truncated = std::trunc(value);
    // Checked in double: a value beyond int must not be converted at all.
    if (truncated >= double(bar->minimum()) && truncated <= double(bar->maximum()))
        bar->setValue(int(truncated));
    if (progress == total)
        ui->successIconLbl->setText(verificationString);
}

void MainWindow::initComPortComboBox()
{
    uartFlasher->refreshUsartList();
    ui->comPortComboBox->clear();

    QStringList names;
    try {
        for (int i = 0; i < uartFlasher->getUsartListFlag(); ++i) {
            const usartConnectParameters* list = uartFlasher->getUsartConnectParameters();
            if (list == nullptr)
                break;
            const char* name = list[i].portName;
            names.append(QString::fromUtf8(name, int(qstrnlen(name, COM_PORT_LIST_SIZE))));
        }
    } catch (...) {
        // The names gathered so far are kept.
    }
    ui->comPortComboBox->addItems(names);

    uartFlasher->selectUsartConnectParameters(0);
}

void MainWindow::resetApplication()
{
    uartFlasher->connectParent(this);
    ui->devEUI->clear();
    ui->joinEUI->clear();
    ui->appKey->clear();
    ui->successIconLbl->setText(QStringLiteral("..."));
    ui->disconnectWarning->hide();
    ui->fileDescriptionLbl->clear();
    ui->connectBtn->setText(tr("Connect"));
    ui->connectBtn->setEnabled(true);
    ui->comPortComboBox->setEnabled(true);
    ui->successIconLbl->setEnabled(false);
    ui->openBtn->setEnabled(false);
    ui->flashBtn->setEnabled(false);
    ui->successIconLbl->setStyleSheet(QString());
    ui->flashProgressBar->setStyleSheet(QString());
    ui->connectProgressBar->setValue(0);
    ui->openProgressBar->setValue(0);
    ui->flashProgressBar->setValue(0);
}

QString MainWindow::keyText(int readResult, const unsigned char* data, int size)
{
    // A failed read shows nothing: the pointer holds no bytes of this read.
    if (readResult != 0 || data == nullptr)
        return QString();
    return QString::fromStdString(vbprog::toHex(data, size_t(size)));
}

void MainWindow::readKeys()
{
    unsigned char* devEUI = nullptr;
    int result = uartFlasher->readDevEUI(&devEUI);
    ui->devEUI->setText(keyText(result, devEUI, UART_Flasher::DEV_EUI_SIZE));

    unsigned char* joinEUI = nullptr;
    result = uartFlasher->readJoinEUI(&joinEUI);
    ui->joinEUI->setText(keyText(result, joinEUI, UART_Flasher::JOIN_EUI_SIZE));

    unsigned char* appKey = nullptr;
    result = uartFlasher->readAppKey(&appKey);
    ui->appKey->setText(keyText(result, appKey, UART_Flasher::APP_KEY_SIZE));
}

void MainWindow::disconnectUartFlasher()
{
    flashFirmwareFuture.cancel();
    uartFlasher->disconnectUARTInterface();
    isConnected = false;
}

int MainWindow::connectUsartInterface()
{
    const int result = openLink();
    if (result != 0)
        showErrorBox(tr("Connection Error"), tr("The COM port connection could not be established"),
                     uartFlasher->lastErrorMessage());
    return result;
}

int MainWindow::openLink()
{
    const int result = uartFlasher->connect();
    if (result == 0)
        isConnected = true;
    return result;
}

void MainWindow::showFlashFailed()
{
    ui->successIconLbl->setStyleSheet(ERROR_STYLE);
    ui->successIconLbl->setText(errorString);
}

void MainWindow::showErrorBox(const QString& title, const QString& text, const QString& cause)
{
    QMessageBox box(this);
    box.setIcon(QMessageBox::Critical);
    box.setWindowTitle(title);
    box.setText(text);
    // The library's own sentence, with its hint; it names files and ports, so it is never
    // read as markup. The box passes no text format on to the label that shows it.
    if (!cause.isEmpty()) {
        box.setInformativeText(cause);
        for (QLabel* label : box.findChildren<QLabel*>()) {
            if (label->text() != cause)
                continue;
            label->setTextFormat(Qt::PlainText);
            // The box is as wide as its short text; a long cause reads better in a few wide
            // lines than in many narrow ones.
            label->ensurePolished();
            label->setMinimumWidth(std::min(label->fontMetrics().horizontalAdvance(cause), CAUSE_MIN_WIDTH));
        }
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void MainWindow::handleUIFlashStarted()
{
    ui->flashBtn->setEnabled(false);
    ui->openBtn->setEnabled(false);
    ui->connectBtn->setEnabled(false);
    ui->refreshBtn->setEnabled(false);
    ui->disconnectWarning->show();
    ui->devEUI->deselect();
    ui->joinEUI->deselect();
    ui->appKey->deselect();
}

void MainWindow::handleUIFlashFinished()
{
    ui->flashBtn->setEnabled(true);
    ui->openBtn->setEnabled(true);
    ui->connectBtn->setEnabled(true);
    ui->refreshBtn->setEnabled(true);
    ui->disconnectWarning->hide();
}

void MainWindow::savePath(QString filePath)
{
    fileCache.cache(QFile(filePath));
    this->filePath = fileCache.getCachePath();
    QString name = fileCache.parseFileName(filePath);
    if (name.length() >= MAX_FILE_DESCRIPTION_LENGTH)
        name = name.left(MAX_FILE_DESCRIPTION_LENGTH) + QStringLiteral("...");
    ui->fileDescriptionLbl->setText(name);
}

int flashFirmware(QString filePath, UART_Flasher* uartFlasher)
{
    // The library takes a NUL-terminated wide text; the copy lives until the call returns.
    const std::wstring widePath = filePath.toStdWString();
    return uartFlasher->flashFirmware(widePath.c_str());
}
