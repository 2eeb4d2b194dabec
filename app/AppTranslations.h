#pragma once

#include <QLocale>

class QCoreApplication;

// The application's texts in the person's language: its own translations (built into the program) and
// Qt's for the standard dialogs' buttons, when Qt ships them for that language. English needs none.
namespace AppTranslations {
// Installs the translators for `locale` on `app`; returns whether the application's own were found.
bool install(QCoreApplication& app, const QLocale& locale = QLocale());
// Removes what install() put in (tests switch between languages).
void remove(QCoreApplication& app);
} // namespace AppTranslations
