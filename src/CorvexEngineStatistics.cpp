// Modem data-usage sampling and the monthly store.
#include "CorvexEngine.h"

#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <ModemManagerQt/Manager>
#include <ModemManagerQt/ModemDevice>

#include <QDate>
#include <QDateTime>
#include <QFile>

namespace Corvex
{

namespace
{

    const QString monthFormat = QStringLiteral("yyyy-MM");
    const QString snapshotPath = QStringLiteral("/tmp/modem-snapshot.ini");
    constexpr double bytesPerMegabyte = 1000000.0;
    constexpr int keptMonths = 6;

    QString currentMonth() { return QDateTime::currentDateTime().toString(monthFormat); }

    quint32 storedCounter(const QSettings &settings, const QString &key) { return settings.value(key, 0).toUInt(); }

    // Growth since the snapshot on the store's unsigned 32-bit values, so a counter that passed 2^32 still
    // counts right. A counter below the snapshot's full value started again (the interface was re-created):
    // all of it is new, rather than a wrap of almost 4 GB.
    quint32 growth(quint64 counter, quint64 previous)
    {
        return counter < previous ? quint32(counter) : quint32(counter) - quint32(previous);
    }

} // namespace

void Engine::pruneModemStats()
{
    const QDateTime oldestKept = QDateTime::currentDateTime().addMonths(-keptMonths);
    const QStringList months = m_modemStats.childGroups();
    for (const QString &month : months) {
        // A group that is not a month (a hand edit) is left alone: nothing here can tell how old it is.
        const QDate date = QDate::fromString(month, monthFormat);
        if (date.isValid() && date.startOfDay() < oldestKept)
            m_modemStats.remove(month);
    }
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
    NetworkManager::Device::Ptr modem;
    const NetworkManager::Device::List devices = NetworkManager::networkInterfaces();
    for (const NetworkManager::Device::Ptr &dev : devices) {
        if (dev->isValid() && dev->interfaceName() != QLatin1String("lo")
            && dev->type() == NetworkManager::Device::Modem && mapDeviceState(dev->state()) == Connected) {
            modem = dev;
            break;
        }
    }
    if (!modem)
        return;

    const std::optional<ModemStats> sample = getModemStats(modem);
    if (!sample)
        return;
    const ModemStats &stats = *sample;
    QSettings snapshot(snapshotPath, QSettings::IniFormat);
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    const quint32 received = growth(stats.rxBytes, snapshot.value(QStringLiteral("rxbytes"), 0).toULongLong());
    const quint32 sent = growth(stats.txBytes, snapshot.value(QStringLiteral("txbytes"), 0).toULongLong());

    const QString month = currentMonth();
    m_modemStats.setValue(month + QStringLiteral("/rxbytes"),
        quint32(received + storedCounter(m_modemStats, month + QStringLiteral("/rxbytes"))));
    m_modemStats.setValue(month + QStringLiteral("/txbytes"),
        quint32(sent + storedCounter(m_modemStats, month + QStringLiteral("/txbytes"))));

    snapshot.setValue(QStringLiteral("timestamp"), now);
    snapshot.setValue(QStringLiteral("duration"), stats.duartion);
    snapshot.setValue(QStringLiteral("rxbytes"), stats.rxBytes);
    snapshot.setValue(QStringLiteral("txbytes"), stats.txBytes);
    publishModemStats();
}

std::optional<Engine::ModemStats> Engine::getModemStats(NetworkManager::Device::Ptr dev)
{
    const ModemManager::ModemDevice::Ptr modemDevice = ModemManager::findModemDevice(dev->udi());
    const ModemManager::Modem::Ptr modem = modemDevice ? modemDevice->modemInterface() : nullptr;
    const ModemManager::Bearer::List bearers = modem ? modem->listBearers() : ModemManager::Bearer::List();
    if (bearers.isEmpty()) {
        // Counting zeros would book the whole snapshot again as new traffic: skip the sample instead.
        log(Log::Warning, "[Modem] No bearer found for %s; its data usage cannot be read.",
            qPrintable(dev->interfaceName()));
        return std::nullopt;
    }
    ModemStats stats;
    const QString interface = bearers.first()->interface();
    stats.rxBytes
        = quint64(readIntegerFromFile(QStringLiteral("/sys/class/net/%1/statistics/rx_bytes").arg(interface)));
    stats.txBytes
        = quint64(readIntegerFromFile(QStringLiteral("/sys/class/net/%1/statistics/tx_bytes").arg(interface)));
    return stats;
}

qint64 Engine::readIntegerFromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readLine().trimmed().toLongLong(nullptr, 10);
}

void Engine::publishModemStats()
{
    QMap<QString, QMap<QString, double>> stats;
    const QStringList months = m_modemStats.childGroups();
    for (const QString &month : months) {
        stats[month][QStringLiteral("rxbytes")]
            = storedCounter(m_modemStats, month + QStringLiteral("/rxbytes")) / bytesPerMegabyte;
        stats[month][QStringLiteral("txbytes")]
            = storedCounter(m_modemStats, month + QStringLiteral("/txbytes")) / bytesPerMegabyte;
    }
    const QString month = currentMonth();
    const QMap<QString, double> current = stats.value(month);
    log(Log::Info, "[Modem] Publishing Data usage statistics (%s | U:%.1fM | D:%.1fM)", qPrintable(month),
        current.value(QStringLiteral("txbytes")), current.value(QStringLiteral("rxbytes")));
    m_ipc->publishModemStats(stats);
}

} // namespace Corvex
