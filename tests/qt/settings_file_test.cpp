// The settings file routines, the existence tests and the start-up values.
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <sstream>

#include "app/settings_file.h"
#include "app/startup.h"

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeAll(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace

class SettingsFileTest : public QObject {
    Q_OBJECT
private slots:
    void getSetting_data();
    void getSetting();
    void setSetting_data();
    void setSetting();
    void setSettingKeepsLongFileAndNeedsExistingFile();
    void readSettingsFileLimitsAndMissingFile();
    void textRoutines();
    void startupValues();
    void installedProgramKeepsSettingsPerUser();
    void storeSettingCreatesPerUserFileOnly();

private:
    QTemporaryDir dir_;
};

void SettingsFileTest::getSetting_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plain") << QByteArray("sourcePath=D:/data\r\n") << QByteArray("sourcePath")
                           << QByteArray("D:/data");
    QTest::newRow("blanks trimmed")
        << QByteArray("rowsAverage=  25\t \r\n") << QByteArray("rowsAverage") << QByteArray("25");
    QTest::newRow("content trimmed first")
        << QByteArray(" \tcolumn=4\r\n") << QByteArray("column") << QByteArray("4");
    QTest::newRow("missing key") << QByteArray("column=4\r\n") << QByteArray("savePath")
                                 << QByteArray("");
    QTest::newRow("last line without line end")
        << QByteArray("a=1\r\ncolumn=3") << QByteArray("column") << QByteArray("");
    QTest::newRow("value holding another key")
        << QByteArray("sourcePath=D:/column=1\r\ncolumn=3\r\n") << QByteArray("column")
        << QByteArray("3");
    QTest::newRow("key as the end of a longer key")
        << QByteArray("sourcePath=D:/x\r\n") << QByteArray("Path") << QByteArray("");
    QTest::newRow("key as the start of a longer key")
        << QByteArray("columnX=5\r\ncolumn=6\r\n") << QByteArray("column") << QByteArray("6");
    QTest::newRow("chinese value")
        << QByteArray("savePath=D:/数据\r\n") << QByteArray("savePath") << QByteArray("D:/数据");
    QTest::newRow("lines ending in LF")
        << QByteArray("a=1\ncolumn= 3 \nb=2\n") << QByteArray("column") << QByteArray("3");
    QTest::newRow("LF and CRLF mixed")
        << QByteArray("a=1\ncolumn=3\r\n") << QByteArray("column") << QByteArray("3");
}

void SettingsFileTest::getSetting() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(tw::getSetting(content.toStdString(), key.toStdString())),
             expected);
}

void SettingsFileTest::setSetting_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("first write") << QByteArray("") << QByteArray("sourcePath")
                                 << QByteArray("D:/data") << QByteArray("sourcePath=D:/data\r\n");
    QTest::newRow("replaced in place")
        << QByteArray("sourcePath=D:/data\r\ncolumn=3\r\nrowsAverage=10\r\n")
        << QByteArray("column") << QByteArray("7")
        << QByteArray("sourcePath=D:/data\r\ncolumn=7\r\nrowsAverage=10\r\n");
    QTest::newRow("new key on top")
        << QByteArray("column=3\r\n") << QByteArray("savePath") << QByteArray("D:/out")
        << QByteArray("savePath=D:/out\r\ncolumn=3\r\n");
    QTest::newRow("last line without line end")
        << QByteArray("a=1\r\ncolumn=3") << QByteArray("column") << QByteArray("9")
        << QByteArray("a=1\r\ncolumn=9\r\n");
    QTest::newRow("value holding another key stays intact")
        << QByteArray("sourcePath=D:/column=1\r\ncolumn=3\r\n") << QByteArray("column")
        << QByteArray("5") << QByteArray("sourcePath=D:/column=1\r\ncolumn=5\r\n");
    QTest::newRow("line break in value cannot add a line")
        << QByteArray("column=3\r\n") << QByteArray("savePath") << QByteArray("D:/a\r\ncolumn=9")
        << QByteArray("savePath=D:/acolumn=9\r\ncolumn=3\r\n");
    QTest::newRow("lines ending in LF kept")
        << QByteArray("a=1\ncolumn=3\nb=2\n") << QByteArray("column") << QByteArray("8")
        << QByteArray("a=1\ncolumn=8\r\nb=2\n");
    QTest::newRow("unknown lines kept")
        << QByteArray("mine=1\r\nsavePath=x\r\nyours=2\r\n") << QByteArray("savePath")
        << QByteArray("") << QByteArray("mine=1\r\nsavePath=\r\nyours=2\r\n");
}

void SettingsFileTest::setSetting() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, after);
    const std::string path = dir_.filePath("set.zrk").toStdString();
    writeAll(path, before.toStdString());
    QCOMPARE(tw::setSetting(path, key.toStdString(), value.toStdString()), 0);
    QCOMPARE(QByteArray::fromStdString(readAll(path)), after);
    // What was written reads back.
    QCOMPARE(QByteArray::fromStdString(tw::getSetting(readAll(path), key.toStdString())),
             value.replace("\r", "").replace("\n", ""));
}

void SettingsFileTest::setSettingKeepsLongFileAndNeedsExistingFile() {
    const std::string path = dir_.filePath("long.zrk").toStdString();
    std::string content;
    for (int i = 0; content.size() < 3 * tw::kSettingsReadLimit; ++i) {
        content += "other" + std::to_string(i) + "=some value of the user\r\n";
    }
    content += "tail=end\r\n";
    writeAll(path, content);
    QCOMPARE(tw::setSetting(path, "column", "2"), 0);
    QCOMPARE(readAll(path), "column=2\r\n" + content);
    QCOMPARE(tw::setSetting(path, "tail", "last"), 0);
    QVERIFY(readAll(path).ends_with("tail=last\r\n"));

    const std::string missing = dir_.filePath("missing.zrk").toStdString();
    QCOMPARE(tw::setSetting(missing, "column", "2"), -1);
    QVERIFY(!QFileInfo::exists(QString::fromStdString(missing)));
}

void SettingsFileTest::readSettingsFileLimitsAndMissingFile() {
    std::string buffer = "untouched";
    QCOMPARE(tw::readSettingsFile(buffer, dir_.filePath("none.zrk").toStdString()), -1);
    QCOMPARE(buffer, std::string("untouched"));

    const std::string path = dir_.filePath("big.zrk").toStdString();
    writeAll(path, std::string(tw::kSettingsReadLimit + 100, 'x'));
    QCOMPARE(tw::readSettingsFile(buffer, path), 0);
    QCOMPARE(buffer.size(), tw::kSettingsReadLimit);
}

void SettingsFileTest::textRoutines() {
    struct Case {
        const char* text;
        const char* pattern;
        bool include;
        bool last;
        int code;
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"a=b=c", "=", false, false, 1, "a", "b=c"},
        {"a=b=c", "=", true, false, 1, "a=", "=b=c"},
        {"a=b=c", "=", false, true, 1, "a=b", "c"},
        {"a=b=c", "=", true, true, 1, "a=b=", "=c"},
        // The last of the non-overlapping occurrences: "aa" occurs once in "aaa".
        {"aaa", "aa", false, true, 1, "", "a"},
        {"abc", "x", false, false, -1, "", ""},
        {"abc", "", false, false, -1, "", ""},
    };
    for (const Case& c : cases) {
        std::string out = "stale";
        QCOMPARE(tw::textBefore(out, c.text, c.pattern, c.include, c.last), c.code);
        QCOMPARE(out, std::string(c.before));
        out = "stale";
        QCOMPARE(tw::textAfter(out, c.text, c.pattern, c.include, c.last), c.code);
        QCOMPARE(out, std::string(c.after));
    }

    std::string out;
    QCOMPARE(tw::textBetween(out, "x[1]y[2]", "[", "]"), 1);
    QCOMPARE(out, std::string("1"));
    QCOMPARE(tw::textBetween(out, "x[1", "[", "]"), -1);
    QCOMPARE(out, std::string());
    QCOMPARE(tw::textBetween(out, "x1]", "[", "]"), -1);

    std::string blanks = " \t a b \t ";
    tw::trimBlanks(blanks);
    QCOMPARE(blanks, std::string("a b"));
    std::string lineEnd = "\r\nvalue\r\n";
    tw::trimBlanks(lineEnd);
    QCOMPARE(lineEnd, std::string("\r\nvalue\r\n"));
}

void SettingsFileTest::startupValues() {
    const std::string folder = dir_.path().toStdString() + "/";
    const char* argv[] = {"tablaweaver", "-autorun-with-a-very-long-tail-of-text-beyond-31"};
    tw::StartupValues values;
    tw::initStartupValues(values, 2, argv, folder + "tablaweaver", "/nonexistent/config");
    QCOMPARE(values.startOption, std::string("-autorun-with-a-very-long-tail-"));
    QCOMPARE(values.startOption.size(), tw::kStartOptionLimit);
    QCOMPARE(values.programPath, std::string("tablaweaver"));
    QCOMPARE(values.exeDir, folder);
    QCOMPARE(values.settingsFilePath, folder + "Tablaweaver.zrk");
    QVERIFY(values.settingsCreatedOnWrite);  // the folder is writable: made on the first write

    const char* bare[] = {"tablaweaver"};
    tw::initStartupValues(values, 1, bare, "tablaweaver", "");
    QCOMPARE(values.startOption, std::string());
    QCOMPARE(values.exeDir, std::string());
    QCOMPARE(values.settingsFilePath, std::string("Tablaweaver.zrk"));
}

void SettingsFileTest::installedProgramKeepsSettingsPerUser() {
    // PREFIX/bin/tablaweaver with the desktop entry in PREFIX/share/applications: per user, even
    // though the folder is writable (as /usr/bin is for root) and a settings file lies there.
    const std::string prefix = dir_.filePath("prefix").toStdString();
    QVERIFY(QDir().mkpath(QString::fromStdString(prefix + "/bin")));
    QVERIFY(QDir().mkpath(QString::fromStdString(prefix + "/share/applications")));
    writeAll(prefix + "/bin/Tablaweaver.zrk", "");
    const char* argv[] = {"tablaweaver"};
    tw::StartupValues values;
    tw::initStartupValues(values, 1, argv, prefix + "/bin/tablaweaver",
                          "/home/u/.config/Tablaweaver");
    QCOMPARE(values.settingsFilePath, prefix + "/bin/Tablaweaver.zrk");  // not installed yet

    writeAll(prefix + "/share/applications/" + tw::kDesktopEntryName, "[Desktop Entry]\n");
    tw::initStartupValues(values, 1, argv, prefix + "/bin/tablaweaver",
                          "/home/u/.config/Tablaweaver");
    QCOMPARE(values.settingsFilePath, std::string("/home/u/.config/Tablaweaver/Tablaweaver.zrk"));
    QVERIFY(values.settingsCreatedOnWrite);

    // Without a per-user folder (no HOME) the file beside the program is the only place.
    tw::initStartupValues(values, 1, argv, prefix + "/bin/tablaweaver", "");
    QCOMPARE(values.settingsFilePath, prefix + "/bin/Tablaweaver.zrk");
}

void SettingsFileTest::storeSettingCreatesPerUserFileOnly() {
    tw::StartupValues& values = tw::startupValues();
    const std::string besideProgram = dir_.filePath("beside/Tablaweaver.zrk").toStdString();
    values.settingsFilePath = besideProgram;
    values.settingsCreatedOnWrite = false;
    tw::storeSetting("column", "3");
    QVERIFY(!QFileInfo::exists(QString::fromStdString(besideProgram)));

    const std::string perUser = dir_.filePath("config/Tablaweaver/Tablaweaver.zrk").toStdString();
    values.settingsFilePath = perUser;
    values.settingsCreatedOnWrite = true;
    tw::storeSetting("column", "3");
    tw::storeSetting("savePath", "D:/out");
    QCOMPARE(readAll(perUser), std::string("savePath=D:/out\r\ncolumn=3\r\n"));
}

QTEST_GUILESS_MAIN(SettingsFileTest)
#include "settings_file_test.moc"
