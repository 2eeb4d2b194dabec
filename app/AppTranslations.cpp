#include "AppTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace {
QTranslator*& own() {
    static QTranslator* translator = nullptr;
    return translator;
}
QTranslator*& qt() {
    static QTranslator* translator = nullptr;
    return translator;
}
} // namespace

bool AppTranslations::install(QCoreApplication& app, const QLocale& locale) {
    remove(app);
    QLocale::setDefault(locale);
    auto* mine = new QTranslator(&app);
    bool found = false;
    if (mine->load(locale, QStringLiteral("ZorvikHollin"), QStringLiteral("_"), QStringLiteral(":/i18n"))) {
        QCoreApplication::installTranslator(mine);
        own() = mine;
        found = true;
    } else {
        delete mine;
    }
    auto* base = new QTranslator(&app);
    if (base->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(base);
        qt() = base;
    } else {
        delete base;
    }
    return found;
}

void AppTranslations::remove(QCoreApplication&) {
    for (QTranslator** t : {&own(), &qt()}) {
        if (*t) {
            QCoreApplication::removeTranslator(*t);
            delete *t;
            *t = nullptr;
        }
    }
}
