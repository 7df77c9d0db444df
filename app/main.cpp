// Program entry: one copy per user (unless on the developer workstation), the Qt desktop
// services and hand-over wired in, the main window shown until it is closed.
// `--screenshot FILE.png` renders the freshly shown window to FILE.png and exits instead.
// For unattended runs (the benchmarks): `--open-ports` clicks "1-Open COM" once the shown
// window's event loop runs, which opens the ports saved in MemCom.set without a user;
// `--report-shown` prints "shown SECONDS" (the monotonic clock) once the window has been
// painted for the first time.
// `--unattended read|sync|set-time N [...]` runs one procedure without a display (the
// offscreen platform), printing its steps, and exits with the verdict's status (Unattended.h).
// The files the program writes go beside it when its folder is writable, else to the user's
// configuration folder (ProgramFolder.h).
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <QToolButton>

#include <chrono>
#include <optional>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/HistoryTab.h"
#include "app/LinkTestWindow.h"
#include "app/Procedures.h"
#include "app/QtDesktop.h"
#include "app/SSincrovia.h"
#include "app/SingleInstance.h"
#include "app/Unattended.h"
#include "decoder_link/ProgramFolder.h"
#include "serial/CommPortList.h"
#include "util/LeggiVerPrg.h"
#include "util/MainThread.h"
#include "util/RetrieveCPU_Id.h"

namespace {

constexpr char kScreenshotSwitch[] = "--screenshot";
constexpr int kScreenshotSettleMs = 1200;
constexpr char kOpenPortsSwitch[] = "--open-ports";
constexpr char kReportShownSwitch[] = "--report-shown";

/// The history store: beside the program, or in the user's data folder for an installed one.
std::string HistoryStorePath() { return sincrovia::DataFolder() + sincrovia::history::kStoreFileName; }

/// Prints "shown SECONDS" on the monotonic clock once the first paint of the watched window
/// has finished (the print is queued behind the paint event).
class FirstPaintReporter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !reported_) {
            reported_ = true;
            QTimer::singleShot(0, this, [] {
                const auto now = std::chrono::steady_clock::now().time_since_epoch();
                std::printf("shown %.6f\n", std::chrono::duration<double>(now).count());
                std::fflush(stdout);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool reported_ = false;
};

/// The services the window asks for at start, from the real machine.
sincrovia::TStartupServices MachineServices() {
    sincrovia::TStartupServices services;
    services.ListPorts = [] {
        std::vector<std::string> ports;
        sincrovia::ListSerialPorts(ports);
        return ports;
    };
    services.FileVersion = [] {
        return sincrovia::FileVersionOf(QCoreApplication::applicationFilePath().toStdString());
    };
    services.IsDeveloperWorkstation = [] { return sincrovia::IsDeveloperWorkstation(); };
    return services;
}

/// Shows the window without the start-up warning, lets it paint and saves it to `file`.
int SaveScreenshot(sincrovia::TSincrovia& window, const QString& file) {
    window.SetStartupWarningEnabled(false);
    window.show();
    // Long enough for the PC clock display to show its first time.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < kScreenshotSettleMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, kScreenshotSettleMs);
        window.UpdateActions();
    }
    if (!window.grab().save(file, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return 1;
    }
    return 0;
}

/// The arguments after "--unattended" when it was given, else nothing.
std::optional<std::vector<std::string>> UnattendedArguments(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], sincrovia::UnattendedSwitch) == 0)
            return std::vector<std::string>(argv + i + 1, argv + argc);
    return std::nullopt;
}

/// One unattended run: parse, the single-instance rule, then the window's procedures on the
/// offscreen platform. Returns the run's exit status.
int RunUnattended(const std::vector<std::string>& args, const sincrovia::TStartupServices& services,
                  const sincrovia::TProcedureOptions& options) {
    sincrovia::PrintingDesktop printing(std::cout);
    sincrovia::SetDesktop(&printing);
    sincrovia::UnattendedRequest request;
    const std::string error = sincrovia::ParseUnattendedArguments(args, request);
    sincrovia::UnattendedRun run(request, std::cout, printing);
    int status = sincrovia::kUnattendedFailed;
    if (!error.empty()) {
        std::cout << sincrovia::UnattendedUsage;
        status = run.Refuse(error);
    } else {
        sincrovia::SingleInstanceGuard guard;
        if (!sincrovia::PassSingleInstanceCheck(guard, services.IsDeveloperWorkstation)) {
            status = run.Refuse("the Sincrovia window is already running");
        } else {
            sincrovia::TSincrovia window(services);
            sincrovia::TSincroviaProcedures* procedures = sincrovia::AttachProcedures(
                window, run.Hook(sincrovia::AttachHistory(window, options, HistoryStorePath())));
            window.show();
            status = run.Run(window, *procedures);
        }
    }
    sincrovia::SetDesktop(nullptr);
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    sincrovia::SetMainThread();
    const auto unattended = UnattendedArguments(argc, argv);
    // An unattended run needs no display, and shows nothing even where there is one.
    if (unattended) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(sincrovia::ApplicationTitle);

    sincrovia::QtDesktop desktop;
    sincrovia::SetDesktop(&desktop);
    sincrovia::WireMainThreadToQt();
    sincrovia::SetTestViewFactory(sincrovia::MakeLinkTestWindow);
    // "MemCom.set" and "Lapix.ini": beside the program, or in the user's folder when the
    // program's folder cannot be written (an installed program).
    sincrovia::TProcedureOptions options;
    options.settingsFolder = sincrovia::SettingsFolder();
    sincrovia::SetLinkProgramFolder(options.settingsFolder);

    if (unattended) {
        const int status = RunUnattended(*unattended, MachineServices(), options);
        sincrovia::UnwireMainThreadFromQt();
        return status;
    }

    QString screenshotFile;
    const QStringList args = QCoreApplication::arguments();
    const qsizetype at = args.indexOf(kScreenshotSwitch);
    if (at >= 0 && at + 1 < args.size()) screenshotFile = args[at + 1];

    int exitCode = 0;
    const sincrovia::TStartupServices services = MachineServices();
    sincrovia::SingleInstanceGuard guard;
    if (!screenshotFile.isEmpty() || sincrovia::PassSingleInstanceCheck(guard, services.IsDeveloperWorkstation)) {
        sincrovia::TSincrovia window(services);
        sincrovia::AttachProcedures(window, sincrovia::AttachHistory(window, options, HistoryStorePath()));
        if (!screenshotFile.isEmpty()) {
            exitCode = SaveScreenshot(window, screenshotFile);
        } else {
            FirstPaintReporter reporter;
            if (args.contains(kReportShownSwitch)) window.installEventFilter(&reporter);
            window.show();
            if (args.contains(kOpenPortsSwitch)) {
                // The click a user would make: the button's rule is evaluated first, as the
                // event loop would before the user could reach it.
                QTimer::singleShot(0, &window, [&window] {
                    window.UpdateActions();
                    window.SpButComOpen->click();
                });
            }
            QApplication::exec();
        }
    }
    sincrovia::UnwireMainThreadFromQt();
    sincrovia::SetDesktop(nullptr);
    // The program itself ends with 0 in every case; only a failed screenshot says otherwise.
    return exitCode;
}
