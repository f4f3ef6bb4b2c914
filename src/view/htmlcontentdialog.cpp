#include "htmlcontentdialog.h"
#include "ui_htmlcontentdialog.h"

#include <QByteArray>
#include <QFile>
#include <QIcon>

HTMLContentDialog::HTMLContentDialog(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::HTMLContentDialog)
{
    ui->setupUi(this);

    // Read afresh for every dialog; an unreadable sheet just leaves Qt's default look.
    QFile styleFile(QStringLiteral(":/style.qss"));
    if (styleFile.open(QFile::ReadOnly)) {
        setStyleSheet(QString::fromLatin1(styleFile.readAll()));
        styleFile.close();
    }

    setWindowIcon(QIcon(QStringLiteral(":/Vorna-Icon")));
}

HTMLContentDialog::~HTMLContentDialog()
{
    delete ui;
}

void HTMLContentDialog::setContent(QString path)
{
    // A file that cannot be opened reads as nothing and leaves the document empty.
    QFile file(path);
    const QByteArray bytes = file.open(QFile::ReadOnly) ? file.readAll() : QByteArray();
    const QByteArray utf8 = QString::fromUtf8(bytes).toUtf8();
    // The page is handed on as a NUL-terminated string, so it ends at the first NUL.
    ui->contentEdit->setText(QString::fromUtf8(utf8.constData()));
    file.close();
}

void HTMLContentDialog::setTitel(QString titel)
{
    ui->titelLbl->setText(titel);
}

void HTMLContentDialog::on_buttonBox_clicked(QAbstractButton* button)
{
    Q_UNUSED(button);
    close();
}
