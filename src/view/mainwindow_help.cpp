// The Help menu: the About box and the licence page.
#include "mainwindow.h"

#include "htmlcontentdialog.h"

#include <QIcon>
#include <QMessageBox>

extern QString styleSheetString;

void MainWindow::on_actionAbout_triggered()
{
    QMessageBox aboutBox;
    aboutBox.setWindowTitle(tr("About"));
    aboutBox.setWindowIcon(QIcon(QStringLiteral(":/Vorna-Icon")));
    aboutBox.setText(tr("Kembit Vorna-Base Flasher Tool\n"
                        "Software Version: " VBF_VERSION "\n"
                        "\n"
                        "www.kembit.eu\n"
                        "Copyright (c) 2021 Kembit. All rights reserved."));
    aboutBox.setStandardButtons(QMessageBox::Ok);
    aboutBox.setDefaultButton(QMessageBox::Ok);
    aboutBox.setStyleSheet(styleSheetString);
    aboutBox.exec();
}

void MainWindow::on_actionLicenses_triggered()
{
    HTMLContentDialog licenseDialog;
    licenseDialog.setContent(QStringLiteral(":/License.html"));
    licenseDialog.setTitel(tr("License"));
    licenseDialog.exec();
}
