// Configuration documents: the addressing and type-specific settings of each device's connection profile.
#include "CorvexIPC.h"

#include "CorvexEngine.h"
#include "CorvexTypes.h"

#include <NetworkManagerQt/ActiveConnection>
#include <NetworkManagerQt/Connection>
#include <NetworkManagerQt/GsmSetting>
#include <NetworkManagerQt/WiredSetting>
#include <NetworkManagerQt/WirelessSecuritySetting>
#include <NetworkManagerQt/WirelessSetting>

namespace Corvex
{

namespace
{

    // A device shows the profile it runs, falling back to the first it could use: an older profile of the port
    // must not stand for the one in use.
    NetworkManager::Connection::Ptr shownConnection(const NetworkManager::Device::Ptr &dev)
    {
        const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
        if (active && active->connection())
            return active->connection();
        const NetworkManager::Connection::List connections = dev->availableConnections();
        return connections.isEmpty() ? NetworkManager::Connection::Ptr() : connections.first();
    }

} // namespace

bool IPC::secretsOf(const NetworkManager::Connection::Ptr &connection, const QString &setting, NMVariantMapMap *secrets)
{
    QDBusPendingReply<NMVariantMapMap> reply = Engine::profileSecrets(connection, setting);
    if (auto failure = Engine::failureOf(reply)) {
        // Normal for secrets an agent keeps, or none stored: the documents then go without them.
        log(Log::Info, "Could not read the secrets of '%s': %s", qPrintable(connection->name()), qPrintable(*failure));
        return false;
    }
    *secrets = reply.value();
    return true;
}

QString IPC::pskOf(const NMVariantMapMap &secrets)
{
    return secrets.value(wirelessSecurityGroup).value(QStringLiteral("psk")).toString();
}

void IPC::publishDeviceConfig(NetworkManager::Device::Ptr dev)
{
    publishByType(dev, &IPC::publishEthernetConfig, &IPC::publishWifiConfig, &IPC::publishModemConfig);
}

void IPC::publishEthernetConfig(NetworkManager::WiredDevice::Ptr dev)
{
    if (!dev)
        return;
    QJsonObject doc { { "method", "unknown" } };
    if (const NetworkManager::Connection::Ptr connection = shownConnection(dev)) {
        doc = ipv4SettingMembers(connection);
        const auto wired = settingOf<NetworkManager::WiredSetting>(connection, NetworkManager::Setting::Wired);
        doc["mtu"] = wired ? qint64(wired->mtu()) : 0;
    }
    doc["interface"] = dev->interfaceName();
    publishDocument(QStringLiteral("ethernet/config"), doc, 0, /* retain = */ true);
}

void IPC::publishWifiConfig(NetworkManager::WirelessDevice::Ptr dev)
{
    if (!dev)
        return;
    QJsonObject doc { { "method", "unknown" }, { "ssid", QJsonValue::Null }, { "key", QJsonValue::Null } };
    if (const NetworkManager::Connection::Ptr connection = shownConnection(dev)) {
        doc = ipv4SettingMembers(connection);
        const auto wireless = settingOf<NetworkManager::WirelessSetting>(connection, NetworkManager::Setting::Wireless);
        doc["ssid"] = wireless ? ssidToString(wireless->ssid()) : QString();
        NMVariantMapMap secrets;
        if (secretsOf(connection, wirelessSecurityGroup, &secrets))
            doc["key"] = pskOf(secrets);
    }
    doc["interface"] = dev->interfaceName();
    publishDocument(QStringLiteral("wifi/config"), doc, 0, /* retain = */ true);
}

void IPC::publishModemConfig(NetworkManager::ModemDevice::Ptr modem)
{
    if (!modem)
        return;
    QJsonObject doc { { "method", "unknown" } };
    if (const NetworkManager::Connection::Ptr connection = shownConnection(modem)) {
        doc = ipv4SettingMembers(connection);
        const auto gsm = settingOf<NetworkManager::GsmSetting>(settingsCopy(connection), NetworkManager::Setting::Gsm);
        if (gsm) {
            NMVariantMapMap secrets;
            if (secretsOf(connection, gsm->name(), &secrets))
                gsm->secretsFromMap(secrets.value(gsm->name()));
            doc["apn"] = gsm->apn();
            doc["username"] = gsm->username();
            doc["password"] = gsm->password();
            doc["networkId"] = gsm->networkId();
            doc["pin"] = gsm->pin();
        }
    }
    doc["interface"] = modem->interfaceName();
    publishDocument(QStringLiteral("modem/config"), doc, 0, /* retain = */ true);
}

QJsonObject IPC::ipv4SettingMembers(const NetworkManager::Connection::Ptr &connection)
{
    const QJsonValue ipv4 = toJson(settingOf<NetworkManager::Ipv4Setting>(connection, NetworkManager::Setting::Ipv4));
    return ipv4.toObject();
}

QJsonValue IPC::toJson(NetworkManager::Ipv4Setting::Ptr setting)
{
    if (!setting)
        return QJsonValue::Null;
    QJsonObject doc { { "method", ipv4SettingMethodToString(setting->method()) } };
    const QList<NetworkManager::IpAddress> addresses = setting->addresses();
    if (!addresses.isEmpty()) {
        doc["address"] = addresses.first().ip().toString();
        doc["netmask"] = addresses.first().netmask().toString();
        doc["gateway"] = addresses.first().gateway().toString();
    }
    const QList<QHostAddress> dns = setting->dns();
    for (int i = 0; i < qMin(dns.size(), 2); ++i)
        doc[QStringLiteral("dns%1").arg(i)] = dns.at(i).toString();
    return doc;
}

} // namespace Corvex
