// The Wifi hotspot: its command and request rules, its access-point profile, and the watchers publishing its outcome.
#include "CorvexEngine.h"

#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <NetworkManagerQt/Ipv4Setting>
#include <NetworkManagerQt/Ipv6Setting>
#include <NetworkManagerQt/WirelessSecuritySetting>
#include <NetworkManagerQt/WirelessSetting>

#include <QDateTime>
#include <QHostAddress>
#include <QPointer>
#include <QSet>

#include <algorithm>
#include <cctype>
#include <optional>

namespace Corvex
{

namespace
{

    const QString hotspotCommand = QStringLiteral("wifi/hotspot/set");
    constexpr int deactivationWatchMs = 10000;
    constexpr int activationWatchMs = 60000;
    constexpr int maxSsidBytes = 32;
    constexpr int minKeyBytes = 8;
    constexpr int maxKeyBytes = 63;
    constexpr int hexKeyDigits = 64;
    constexpr quint32 maxBgChannel = 14;

    // The hotspot a request asks for, once its members have passed the checks.
    struct HotspotRequest {
        QString ssid;
        bool manual = false;
        NetworkManager::IpAddress manualAddress;
        NetworkManager::WirelessSetting::FrequencyBand band = NetworkManager::WirelessSetting::Bg;
        std::optional<quint32> channel;
        bool hidden = false;
        QString key;
    };

    QString invalidMember(const char *member, const QString &value)
    {
        return QStringLiteral("Invalid '%1': %2").arg(QLatin1String(member), value);
    }

    // A netmask of 1 to 30 leading ones: the hotspot and at least one client fit in the network.
    bool isUsableNetmask(const QHostAddress &netmask)
    {
        if (netmask.protocol() != QAbstractSocket::IPv4Protocol)
            return false;
        const quint32 hostBits = ~netmask.toIPv4Address();
        return (hostBits & (hostBits + 1)) == 0 && hostBits >= 3 && hostBits <= 0x7fffffff;
    }

    // The channels NetworkManager accepts for each band; 0 lets it choose.
    bool isChannelOfBand(quint32 channel, NetworkManager::WirelessSetting::FrequencyBand band)
    {
        static const QSet<quint32> a { 7, 8, 9, 11, 12, 16, 34, 36, 38, 40, 42, 44, 46, 48, 50, 52, 56, 58, 60, 64, 100,
            104, 108, 112, 116, 120, 124, 128, 132, 136, 140, 149, 152, 153, 157, 160, 161, 165, 183, 184, 185, 187,
            188, 192, 196 };
        if (channel == 0)
            return true;
        return band == NetworkManager::WirelessSetting::A ? a.contains(channel) : channel <= maxBgChannel;
    }

    // A WPA passphrase of 8 to 63 bytes, or the pre-shared key itself as 64 hexadecimal digits.
    bool isUsableKey(const QString &key)
    {
        const QByteArray bytes = key.toUtf8();
        if (bytes.size() == hexKeyDigits)
            return std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return std::isxdigit(uchar(c)) != 0; });
        return bytes.size() >= minKeyBytes && bytes.size() <= maxKeyBytes;
    }

    // Fills `request` from the members of a start or change; an error text when one is refused.
    QString readHotspotRequest(const QJsonObject &params, HotspotRequest *request)
    {
        request->ssid = params.value(QStringLiteral("ssid")).toString();
        const QString method = params.value(QStringLiteral("method")).toString(QStringLiteral("shared"));
        if (method == QLatin1String("manual")) {
            const QString addressText = params.value(QStringLiteral("address")).toString();
            const QString netmaskText = params.value(QStringLiteral("netmask")).toString();
            const QHostAddress address(addressText);
            if (address.protocol() != QAbstractSocket::IPv4Protocol)
                return invalidMember("address", addressText);
            const QHostAddress netmask(netmaskText);
            if (!isUsableNetmask(netmask))
                return invalidMember("netmask", netmaskText);
            request->manual = true;
            request->manualAddress.setIp(address);
            request->manualAddress.setNetmask(netmask);
        } else if (method != QLatin1String("shared")) {
            return QStringLiteral("Invalid 'method', expected 'shared' or 'manual': ") + method;
        }
        // NetworkManager refuses these only after the device has left its network: check them first.
        if (request->ssid.toUtf8().size() > maxSsidBytes)
            return invalidMember("ssid", request->ssid);
        request->band = params.value(QStringLiteral("band")).toString(QStringLiteral("bg")) == QLatin1String("a")
            ? NetworkManager::WirelessSetting::A
            : NetworkManager::WirelessSetting::Bg;
        if (params.contains(QStringLiteral("channel"))) {
            const int channel = params.value(QStringLiteral("channel")).toInt(0);
            if (channel < 0 || !isChannelOfBand(quint32(channel), request->band))
                return invalidMember("channel", QString::number(channel));
            request->channel = quint32(channel);
        }
        request->hidden = params.value(QStringLiteral("hidden")).toBool(false);
        request->key = params.value(QStringLiteral("key")).toString();
        if (!request->key.isEmpty() && !isUsableKey(request->key))
            return invalidMember("key", QStringLiteral("%1 characters").arg(request->key.toUtf8().size()));
        return QString();
    }

    void writeHotspotIpv4(const NetworkManager::Ipv4Setting::Ptr &ipv4, const HotspotRequest &request)
    {
        // Neither method takes a gateway, and NetworkManager refuses name servers on a shared connection. The
        // binding sends its address data, read from NetworkManager, before the addresses set here: drop it.
        ipv4->setGateway(QString());
        ipv4->setAddressData({});
        if (request.manual) {
            ipv4->setMethod(NetworkManager::Ipv4Setting::Manual);
            ipv4->setAddresses({ request.manualAddress });
        } else {
            ipv4->setMethod(NetworkManager::Ipv4Setting::Shared);
            ipv4->setAddresses({});
            ipv4->setDns({});
        }
        ipv4->setInitialized(true);
    }

    // The profile's own settings rewritten, or those of a new profile, for the radio `interfaceName`.
    NetworkManager::ConnectionSettings::Ptr hotspotSettings(
        const NetworkManager::Connection::Ptr &profile, const HotspotRequest &request, const QString &interfaceName)
    {
        NetworkManager::ConnectionSettings::Ptr settings;
        if (profile) {
            settings = settingsCopy(profile);
        } else {
            settings.reset(new NetworkManager::ConnectionSettings(NetworkManager::ConnectionSettings::Wireless));
            settings->setUuid(NetworkManager::ConnectionSettings::createNewUuid());
            settings->setTimestamp(QDateTime::currentDateTime());
        }
        settings->setId(request.ssid);
        settings->setAutoconnect(true);
        // Bound to its radio, as a wired profile to its port: the stop on another radio never finds it.
        settings->setInterfaceName(interfaceName);
        const auto wireless
            = settings->setting(NetworkManager::Setting::Wireless).staticCast<NetworkManager::WirelessSetting>();
        wireless->setSsid(request.ssid.toUtf8());
        wireless->setMode(NetworkManager::WirelessSetting::Ap);
        wireless->setBand(request.band);
        // A channel kept from the profile may be one of the other band, which NetworkManager refuses.
        if (request.channel)
            wireless->setChannel(*request.channel);
        else if (!isChannelOfBand(wireless->channel(), request.band))
            wireless->setChannel(0);
        wireless->setHidden(request.hidden);
        wireless->setInitialized(true);
        if (!request.key.isEmpty()) {
            const auto security = settings->setting(NetworkManager::Setting::WirelessSecurity)
                                      .staticCast<NetworkManager::WirelessSecuritySetting>();
            security->setKeyMgmt(NetworkManager::WirelessSecuritySetting::WpaPsk);
            security->setPsk(request.key);
            security->setInitialized(true);
            wireless->setSecurity(QStringLiteral("802-11-wireless-security"));
        }
        writeHotspotIpv4(
            settings->setting(NetworkManager::Setting::Ipv4).staticCast<NetworkManager::Ipv4Setting>(), request);
        const auto ipv6 = settings->setting(NetworkManager::Setting::Ipv6).staticCast<NetworkManager::Ipv6Setting>();
        ipv6->setMethod(NetworkManager::Ipv6Setting::Ignored);
        ipv6->setInitialized(true);
        return settings;
    }

} // namespace

void Engine::processWifiHotspotSetCommand(const QJsonObject &params)
{
    const NetworkManager::Device::Ptr wifi = requestedTypedDevice(hotspotCommand, params, NetworkManager::Device::Wifi);
    if (!wifi)
        return;
    if (params.value(QStringLiteral("ssid")).toString().isEmpty()) {
        stopWifiHotspot(wifi);
        return;
    }
    HotspotRequest request;
    QString error = readHotspotRequest(params, &request);
    if (!error.isEmpty()) {
        m_ipc->publishError(hotspotCommand, error);
        return;
    }
    disconnectWifiDevice(wifi);
    // The hotspot profile of that name, else a client profile of that name, which becomes the hotspot.
    NetworkManager::Connection::Ptr profile
        = findConnection(request.ssid, NetworkManager::ConnectionSettings::Wireless, /* accessPoint = */ true);
    if (!profile)
        profile = findConnection(request.ssid, NetworkManager::ConnectionSettings::Wireless);
    const QString activeConnectionPath
        = startWifiHotspot(wifi, profile, hotspotSettings(profile, request, wifi->interfaceName())->toMap(), &error);
    if (activeConnectionPath.isEmpty()) {
        m_ipc->publishError(hotspotCommand, error);
        return;
    }
    removeOtherHotspots(wifi, request.ssid);
    publishWifiHotspotOnActivation(wifi, activeConnectionPath);
}

// The hotspot that runs, else the device's first; a client connection that runs stays up.
void Engine::stopWifiHotspot(NetworkManager::Device::Ptr dev)
{
    endHotspotWatch(dev);
    QString activeConnectionPath;
    const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
    NetworkManager::Connection::Ptr hotspot;
    if (isWifiHotspot(active)) {
        hotspot = active->connection();
        activeConnectionPath = active->path();
        disconnectWifiDevice(dev);
    } else {
        hotspot = findWifiHotspotConnection(dev);
    }
    if (hotspot)
        removeHotspotProfile(hotspot);
    publishWifiHotspotOnDeactivation(dev, activeConnectionPath);
}

// A device keeps one hotspot profile: another would autoconnect in its place after a reboot.
void Engine::removeOtherHotspots(NetworkManager::Device::Ptr dev, const QString &ssid)
{
    const NetworkManager::Connection::List available = dev->availableConnections();
    for (const NetworkManager::Connection::Ptr &profile : available) {
        if (profile->name() != ssid && isAccessPointProfile(profile))
            removeHotspotProfile(profile);
    }
}

void Engine::removeHotspotProfile(NetworkManager::Connection::Ptr profile)
{
    if (auto failure = failureOf(removeProfile(profile)))
        log(Log::Info, "[Wifi] Failed to remove hotspot connection: %s", qPrintable(*failure));
}

// Adds or updates the access-point profile and activates it; the new active connection's path, or empty with
// `error` set.
QString Engine::startWifiHotspot(NetworkManager::Device::Ptr dev, NetworkManager::Connection::Ptr profile,
    const NMVariantMapMap &settings, QString *error)
{
    if (!profile) {
        QDBusPendingReply<QDBusObjectPath, QDBusObjectPath> added = addAndActivateConnection(settings, dev->uni());
        if (auto failure = failureOf(added)) {
            *error = QStringLiteral("Failed to create hotspot: ") + *failure;
            return QString();
        }
        return added.argumentAt<1>().path();
    }
    if (auto failure = failureOf(updateProfile(profile, settings))) {
        *error = QStringLiteral("Failed to update hotspot: ") + *failure;
        return QString();
    }
    QDBusPendingReply<QDBusObjectPath> activated = activateConnection(profile->path(), dev->uni());
    if (auto failure = failureOf(activated)) {
        *error = QStringLiteral("Failed to activate hotspot: ") + *failure;
        return QString();
    }
    return activated.value().path();
}

NetworkManager::Connection::Ptr Engine::findWifiHotspotConnection(NetworkManager::Device::Ptr dev)
{
    if (!dev)
        return {};
    const NetworkManager::Connection::List available = dev->availableConnections();
    const auto found = std::find_if(available.cbegin(), available.cend(), isAccessPointProfile);
    return found == available.cend() ? NetworkManager::Connection::Ptr() : *found;
}

bool Engine::isWifiHotspot(NetworkManager::ActiveConnection::Ptr activeConnection)
{
    const NetworkManager::Connection::Ptr profile = activeConnection ? activeConnection->connection() : nullptr;
    return profile && isAccessPointProfile(profile);
}

void Engine::publishWifiHotspotOnActivation(NetworkManager::Device::Ptr dev, const QString &activeConnectionPath)
{
    auto *activeCon = new NetworkManager::ActiveConnection(activeConnectionPath, this);
    watchHotspot(dev, activeCon);
    connect(activeCon, &NetworkManager::ActiveConnection::stateChanged, this,
        [this, dev, activeCon](
            NetworkManager::ActiveConnection::State state) { onHotspotActivationState(dev, activeCon, state); });
    // An activation NetworkManager leaves pending still ends in a document the client can see.
    QTimer::singleShot(activationWatchMs, activeCon, [this, dev, activeCon] {
        if (takeHotspotWatch(dev, activeCon))
            publishHotspotDocument(dev);
    });
    // A state that cannot be read belongs to an activation that has already ended.
    const NetworkManager::ActiveConnection::State state = activeCon->state();
    onHotspotActivationState(dev, activeCon,
        state == NetworkManager::ActiveConnection::Unknown ? NetworkManager::ActiveConnection::Deactivated : state);
}

void Engine::onHotspotActivationState(NetworkManager::Device::Ptr dev, NetworkManager::ActiveConnection *activeCon,
    NetworkManager::ActiveConnection::State state)
{
    if (state != NetworkManager::ActiveConnection::Activated && state != NetworkManager::ActiveConnection::Deactivated)
        return;
    if (!takeHotspotWatch(dev, activeCon))
        return;
    if (state == NetworkManager::ActiveConnection::Activated) {
        if (m_ipc->currentIpv4(dev).contains(QLatin1String("address")))
            publishHotspotDocument(dev);
    } else {
        m_ipc->publishError(hotspotCommand, QStringLiteral("Failed to activate hotspot on ") + dev->interfaceName());
        publishWifiHotspotOnDeactivation(dev, activeCon->path());
    }
}

void Engine::publishWifiHotspotOnDeactivation(NetworkManager::Device::Ptr dev, const QString &activeConnectionPath)
{
    const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
    if (!active || active->path() != activeConnectionPath) {
        publishHotspotDocument(dev);
        return;
    }
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire late: 10 s is the promise
    watchHotspot(dev, timer);
    const auto finish = [this, dev, timer] {
        if (takeHotspotWatch(dev, timer))
            publishHotspotDocument(dev);
    };
    connect(dev.data(), &NetworkManager::Device::activeConnectionChanged, timer, [dev, activeConnectionPath, finish] {
        const NetworkManager::ActiveConnection::Ptr current = dev->activeConnection();
        if (!current || current->path() != activeConnectionPath)
            finish();
    });
    connect(timer, &QTimer::timeout, timer, finish);
    timer->start(deactivationWatchMs);
}

// Only the watch of the latest hotspot command on a device may publish; an earlier one ends unheard.
void Engine::watchHotspot(NetworkManager::Device::Ptr dev, QObject *watcher)
{
    endHotspotWatch(dev);
    m_hotspotWatches.insert(dev->uni(), watcher);
    const QByteArray name = dev->interfaceName().toLocal8Bit();
    log(Log::Debug, "[Wifi] Hotspot watcher created (dev=%s).", name.constData());
    connect(watcher, &QObject::destroyed, this,
        [this, name] { log(Log::Debug, "[Wifi] Hotspot watcher destroyed (dev=%s).", name.constData()); });
}

// A watch that has ended reacts to nothing more; its object goes once control is back in the event loop.
void Engine::endHotspotWatch(NetworkManager::Device::Ptr dev)
{
    if (const QPointer<QObject> watcher = m_hotspotWatches.take(dev->uni()))
        watcher->deleteLater();
}

// Ends `watcher`'s watch if it is still the device's; false when a later command has superseded it.
bool Engine::takeHotspotWatch(NetworkManager::Device::Ptr dev, QObject *watcher)
{
    if (m_hotspotWatches.value(dev->uni()) != watcher)
        return false;
    endHotspotWatch(dev);
    return true;
}

// Each document the engine publishes is remembered as what clients last heard of the device's hotspot.
void Engine::publishHotspotDocument(NetworkManager::Device::Ptr dev)
{
    m_hotspotShown.insert(dev->uni(), isWifiHotspot(dev->activeConnection()));
    m_ipc->publishWifiHotspot(dev.objectCast<NetworkManager::WirelessDevice>());
}

// A hotspot that ends or starts past a watch (another command, provisioning, a failed restart, a change made
// outside the service) would otherwise leave the retained document saying what no longer runs.
void Engine::onWifiActiveConnectionChanged(NetworkManager::Device::Ptr dev)
{
    if (!m_hotspotWatches.value(dev->uni())
        && isWifiHotspot(dev->activeConnection()) != m_hotspotShown.value(dev->uni()))
        publishHotspotDocument(dev);
}

} // namespace Corvex
