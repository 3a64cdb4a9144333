#pragma once

class QCoreApplication;

// Installs Qt's own Chinese translation (qtbase_zh_CN.qm from Qt's
// translations folder, Debian's qttranslations5-l10n) whatever the system
// language, so that the standard buttons of the Chinese dialogs read
// "是/否" and "确定/取消". Both programs call it once, after creating their
// application object; false (and a debug line) when the file is missing.
bool installQtChinese(QCoreApplication *app);
