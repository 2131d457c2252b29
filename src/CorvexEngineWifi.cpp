// The Wifi commands: connect, disconnect, forget, and the radio switch.
#include "CorvexEngine.h"

#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <NetworkManagerQt/WirelessSetting>

#include <QDBusConnection>
#include <QDBusVariant>

namespace Corvex
{

namespace
{

    const QString connectCommand = QStringLiteral("wifi/connect");
    const QString disconnectCommand = QStringLiteral("wifi/disconnect");
    const QString forgetCommand = QStringLiteral("wifi/forget");
    const QString networkManagerService = QStringLiteral("org.freedesktop.NetworkManager");
    const QString networkManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");

    // The client profile of a network: hotspot profiles carry the same kind of name but are not saved networks.
    bool isClientProfileOf(const NetworkManager::Connection::Ptr &connection, const QString &ssid)
    {
        const auto wireless = settingOf<NetworkManager::WirelessSetting>(connection, NetworkManager::Setting::Wireless);
        return wireless && wireless->mode() != NetworkManager::WirelessSetting::Ap
            && ssidToString(wireless->ssid()) == ssid;
    }

} // namespace

void Engine::processWifiConnectCommand(const QJsonObject &data)
{
    const NetworkManager::Device::Ptr wifi = requestedTypedDevice(connectCommand, data, NetworkManager::Device::Wifi);
    if (!wifi)
        return;
    Config::Wifi record;
    const QString autoconnect = QStringLiteral("autoconnect");
    record.autocon = data.contains(autoconnect) ? data.value(autoconnect).toBool() : true;
    record.ssid = data.value(QStringLiteral("ssid")).toString();
    record.key = data.value(QStringLiteral("key")).toString();
    record.ipv4.method = QStringLiteral("auto");
    if (record.ssid.isEmpty()) {
        rejectUnspecifiedSsid(connectCommand);
        return;
    }
    if (!data.contains(QStringLiteral("key")))
        record.key = savedWifiKey(record.ssid);
    updateConnection(wifi, *m_config, &record);
}

void Engine::processWifiDisconnectCommand(const QJsonObject &data)
{
    const bool forget = data.value(QStringLiteral("forget")).toBool(false);
    const NetworkManager::Device::Ptr wifi
        = requestedTypedDevice(disconnectCommand, data, NetworkManager::Device::Wifi);
    if (!wifi)
        return;
    // The hotspot is stopped like any connection, but its profile is never forgotten here; its retained document
    // follows, or it would go on saying the hotspot runs.
    const NetworkManager::ActiveConnection::Ptr active = wifi->activeConnection();
    const bool hotspot = isWifiHotspot(active);
    const NetworkManager::Connection::Ptr activeProfile = active && !hotspot ? active->connection() : nullptr;
    answerFailure(disconnectWifiDevice(wifi));
    if (hotspot)
        publishWifiHotspotOnDeactivation(wifi, active->path());
    if (!forget)
        return;

    const NetworkManager::Connection::Ptr profile
        = activeProfile ? activeProfile : findConnection(m_config->wifi().ssid, /* dev = */ nullptr);
    if (!profile || profile->name() == m_config->wifi().ssid)
        clearStoredWifiNetwork();
    if (profile)
        answerFailure(removeWifiProfile(profile));
}

void Engine::processWifiForgetCommand(const QJsonObject &data)
{
    const QString ssid = data.value(QStringLiteral("ssid")).toString();
    const NetworkManager::Device::Ptr wifi = requestedTypedDevice(forgetCommand, data, NetworkManager::Device::Wifi);
    if (!wifi)
        return;
    if (ssid.isEmpty()) {
        rejectUnspecifiedSsid(forgetCommand);
        return;
    }
    NetworkManager::Connection::Ptr profile;
    const NetworkManager::Connection::List available = wifi->availableConnections();
    for (const NetworkManager::Connection::Ptr &connection : available) {
        if (isClientProfileOf(connection, ssid)) {
            profile = connection;
            break;
        }
    }
    if (!profile) {
        m_ipc->publishError(forgetCommand, QStringLiteral("No saved connection for: ") + ssid);
        return;
    }
    const NetworkManager::ActiveConnection::Ptr active = wifi->activeConnection();
    const NetworkManager::Connection::Ptr activeProfile = active ? active->connection() : nullptr;
    if (activeProfile && activeProfile->path() == profile->path())
        answerFailure(disconnectWifiDevice(wifi));
    if (ssid == m_config->wifi().ssid)
        clearStoredWifiNetwork();
    answerFailure(removeWifiProfile(profile));
}

void Engine::processWifiEnableCommand(const QJsonObject &data)
{
    switchWifiRadio(QStringLiteral("wifi/enable"), data, /* enabled = */ true);
}

void Engine::processWifiDisableCommand(const QJsonObject &data)
{
    switchWifiRadio(QStringLiteral("wifi/disable"), data, /* enabled = */ false);
}

void Engine::processWifiRadioSetCommand(const QJsonObject &data)
{
    const QString command = QStringLiteral("wifi/radio/set");
    const QJsonValue enabled = data.value(QStringLiteral("enabled"));
    if (!enabled.isBool()) {
        m_ipc->publishError(command, QStringLiteral("'enabled' not specified"));
        return;
    }
    switchWifiRadio(command, data, enabled.toBool());
}

// NetworkManager has one switch for all Wifi devices: the named device only has to exist.
void Engine::switchWifiRadio(const QString &command, const QJsonObject &data, bool enabled)
{
    const NetworkManager::Device::Ptr wifi = requestedTypedDevice(command, data, NetworkManager::Device::Wifi);
    if (!wifi)
        return;
    log(Log::Info, enabled ? "[Wifi] Enabling radio (dev=%s)." : "[Wifi] Disabling radio (dev=%s).",
        qPrintable(wifi->interfaceName()));
    // The binding's setter neither bounds the wait nor tells whether NetworkManager took the switch.
    QDBusMessage set = QDBusMessage::createMethodCall(networkManagerService, networkManagerPath,
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
    set.setArguments(
        { networkManagerService, QStringLiteral("WirelessEnabled"), QVariant::fromValue(QDBusVariant(enabled)) });
    answerFailure(loggedFailure(
        enabled ? QStringLiteral("Failed to enable radio: ") : QStringLiteral("Failed to disable radio: "),
        failureOf(QDBusConnection::systemBus().asyncCall(set, busTimeoutMs))));
    // A switch already in place changes nothing, so no change will publish the radio state.
    if (NetworkManager::isWirelessEnabled() == enabled)
        m_ipc->publishWifiRadio();
}

// The failure's text (logged), or none.
std::optional<QString> Engine::disconnectWifiDevice(NetworkManager::Device::Ptr dev)
{
    const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
    if (!active)
        return std::nullopt;
    log(Log::Info, "[Wifi] Disconnecting device '%s'.", qPrintable(dev->interfaceName()));
    return loggedFailure(QStringLiteral("Failed to deactivate connection: "),
        failureOf(NetworkManager::deactivateConnection(active->path())));
}

// The configured network is forgotten with its key; the rest of the Wifi record stays.
void Engine::clearStoredWifiNetwork()
{
    Config::Wifi wifi = m_config->wifi();
    wifi.ssid.clear();
    wifi.key.clear();
    m_config->setWifi(wifi);
}

// The failure's text (logged), or none.
std::optional<QString> Engine::removeWifiProfile(NetworkManager::Connection::Ptr profile)
{
    log(Log::Info, "[Wifi] Forgetting connection '%s'.", qPrintable(profile->name()));
    return loggedFailure(QStringLiteral("Failed to remove connection: "), failureOf(profile->remove()));
}

std::optional<QString> Engine::loggedFailure(const QString &what, const std::optional<QString> &failure)
{
    if (!failure)
        return std::nullopt;
    const QString text = what + *failure;
    log(Log::Info, "[Wifi] %s", qPrintable(text));
    return text;
}

} // namespace Corvex
