// Modem data-usage sampling and the monthly store.
#include "CorvexEngine.h"

#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <ModemManagerQt/Manager>
#include <ModemManagerQt/ModemDevice>

#include <QDate>
#include <QFile>
#include <QLockFile>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Corvex
{

namespace
{

    const QString monthFormat = QStringLiteral("yyyy-MM");
    constexpr int snapshotLockMs = 1000;
    const QString rxKey = QStringLiteral("rxbytes");
    const QString txKey = QStringLiteral("txbytes");
    constexpr double bytesPerMegabyte = 1000000.0;
    constexpr int keptMonths = 6;

    // systemd's runtime directory of the service (the first, should the unit name several) keeps the snapshot from a
    // restart of the service to the next reboot, away from the /tmp every user shares; started by hand, /tmp.
    const QString &snapshotPath()
    {
        static const QString path = []() -> QString {
            const QString runtime = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
            return (runtime.isEmpty() ? QStringLiteral("/tmp") : runtime) + QStringLiteral("/modem-snapshot.ini");
        }();
        return path;
    }

    // Written whole beside the snapshot, then renamed over it: a rename replaces a planted link instead of writing
    // through it, and fails on another user's file in a shared /tmp.
    QString writeSnapshot(const Engine::ModemStats &counters)
    {
        QTemporaryFile file(snapshotPath() + QStringLiteral(".XXXXXX"));
        const QByteArray text = QStringLiteral("[General]\ntimestamp=%1\nduration=%2\nrxbytes=%3\ntxbytes=%4\n")
                                    .arg(quint32(QDateTime::currentSecsSinceEpoch()))
                                    .arg(counters.duartion)
                                    .arg(counters.rxBytes)
                                    .arg(counters.txBytes)
                                    .toLatin1();
        if (!file.open() || file.write(text) != text.size() || !file.flush() || fsync(file.handle()) != 0)
            return QStringLiteral("cannot write ") + snapshotPath();
        if (rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(snapshotPath()).constData()) != 0
            || !syncDirectoryOf(snapshotPath()))
            return QStringLiteral("cannot replace %1: %2").arg(snapshotPath(), QString::fromLocal8Bit(strerror(errno)));
        file.setAutoRemove(false);
        return {};
    }

    QString currentMonth() { return QDateTime::currentDateTime().toString(monthFormat); }

    quint64 growth(quint64 counter, quint64 previous) { return counter < previous ? counter : counter - previous; }

    QString counterPath(const QString &interface, const char *counter)
    {
        return QStringLiteral("/sys/class/net/%1/statistics/%2").arg(interface, QLatin1String(counter));
    }

    // Only the connected bearer has the network interface that carries the traffic.
    QString connectedInterface(const ModemManager::Bearer::List &bearers)
    {
        for (const ModemManager::Bearer::Ptr &bearer : bearers) {
            if (bearer->isConnected() && !bearer->interface().isEmpty())
                return bearer->interface();
        }
        return {};
    }

    NetworkManager::Device::Ptr connectedModem()
    {
        const NetworkManager::Device::List devices = NetworkManager::networkInterfaces();
        for (const NetworkManager::Device::Ptr &dev : devices) {
            if (dev->isValid() && dev->interfaceName() != QLatin1String("lo")
                && dev->type() == NetworkManager::Device::Modem && mapDeviceState(dev->state()) == Connected)
                return dev;
        }
        return {};
    }

    ModemUsage storedUsage(const QSettings &store, const QString &month)
    {
        return { store.value(month + QLatin1Char('/') + rxKey, 0).toULongLong(),
            store.value(month + QLatin1Char('/') + txKey, 0).toULongLong() };
    }

} // namespace

std::optional<ModemUsage> addModemUsage(
    const Engine::ModemStats &snapshot, const std::optional<Engine::ModemStats> &counters, const ModemUsage &month)
{
    if (!counters)
        return std::nullopt;
    return ModemUsage { month.rxBytes + growth(counters->rxBytes, snapshot.rxBytes),
        month.txBytes + growth(counters->txBytes, snapshot.txBytes) };
}

QStringList expiredModemMonths(const QStringList &months, const QDateTime &now)
{
    const QDateTime oldestKept = now.addMonths(-keptMonths);
    QStringList expired;
    for (const QString &month : months) {
        // A group that is not a month (a hand edit) is left alone: nothing here can tell how old it is.
        const QDate date = QDate::fromString(month, monthFormat);
        if (date.isValid() && date.startOfDay() < oldestKept)
            expired.append(month);
    }
    return expired;
}

void Engine::pruneModemStats()
{
    const QStringList expired = expiredModemMonths(m_modemStats.childGroups(), QDateTime::currentDateTime());
    for (const QString &month : expired)
        m_modemStats.remove(month);
}

void Engine::startMonitorModemStats()
{
    if (m_config->modem().usageSec == 0 || m_modemStatsTimer.isActive())
        return;
    log(Log::Info, "[Modem] Started monitoring Data usage");
    m_modemStatsTimer.start();
    publishModemStats();
}

void Engine::stopMonitorModemStats()
{
    if (!m_modemStatsTimer.isActive())
        return;
    log(Log::Info, "[Modem] Stopped monitoring Data usage");
    m_modemStatsTimer.stop();
}

void Engine::updateModemStats()
{
    const NetworkManager::Device::Ptr modem = connectedModem();
    if (!modem)
        return;
    QString error;
    const bool counted = sampleModemStats(modem, &error);
    // A lasting fault would otherwise repeat its warning every period.
    if (!error.isEmpty() && !m_modemSampleFailing)
        log(Log::Warning, "[Modem] Data usage %s: %s", counted ? "counted" : "not sampled", qPrintable(error));
    m_modemSampleFailing = !error.isEmpty();
    if (counted)
        publishModemStats();
}

// One sample into the store and the snapshot: whether the store took it, and the error text when it could not be
// taken or kept.
bool Engine::sampleModemStats(const NetworkManager::Device::Ptr &dev, QString *error)
{
    // Another run of the service (a debugging one by hand) may be sampling the same counters.
    QLockFile lock(snapshotPath() + QStringLiteral(".lock"));
    if (!lock.tryLock(snapshotLockMs) && lock.error() == QLockFile::LockFailedError) {
        *error = QStringLiteral("%1.lock is held by another process").arg(snapshotPath());
        return false;
    }
    const std::optional<ModemStats> counters = getModemStats(dev, error);
    // The first sample of a run continues from the snapshot of the last; the later ones from the counters kept here,
    // so a snapshot that cannot be written never counts the same traffic twice.
    if (counters && !m_modemCounters)
        m_modemCounters = readModemSnapshot(error);
    if (!counters || !m_modemCounters)
        return false;
    const QString month = currentMonth();
    const ModemUsage stored = storedUsage(m_modemStats, month);
    const ModemUsage total = *addModemUsage(*m_modemCounters, counters, stored);

    // The snapshot reaches the disk before the store: a stop between the two loses this sample's growth rather than
    // counting it twice at the next start.
    const QString snapshotError = writeSnapshot(*counters);
    storeModemUsage(month, total);
    m_modemStats.sync();
    if (m_modemStats.status() != QSettings::NoError || !syncDirectoryOf(m_modemStats.fileName())) {
        storeModemUsage(month, stored); // or the next sample would add this growth again to what it reads back
        *error = QStringLiteral("cannot write ") + m_modemStats.fileName();
        return false;
    }
    m_modemCounters = counters;
    *error = snapshotError;
    return true;
}

void Engine::storeModemUsage(const QString &month, const ModemUsage &usage)
{
    m_modemStats.setValue(month + QLatin1Char('/') + rxKey, usage.rxBytes);
    m_modemStats.setValue(month + QLatin1Char('/') + txKey, usage.txBytes);
}

std::optional<Engine::ModemStats> Engine::getModemStats(const NetworkManager::Device::Ptr &dev, QString *error)
{
    const ModemManager::ModemDevice::Ptr modemDevice = ModemManager::findModemDevice(dev->udi());
    const ModemManager::Modem::Ptr modem = modemDevice ? modemDevice->modemInterface() : nullptr;
    const QString interface = modem ? connectedInterface(modem->listBearers()) : QString();
    if (interface.isEmpty()) {
        // Counting zeros would book the whole snapshot again as new traffic: skip the sample instead.
        *error = QStringLiteral("no connected bearer on ") + dev->interfaceName();
        return std::nullopt;
    }
    const std::optional<quint64> rxBytes = readIntegerFromFile(counterPath(interface, "rx_bytes"));
    const std::optional<quint64> txBytes = readIntegerFromFile(counterPath(interface, "tx_bytes"));
    if (!rxBytes || !txBytes) {
        *error = QStringLiteral("cannot read the counters of ") + interface;
        return std::nullopt;
    }
    ModemStats stats;
    stats.rxBytes = *rxBytes;
    stats.txBytes = *txBytes;
    return stats;
}

// The counters of the last sample, all zero when there is none. A shared /tmp is open to every user: a link or
// another user's file there is neither believed nor replaced, and the error text says so. Read without QSettings,
// whose lock file another user could hold for ever.
std::optional<Engine::ModemStats> Engine::readModemSnapshot(QString *error)
{
    const int fd = open(QFile::encodeName(snapshotPath()).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return ModemStats();
    struct stat info = {};
    const bool own = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
    QFile file;
    if (!own || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            close(fd);
        *error = snapshotPath() + QStringLiteral(" is not this service's own");
        return std::nullopt;
    }
    ModemStats stats;
    for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
        const QByteArray key = line.left(line.indexOf('=')).trimmed();
        const quint64 value = line.mid(line.indexOf('=') + 1).trimmed().toULongLong();
        if (key == rxKey.toLatin1())
            stats.rxBytes = value;
        else if (key == txKey.toLatin1())
            stats.txBytes = value;
    }
    return stats;
}

std::optional<quint64> Engine::readIntegerFromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const quint64 value = file.readLine().trimmed().toULongLong(&ok, 10);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

void Engine::publishModemStats()
{
    QMap<QString, QMap<QString, double>> stats;
    const QStringList months = m_modemStats.childGroups();
    for (const QString &month : months) {
        const ModemUsage usage = storedUsage(m_modemStats, month);
        stats[month][rxKey] = double(usage.rxBytes) / bytesPerMegabyte;
        stats[month][txKey] = double(usage.txBytes) / bytesPerMegabyte;
    }
    const QString month = currentMonth();
    const QMap<QString, double> current = stats.value(month);
    log(Log::Info, "[Modem] Publishing Data usage statistics (%s | U:%.1fM | D:%.1fM)", qPrintable(month),
        current.value(txKey), current.value(rxKey));
    m_ipc->publishModemStats(stats);
}

} // namespace Corvex
