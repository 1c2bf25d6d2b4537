#include "interface_setup.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

void prepareInterfaceAttributes() {
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
}

bool setUpInterface(QApplication& app) {
    // The form is laid out for a compact CJK interface font; prefer one where it is installed.
    QFont font = QApplication::font();
    font.setFamilies(
        {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"), font.family()});
    QApplication::setFont(font);

    // Dates and sizes in the dialogs the Chinese way too.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    auto* translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}
