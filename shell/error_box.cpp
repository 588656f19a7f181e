// The error box and the application's exception backstop. The box has no parent: like
// the original's box owned by the hidden application window, it disables every window
// of the program while it is open.
#include "shell/error_box.h"

#include <QMessageBox>

#include "shell/app_title.h"

namespace cardsync::shell {

namespace {
// Shown for an exception that carries no text of its own.
constexpr char kUnknownError[] = "未知错误";
}  // namespace

std::string MessageWithFullStop(std::string message) {
  // Byte order on UTF-8: every byte of a multi-byte character is >= 0x80, so Chinese text
  // gets its full stop just as it did in GB2312.
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') message += '.';
  return message;
}

void ShowErrorBox(const std::string& message) {
  QMessageBox box(QMessageBox::Critical, CurrentApplicationTitle(),
                  QString::fromStdString(MessageWithFullStop(message)), QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

std::string ExceptionMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return kUnknownError;
  }
}

void HandleException(std::exception_ptr error) { ShowErrorBox(ExceptionMessage(error)); }

GuardedApplication::GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

}  // namespace cardsync::shell
