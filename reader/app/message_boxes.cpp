#include "message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "platform/system.h"

namespace player {

namespace {

QMessageBox::Icon IconOf(UINT type) {
    switch (type & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int Show(const platform::MessageBoxRequest& r) {
    QMessageBox box(IconOf(r.type), QString::fromStdString(r.caption), QString::fromStdString(r.text),
                    QMessageBox::NoButton, QApplication::activeWindow());
    struct Choice {
        QMessageBox::StandardButton button;
        int id;
    };
    std::vector<Choice> choices;
    switch (r.type & 0x0F) {
    case MB_OKCANCEL:
        choices = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    case MB_YESNO:
        choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
        break;
    case MB_YESNOCANCEL:
        choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    case MB_RETRYCANCEL:
        choices = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    case MB_ABORTRETRYIGNORE:
        choices = {
            {QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
        break;
    default:
        choices = {{QMessageBox::Ok, IDOK}};
    }
    const int def = platform::DefaultButton(r.type);
    for (const Choice& c : choices) {
        box.addButton(c.button);
        if (c.id == def)
            box.setDefaultButton(c.button);
    }
    const auto pressed = static_cast<QMessageBox::StandardButton>(box.exec());
    for (const Choice& c : choices)
        if (c.button == pressed)
            return c.id;
    return def;
}

} // namespace

void InstallMessageBoxes() {
    platform::SetMessageBoxHandler([](const platform::MessageBoxRequest& r) {
        QCoreApplication* app = QCoreApplication::instance();
        if (app && QThread::currentThread() == app->thread())
            return Show(r);
        if (app)
            QMetaObject::invokeMethod(
                app, [r] { Show(r); }, Qt::QueuedConnection);
        return platform::DefaultButton(r.type);
    });
}

} // namespace player
