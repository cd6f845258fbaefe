// The language of the windows: the program's own texts through the catalogue (base/language.h)
// and Qt's own dialogs (file dialogs, standard buttons) through Qt's translations.
#pragma once

#include <QString>

class QApplication;

namespace sorvanta::ui {

// text, written in Chinese in the code, in the program's language.
inline QString QTr(const char* text);

// Uses the language the environment asks for, in the program's texts and in Qt's own
// dialogs (Qt's Chinese translations for Chinese). Call right after QApplication's
// constructor, which resets the locale the catalogue depends on.
void UseEnvironmentLanguage(QApplication& app);

}  // namespace sorvanta::ui

#include "base/language.h"

inline QString sorvanta::ui::QTr(const char* text) { return QString::fromUtf8(sorvanta::Tr(text)); }
