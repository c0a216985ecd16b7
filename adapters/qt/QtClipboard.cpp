#include "adapters/qt/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace caldrovex::platform {

std::optional<std::string> QtClipboard::text() {
    if (!qGuiApp) return withoutDisplay_;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data || !data->hasText()) return std::nullopt;
    return data->text().toStdString();
}

void QtClipboard::setText(const std::string& text) {
    if (!qGuiApp) {
        withoutDisplay_ = text;
        return;
    }
    QGuiApplication::clipboard()->setText(QString::fromStdString(text), QClipboard::Clipboard);
}

}  // namespace caldrovex::platform
