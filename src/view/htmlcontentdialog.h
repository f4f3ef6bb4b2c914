#pragma once

#include <QDialog>
#include <QString>

class QAbstractButton;

QT_BEGIN_NAMESPACE
namespace Ui {
class HTMLContentDialog;
}
QT_END_NAMESPACE

// Shows a title line above a read-only rich-text document (the licence page) and closes
// with its one OK button.
class HTMLContentDialog : public QDialog
{
    Q_OBJECT

public:
    explicit HTMLContentDialog(QWidget* parent = nullptr);
    ~HTMLContentDialog() override;

    void setContent(QString path);
    void setTitel(QString titel);

private slots:
    void on_buttonBox_clicked(QAbstractButton* button);

private:
    Ui::HTMLContentDialog* ui;
};
