#include "ui/language.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "platform/paths.h"

namespace sorvanta::ui {

void UseEnvironmentLanguage(QApplication& app) {
  platform::UseEnvironmentLanguage();
  if (CurrentLanguage() != Language::kChinese) return;
  auto* qt = new QTranslator(&app);
  if (qt->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(qt);
  else
    delete qt;
}

}  // namespace sorvanta::ui
