// Reload, device monitoring, and the reactions to NetworkManager and ModemManager signals.
#include "CorvexEngine.h"

#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <ModemManagerQt/Manager>
#include <ModemManagerQt/ModemDevice>
#include <NetworkManagerQt/AccessPoint>
#include <NetworkManagerQt/Settings>
#include <NetworkManagerQt/WiredDevice>
#include <NetworkManagerQt/WirelessNetwork>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace Corvex
{

namespace
{

    constexpr int wifiScanIntervalMs = 30000;
    constexpr int addedDeviceDelayMs = 1000;

    // The devices the service publishes and follows; the others are left to themselves.
    bool isFollowed(const NetworkManager::Device::Ptr &dev)
    {
        return dev->isValid() && dev->interfaceName() != QLatin1String("lo") && dev->managed();
    }

    QByteArray typeText(const NetworkManager::Device::Ptr &dev)
    {
        return deviceTypeToString(dev->type()).toLocal8Bit();
    }

    const QString networkManagerService = QStringLiteral("org.freedesktop.NetworkManager");
    const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
    const QString propertiesChanged = QStringLiteral("PropertiesChanged");
    const QStringList ip4ConfigInterface { QStringLiteral("org.freedesktop.NetworkManager.IP4Config") };

} // namespace

void Engine::reload()
{
    log(Log::Info, "Reloading all devices and connections.");
    m_ipc->publishNetworkStatus();
    m_ipc->publishNetworkInfo();
    m_ipc->publishWifiRadio();
    monitorNetwork();

    const NetworkManager::Device::List devices = NetworkManager::networkInterfaces();
    for (const NetworkManager::Device::Ptr &dev : devices) {
        if (!isFollowed(dev))
            continue;
        log(Log::Info, "[%s] Device found: %s (active=%d, managed=%d)", typeText(dev).constData(),
            qPrintable(dev->interfaceName()), int(dev->isActive()), int(dev->managed()));
        reloadDevice(dev);
    }
    m_ipc->publishDiscovery(/* always = */ true);
}

void Engine::monitorNetwork()
{
    // Only this engine's connections are dropped: the binding's own objects listen to the same notifiers.
    NetworkManager::settingsNotifier()->disconnect(this);
    NetworkManager::Notifier *notifier = NetworkManager::notifier();
    notifier->disconnect(this);
    connect(notifier, &NetworkManager::Notifier::statusChanged, this, &Engine::onStatusChanged);
    connect(notifier, &NetworkManager::Notifier::primaryConnectionChanged, this, &Engine::onPrimaryConnectionChanged);
    // The status document carries the connectivity, which can change after the status itself.
    connect(notifier, &NetworkManager::Notifier::connectivityChanged, this, &Engine::onConnectivityChanged);
    connect(notifier, &NetworkManager::Notifier::wirelessEnabledChanged, this, [this] { m_ipc->publishWifiRadio(); });
    connect(notifier, &NetworkManager::Notifier::wirelessHardwareEnabledChanged, this,
        [this] { m_ipc->publishWifiRadio(); });
    // While NetworkManager is away, its return announces every device again just before the reload that
    // publishes them all: those announcements are not followed (onNetworkManagerDisappeared).
    if (QDBusConnection::systemBus().interface()->isServiceRegistered(networkManagerService))
        connect(notifier, &NetworkManager::Notifier::deviceAdded, this, &Engine::onDeviceAdded);
    connect(notifier, &NetworkManager::Notifier::deviceRemoved, this, &Engine::onDeviceRemoved);
    // A restarted NetworkManager comes back with devices of its own: follow and publish them afresh.
    connect(notifier, &NetworkManager::Notifier::serviceDisappeared, this, &Engine::onNetworkManagerDisappeared);
    connect(notifier, &NetworkManager::Notifier::serviceAppeared, this, &Engine::onNetworkManagerAppeared);
    // A restarted ModemManager makes its modems anew: follow the new objects of the modem devices.
    ModemManager::notifier()->disconnect(this);
    connect(ModemManager::notifier(), &ModemManager::Notifier::modemAdded, this, &Engine::onModemAdded);

    // NetworkManager also changes a configuration object in place (a renewed lease, other name servers),
    // which the binding does not report as a changed IPv4 configuration of the device.
    QDBusConnection bus = QDBusConnection::systemBus();
    bus.disconnect(networkManagerService, QString(), propertiesInterface, propertiesChanged, ip4ConfigInterface,
        QString(), this, SLOT(onIpConfigPropertiesChanged(QDBusMessage)));
    bus.connect(networkManagerService, QString(), propertiesInterface, propertiesChanged, ip4ConfigInterface, QString(),
        this, SLOT(onIpConfigPropertiesChanged(QDBusMessage)));
}

void Engine::reloadDevice(NetworkManager::Device::Ptr dev)
{
    monitorDevice(dev);
    updateConnection(dev, *m_config, /* wifiOverride = */ nullptr);

    switch (dev->type()) {
    case NetworkManager::Device::Ethernet: {
        const auto wired = dev.objectCast<NetworkManager::WiredDevice>();
        m_ipc->publishEthernetState(wired);
        m_ipc->publishEthernetConfig(wired);
        break;
    }
    case NetworkManager::Device::Wifi: {
        const auto wifi = dev.objectCast<NetworkManager::WirelessDevice>();
        m_ipc->publishWifiState(wifi);
        m_ipc->publishWifiConfig(wifi);
        m_ipc->publishWifiAccessPoints(wifi);
        m_ipc->publishWifiNetworks(wifi);
        break;
    }
    case NetworkManager::Device::Modem: {
        const auto modem = dev.objectCast<NetworkManager::ModemDevice>();
        m_ipc->publishModemState(modem);
        m_ipc->publishModemConfig(modem);
        m_ipc->publishDeviceModemSignal(modem);
        if (mapDeviceState(dev->state()) == Connected)
            startMonitorModemStats();
        else
            stopMonitorModemStats();
        break;
    }
    default:
        log(Log::Warning, "Skipping device: %s", qPrintable(dev->interfaceName()));
        break;
    }
}

void Engine::monitorDevice(NetworkManager::Device::Ptr dev)
{
    log(Log::Info, "[%s] Started monitoring device: %s", typeText(dev).constData(), qPrintable(dev->interfaceName()));
    // Only this engine's connections are dropped: the binding's wireless networks listen to the same device.
    dev->disconnect(this);
    connect(dev.data(), &NetworkManager::Device::stateChanged, this, &Engine::onDeviceStateChanged);
    connect(dev.data(), &NetworkManager::Device::managedChanged, this, &Engine::onDeviceManagedChanged);
    connect(dev.data(), &NetworkManager::Device::interfaceNameChanged, this, &Engine::onInterfaceNameChanged);
    // Weak references: a device NetworkManager has dropped must not be kept alive by its own signal connection.
    const QWeakPointer<NetworkManager::Device> weak = dev;
    connect(dev.data(), &NetworkManager::Device::ipV4ConfigChanged, this, [this, weak] {
        if (const NetworkManager::Device::Ptr device = weak.toStrongRef())
            onIpV4ConfigChanged(device);
    });

    switch (dev->type()) {
    case NetworkManager::Device::Ethernet:
        monitorWiredDevice(dev);
        break;
    case NetworkManager::Device::Wifi:
        monitorWirelessDevice(dev.objectCast<NetworkManager::WirelessDevice>());
        break;
    case NetworkManager::Device::Modem:
        monitorModemDevice(dev.objectCast<NetworkManager::ModemDevice>());
        break;
    default:
        break;
    }
}

void Engine::monitorWiredDevice(NetworkManager::Device::Ptr dev)
{
    const auto wired = dev.objectCast<NetworkManager::WiredDevice>();
    const QWeakPointer<NetworkManager::Device> weak = dev;
    connect(wired.data(), &NetworkManager::WiredDevice::carrierChanged, this, [this, weak](bool plugged) {
        if (const NetworkManager::Device::Ptr device = weak.toStrongRef())
            onCarrierChanged(device, plugged);
    });
}

void Engine::monitorWirelessDevice(NetworkManager::WirelessDevice::Ptr wifi)
{
    const QWeakPointer<NetworkManager::WirelessDevice> weak = wifi;
    connect(wifi.data(), &NetworkManager::WirelessDevice::accessPointAppeared, this, [this, weak](const QString &path) {
        if (const auto device = weak.toStrongRef())
            onAccessPointAppeared(device, path);
    });
    connect(wifi.data(), &NetworkManager::WirelessDevice::networkAppeared, this, [this, weak](const QString &ssid) {
        if (const auto device = weak.toStrongRef())
            onNetworkAppeared(device, ssid);
    });
    connect(wifi.data(), &NetworkManager::Device::availableConnectionChanged, this, [this, weak] {
        if (const auto device = weak.toStrongRef())
            m_ipc->publishWifiNetworks(device);
    });

    // Only the Wifi device monitored last is scanned.
    m_wifiTimer.reset(new QTimer(this));
    connect(m_wifiTimer.data(), &QTimer::timeout, this, [this, weak] {
        if (const auto device = weak.toStrongRef())
            onWifiScanTimer(device);
    });
    m_wifiTimer->start(wifiScanIntervalMs);
}

void Engine::monitorModemDevice(NetworkManager::ModemDevice::Ptr modem)
{
    const ModemManager::ModemDevice::Ptr modemDevice = ModemManager::findModemDevice(modem->udi());
    const ModemManager::Modem::Ptr modemInterface = modemDevice ? modemDevice->modemInterface() : nullptr;
    if (!modemInterface) {
        log(Log::Warning, "[Modem] ModemManager does not know the modem %s; its signal is not followed.",
            qPrintable(modem->udi()));
        return;
    }
    modemInterface->disconnect(this);
    const QWeakPointer<NetworkManager::ModemDevice> weak = modem;
    connect(modemInterface.data(), &ModemManager::Modem::signalQualityChanged, this,
        [this, weak](const ModemManager::SignalQualityPair &quality) {
            if (const auto device = weak.toStrongRef())
                onModemSignalChanged(device, quality.signal);
        });
    connect(modemInterface.data(), &ModemManager::Modem::accessTechnologiesChanged, this,
        [this, weak](QFlags<MMModemAccessTechnology> technologies) {
            if (const auto device = weak.toStrongRef())
                onAccessTechnologiesChanged(device, technologies);
        });
    onAccessTechnologiesChanged(modem, modemInterface->accessTechnologies());
    onModemSignalChanged(modem, modemInterface->signalQuality().signal);
}

bool Engine::isCarrierDetected(NetworkManager::Device::Ptr dev)
{
    const auto wired = dev.objectCast<NetworkManager::WiredDevice>();
    if (wired && wired->carrier()) {
        log(Log::Info, "[%s] Carrier detected (cable is plugged).", typeText(dev).constData());
        return true;
    }
    log(Log::Info, "[%s] Carrier not detected (cable unplugged). Will not attempt to connect.",
        typeText(dev).constData());
    return false;
}

void Engine::onNetworkManagerDisappeared()
{
    log(Log::Warning, "[Network] NetworkManager has left the bus.");
    // On its return it announces every device again before saying it is back; those are no new devices,
    // and the reload that follows its return publishes each of them once.
    disconnect(NetworkManager::notifier(), &NetworkManager::Notifier::deviceAdded, this, &Engine::onDeviceAdded);
}

void Engine::onNetworkManagerAppeared()
{
    log(Log::Info, "[Network] NetworkManager is back on the bus.");
    reload();
}

void Engine::onModemAdded(const QString &udi)
{
    const NetworkManager::Device::List devices = NetworkManager::networkInterfaces();
    for (const NetworkManager::Device::Ptr &dev : devices) {
        if (dev->type() == NetworkManager::Device::Modem && dev->udi() == udi && isFollowed(dev)) {
            log(Log::Info, "[Modem] ModemManager reports the modem of %s.", qPrintable(dev->interfaceName()));
            monitorModemDevice(dev.objectCast<NetworkManager::ModemDevice>());
        }
    }
}

void Engine::onStatusChanged(NetworkManager::Status status)
{
    log(Log::Info, "[Network] Status changed: %d (%s)", int(status), qPrintable(statusToString(status)));
    m_ipc->publishNetworkStatus();
}

void Engine::onConnectivityChanged(NetworkManager::Connectivity connectivity)
{
    log(Log::Info, "[Network] Connectivity changed: %d (%s)", int(connectivity),
        qPrintable(connectivityToString(connectivity)));
    m_ipc->publishNetworkStatus();
}

void Engine::onPrimaryConnectionChanged(const QString &uni)
{
    // "/" names no connection: NetworkManager has none left to route through.
    if (uni == QLatin1String("/")) {
        log(Log::Info, "[Network] No primary connection.");
        m_ipc->publishNetworkStatus();
        return;
    }
    const NetworkManager::ActiveConnection::Ptr connection = getConnectionFromUni(uni);
    if (!connection)
        return;
    const NetworkManager::Connection::Ptr profile = connection->connection();
    log(Log::Info, "[Network] Primary connection changed: %s",
        qPrintable(profile ? profile->name() : connection->id()));
    m_ipc->publishNetworkStatus();
}

void Engine::onDeviceAdded(const QString &uni)
{
    const NetworkManager::Device::Ptr dev = getDeviceFromUni(uni);
    if (!dev || !dev->isValid())
        return;
    log(Log::Info, "Device added: %s (dev=%s, active=%d, managed=%d)", typeText(dev).constData(),
        qPrintable(dev->interfaceName()), int(dev->isActive()), int(dev->managed()));
    const QWeakPointer<NetworkManager::Device> weak = dev;
    QTimer::singleShot(addedDeviceDelayMs, this, [this, weak] {
        if (const NetworkManager::Device::Ptr device = weak.toStrongRef()) {
            reloadDevice(device);
            m_ipc->publishDiscovery(/* always = */ false);
        }
    });
}

void Engine::onDeviceRemoved(const QString &uni)
{
    log(Log::Info, "Device removed: %s", qPrintable(uni));
    // A NetworkManager that leaves the bus drops every device for a moment: the device's own set stays.
    if (QDBusConnection::systemBus().interface()->isServiceRegistered(networkManagerService))
        m_ipc->publishDiscovery(/* always = */ false);
}

void Engine::onDeviceStateChanged(NetworkManager::Device::State newstate, NetworkManager::Device::State oldstate,
    NetworkManager::Device::StateChangeReason reason)
{
    const DeviceState newState = mapDeviceState(newstate);
    if (newState == mapDeviceState(oldstate))
        return;
    const NetworkManager::Device::Ptr dev = getDeviceFromSender(sender());
    if (!dev)
        return;
    log(Log::Info, "[%s] State changed: %s (dev=%s, reason=%s).", typeText(dev).constData(),
        qPrintable(deviceStateToString(newState)), qPrintable(dev->interfaceName()),
        qPrintable(stateChangeReasonToString(reason)));
    m_ipc->publishDeviceState(dev);
    if (dev->type() != NetworkManager::Device::Modem)
        return;
    if (newState == Connected)
        startMonitorModemStats();
    else
        stopMonitorModemStats();
}

void Engine::onDeviceManagedChanged()
{
    if (const NetworkManager::Device::Ptr dev = getDeviceFromSender(sender())) {
        log(Log::Info, "[%s] Device is %s managed (name=%s).", typeText(dev).constData(),
            dev->managed() ? "now" : "no longer", qPrintable(dev->interfaceName()));
    }
}

void Engine::onInterfaceNameChanged()
{
    if (const NetworkManager::Device::Ptr dev = getDeviceFromSender(sender())) {
        log(Log::Info, "[%s] Device interface name changed: %s.", typeText(dev).constData(),
            qPrintable(dev->interfaceName()));
    }
}

void Engine::onIpV4ConfigChanged(NetworkManager::Device::Ptr dev)
{
    log(Log::Info, "[%s] Device IPv4 Config changed : %s", typeText(dev).constData(), qPrintable(dev->interfaceName()));
    m_ipc->publishDeviceConfig(dev);
    m_ipc->publishDeviceStateIfIpChanged(dev);
    const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
    if (active && active->state() == NetworkManager::ActiveConnection::Activated && isWifiHotspot(active))
        m_ipc->publishWifiHotspot(dev.objectCast<NetworkManager::WirelessDevice>());
}

void Engine::onIpConfigPropertiesChanged(const QDBusMessage &message)
{
    m_ipc->publishNetworkStatusIfIpChanged();
    const NetworkManager::Device::List devices = NetworkManager::networkInterfaces();
    for (const NetworkManager::Device::Ptr &dev : devices) {
        if (isFollowed(dev) && ip4ConfigPath(dev) == message.path())
            onIpV4ConfigChanged(dev);
    }
}

void Engine::onCarrierChanged(NetworkManager::Device::Ptr dev, bool plugged)
{
    log(Log::Info, "[%s] Carrier changed for device %s : %s", typeText(dev).constData(),
        qPrintable(dev->interfaceName()), plugged ? "plugged" : "unplugged");
    if (plugged)
        updateConnection(dev, *m_config, /* wifiOverride = */ nullptr);
}

void Engine::onAccessPointAppeared(NetworkManager::WirelessDevice::Ptr wifi, const QString &path)
{
    const NetworkManager::AccessPoint::Ptr ap = wifi->findAccessPoint(path);
    if (!ap) {
        log(Log::Warning, "[Wifi] AccessPoint %s vanished before it could be read (dev=%s).", qPrintable(path),
            qPrintable(wifi->interfaceName()));
        return;
    }
    log(Log::Info, "[Wifi] AccessPoint '%s' appeared (dev=%s, signal=%d%%).", qPrintable(ap->ssid()),
        qPrintable(wifi->interfaceName()), ap->signalStrength());
}

void Engine::onNetworkAppeared(NetworkManager::WirelessDevice::Ptr wifi, const QString &ssid)
{
    const NetworkManager::WirelessNetwork::Ptr network = wifi->findNetwork(ssid);
    if (!network) {
        log(Log::Warning, "[Wifi] Network '%s' vanished before it could be read (dev=%s).", qPrintable(ssid),
            qPrintable(wifi->interfaceName()));
        return;
    }
    log(Log::Info, "[Wifi] Network '%s' found (dev=%s, signal=%d%%).", qPrintable(network->ssid()),
        qPrintable(wifi->interfaceName()), network->signalStrength());
    m_ipc->publishWifiNetworks(wifi);
}

void Engine::onWifiScanTimer(NetworkManager::WirelessDevice::Ptr wifi)
{
    log(Log::Debug, "[%s] Scanning for  Wifi networks.", typeText(wifi).constData());
    QDBusPendingReply<> reply = wifi->requestScan();
    reply.waitForFinished();
    if (!reply.isValid()) {
        log(Log::Info, "[%s] Failed to scan for Wifi networks: %s", typeText(wifi).constData(),
            qPrintable(reply.error().message()));
        return;
    }
    m_ipc->publishWifiAccessPoints(wifi);
    m_ipc->publishWifiNetworks(wifi);
}

void Engine::onModemSignalChanged(NetworkManager::ModemDevice::Ptr modem, uint quality)
{
    log(Log::Info, "[Modem] Signal changed '%u' (dev=%s).", quality, qPrintable(modem->interfaceName()));
    m_ipc->publishDeviceModemSignal(modem);
}

void Engine::onAccessTechnologiesChanged(
    NetworkManager::ModemDevice::Ptr modem, QFlags<MMModemAccessTechnology> technologies)
{
    log(Log::Info, "[Modem] Access Technologies changed '%s' (dev=%s).",
        qPrintable(accessTechnologiesToString(technologies)), qPrintable(modem->interfaceName()));
    m_ipc->publishDeviceModemSignal(modem);
}

NetworkManager::Device::Ptr Engine::getDeviceFromSender(QObject *sender)
{
    const auto *device = qobject_cast<NetworkManager::Device *>(sender);
    const QString path = device ? device->uni() : QString();
    const NetworkManager::Device::Ptr dev = NetworkManager::findNetworkInterface(path);
    if (!dev)
        log(Log::Error, "getDeviceFromSender(): No device found for %s", qPrintable(path));
    return dev;
}

NetworkManager::Device::Ptr Engine::getDeviceFromUni(const QString &uni)
{
    const NetworkManager::Device::Ptr dev = NetworkManager::findNetworkInterface(uni);
    if (!dev)
        log(Log::Error, "getDeviceFromUni(): No device found for %s", qPrintable(uni));
    return dev;
}

NetworkManager::ActiveConnection::Ptr Engine::getConnectionFromUni(const QString &uni)
{
    const NetworkManager::ActiveConnection::Ptr connection = NetworkManager::findActiveConnection(uni);
    if (!connection)
        log(Log::Error, "getConnectionFromUni(): No connection found for %s", qPrintable(uni));
    return connection;
}

} // namespace Corvex
