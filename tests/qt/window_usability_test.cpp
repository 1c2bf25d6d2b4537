// The window as a user meets it: paths given from outside (the program's argument, drops), the
// pickers' dialogs, the status line and the labels at the smallest size, the dialogs' language,
// where a saved result went, and the start checks both front ends share. Run on the display the
// environment gives (Xvfb in CI), or offscreen when there is none.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTextDocument>
#include <QToolTip>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <fstream>
#include <memory>

#include "app/startup.h"
#include "interface_setup.h"
#include "mainwindow.h"
#include "merge_object.h"
#include "path_drops.h"
#include "status_line.h"

namespace {

void writeAll(const QString& path, const std::string& content) {
    std::ofstream(path.toStdString(), std::ios::binary) << content;
}

// Records the dialogs the window asks for and answers them from `answer`.
class FakeDialogs : public UserDialogs {
public:
    QString answer;
    QStringList filters;  // of the open-file dialogs
    QStringList saveNames;

    QString existingDirectory(QWidget*, const QString&, const QString&) override { return answer; }
    QString openFileName(QWidget*, const QString&, const QString&, const QString& filter) override {
        filters << filter;
        return answer;
    }
    std::optional<QString> saveFileName(QWidget*, const QString&, const QString& name,
                                        const QString&) override {
        saveNames << name;
        if (answer.isEmpty()) return std::nullopt;
        return answer;
    }
    void showTextFile(const QString&) override {}
};

// Texts that do not fit the room their widget gives them, as "name: needed > available" (width
// in pixels, measured with the widget's font metrics).
QStringList clippedTexts(QWidget* root) {
    QStringList clipped;
    const auto check = [&clipped](const QWidget* widget, int needed, int available) {
        if (widget->isVisible() && needed > available)
            clipped << QStringLiteral("%1: %2 > %3")
                           .arg(widget->objectName())
                           .arg(needed)
                           .arg(available);
    };
    for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
        if (button->text().isEmpty()) continue;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        QStyle::SubElement contents = QStyle::SE_PushButtonContents;
        if (qobject_cast<QCheckBox*>(button)) contents = QStyle::SE_CheckBoxContents;
        if (qobject_cast<QRadioButton*>(button)) contents = QStyle::SE_RadioButtonContents;
        const QRect room = button->style()->subElementRect(contents, &option, button);
        check(button, button->fontMetrics().horizontalAdvance(button->text()), room.width());
    }
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (label->text().isEmpty() || qobject_cast<StatusLine*>(label)) continue;
        int needed = label->fontMetrics().horizontalAdvance(label->text());
        if (label->textFormat() != Qt::PlainText && Qt::mightBeRichText(label->text())) {
            QTextDocument document;
            document.setDocumentMargin(0);
            document.setDefaultFont(label->font());
            document.setHtml(label->text());
            needed = int(std::ceil(document.idealWidth()));
        }
        check(label, needed, label->contentsRect().width() - 2 * std::max(label->margin(), 0));
    }
    // A title is drawn from the style's label position on, as far as the box reaches.
    for (QGroupBox* box : root->findChildren<QGroupBox*>()) {
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = box->title();
        option.subControls = QStyle::SC_GroupBoxLabel;
        const QRect room = box->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                        QStyle::SC_GroupBoxLabel, box);
        check(box, box->fontMetrics().horizontalAdvance(box->title()), box->width() - room.left());
    }
    return clipped;
}

}  // namespace

class WindowUsabilityTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startArgumentIsKeptWhole();
    void openPathFillsTheFittingField_data();
    void openPathFillsTheFittingField();
    void pickersListWorkbooks_data();
    void pickersListWorkbooks();
    void dialogsSpeakChinese();
    void dropsFillTheFieldsThatFit_data();
    void dropsFillTheFieldsThatFit();
    void longStatusKeepsTheWindowSize();
    void labelsFitAtDefaultAndMinimumSize();
    void resultSavedBesideTheDataAndShown_data();
    void resultSavedBesideTheDataAndShown();
    void iconHasImagesForScaledScreens();
    void sheetMergeRefusesWhatIsNoWorkbook_data();
    void sheetMergeRefusesWhatIsNoWorkbook();

private:
    template <class T>
    T* child(const char* name) {
        T* widget = window_->findChild<T*>(QLatin1String(name));
        if (!widget) qFatal("no widget %s", name);
        return widget;
    }
    QString status() { return child<QLabel>("lb_ShowDisposing")->text(); }
    void makeWindow(JobFunctions jobs = {});
    // With TW_SCREENSHOT_DIR set, saves the screen's pixels under the window there (what the X
    // server shows, not the widget's own rendering).
    void saveScreenshot(const QString& name);

    std::unique_ptr<QTemporaryDir> dir_;
    FakeDialogs dialogs_;
    std::unique_ptr<MainWindow> window_;
};

void WindowUsabilityTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    dialogs_ = FakeDialogs();
    jobOptions() = JobOptions();
    QDir(dir_->path()).mkdir(QStringLiteral("月报"));
    for (const char* name : {"book.xlsx", "old.xls", "macro.xlsm", "data.csv", "notes.txt"})
        writeAll(dir_->filePath(QLatin1String(name)), "x");
}

void WindowUsabilityTest::cleanup() {
    window_.reset();
    dir_.reset();
}

void WindowUsabilityTest::makeWindow(JobFunctions jobs) {
    // No settings file: every field starts empty.
    tw::startupValues().settingsFilePath = dir_->filePath("none/Tablaweaver.zrk").toStdString();
    tw::startupValues().settingsCreatedOnWrite = false;
    window_ = std::make_unique<MainWindow>(
        [jobs](const QString& path) { return new MergeObject(path, jobs); });
    window_->setDialogs(&dialogs_);
}

void WindowUsabilityTest::saveScreenshot(const QString& name) {
    const QString folder = qEnvironmentVariable("TW_SCREENSHOT_DIR");
    if (folder.isEmpty()) return;
    QTest::qWait(300);  // let the X server draw
    const QRect frame = window_->frameGeometry();
    const QPixmap shot =
        window_->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    QVERIFY(shot.save(QDir(folder).filePath(name + ".png")));
}

void WindowUsabilityTest::startArgumentIsKeptWhole() {
    const std::string longPath = "/home/用户/" + std::string(200, 'a') + ".xlsx";
    const struct {
        const char* argument;
        std::string openPath;
    } cases[] = {{"-autorun", ""}, {"--help-me", ""}, {"", ""}, {longPath.c_str(), longPath}};
    for (const auto& c : cases) {
        const char* argv[] = {"tablaweaver", c.argument, nullptr};
        tw::StartupValues values;
        tw::initStartupValues(values, 2, argv, "/opt/tw/tablaweaver", "");
        QCOMPARE(values.openPath, c.openPath);
        QCOMPARE(values.startOption, std::string(c.argument).substr(0, tw::kStartOptionLimit));
    }
}

void WindowUsabilityTest::openPathFillsTheFittingField_data() {
    QTest::addColumn<QString>("given");  // "@" is the test folder
    QTest::addColumn<QString>("field");  // empty: no field changes
    QTest::addColumn<QString>("filled");
    QTest::addColumn<QString>("message");
    QTest::newRow("folder") << "@/月报"
                            << "lEdt_SourcePath"
                            << "@/月报"
                            << "";
    QTest::newRow("folder with trailing slash") << "@/月报/"
                                                << "lEdt_SourcePath"
                                                << "@/月报"
                                                << "";
    QTest::newRow("folder as URL") << "file://@/月报"
                                   << "lEdt_SourcePath"
                                   << "@/月报"
                                   << "";
    QTest::newRow("workbook") << "@/book.xlsx"
                              << "lEdt_ExcelFilePath"
                              << "@/book.xlsx"
                              << "";
    QTest::newRow("relative workbook") << "./月报/../old.xls"
                                       << "lEdt_ExcelFilePath"
                                       << "@/old.xls"
                                       << "";
    QTest::newRow("csv") << "@/data.csv"
                         << "lEdt_DataSplitFilePath"
                         << "@/data.csv"
                         << "";
    QTest::newRow("text file") << "@/notes.txt"
                               << ""
                               << ""
                               << "只能打开文件夹或工作簿(.xls、.xlsx、.xlsm、.csv)：@/notes.txt";
    QTest::newRow("missing") << "@/gone.xlsx"
                             << ""
                             << ""
                             << "找不到：@/gone.xlsx";
}

void WindowUsabilityTest::openPathFillsTheFittingField() {
    QFETCH(QString, given);
    QFETCH(QString, field);
    QFETCH(QString, filled);
    QFETCH(QString, message);
    const auto expand = [this](QString text) { return text.replace("@", dir_->path()); };
    makeWindow();
    const QString before = status();
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir_->path());
    const bool opened = window_->openPath(expand(given));
    QDir::setCurrent(previous);

    QCOMPARE(opened, message.isEmpty());
    QCOMPARE(status(), message.isEmpty() ? before : expand(message));
    for (QLineEdit* edit : window_->findChildren<QLineEdit*>(QRegularExpression("^lEdt_"))) {
        const QString expected = edit->objectName() == field ? expand(filled) : QString();
        QCOMPARE(edit->text(), expected);
    }
}

void WindowUsabilityTest::pickersListWorkbooks_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("listed");
    const QStringList workbooks = {"book.xlsx", "macro.xlsm", "old.xls", "月报"};
    const QStringList withCsv = {"book.xlsx", "data.csv", "macro.xlsm", "old.xls", "月报"};
    QTest::newRow("sheet merge") << "pBtn_ExcelFilePath" << workbooks;
    QTest::newRow("split by sheet") << "pBtn_ExcelFileSplitPath" << workbooks;
    QTest::newRow("column split") << "pBtn_DataSplitFilePath" << withCsv;
    QTest::newRow("even split") << "pBtn_DataSplitFilePathAverage" << withCsv;
}

// The picker's dialog, as the window configures it, is asked which entries of a folder it lists.
void WindowUsabilityTest::pickersListWorkbooks() {
    QFETCH(QString, button);
    QFETCH(QStringList, listed);
    makeWindow();
    child<QPushButton>(qPrintable(button))->click();
    QCOMPARE(dialogs_.filters.size(), 1);
    const auto dialog =
        StandardDialogs::openFileDialog(nullptr, "test", dir_->path(), dialogs_.filters.front());
    dialog->show();
    // The filter reads as it always did; only the dialog sees the patterns.
    auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
    QVERIFY(types);
    QCOMPARE(types->currentText(), listed.contains("data.csv")
                                       ? QStringLiteral("*.xls;*.xlsx;*.xlsm;*.csv")
                                       : QStringLiteral("*.xls;*.xlsx;*.xlsm"));

    auto* view = dialog->findChild<QListView*>("listView");
    QVERIFY(view);
    const auto shown = [view] {
        QStringList names;
        const QModelIndex root = view->rootIndex();
        for (int row = 0; row < view->model()->rowCount(root); ++row)
            names << view->model()->index(row, 0, root).data().toString();
        names.sort();
        return names;
    };
    QTRY_COMPARE(shown(), listed);
}

void WindowUsabilityTest::dialogsSpeakChinese() {
    const auto dialog = StandardDialogs::openFileDialog(nullptr, "test", dir_->path(), "*");
    const auto chinese = [](const QString& text) {
        for (const QChar c : text)
            if (c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF) return true;
        return false;
    };
    QStringList texts;
    for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"}) {
        auto* label = dialog->findChild<QLabel*>(name);
        QVERIFY2(label, name);
        texts << label->text();
    }
    auto* buttons = dialog->findChild<QDialogButtonBox*>("buttonBox");
    QVERIFY(buttons);
    for (QAbstractButton* button : buttons->buttons()) texts << button->text();
    QCOMPARE(texts.size(), 5);
    for (const QString& text : texts) QVERIFY2(chinese(text), qPrintable(text));
}

void WindowUsabilityTest::dropsFillTheFieldsThatFit_data() {
    QTest::addColumn<QString>("target");       // a field, or "window"
    QTest::addColumn<QStringList>("dropped");  // "@" is the test folder
    QTest::addColumn<QString>("field");        // the field expected to change
    QTest::addColumn<QString>("message");      // status line after a refused drop
    const QString wantFolder = "这里需要一个文件夹，拖入的是文件：@/book.xlsx";
    QTest::newRow("folder on the folder field")
        << "lEdt_SourcePath" << QStringList{"@/月报"} << "lEdt_SourcePath"
        << "";
    QTest::newRow("folder on the save folder field")
        << "lEdt_SavePathAverage" << QStringList{"@/月报/"} << "lEdt_SavePathAverage"
        << "";
    QTest::newRow("folder on the window") << "window" << QStringList{"@/月报"} << "lEdt_SourcePath"
                                          << "";
    QTest::newRow("workbook on a workbook field")
        << "lEdt_ExcelFileSplitPath" << QStringList{"@/old.xls"} << "lEdt_ExcelFileSplitPath"
        << "";
    QTest::newRow("csv on the even split's field")
        << "lEdt_DataSplitFilePathAverage" << QStringList{"@/data.csv"}
        << "lEdt_DataSplitFilePathAverage"
        << "";
    QTest::newRow("workbook on the window")
        << "window" << QStringList{"@/macro.xlsm"} << "lEdt_ExcelFilePath"
        << "";
    QTest::newRow("workbook on the folder field")
        << "lEdt_SourcePath" << QStringList{"@/book.xlsx"} << "" << wantFolder;
    QTest::newRow("folder on a workbook field")
        << "lEdt_ExcelFilePath" << QStringList{"@/月报"} << ""
        << "这里需要一个工作簿(.xls、.xlsx、.xlsm)：@/月报";
    QTest::newRow("csv on the sheet merge's field")
        << "lEdt_ExcelFilePath" << QStringList{"@/data.csv"} << ""
        << "这里需要一个工作簿(.xls、.xlsx、.xlsm)：@/data.csv";
    QTest::newRow("text file on the window")
        << "window" << QStringList{"@/notes.txt"} << ""
        << "只能打开文件夹或工作簿(.xls、.xlsx、.xlsm、.csv)：@/notes.txt";
    QTest::newRow("two items") << "lEdt_SourcePath" << QStringList{"@/月报", "@/book.xlsx"} << ""
                               << "一次只能拖入一个文件或文件夹";
}

void WindowUsabilityTest::dropsFillTheFieldsThatFit() {
    QFETCH(QString, target);
    QFETCH(QStringList, dropped);
    QFETCH(QString, field);
    QFETCH(QString, message);
    const auto expand = [this](QString text) { return text.replace("@", dir_->path()); };
    makeWindow();
    const QString before = status();
    QWidget* receiver = target == "window" ? static_cast<QWidget*>(window_.get())
                                           : child<QLineEdit>(qPrintable(target));

    QMimeData data;
    QList<QUrl> urls;
    for (const QString& path : dropped) urls << QUrl::fromLocalFile(expand(path));
    data.setUrls(urls);
    data.setText(urls.front().toString());  // as file managers also offer it
    QDragEnterEvent enter(QPoint(4, 4), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(receiver, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(4, 4), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(receiver, &drop);

    QCOMPARE(drop.isAccepted(), message.isEmpty());
    QCOMPARE(status(), message.isEmpty() ? before : expand(message));
    const QString filled = QDir::cleanPath(expand(dropped.front()));
    for (QLineEdit* edit : window_->findChildren<QLineEdit*>(QRegularExpression("^lEdt_")))
        QCOMPARE(edit->text(), edit->objectName() == field ? filled : QString());
}

void WindowUsabilityTest::longStatusKeepsTheWindowSize() {
    makeWindow();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    const QSize size = window_->size();
    const QSize minimum = window_->minimumSize();
    auto* line = child<StatusLine>("lb_ShowDisposing");

    // A folder merge shows each file's path: one long word with no blank in it.
    const QString deep = dir_->path() + "/" + QString("深层目录/").repeated(80) + "x.xlsx";
    QVERIFY(deep.size() > 400);
    window_->openPath(deep);
    QCOMPARE(line->text(), "找不到：" + deep);
    QApplication::processEvents();
    QCOMPARE(window_->minimumSize(), minimum);
    QCOMPARE(window_->size(), size);
    // The offscreen platform's screen is smaller than the window.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QVERIFY(window_->frameGeometry().width() <= window_->screen()->availableGeometry().width());
    line->repaint();
    QVERIFY(line->isElided());
    // The whole text is the tooltip of a shortened one.
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), line->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(line, &help);
    QTRY_COMPARE(QToolTip::text(), "找不到：" + deep);

    // Several lines of it stay within the window too; a short text shows whole again.
    line->setText((deep + "\n").repeated(10));
    QApplication::processEvents();
    QCOMPARE(window_->size(), size);
    line->setText("done");
    line->repaint();
    QVERIFY(!line->isElided());
}

void WindowUsabilityTest::labelsFitAtDefaultAndMinimumSize() {
    makeWindow();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    saveScreenshot("default");
    // Every check box as a user may have it, the spin boxes beside them enabled.
    for (QCheckBox* box : window_->findChildren<QCheckBox*>()) box->setEnabled(true);
    QApplication::processEvents();
    QVERIFY2(clippedTexts(window_.get()).isEmpty(),
             qPrintable(clippedTexts(window_.get()).join(", ")));

    const QSize minimum = window_->minimumSize();
    QVERIFY(minimum.width() > 0 && minimum.height() > 0);
    window_->resize(1, 1);
    QTRY_COMPARE(window_->size(), minimum);
    QApplication::processEvents();
    saveScreenshot("minimum");
    QVERIFY2(clippedTexts(window_.get()).isEmpty(),
             qPrintable(clippedTexts(window_.get()).join(", ")));
    // The window starts at 1080 x 680, a size that shows everything (with the fonts of a real
    // display; the offscreen platform has others).
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QVERIFY2(minimum.width() <= 1080 && minimum.height() <= 680,
                 qPrintable(QStringLiteral("%1 x %2").arg(minimum.width()).arg(minimum.height())));
}

void WindowUsabilityTest::resultSavedBesideTheDataAndShown_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("source");    // "@" is the test folder
    QTest::addColumn<QString>("proposed");  // the name the job proposes
    QTest::addColumn<QString>("dialog");    // the name the dialog opens with
    QTest::newRow("folder merge: beside the folder") << "pBtn_FileMerge"
                                                     << "lEdt_SourcePath"
                                                     << "@/月报/"
                                                     << "FileMerge.xlsx"
                                                     << "@/FileMerge.xlsx";
    QTest::newRow("sheet merge: beside the workbook") << "pBtn_SheetMerge"
                                                      << "lEdt_ExcelFilePath"
                                                      << "@/book.xlsx"
                                                      << "SheetsMerge.xls"
                                                      << "@/SheetsMerge.xls";
}

void WindowUsabilityTest::resultSavedBesideTheDataAndShown() {
    QFETCH(QString, button);
    QFETCH(QString, edit);
    QFETCH(QString, source);
    QFETCH(QString, proposed);
    QFETCH(QString, dialog);
    const auto expand = [this](QString text) { return text.replace("@", dir_->path()); };
    const std::string closing = "成功汇总2个sheet,耗时1秒。";
    const auto job = [closing, proposed](const std::string&, JobOptions&, JobHost& host) {
        host.text(closing);
        if (auto path = host.askSaveFileName("保存文件", proposed.toStdString(), "EXCEL(*.xlsx)"))
            host.saved(*path);
    };
    JobFunctions jobs;
    jobs.excelFileMerge = job;
    jobs.excelSheetMerge = job;
    makeWindow(jobs);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    const QSize size = window_->size();
    auto* savedTo = child<QLabel>("lb_SavedTo");
    const QString answer = dir_->filePath("结果/合并.xlsx");
    dialogs_.answer = answer;
    child<QLineEdit>(qPrintable(edit))->setText(expand(source));
    child<QPushButton>(qPrintable(button))->click();
    QTRY_VERIFY(!window_->isJobRunning());

    QCOMPARE(dialogs_.saveNames, QStringList{expand(dialog)});
    // The closing text stays as the job wrote it; where the result went comes under it.
    QCOMPARE(status(), QString::fromStdString(closing));
    QTRY_VERIFY(savedTo->isVisible());
    saveScreenshot("saved");
    QApplication::processEvents();
    QCOMPARE(window_->size(), size);  // it shares the status line's row
    QVERIFY(savedTo->text().startsWith("已保存到："));
    QVERIFY(savedTo->text().contains(
        "href=\"" + QUrl::fromLocalFile(dir_->filePath("结果")).toString(QUrl::FullyEncoded) +
        "\""));
    QCOMPARE(savedTo->toolTip(), answer);
    QVERIFY(savedTo->openExternalLinks());

    // The next job starts without the old result; a cancelled save shows none.
    dialogs_.answer.clear();
    child<QPushButton>(qPrintable(button))->click();
    QVERIFY(!savedTo->isVisible());
    QTRY_VERIFY(!window_->isJobRunning());
    QApplication::processEvents();
    QVERIFY(!savedTo->isVisible());
}

void WindowUsabilityTest::iconHasImagesForScaledScreens() {
    makeWindow();
    QVERIFY(QCoreApplication::testAttribute(Qt::AA_UseHighDpiPixmaps));
    // Title bar and tray sizes at 1x, 1.5x and 2x are drawn from images of their own size.
    const QList<QSize> sizes = window_->windowIcon().availableSizes();
    for (int side : {16, 24, 32, 48, 64, 128})
        QVERIFY2(sizes.contains(QSize(side, side)), qPrintable(QString::number(side)));
}

void WindowUsabilityTest::sheetMergeRefusesWhatIsNoWorkbook_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("csv") << "data.csv"
                         << "只能汇总扩展名为.xls、.xlsx、.xlsm(小写)的工作簿,请选择正确的文件!";
    QTest::newRow("folder") << "月报"
                            << "汇总需要一个工作簿文件,不能汇总文件夹!";
    QTest::newRow("workbook") << "book.xlsx"
                              << "";
}

void WindowUsabilityTest::sheetMergeRefusesWhatIsNoWorkbook() {
    QFETCH(QString, name);
    QFETCH(QString, message);
    std::atomic<int> ran{0};
    JobFunctions jobs;
    jobs.excelSheetMerge = [&ran](const std::string&, JobOptions&, JobHost& host) {
        ++ran;
        host.text("done");
    };
    makeWindow(jobs);
    child<QLineEdit>("lEdt_ExcelFilePath")->setText(dir_->filePath(name));
    child<QPushButton>("pBtn_SheetMerge")->click();
    if (message.isEmpty()) {
        QTRY_VERIFY(!window_->isJobRunning());
        QCOMPARE(ran.load(), 1);
        QCOMPARE(status(), QStringLiteral("done"));
    } else {
        QCOMPARE(status(), message);
        QVERIFY(!window_->currentWorker());
        QVERIFY(child<QPushButton>("pBtn_SheetMerge")->isEnabled());
        QCOMPARE(ran.load(), 0);
    }
}

int main(int argc, char** argv) {
    // Xvfb (or a desktop) when there is one; Qt's offscreen platform otherwise.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    prepareInterfaceAttributes();
    QApplication app(argc, argv);
    if (!setUpInterface(app)) qWarning("Qt's Chinese translations are not installed");
    WindowUsabilityTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_usability_test.moc"
