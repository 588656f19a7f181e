// Application title from the executable's path. Kept apart from the error box so the
// rule is tested without showing anything.
#include "shell/app_title.h"

#include <QCoreApplication>
#include <algorithm>

namespace cardsync::shell {

QString ApplicationTitle(const QString& executablePath) {
  // Both separators count: a Windows-style path handed over on Linux still loses its folder.
  const qsizetype slash =
      std::max(executablePath.lastIndexOf(u'/'), executablePath.lastIndexOf(u'\\'));
  QString name = executablePath.mid(slash + 1);
  const qsizetype dot = name.indexOf(u'.');
  if (dot >= 0) name.truncate(dot);
  if (name.isEmpty()) return name;
  // The first character may be a surrogate pair; it is kept whole either way.
  const qsizetype firstLength = name.at(0).isHighSurrogate() && name.size() > 1 ? 2 : 1;
  return name.left(firstLength) + name.mid(firstLength).toLower();
}

QString CurrentApplicationTitle() {
  return ApplicationTitle(QCoreApplication::applicationFilePath());
}

}  // namespace cardsync::shell
