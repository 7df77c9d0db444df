#include "app/QtDesktop.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include <atomic>

#include "util/ByteString.h"
#include "util/MainThread.h"

namespace sincrovia {

namespace {

QMessageBox::Icon ToQt(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Error: return QMessageBox::Critical;
    case MsgIcon::Warning: return QMessageBox::Warning;
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ToQt(MsgButtons buttons) {
    switch (buttons) {
    case MsgButtons::Ok: return QMessageBox::Ok;
    case MsgButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case MsgButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

QMessageBox::StandardButton ToQt(MsgAnswer answer) {
    switch (answer) {
    case MsgAnswer::Ok: return QMessageBox::Ok;
    case MsgAnswer::Cancel: return QMessageBox::Cancel;
    case MsgAnswer::Yes: return QMessageBox::Yes;
    case MsgAnswer::No: return QMessageBox::No;
    }
    return QMessageBox::Ok;
}

/// The answer of a closed box; Escape or the close button give the box's escape answer.
MsgAnswer FromQt(int clicked, MsgButtons buttons) {
    switch (clicked) {
    case QMessageBox::Ok: return MsgAnswer::Ok;
    case QMessageBox::Cancel: return MsgAnswer::Cancel;
    case QMessageBox::Yes: return MsgAnswer::Yes;
    case QMessageBox::No: return MsgAnswer::No;
    default: break;
    }
    switch (buttons) {
    case MsgButtons::Ok: return MsgAnswer::Ok;
    case MsgButtons::YesNo: return MsgAnswer::No;
    case MsgButtons::OkCancel:
    case MsgButtons::YesNoCancel: break;
    }
    return MsgAnswer::Cancel;
}

MsgAnswer ShowBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                  MsgAnswer defaultAnswer) {
    QMessageBox box(ToQt(icon), DisplayText(caption), DisplayText(text), ToQt(buttons), QApplication::activeWindow());
    box.setDefaultButton(ToQt(defaultAnswer));
    // While the box is open its own event loop runs, which also serves the hand-over.
    return FromQt(box.exec(), buttons);
}

std::atomic<bool> g_servePending{false};

// The wake-up is a bare event for an object of ours, not a queued functor: the event is
// created here and deleted inside Qt, and the receiver never reads it. A functor would be
// created on a worker thread and destroyed in our code on the main thread after passing
// through Qt's uninstrumented queue, which ThreadSanitizer reports as a race.
const QEvent::Type kServeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Serves the hand-over when its event arrives. Lives on the main thread, without a parent,
// from WireMainThreadToQt to UnwireMainThreadFromQt.
class MainThreadWaker final : public QObject {
protected:
    void customEvent(QEvent* /*event*/) override {
        g_servePending = false;
        ServeMainThreadCalls();
    }
};

MainThreadWaker* g_waker = nullptr;

}  // namespace

QString DisplayText(const std::string& bytes) {
    QString decoded = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    static const std::string kReplacementUtf8 = "\xEF\xBF\xBD";
    if (decoded.contains(QChar::ReplacementCharacter) && bytes.find(kReplacementUtf8) == std::string::npos)
        decoded = QString::fromStdString(Cp1252ToUtf8(bytes));
    QString out;
    out.reserve(decoded.size());
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        const QChar c = decoded[i];
        if (c == '\r' || c == '\n') {
            const QChar partner = (c == '\r') ? QChar('\n') : QChar('\r');
            if (i + 1 < decoded.size() && decoded[i + 1] == partner) ++i;
            out += '\n';
        } else {
            out += c;
        }
    }
    return out;
}

MsgAnswer QtDesktop::MessageBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                                MsgAnswer defaultAnswer) {
    if (IsMainThread()) return ShowBox(caption, text, icon, buttons, defaultAnswer);
    MsgAnswer answer = defaultAnswer;
    if (!RunOnMainThread([&] { answer = ShowBox(caption, text, icon, buttons, defaultAnswer); })) return defaultAnswer;
    return answer;
}

void QtDesktop::Beep() {
    if (IsMainThread()) {
        QApplication::beep();
        return;
    }
    PostToMainThread([] { QApplication::beep(); });
}

void QtDesktop::PlaySystemSound(const std::string& /*alias*/) { Beep(); }

void WireMainThreadToQt() {
    if (g_waker) return;
    g_waker = new MainThreadWaker;
    MainThreadWaker* waker = g_waker;
    SetMainThreadWakeup([waker] {
        // One queued serve is enough for any number of calls queued before it runs.
        if (g_servePending.exchange(true)) return;
        if (!QCoreApplication::instance()) {  // no loop to wake: let a later call try again
            g_servePending = false;
            return;
        }
        QCoreApplication::postEvent(waker, new QEvent(kServeEvent));
    });
}

void UnwireMainThreadFromQt() {
    SetMainThreadWakeup(nullptr);
    delete g_waker;  // drops a serve still queued for it
    g_waker = nullptr;
    g_servePending = false;
}

}  // namespace sincrovia
