// The content dialog on its own: its form, the page it shows, and how it closes.

#include "htmlcontentdialog.h"
#include "look_support.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryFile>
#include <QTextEdit>
#include <QtTest>

namespace {

QTextEdit* editOf(HTMLContentDialog& d) { return d.findChild<QTextEdit*>(QStringLiteral("contentEdit")); }
QLabel* titelOf(HTMLContentDialog& d) { return d.findChild<QLabel*>(QStringLiteral("titelLbl")); }
QDialogButtonBox* boxOf(HTMLContentDialog& d)
{
    return d.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
}

bool writeFile(QTemporaryFile& f, const QByteArray& bytes)
{
    if (!f.open())
        return false;
    f.resize(0);
    const bool ok = f.write(bytes) == bytes.size();
    f.close();
    return ok;
}

} // namespace

class TestContentDialog : public QObject
{
    Q_OBJECT

private slots:
    void formAsDesigned();
    void ownStyleSheetAndIcon();
    void titleAboveRenderedPage();
    void readOnlyButSelectable();
    void contentReadAfreshEachTime();
    void nulEndsTheContent();
    void contentDecodedAsUtf8();
    void missingFileLeavesPageEmpty();
    void okClosesWithoutAccepting();
    void escapeAndCloseButtonEndTheRun();
};

void TestContentDialog::formAsDesigned()
{
    HTMLContentDialog dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("HTMLContentDialog"));
    QCOMPARE(dialog.size(), QSize(601, 537));
    QCOMPARE(dialog.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(dialog.sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Dialog"));

    QLabel* titel = titelOf(dialog);
    QTextEdit* edit = editOf(dialog);
    QDialogButtonBox* box = boxOf(dialog);
    QVERIFY(titel && edit && box);
    QCOMPARE(titel->text(), QStringLiteral("TextLabel"));
    QCOMPARE(titel->font().family(), QStringLiteral("Arial"));
    QCOMPARE(titel->font().pointSize(), 18);
    QCOMPARE(box->font().family(), QStringLiteral("Arial"));
    QCOMPARE(box->font().pointSize(), 12);
    QCOMPARE(box->standardButtons(), QDialogButtonBox::StandardButtons(QDialogButtonBox::Ok));
    QVERIFY(edit->isReadOnly());
    QVERIFY(!edit->isUndoRedoEnabled());
    QVERIFY(edit->toPlainText().isEmpty());

    auto* outer = qobject_cast<QGridLayout*>(dialog.layout());
    QVERIFY(outer);
    QCOMPARE(outer->objectName(), QStringLiteral("gridLayout_2"));
    auto* inner = qobject_cast<QGridLayout*>(outer->itemAtPosition(0, 0)->layout());
    QVERIFY(inner);
    QCOMPARE(inner->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(outer->itemAtPosition(1, 0)->widget(), box);
    QCOMPARE(inner->itemAtPosition(0, 0)->widget(), titel);
    QCOMPARE(inner->itemAtPosition(1, 0)->widget(), edit);
    QCOMPARE(outer->count(), 2);
    QCOMPARE(inner->count(), 2);

    // Built in member order: the page before its title, the button box last.
    QStringList order;
    for (QObject* child : dialog.children())
        if (child->isWidgetType())
            order << child->objectName();
    QCOMPARE(order, QStringList({"contentEdit", "titelLbl", "buttonBox"}));

    dialog.setTitel(QStringLiteral("Something else"));
    QCOMPARE(titel->text(), QStringLiteral("Something else"));
}

void TestContentDialog::ownStyleSheetAndIcon()
{
    HTMLContentDialog dialog;
    const QString sheet = QString::fromLatin1(look::readBytes(QStringLiteral(":/style.qss")));
    QVERIFY(!sheet.isEmpty());
    QCOMPARE(dialog.styleSheet(), sheet);
    QVERIFY(!dialog.windowIcon().isNull());
    QCOMPARE(dialog.windowIcon().availableSizes().value(0), QSize(256, 256));
}

void TestContentDialog::titleAboveRenderedPage()
{
    HTMLContentDialog dialog;
    dialog.setContent(QStringLiteral(":/License.html"));
    dialog.setTitel(QStringLiteral("License"));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QLabel* titel = titelOf(dialog);
    QTextEdit* edit = editOf(dialog);
    QCOMPARE(titel->text(), QStringLiteral("License"));
    QVERIFY(titel->geometry().bottom() < edit->geometry().top());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Dialog"));
    // Rendered as HTML: the markup is gone and the page's title became the document title.
    QVERIFY(edit->toPlainText().trimmed().startsWith(QStringLiteral("Acknowledgements")));
    QVERIFY(!edit->toPlainText().contains(QStringLiteral("<h1>")));
    QCOMPARE(edit->documentTitle(), QStringLiteral("License Information for the Vorna-Base-Flasher Tool."));
    QCOMPARE(edit->verticalScrollBar()->value(), 0);
    QVERIFY(edit->verticalScrollBar()->maximum() > 0);
    dialog.close();
}

void TestContentDialog::readOnlyButSelectable()
{
    HTMLContentDialog dialog;
    dialog.setContent(QStringLiteral(":/License.html"));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTextEdit* edit = editOf(dialog);
    const QString before = edit->toHtml();

    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("typed"));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(edit->toHtml(), before);
    QVERIFY(!edit->document()->isUndoAvailable());

    edit->selectAll();
    QVERIFY(edit->textCursor().hasSelection());
    QGuiApplication::clipboard()->clear();
    edit->copy();
    QVERIFY(QGuiApplication::clipboard()->text().contains(QStringLiteral("Acknowledgements")));
    dialog.close();
}

void TestContentDialog::contentReadAfreshEachTime()
{
    QTemporaryFile file;
    QVERIFY(writeFile(file, "<p>first <b>version</b></p>"));
    {
        HTMLContentDialog dialog;
        dialog.setContent(file.fileName());
        QCOMPARE(editOf(dialog)->toPlainText(), QStringLiteral("first version"));
    }
    QVERIFY(writeFile(file, "<p>second <b>version</b></p>"));
    HTMLContentDialog dialog;
    dialog.setContent(file.fileName());
    QCOMPARE(editOf(dialog)->toPlainText(), QStringLiteral("second version"));

    // Text without markup stays plain: the angle bracket is shown, not taken as a tag.
    QVERIFY(writeFile(file, "if x < 3 &amp; y"));
    dialog.setContent(file.fileName());
    QCOMPARE(editOf(dialog)->toPlainText(), QStringLiteral("if x < 3 &amp; y"));
}

void TestContentDialog::nulEndsTheContent()
{
    QTemporaryFile file;
    QVERIFY(writeFile(file, QByteArray("<p>before</p>\0<p>after</p>", 26)));
    HTMLContentDialog dialog;
    dialog.setContent(file.fileName());
    QCOMPARE(editOf(dialog)->toPlainText(), QStringLiteral("before"));

    QVERIFY(writeFile(file, QByteArray("\0hidden", 7)));
    dialog.setContent(file.fileName());
    QVERIFY(editOf(dialog)->toPlainText().isEmpty());
}

void TestContentDialog::contentDecodedAsUtf8()
{
    QTemporaryFile file;
    QVERIFY(writeFile(file, "<p>Über STMicroelectronics\xE2\x80\x99 “terms”</p>"));
    HTMLContentDialog dialog;
    dialog.setContent(file.fileName());
    QCOMPARE(editOf(dialog)->toPlainText(), QStringLiteral("Über STMicroelectronics’ “terms”"));
}

void TestContentDialog::missingFileLeavesPageEmpty()
{
    HTMLContentDialog dialog;
    dialog.setContent(QStringLiteral(":/License.html"));
    QVERIFY(!editOf(dialog)->toPlainText().isEmpty());
    dialog.setContent(QStringLiteral("/nonexistent/vorna/page.html"));
    QVERIFY(editOf(dialog)->toPlainText().isEmpty());
}

void TestContentDialog::okClosesWithoutAccepting()
{
    HTMLContentDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    boxOf(dialog)->button(QDialogButtonBox::Ok)->click();
    QVERIFY(dialog.isHidden());

    // In a modal run the OK button ends it through close(): the result is not "accepted",
    // which it would be if the box's accepted signal were wired to accept().
    bool sawIt = false;
    look::whenShown<HTMLContentDialog>([&sawIt](HTMLContentDialog* d) {
        sawIt = true;
        QTest::mouseClick(boxOf(*d)->button(QDialogButtonBox::Ok), Qt::LeftButton);
    });
    const int result = dialog.exec();
    QVERIFY(sawIt);
    QCOMPARE(result, int(QDialog::Rejected));
    QVERIFY(dialog.isHidden());
}

void TestContentDialog::escapeAndCloseButtonEndTheRun()
{
    HTMLContentDialog dialog;
    bool sawIt = false;
    look::whenShown<HTMLContentDialog>([&sawIt](HTMLContentDialog* d) {
        sawIt = true;
        QTest::keyClick(d, Qt::Key_Escape);
    });
    dialog.exec();
    QVERIFY(sawIt);
    QVERIFY(dialog.isHidden());

    sawIt = false;
    look::whenShown<HTMLContentDialog>([&sawIt](HTMLContentDialog* d) {
        sawIt = true;
        QCloseEvent event;
        QCoreApplication::sendEvent(d, &event);
    });
    dialog.exec();
    QVERIFY(sawIt);
    QVERIFY(dialog.isHidden());
}

QTEST_MAIN(TestContentDialog)
#include "tst_contentdialog.moc"
