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

    // The profile's own settings rewritten, or those of a new profile.
    NetworkManager::ConnectionSettings::Ptr hotspotSettings(
        const NetworkManager::Connection::Ptr &profile, const HotspotRequest &request)
    {
        NetworkManager::ConnectionSettings::Ptr settings;
        if (profile) {
            // A copy: the binding's own one must keep what NetworkManager holds should the update be refused.
            settings.reset(new NetworkManager::ConnectionSettings(profile->settings()));
        } else {
            settings.reset(new NetworkManager::ConnectionSettings(NetworkManager::ConnectionSettings::Wireless));
            settings->setUuid(NetworkManager::ConnectionSettings::createNewUuid());
            settings->setTimestamp(QDateTime::currentDateTime());
        }
        settings->setId(request.ssid);
        settings->setAutoconnect(true);
        const auto wireless
            = settings->setting(NetworkManager::Setting::Wireless).staticCast<NetworkManager::WirelessSetting>();
        wireless->setSsid(request.ssid.toUtf8());
        wireless->setMode(NetworkManager::WirelessSetting::Ap);
        wireless->setBand(request.band);
        if (request.channel)
            wireless->setChannel(*request.channel);
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

    bool isAccessPointProfile(const NetworkManager::Connection::Ptr &profile)
    {
        const auto wireless = settingOf<NetworkManager::WirelessSetting>(profile, NetworkManager::Setting::Wireless);
        return wireless && wireless->mode() == NetworkManager::WirelessSetting::Ap;
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
    endHotspotWatch(wifi);
    disconnectWifiDevice(wifi);
    NetworkManager::Connection::Ptr profile = findConnection(request.ssid, /* dev = */ nullptr);
    // Only a Wifi profile can become the hotspot: one of another kind with the same name is left alone.
    if (profile && profile->settings()->connectionType() != NetworkManager::ConnectionSettings::Wireless)
        profile.reset();
    const QString activeConnectionPath
        = startWifiHotspot(wifi, profile, hotspotSettings(profile, request)->toMap(), &error);
    if (activeConnectionPath.isEmpty()) {
        m_ipc->publishError(hotspotCommand, error);
        return;
    }
    publishWifiHotspotOnActivation(wifi, activeConnectionPath);
}

void Engine::stopWifiHotspot(NetworkManager::Device::Ptr dev)
{
    endHotspotWatch(dev);
    QString activeConnectionPath;
    const NetworkManager::Connection::Ptr hotspot = findWifiHotspotConnection(dev);
    if (hotspot) {
        if (const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection())
            activeConnectionPath = active->path();
        disconnectWifiDevice(dev);
        if (auto failure = failureOf(hotspot->remove()))
            log(Log::Info, "[Wifi] Failed to remove hotspot connection: %s", qPrintable(*failure));
    }
    publishWifiHotspotOnDeactivation(dev, activeConnectionPath);
}

// Adds or updates the access-point profile and activates it; the new active connection's path, or empty with
// `error` set.
QString Engine::startWifiHotspot(NetworkManager::Device::Ptr dev, NetworkManager::Connection::Ptr profile,
    const NMVariantMapMap &settings, QString *error)
{
    if (!profile) {
        QDBusPendingReply<QDBusObjectPath, QDBusObjectPath> added
            = NetworkManager::addAndActivateConnection(settings, dev->uni(), QString());
        if (auto failure = failureOf(added)) {
            *error = QStringLiteral("Failed to create hotspot: ") + *failure;
            return QString();
        }
        return added.argumentAt<1>().path();
    }
    if (auto failure = failureOf(profile->update(settings))) {
        *error = QStringLiteral("Failed to update hotspot: ") + *failure;
        return QString();
    }
    QDBusPendingReply<QDBusObjectPath> activated
        = NetworkManager::activateConnection(profile->path(), dev->uni(), QString());
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
    // A state that cannot be read belongs to an activation that has already ended.
    const NetworkManager::ActiveConnection::State state = activeCon->state();
    onHotspotActivationState(dev, activeCon,
        state == NetworkManager::ActiveConnection::Unknown ? NetworkManager::ActiveConnection::Deactivated : state);
}

void Engine::onHotspotActivationState(NetworkManager::Device::Ptr dev, NetworkManager::ActiveConnection *activeCon,
    NetworkManager::ActiveConnection::State state)
{
    if (m_hotspotWatches.value(dev->uni()) != activeCon)
        return;
    if (state == NetworkManager::ActiveConnection::Activated) {
        endHotspotWatch(dev);
        if (m_ipc->currentIpv4(dev).contains(QLatin1String("address")))
            m_ipc->publishWifiHotspot(dev.objectCast<NetworkManager::WirelessDevice>());
    } else if (state == NetworkManager::ActiveConnection::Deactivated) {
        endHotspotWatch(dev);
        m_ipc->publishError(hotspotCommand, QStringLiteral("Failed to activate hotspot on ") + dev->interfaceName());
        publishWifiHotspotOnDeactivation(dev, activeCon->path());
    }
}

void Engine::publishWifiHotspotOnDeactivation(NetworkManager::Device::Ptr dev, const QString &activeConnectionPath)
{
    const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
    if (!active || active->path() != activeConnectionPath) {
        m_ipc->publishWifiHotspot(dev.objectCast<NetworkManager::WirelessDevice>());
        return;
    }
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire late: 10 s is the promise
    watchHotspot(dev, timer);
    const auto finish = [this, dev, timer] {
        if (m_hotspotWatches.value(dev->uni()) != timer)
            return;
        endHotspotWatch(dev);
        m_ipc->publishWifiHotspot(dev.objectCast<NetworkManager::WirelessDevice>());
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

} // namespace Corvex
