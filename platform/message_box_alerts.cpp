#include "platform/message_box_alerts.h"

#include <QMessageBox>

namespace platform {

void MessageBoxAlerts::Show(const std::string& caption, const std::string& text, AlertIcon icon)
{
    QMessageBox box(icon == AlertIcon::Error ? QMessageBox::Critical : QMessageBox::Warning,
                    QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

} // namespace platform
