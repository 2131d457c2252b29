// Modem data-usage sampling and the monthly store.
#include "CorvexEngine.h"

#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <ModemManagerQt/Manager>
#include <ModemManagerQt/ModemDevice>

#include <QDate>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace Corvex
{

namespace
{

    const QString monthFormat = QStringLiteral("yyyy-MM");
    const QString snapshotPath = QStringLiteral("/tmp/modem-snapshot.ini");
    const QString rxKey = QStringLiteral("rxbytes");
    const QString txKey = QStringLiteral("txbytes");
    constexpr double bytesPerMegabyte = 1000000.0;
    constexpr int keptMonths = 6;

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
    const QString error = sampleModemStats(modem);
    if (!error.isEmpty()) {
        // A lasting fault would otherwise repeat its warning every period.
        if (!m_modemSampleFailing)
            log(Log::Warning, "[Modem] Data usage not sampled: %s", qPrintable(error));
        m_modemSampleFailing = true;
        return;
    }
    m_modemSampleFailing = false;
    publishModemStats();
}

// One sample into the store and the snapshot; the error text when it could not be taken or kept.
QString Engine::sampleModemStats(const NetworkManager::Device::Ptr &dev)
{
    QString error;
    const std::optional<ModemStats> counters = getModemStats(dev, &error);
    const QString month = currentMonth();
    const std::optional<ModemUsage> total
        = addModemUsage(readModemSnapshot(), counters, storedUsage(m_modemStats, month));
    if (!total)
        return error;

    // The store reaches the disk before the snapshot: a stop between the two counts the growth again at the
    // next sample rather than losing it.
    m_modemStats.setValue(month + QLatin1Char('/') + rxKey, total->rxBytes);
    m_modemStats.setValue(month + QLatin1Char('/') + txKey, total->txBytes);
    m_modemStats.sync();
    if (m_modemStats.status() != QSettings::NoError)
        return QStringLiteral("cannot write ") + m_modemStats.fileName();

    QSettings snapshot(snapshotPath, QSettings::IniFormat);
    snapshot.setValue(QStringLiteral("timestamp"), quint32(QDateTime::currentSecsSinceEpoch()));
    snapshot.setValue(QStringLiteral("duration"), counters->duartion);
    snapshot.setValue(rxKey, counters->rxBytes);
    snapshot.setValue(txKey, counters->txBytes);
    snapshot.sync();
    if (snapshot.status() != QSettings::NoError)
        return QStringLiteral("cannot write ") + snapshotPath;
    return {};
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

// The counters of the last sample, all zero when there is none. /tmp is open to every user, so a file this
// service did not write is not believed, and goes, so that writing the next one cannot follow a planted link.
Engine::ModemStats Engine::readModemSnapshot()
{
    const QFileInfo info(snapshotPath);
    if (!info.exists() && !info.isSymLink())
        return {};
    if (info.isSymLink() || info.ownerId() != geteuid()) {
        log(Log::Warning, "[Modem] Ignoring %s: not written by this service.", qPrintable(snapshotPath));
        QFile::remove(snapshotPath);
        return {};
    }
    const QSettings snapshot(snapshotPath, QSettings::IniFormat);
    ModemStats stats;
    stats.rxBytes = snapshot.value(rxKey, 0).toULongLong();
    stats.txBytes = snapshot.value(txKey, 0).toULongLong();
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
