// Construction, the command table, dispatch, device lookup and request validation, and the read-only commands.
#include "CorvexEngine.h"

#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <NetworkManagerQt/WiredDevice>

#include <utility>

namespace Corvex
{

namespace
{

    constexpr quint32 maxUsageSec = 2147483;

} // namespace

Engine::Engine(const QString &file, QObject *parent)
    : QObject(parent)
    , m_modemStats(QStringLiteral("./stats/modem.ini"), QSettings::IniFormat)
{
    fillCommandTable();
    restoreJournal();
    m_config.reset(new Config(file, parent));
    m_ipc.reset(new IPC(m_config.data(), parent));
    connect(m_ipc.data(), &IPC::connected, this, &Engine::onIPCConnected);
    connect(m_ipc.data(), &IPC::disconnected, this, &Engine::onIPCDiscconnected);
    connect(m_ipc.data(), &IPC::commandReceived, this, &Engine::onIPCCommandReceived);
    setUpRollback();

    quint32 usageSec = m_config->modem().usageSec;
    if (usageSec > maxUsageSec) {
        // The timer counts milliseconds in 32 signed bits; a larger period would never fire.
        log(Log::Warning, "Modem usageSec %u is too large; sampling every %u seconds.", usageSec, maxUsageSec);
        usageSec = maxUsageSec;
    }
    if (usageSec != 0) {
        connect(&m_modemStatsTimer, &QTimer::timeout, this, &Engine::updateModemStats);
        m_modemStatsTimer.setInterval(int(usageSec * 1000));
    }
    pruneModemStats();
    m_reloadTimer.setSingleShot(true);
    connect(&m_reloadTimer, &QTimer::timeout, this, &Engine::reload);
}

Engine::~Engine() = default;

void Engine::start() { m_ipc->connect(); }

void Engine::stop()
{
    // Only while sampling: with usageSec 0 the statistics are never touched.
    if (m_modemStatsTimer.isActive())
        updateModemStats();
    m_stopping = true;
    if (m_ipc->isConnected())
        m_ipc->disconnect();
    else
        emit stopped();
}

void Engine::fillCommandTable()
{
    m_commandTable = {
        { QStringLiteral("status/get"), &Engine::processNetworkStatusCommand },
        { QStringLiteral("info/get"), &Engine::processNetworkInfoCommand },
        { QStringLiteral("ethernet/state/get"), &Engine::processEthernetStateGetCommand },
        { QStringLiteral("ethernet/config/get"), &Engine::processEthernetConfigGetCommand },
        { QStringLiteral("ethernet/config/set"), &Engine::processEthernetConfigSetCommand },
        { QStringLiteral("wifi/state/get"), &Engine::processWifiStateGetCommand },
        { QStringLiteral("wifi/config/get"), &Engine::processWifiConfigGetCommand },
        { QStringLiteral("wifi/config/set"), &Engine::processWifiConfigSetCommand },
        { QStringLiteral("wifi/connect"), &Engine::processWifiConnectCommand },
        { QStringLiteral("wifi/disconnect"), &Engine::processWifiDisconnectCommand },
        { QStringLiteral("wifi/forget"), &Engine::processWifiForgetCommand },
        { QStringLiteral("wifi/enable"), &Engine::processWifiEnableCommand },
        { QStringLiteral("wifi/disable"), &Engine::processWifiDisableCommand },
        { QStringLiteral("wifi/radio/set"), &Engine::processWifiRadioSetCommand },
        { QStringLiteral("wifi/hotspot/get"), &Engine::processWifiHotspotGetCommand },
        { QStringLiteral("wifi/hotspot/set"), &Engine::processWifiHotspotSetCommand },
        { QStringLiteral("wifi/aps/get"), &Engine::processWifiApsGetCommand },
        { QStringLiteral("wifi/networks/get"), &Engine::processWifiNetworksGetCommand },
        { QStringLiteral("modem/state/get"), &Engine::processModemStateGetCommand },
        { QStringLiteral("modem/stats/get"), &Engine::processModemStatsGetCommand },
        { QStringLiteral("modem/config/get"), &Engine::processModemConfigGetCommand },
        { QStringLiteral("modem/config/set"), &Engine::processModemConfigSetCommand },
    };
}

void Engine::onIPCConnected(const QString &url)
{
    log(Log::Info, "IPC Connected to %s", qPrintable(url));
    reportRollbacks();
    reload();
}

void Engine::onIPCDiscconnected()
{
    log(Log::Info, "IPC Disconnected.");
    if (m_stopping)
        emit stopped();
}

// Every request ends in an outcome: its documents, or error documents; with an id also its result, after them.
void Engine::onIPCCommandReceived(const QString &command, const QJsonObject &data)
{
    const quint64 errorMark = m_ipc->errorCount();
    m_request = { command, requestId(data) };
    runCommand(command, data);
    const Request answered = std::exchange(m_request, {});
    m_ipc->publishResult(answered.command, answered.id, m_ipc->errorSince(errorMark));
}

QJsonValue Engine::requestId(const QJsonObject &data)
{
    const QJsonValue id = data.value(QLatin1String("id"));
    return id.isString() || id.isDouble() ? id : QJsonValue(QJsonValue::Undefined);
}

void Engine::runCommand(const QString &command, const QJsonObject &data)
{
    const CommandHandler handler = m_commandTable.value(command, nullptr);
    if (!handler) {
        log(Log::Error, "Unsupported command '%s'", qPrintable(command));
        m_ipc->publishError(command, QStringLiteral("Unsupported command"));
        return;
    }
    log(Log::Info, "Command Received : %s", qPrintable(command));
    const CallChain chain;
    if (guardChange(command, data))
        (this->*handler)(data);
}

void Engine::answerFailure(const std::optional<QString> &failure)
{
    if (failure && !m_request.command.isEmpty())
        m_ipc->publishError(m_request.command, *failure);
}

NetworkManager::Device::Ptr Engine::findDevice(const QString &name, NetworkManager::Device::Type type, bool quiet)
{
    const NetworkManager::Device::List devices = NetworkManager::networkInterfaces();
    for (const NetworkManager::Device::Ptr &dev : devices) {
        const bool nameMatches = dev->interfaceName() == name;
        if (type == NetworkManager::Device::UnknownType) {
            if (!name.isEmpty() && nameMatches)
                return dev;
        } else if (dev->type() == type && (name.isEmpty() || nameMatches)) {
            return dev;
        }
    }
    if (!quiet)
        log(Log::Error, "ERROR: Could not find device with name=%s and type=%s", qPrintable(name),
            qPrintable(deviceTypeToString(type)));
    return {};
}

NetworkManager::Device::Ptr Engine::requestedDevice(
    const QString &command, const QJsonObject &data, NetworkManager::Device::Type type)
{
    const QString interface = requestedInterface(data);
    const NetworkManager::Device::Ptr dev = findDevice(interface, type);
    if (!dev)
        rejectInvalidDevice(command, interface);
    return dev;
}

QString Engine::requestedInterface(const QJsonObject &data)
{
    return data.value(QStringLiteral("interface")).toString();
}

// The changing commands work on the device's specific form; a device the binding cannot give in it is refused.
NetworkManager::Device::Ptr Engine::requestedTypedDevice(
    const QString &command, const QJsonObject &data, NetworkManager::Device::Type type)
{
    const NetworkManager::Device::Ptr dev = requestedDevice(command, data, type);
    if (!dev)
        return {};
    if (type == NetworkManager::Device::Wifi && !dev.objectCast<NetworkManager::WirelessDevice>()) {
        rejectNotWifiDevice(command, requestedInterface(data));
        return {};
    }
    if (type == NetworkManager::Device::Ethernet && !dev.objectCast<NetworkManager::WiredDevice>()) {
        rejectNotEthernetDevice(command, requestedInterface(data));
        return {};
    }
    return dev;
}

// Without "interface" every managed Ethernet device answers; a named one answers whether managed or not.
NetworkManager::Device::List Engine::requestedEthernetDevices(const QString &command, const QJsonObject &data)
{
    if (!requestedInterface(data).isEmpty()) {
        const NetworkManager::Device::Ptr dev = requestedDevice(command, data, NetworkManager::Device::Ethernet);
        return dev ? NetworkManager::Device::List { dev } : NetworkManager::Device::List {};
    }
    NetworkManager::Device::List managed;
    const NetworkManager::Device::List devices = NetworkManager::networkInterfaces();
    for (const NetworkManager::Device::Ptr &dev : devices) {
        if (dev->type() == NetworkManager::Device::Ethernet && dev->managed())
            managed.append(dev);
    }
    return managed;
}

// An unmanaged device is reported as such, and its document follows all the same.
void Engine::publishUnlessUnmanaged(const QString &command, const QJsonObject &data, NetworkManager::Device::Type type,
    void (IPC::*publish)(NetworkManager::Device::Ptr))
{
    const NetworkManager::Device::Ptr dev = requestedDevice(command, data, type);
    if (!dev)
        return;
    if (!dev->managed())
        rejectUnmanagedDevice(command, requestedInterface(data));
    (m_ipc.data()->*publish)(dev);
}

void Engine::processNetworkStatusCommand(const QJsonObject &) { m_ipc->publishNetworkStatus(); }

void Engine::processNetworkInfoCommand(const QJsonObject &) { m_ipc->publishNetworkInfo(); }

void Engine::processEthernetStateGetCommand(const QJsonObject &data)
{
    const NetworkManager::Device::List devices = requestedEthernetDevices(QStringLiteral("ethernet/state/get"), data);
    for (const NetworkManager::Device::Ptr &dev : devices)
        m_ipc->publishDeviceState(dev);
}

void Engine::processEthernetConfigGetCommand(const QJsonObject &data)
{
    const NetworkManager::Device::List devices = requestedEthernetDevices(QStringLiteral("ethernet/config/get"), data);
    for (const NetworkManager::Device::Ptr &dev : devices)
        m_ipc->publishDeviceConfig(dev);
}

void Engine::processWifiStateGetCommand(const QJsonObject &data)
{
    publishUnlessUnmanaged(
        QStringLiteral("wifi/state/get"), data, NetworkManager::Device::Wifi, &IPC::publishDeviceState);
}

void Engine::processWifiConfigGetCommand(const QJsonObject &data)
{
    publishUnlessUnmanaged(
        QStringLiteral("wifi/config/get"), data, NetworkManager::Device::Wifi, &IPC::publishDeviceConfig);
}

void Engine::processModemStateGetCommand(const QJsonObject &data)
{
    publishUnlessUnmanaged(
        QStringLiteral("modem/state/get"), data, NetworkManager::Device::Modem, &IPC::publishDeviceState);
}

void Engine::processModemConfigGetCommand(const QJsonObject &data)
{
    const QString command = QStringLiteral("modem/config/get");
    const NetworkManager::Device::Ptr dev = requestedDevice(command, data, NetworkManager::Device::Modem);
    if (!dev)
        return;
    if (!dev->managed()) {
        rejectInvalidDevice(command, requestedInterface(data));
        return;
    }
    m_ipc->publishDeviceConfig(dev);
}

void Engine::processWifiHotspotGetCommand(const QJsonObject &data)
{
    const auto dev = requestedDevice(QStringLiteral("wifi/hotspot/get"), data, NetworkManager::Device::Wifi);
    if (dev)
        publishHotspotDocument(dev);
}

void Engine::processWifiApsGetCommand(const QJsonObject &data)
{
    const auto dev = requestedDevice(QStringLiteral("wifi/aps/get"), data, NetworkManager::Device::Wifi);
    if (dev)
        m_ipc->publishWifiAccessPoints(dev.objectCast<NetworkManager::WirelessDevice>());
}

void Engine::processWifiNetworksGetCommand(const QJsonObject &data)
{
    const auto dev = requestedDevice(QStringLiteral("wifi/networks/get"), data, NetworkManager::Device::Wifi);
    if (dev)
        m_ipc->publishWifiNetworks(dev.objectCast<NetworkManager::WirelessDevice>());
}

void Engine::processModemStatsGetCommand(const QJsonObject &data)
{
    if (requestedDevice(QStringLiteral("modem/stats/get"), data, NetworkManager::Device::Modem))
        publishModemStats();
}

void Engine::rejectInvalidDevice(const QString &command, const QString &interface)
{
    m_ipc->publishError(command, QStringLiteral("Invalid device specified: ") + interface);
}

void Engine::rejectUnmanagedDevice(const QString &command, const QString &interface)
{
    m_ipc->publishError(command, QStringLiteral("Unmanaged device specified: ") + interface);
}

void Engine::rejectNotWifiDevice(const QString &command, const QString &interface)
{
    m_ipc->publishError(command, QStringLiteral("Not a Wifi device: ") + interface);
}

void Engine::rejectNotEthernetDevice(const QString &command, const QString &interface)
{
    m_ipc->publishError(command, QStringLiteral("Not an Ethernet device: ") + interface);
}

void Engine::rejectUnspecifiedInterface(const QString &command)
{
    m_ipc->publishError(command, QStringLiteral("'interface' not specified"));
}

void Engine::rejectUnspecifiedSsid(const QString &command)
{
    m_ipc->publishError(command, QStringLiteral("'ssid' not specified"));
}

} // namespace Corvex
