#include "CorvexEngine.h"
#include "Log.h"
#include "version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <systemd/sd-daemon.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace
{

// A broker that does not let go must not hold up a stop for long.
constexpr int stopTimeoutMs = 2000;

struct Args {
    Log::Level level = Log::Info;
    bool stderr = false;
    bool color = false;
    QString config;
};

// The banner: name, version and build date and time, without a line break.
void printInfo()
{
    QTextStream out(stdout);
    out << QCoreApplication::applicationName() << " v" << QCoreApplication::applicationVersion() << " (" << __DATE__
        << ", " << __TIME__ << ")";
    out.flush();
}

Args getArguments(QCoreApplication &app)
{
    Args args;
    args.config = QCoreApplication::applicationDirPath() + QStringLiteral("/corvex.conf");

    const QCommandLineOption help({ "h", "help" }, "Displays help information and exits.");
    const QCommandLineOption version({ "V", "version" }, "Displays version and exits.");
    const QCommandLineOption verbose(
        { "v", "verbose" }, "Sets verbosity level: 0=err, 1=warn, 2=info(default), 3=debug", "level");
    const QCommandLineOption toStderr({ "e", "stderr" }, "Log to stderr as well as syslog.");
    const QCommandLineOption color({ "c", "color" }, "Use VT100 color codes in log.");
    const QCommandLineOption config(
        { "f", "config" }, "Specifies configuration file (default is ./corvex.conf).", "filename");

    QCommandLineParser parser;
    parser.setApplicationDescription("An MQTT service for managing network devices and connections.");
    parser.addOptions({ help, version, verbose, toStderr, color, config });
    parser.process(app);

    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        exit(0);
    if (parser.isSet(verbose)) {
        // Text that is not a number reads as 0, so a typo quiets the log rather than failing the start.
        const int level = std::clamp(parser.value(verbose).toInt(nullptr, 10), 0, 3);
        args.level = static_cast<Log::Level>(level);
    }
    args.stderr = parser.isSet(toStderr);
    args.color = parser.isSet(color);
    if (parser.isSet(config))
        args.config = parser.value(config);
    return args;
}

int signalPipe[2] = { -1, -1 };

void onStopSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// SIGTERM and SIGINT end the service in order: a final statistics sample and a clean broker disconnect, then
// exit status 0. The handler only writes to a pipe; the event loop does the rest.
void stopOnSignals(QCoreApplication &app, Corvex::Engine &engine)
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Log::error("Cannot create the signal pipe: %s; SIGTERM ends the service at once.", strerror(errno));
        return;
    }
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, &engine, notifier]() {
        notifier->setEnabled(false);
        Log::info("Stopping on a signal.");
        QObject::connect(&engine, &Corvex::Engine::stopped, &app, &QCoreApplication::quit);
        QTimer::singleShot(stopTimeoutMs, &app, &QCoreApplication::quit);
        engine.stop();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Tells systemd that the service is up and, when it asks for a watchdog, pings it from the event loop at half
// the period it gives, so a loop that stops turning gets the service restarted. Without NOTIFY_SOCKET (started
// by hand) nothing is sent.
void notifyServiceManager(QCoreApplication &app)
{
    sd_notify(0, "READY=1");
    uint64_t watchdogUsec = 0;
    if (sd_watchdog_enabled(0, &watchdogUsec) <= 0)
        return;
    auto *watchdog = new QTimer(&app);
    QObject::connect(watchdog, &QTimer::timeout, [] { sd_notify(0, "WATCHDOG=1"); });
    watchdog->start(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(watchdogUsec) / 2));
}

// Everything of ours is torn down by now. Destroying the application object would still wait for Qt's host-lookup
// workers, and one stuck on a silent resolver would hold the stop for the resolver's whole timeout.
[[noreturn]] void leaveWithoutWaitingForLookups(int status)
{
#ifdef __SANITIZE_ADDRESS__
    __lsan_do_leak_check(); // the check exit() would have run
#endif
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(qtMessageHandler);
    QCoreApplication::setOrganizationName("VORN");
    QCoreApplication::setOrganizationDomain("vorn.example");
    QCoreApplication::setApplicationVersion(getProjectVersion());
    QCoreApplication::setApplicationName("corvex");
    printInfo();

    QCoreApplication app(argc, argv);
    const Args args = getArguments(app);

    Log::open("corvex", args.stderr, args.color);
    Log::setLevel(args.level);

    auto engine = std::make_unique<Corvex::Engine>(args.config, /* parent = */ nullptr);
    stopOnSignals(app, *engine);
    engine->start();
    notifyServiceManager(app);
    const int status = app.exec();
    engine.reset();
    leaveWithoutWaitingForLookups(status);
}
