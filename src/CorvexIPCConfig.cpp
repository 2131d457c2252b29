// Configuration documents: the addressing and type-specific settings of each device's connection profile.
#include "CorvexIPC.h"

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

    const QString wirelessSecurityGroup = QStringLiteral("802-11-wireless-security");

    NetworkManager::Connection::Ptr firstAvailableConnection(const NetworkManager::Device::Ptr &dev)
    {
        const NetworkManager::Connection::List connections = dev->availableConnections();
        return connections.isEmpty() ? NetworkManager::Connection::Ptr() : connections.first();
    }

    // A Wifi device shows the profile it is connected with, falling back to the first it could use.
    NetworkManager::Connection::Ptr wifiConnection(const NetworkManager::WirelessDevice::Ptr &dev)
    {
        const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
        if (active && active->connection())
            return active->connection();
        return firstAvailableConnection(dev);
    }

    template <typename SettingT>
    QSharedPointer<SettingT> settingOf(
        const NetworkManager::Connection::Ptr &connection, NetworkManager::Setting::SettingType type)
    {
        return connection->settings()->setting(type).template staticCast<SettingT>();
    }

} // namespace

QString IPC::ssidText(const QByteArray &ssid)
{
    // The name ends at the first zero byte, as NetworkManager pads some names.
    return QString::fromLatin1(ssid.constData());
}

QString IPC::pskFromSecrets(const NetworkManager::Connection::Ptr &connection, const QString &settingName, bool *ok)
{
    QDBusPendingReply<NMVariantMapMap> reply = connection->secrets(settingName);
    reply.waitForFinished();
    *ok = reply.isValid();
    if (!*ok)
        return QString();
    return reply.value().value(wirelessSecurityGroup).value(QStringLiteral("psk")).toString();
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
    if (const NetworkManager::Connection::Ptr connection = firstAvailableConnection(dev)) {
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
    if (const NetworkManager::Connection::Ptr connection = wifiConnection(dev)) {
        doc = ipv4SettingMembers(connection);
        const auto wireless = settingOf<NetworkManager::WirelessSetting>(connection, NetworkManager::Setting::Wireless);
        doc["ssid"] = wireless ? ssidText(wireless->ssid()) : QString();
        bool ok = false;
        const QString key = pskFromSecrets(connection, wirelessSecurityGroup, &ok);
        if (ok)
            doc["key"] = key;
        else
            log(Log::Warning, "Could not read the secrets of '%s'.", qPrintable(connection->name()));
    }
    doc["interface"] = dev->interfaceName();
    publishDocument(QStringLiteral("wifi/config"), doc, 0, /* retain = */ true);
}

void IPC::publishModemConfig(NetworkManager::ModemDevice::Ptr modem)
{
    if (!modem)
        return;
    QJsonObject doc { { "method", "unknown" } };
    if (const NetworkManager::Connection::Ptr connection = firstAvailableConnection(modem)) {
        doc = ipv4SettingMembers(connection);
        if (const auto gsm = settingOf<NetworkManager::GsmSetting>(connection, NetworkManager::Setting::Gsm)) {
            QDBusPendingReply<NMVariantMapMap> reply = connection->secrets(gsm->name());
            reply.waitForFinished();
            if (reply.isValid())
                gsm->secretsFromMap(reply.value().value(gsm->name()));
            else
                log(Log::Warning, "Could not read the secrets of '%s'.", qPrintable(connection->name()));
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
