#pragma once
// Answers the modal windows the main window opens, so that no test can hang on one: every
// message box is recorded and closed with OK, every file dialog is handed to the action the
// test queued (or rejected and counted as unexpected).

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

struct BoxRecord {
    QString title;
    QString text;
    QString informativeText;
    Qt::TextFormat informativeFormat = Qt::AutoText;  // of the label that shows it
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
    bool hasDefaultButton = false;
    QWidget* parent = nullptr;
    QString statusWhenShown;  // the window's status text while the box is up
    bool warningWhenShown = false;  // whether warningShown() held while the box was up
};

struct FileDialogRecord {
    QString title;
    QString directory;
    QStringList nameFilters;
    QWidget* parent = nullptr;
};

class ModalDriver : public QObject
{
public:
    explicit ModalDriver(std::function<QString()> statusText) : statusText(std::move(statusText))
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { tick(); });
        timer.start();
    }

    // The next file dialog takes this path (an empty path cancels it).
    void answerFileDialog(const QString& path) { fileAnswers.append(path); }

    // Optional: whether the window shows its do-not-disconnect warning.
    std::function<bool()> warningShown;

    QList<BoxRecord> boxes;
    QList<FileDialogRecord> fileDialogs;
    int unexpectedFileDialogs = 0;

private:
    void tick()
    {
        const QList<QWidget*> windows = QApplication::topLevelWidgets();
        for (QWidget* w : windows) {
            if (!w->isVisible())
                continue;
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                BoxRecord r;
                r.title = box->windowTitle();
                r.text = box->text();
                r.informativeText = box->informativeText();
                if (!r.informativeText.isEmpty()) {
                    for (QLabel* label : box->findChildren<QLabel*>())
                        if (label->text() == r.informativeText)
                            r.informativeFormat = label->textFormat();
                }
                r.icon = box->icon();
                for (QAbstractButton* b : box->buttons())
                    r.buttons.append(box->standardButton(b));
                r.hasDefaultButton = box->defaultButton() != nullptr;
                r.parent = box->parentWidget();
                r.statusWhenShown = statusText();
                r.warningWhenShown = warningShown && warningShown();
                boxes.append(r);
                if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                    ok->click();
                else
                    box->reject();
                return;
            }
            if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
                FileDialogRecord r;
                r.title = dialog->windowTitle();
                r.directory = dialog->directory().absolutePath();
                r.nameFilters = dialog->nameFilters();
                r.parent = dialog->parentWidget();
                fileDialogs.append(r);
                if (fileAnswers.isEmpty()) {
                    ++unexpectedFileDialogs;
                    dialog->reject();
                    return;
                }
                const QString path = fileAnswers.takeFirst();
                if (path.isEmpty()) {
                    dialog->reject();
                } else {
                    dialog->selectFile(path);
                    QMetaObject::invokeMethod(dialog, "accept");
                }
                return;
            }
        }
    }

    QTimer timer;
    std::function<QString()> statusText;
    QStringList fileAnswers;
};
