#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFont>
#include <QIcon>

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

const int WINDOW_WIDTH = 1080;
const int WINDOW_HEIGHT = 421;

static const QString ICON_FONT_FAMILY = QStringLiteral("Font Awesome 5 Free Solid");

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      MAX_FILE_DESCRIPTION_LENGTH(70),
      ui(new Ui::MainWindow),
      isConnected(false),
      uartFlasher(nullptr)
{
    ui->setupUi(this);

    // The flasher, its progress wiring and the watcher: filled in with the connection workflow.

    // An unreadable sheet leaves the window in Qt's default look.
    QFile styleFile(QStringLiteral(":/style.qss"));
    if (styleFile.open(QIODevice::ReadOnly)) {
        styleSheetString = QString::fromLatin1(styleFile.readAll());
        styleFile.close();
    }

    // Button wiring and the loaders path: filled in with the connection workflow.

    initUserInterface();

    // The port list: filled in with the connection workflow.
}

MainWindow::~MainWindow()
{
    // Closing the link: filled in with the connection workflow.
    delete ui;
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
    iconFont.setPixelSize(32);

    setWindowIcon(QIcon(QStringLiteral(":/Vorna-Icon")));
    ui->successIconLbl->setFont(iconFont);

    // The refresh glyph lies in the private-use range, which Arial lacks and font fallback
    // does not reliably reach, so the button takes the icon family at its own size.
    QFont refreshFont = ui->refreshBtn->font();
    refreshFont.setFamilies({ ICON_FONT_FAMILY });
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
    // Filled in with the firmware workflow.
}

void MainWindow::handleConnectDisconnect()
{
    // Filled in with the connection workflow.
}

void MainWindow::executeApplication()
{
    // Filled in with the firmware workflow.
}

void MainWindow::on_refreshBtn_clicked()
{
    // Filled in with the connection workflow.
}

void MainWindow::on_comPortComboBox_activated(int)
{
    // Filled in with the connection workflow.
}

void MainWindow::on_flashBtn_clicked()
{
    // Filled in with the firmware workflow.
}

void MainWindow::handleFlashFinished()
{
    // Filled in with the firmware workflow.
}

void MainWindow::setFirmwareProgress(int, int)
{
    // Filled in with the firmware workflow.
}

void MainWindow::initComPortComboBox()
{
    // Filled in with the connection workflow.
}

void MainWindow::resetApplication()
{
    // Filled in with the connection workflow.
}

void MainWindow::readKeys()
{
    // Filled in with the connection workflow.
}

void MainWindow::disconnectUartFlasher()
{
    // Filled in with the connection workflow.
}

int MainWindow::connectUsartInterface()
{
    // Filled in with the connection workflow; until then no link is ever opened.
    return -1;
}

void MainWindow::handleUIFlashStarted()
{
    // Filled in with the firmware workflow.
}

void MainWindow::handleUIFlashFinished()
{
    // Filled in with the firmware workflow.
}

void MainWindow::savePath(QString)
{
    // Filled in with the firmware workflow.
}
