// Provisioning: makes NetworkManager hold and run the profile the configuration describes for a device.
#include "CorvexEngine.h"

#include "CorvexTypes.h"

#include <NetworkManagerQt/GsmSetting>
#include <NetworkManagerQt/Settings>
#include <NetworkManagerQt/WirelessNetwork>
#include <NetworkManagerQt/WirelessSecuritySetting>

#include <QDBusPendingReply>
#include <QDateTime>

namespace Corvex
{

// What one run provisions: the device, the records it reads and the profile it looks for.
struct Engine::ProvisioningRun {
    NetworkManager::Device::Ptr dev;
    const Config &config;
    const Config::Wifi *wifiOverride;
    QByteArray type;
    QString name;
    NetworkManager::ConnectionSettings::ConnectionType connectionType = NetworkManager::ConnectionSettings::Unknown;
    QString apSecurity = QStringLiteral("unknown");
};

namespace
{

    using NetworkManager::Connection;
    using NetworkManager::ConnectionSettings;
    using NetworkManager::Setting;

    constexpr quint32 gatewayPingTimeoutSec = 10;
    const QString wirelessSecurityGroup = QStringLiteral("802-11-wireless-security");
    const QString gsmGroup = QStringLiteral("gsm");

    // The stored secrets of one setting of a profile, loaded into `settings`; the error message on failure.
    std::optional<QString> loadSecrets(
        const Connection::Ptr &connection, const ConnectionSettings::Ptr &settings, const QString &group)
    {
        QDBusPendingReply<NMVariantMapMap> reply = connection->secrets(group);
        if (auto failure = Engine::failureOf(reply))
            return failure;
        settings->setting(Setting::typeFromString(group))->secretsFromMap(reply.value().value(group));
        return std::nullopt;
    }

    // The binding writes only what the profile holds; NetworkManager wants the record's secrets, or none.
    void putGsmSecrets(NMVariantMapMap &map, const Config::Modem &modem)
    {
        if (!map.contains(gsmGroup))
            return;
        QVariantMap &gsm = map[gsmGroup];
        const std::pair<QString, QString> secrets[]
            = { { QStringLiteral("password"), modem.password }, { QStringLiteral("pin"), modem.pin } };
        for (const auto &[key, value] : secrets) {
            if (value.isEmpty())
                gsm.remove(key);
            else if (!gsm.contains(key))
                gsm.insert(key, value);
        }
    }

    // The binding's copy constructor shares the settings objects, so a change made to prepare an update that
    // NetworkManager then refuses would stay in the binding's view of the profile.
    ConnectionSettings::Ptr settingsCopy(const Connection::Ptr &connection)
    {
        return ConnectionSettings::Ptr::create(connection->settings()->toMap());
    }

    // A profile holds a setting only when NetworkManager sent it; an open network's profile has no security.
    bool holds(const ConnectionSettings::Ptr &settings, Setting::SettingType type)
    {
        const Setting::Ptr setting = settings->setting(type);
        return setting && !setting->isNull();
    }

} // namespace

NetworkManager::Connection::Ptr Engine::updateConnection(
    NetworkManager::Device::Ptr dev, const Config &config, const Config::Wifi *wifiOverride)
{
    if (!dev || !dev->isValid())
        return {};
    ProvisioningRun run { dev, config, wifiOverride, deviceTypeToString(dev->type()).toLocal8Bit(), {} };
    if (!describeProvisioning(run))
        return {};
    log(Log::Info, "[%s] Checking connection: %s", run.type.constData(), qPrintable(run.name));
    if (run.name.isEmpty())
        return {};
    const NetworkManager::Connection::Ptr connection = findConnection(run.name, /* dev = */ {});
    return connection ? updateExistingConnection(run, connection) : createConnection(run);
}

// Fills in the profile's name, type and security; false (logged) when the device has nothing to provision.
bool Engine::describeProvisioning(ProvisioningRun &run)
{
    switch (run.dev->type()) {
    case NetworkManager::Device::Ethernet: {
        Config::Ethernet ethCfg;
        if (!run.config.ethernetConfigForInterface(run.dev->interfaceName(), ethCfg)) {
            log(Log::Info, "[%s] No configuration for interface '%s'; monitoring only.", run.type.constData(),
                qPrintable(run.dev->interfaceName()));
            return false;
        }
        run.name = ethCfg.id;
        run.connectionType = NetworkManager::ConnectionSettings::Wired;
        return true;
    }
    case NetworkManager::Device::Wifi:
        return describeWifiProvisioning(run);
    case NetworkManager::Device::Modem:
        run.name = run.config.modem().id;
        run.connectionType = NetworkManager::ConnectionSettings::Gsm;
        return true;
    default:
        return true;
    }
}

bool Engine::describeWifiProvisioning(ProvisioningRun &run)
{
    const Config::Wifi &wifiCfg = run.wifiOverride ? *run.wifiOverride : run.config.wifi();
    if (wifiCfg.ssid.isEmpty()) {
        log(Log::Info, "[%s] SSID not configured. Will not attempt to connect.", run.type.constData());
        return false;
    }
    const NetworkManager::AccessPoint::Ptr ap = findAccessPoint(run.dev, wifiCfg.ssid);
    if (!ap) {
        const QString failure
            = QStringLiteral("Configured access point '%1' not in range. Will not attempt to connect.")
                  .arg(wifiCfg.ssid);
        log(Log::Info, "[Wifi] %s", qPrintable(failure));
        // A stored record is applied once its network appears; a request to connect now has failed.
        if (run.wifiOverride)
            answerFailure(failure);
        return false;
    }
    run.name = wifiCfg.ssid;
    run.connectionType = NetworkManager::ConnectionSettings::Wireless;
    run.apSecurity = apSecurity(ap);
    return true;
}

NetworkManager::Connection::Ptr Engine::updateExistingConnection(
    const ProvisioningRun &run, NetworkManager::Connection::Ptr connection)
{
    const char *type = run.type.constData();
    const QByteArray name = run.name.toLocal8Bit();
    log(Log::Info, "[%s] Connection '%s' already exists.", type, name.constData());
    const ConnectionSettings::Ptr settings = settingsCopy(connection);
    if (run.dev->type() == NetworkManager::Device::Wifi && holds(settings, Setting::WirelessSecurity)) {
        if (auto failure = loadSecrets(connection, settings, wirelessSecurityGroup))
            log(Log::Info, "[%s] Failed to get secrets: '%s' : %s", type, name.constData(), qPrintable(*failure));
    }
    // The GSM secrets only take part in the comparison; without them the profile reads as changed.
    if (run.connectionType == ConnectionSettings::Gsm && holds(settings, Setting::Gsm))
        loadSecrets(connection, settings, gsmGroup);

    if (!updateConnectionSettings(settings, run.config, run.dev->interfaceName(), run.apSecurity, run.wifiOverride)) {
        log(Log::Info, "[%s] No update required for connection '%s'.", type, name.constData());
        if (!mayActivate(run))
            return {};
        if (isActiveOnDevice(run.dev, connection))
            return connection;
        log(Log::Info, "[%s] Connection '%s' not active. Activating.", type, name.constData());
        return activate(run, connection, /* updated = */ false);
    }

    log(Log::Info, "[%s] Connection settings have changed. Applying new settings.", type);
    NMVariantMapMap map = settings->toMap();
    putGsmSecrets(map, run.config.modem());
    if (auto failure = failureOf(connection->update(map))) {
        provisioningFailed(run, QStringLiteral("Failed to update connection '%1' : %2").arg(run.name, *failure));
        return {};
    }
    if (!mayActivate(run))
        return {};
    if (isActiveOnDevice(run.dev, connection)) {
        if (auto failure = failureOf(NetworkManager::deactivateConnection(run.dev->activeConnection()->path()))) {
            log(Log::Info, "[%s] Failed to deactivate connection '%s' before reapplying settings: %s", type,
                name.constData(), qPrintable(*failure));
        }
    }
    return activate(run, connection, /* updated = */ true);
}

NetworkManager::Connection::Ptr Engine::createConnection(const ProvisioningRun &run)
{
    const char *type = run.type.constData();
    const QByteArray name = run.name.toLocal8Bit();
    log(Log::Info, "[%s] Connection '%s' does not exist. Creating and activating.", type, name.constData());
    if (!mayActivate(run))
        return {};
    const ConnectionSettings::Ptr settings(new ConnectionSettings(run.connectionType));
    settings->setUuid(ConnectionSettings::createNewUuid());
    settings->setTimestamp(QDateTime::currentDateTime());
    settings->setGatewayPingTimeout(gatewayPingTimeoutSec);
    updateConnectionSettings(settings, run.config, run.dev->interfaceName(), run.apSecurity, run.wifiOverride);

    QDBusPendingReply<QDBusObjectPath, QDBusObjectPath> reply
        = NetworkManager::addAndActivateConnection(settings->toMap(), run.dev->uni(), QString());
    if (auto failure = failureOf(reply)) {
        provisioningFailed(run, QStringLiteral("Failed to create connection '%1' : %2").arg(run.name, *failure));
        return {};
    }
    log(Log::Info, "[%s] Connection '%s' created successfully.", type, name.constData());
    return NetworkManager::findConnection(reply.argumentAt<0>().path());
}

NetworkManager::Connection::Ptr Engine::activate(
    const ProvisioningRun &run, NetworkManager::Connection::Ptr connection, bool updated)
{
    const QDBusPendingCall call = NetworkManager::activateConnection(connection->path(), run.dev->uni(), QString());
    if (auto failure = failureOf(call)) {
        provisioningFailed(run, QStringLiteral("Failed to activate connection: ") + *failure);
        return {};
    }
    log(Log::Info, updated ? "[%s] Connection '%s' updated." : "[%s] Connection '%s' activated.", run.type.constData(),
        qPrintable(run.name));
    return connection;
}

// A step that ends the run. The reads and the deactivation before re-applying are only logged: the run goes on
// and its outcome does not depend on them.
void Engine::provisioningFailed(const ProvisioningRun &run, const QString &failure)
{
    log(Log::Info, "[%s] %s", run.type.constData(), qPrintable(failure));
    answerFailure(failure);
}

// A wired profile is written without a cable, but neither created nor activated.
bool Engine::mayActivate(const ProvisioningRun &run)
{
    return run.dev->type() != NetworkManager::Device::Ethernet || isCarrierDetected(run.dev);
}

bool Engine::isActiveOnDevice(NetworkManager::Device::Ptr dev, NetworkManager::Connection::Ptr connection)
{
    const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
    return active && active->connection() && active->connection()->path() == connection->path();
}

std::optional<QString> Engine::failureOf(QDBusPendingCall call)
{
    call.waitForFinished();
    if (call.isValid())
        return std::nullopt;
    return call.error().message();
}

NetworkManager::Connection::Ptr Engine::findConnection(const QString &name, NetworkManager::Device::Ptr dev)
{
    const NetworkManager::Connection::List connections
        = dev ? dev->availableConnections() : NetworkManager::listConnections();
    for (const NetworkManager::Connection::Ptr &connection : connections) {
        if (connection->name() == name)
            return connection;
    }
    return {};
}

NetworkManager::AccessPoint::Ptr Engine::findAccessPoint(NetworkManager::Device::Ptr dev, const QString &ssid)
{
    const auto wifi = dev ? dev.objectCast<NetworkManager::WirelessDevice>() : NetworkManager::WirelessDevice::Ptr();
    if (!wifi)
        return {};
    const NetworkManager::WirelessNetwork::List networks = wifi->networks();
    for (const NetworkManager::WirelessNetwork::Ptr &network : networks) {
        if (network->ssid() == ssid)
            return network->referenceAccessPoint();
    }
    return {};
}

QString Engine::savedWifiKey(const QString &ssid)
{
    const NetworkManager::Connection::Ptr connection = findConnection(ssid, /* dev = */ {});
    if (!connection)
        return {};
    const ConnectionSettings::Ptr settings = settingsCopy(connection);
    if (!holds(settings, Setting::WirelessSecurity))
        return {};
    if (auto failure = loadSecrets(connection, settings, wirelessSecurityGroup)) {
        log(Log::Info, "[Wifi] Failed to get saved secrets for '%s': %s", qPrintable(ssid), qPrintable(*failure));
        return {};
    }
    const auto security = settingOf<NetworkManager::WirelessSecuritySetting>(settings, Setting::WirelessSecurity);
    return security->psk().isEmpty() ? security->wepKey0() : security->psk();
}

} // namespace Corvex
