// Network status, service information and device state documents, with the IPv4 cache behind them.
#include "CorvexIPC.h"

#include "CorvexTypes.h"
#include "version.h"

#include <ModemManagerQt/Manager>
#include <ModemManagerQt/Modem3Gpp>
#include <ModemManagerQt/ModemCdma>
#include <ModemManagerQt/ModemDevice>
#include <NetworkManagerQt/IpAddress>
#include <NetworkManagerQt/Manager>
#include <NetworkManagerQt/Settings>

#include <QDBusArgument>

namespace Corvex
{

namespace
{

    // The members every device state document starts with; `state` is passed in since Ethernet applies its
    // carrier rule first.
    QJsonObject deviceStateMembers(const NetworkManager::Device::Ptr &dev, DeviceState state)
    {
        const NetworkManager::Device::StateChangeReason reason = dev->stateReason().reason();
        return {
            { "interface", dev->interfaceName() },
            { "type", int(dev->type()) },
            { "typeStr", deviceTypeToString(dev->type()) },
            { "state", int(state) },
            { "stateStr", deviceStateToString(state) },
            { "reason", int(reason) },
            { "reasonStr", stateChangeReasonToString(reason) },
        };
    }

    QJsonObject modemManagerMembers(const ModemManager::ModemDevice::Ptr &modemDevice)
    {
        QJsonObject doc;
        const ModemManager::Modem::Ptr modem = modemDevice->modemInterface();
        if (modem) {
            doc["device"]
                = QJsonObject { { "id", modem->deviceIdentifier() }, { "manufacturer", modem->manufacturer() },
                      { "model", modem->model() }, { "revision", modem->revision() } };
            doc["signal"] = int(modem->signalQuality().signal);
            doc["accessTechnologies"] = accessTechnologiesToJson(modem->accessTechnologies());
        }
        // A modem without a SIM reports the SIM path "/" (the binding still hands out an empty SIM object):
        // leave the member out rather than publish empty identities.
        const QString simPath = modem ? modem->simPath() : QString();
        const ModemManager::Sim::Ptr sim = modemDevice->sim();
        if (sim && !simPath.isEmpty() && simPath != QLatin1String("/"))
            doc["sim"] = QJsonObject { { "imsi", sim->imsi() }, { "id", sim->simIdentifier() } };

        if (modemDevice->isGsmModem() && modemDevice->hasInterface(ModemManager::ModemDevice::GsmInterface)) {
            const auto gsm
                = modemDevice->interface(ModemManager::ModemDevice::GsmInterface).objectCast<ModemManager::Modem3gpp>();
            if (gsm) {
                doc["gsm"] = QJsonObject { { "imei", gsm->imei() }, { "operatorCode", gsm->operatorCode() },
                    { "operatorName", gsm->operatorName() } };
            }
        } else if (modemDevice->isGsmModem()
            && modemDevice->hasInterface(ModemManager::ModemDevice::GsmUssdInterface)) {
            doc["gsmUssd"] = QJsonObject();
        } else if (modemDevice->isCdmaModem() && modemDevice->hasInterface(ModemManager::ModemDevice::CdmaInterface)) {
            const auto cdma = modemDevice->interface(ModemManager::ModemDevice::CdmaInterface)
                                  .objectCast<ModemManager::ModemCdma>();
            if (cdma)
                doc["cdma"] = QJsonObject { { "meid", cdma->meid() }, { "esn", cdma->esn() } };
        }
        return doc;
    }

    // An IPv4 configuration object NetworkManager names; "/" stands for none.
    bool isObjectPath(const QString &path) { return !path.isEmpty() && path != QLatin1String("/"); }

    // An array of dictionaries as the bus hands it over.
    QList<QVariantMap> mapList(const QVariant &value)
    {
        QList<QVariantMap> maps;
        if (value.canConvert<QDBusArgument>())
            value.value<QDBusArgument>() >> maps;
        return maps;
    }

} // namespace

void IPC::publishNetworkInfo()
{
    const QJsonObject service { { "type", "network" }, { "version", QString::fromLatin1(getProjectVersion()) } };
    publishDocument(QStringLiteral("info"), { { "service", service } }, 2, /* retain = */ true);
}

int IPC::publishNetworkStatus() { return publishStatusDocument(networkStatus()); }

void IPC::publishNetworkStatusIfIpChanged()
{
    const QJsonObject status = networkStatus();
    if (status.value(QLatin1String("primaryConnection")).toObject().value(QLatin1String("ipv4")) != m_statusIpv4)
        publishStatusDocument(status);
}

QJsonObject IPC::networkStatus()
{
    const NetworkManager::Status status = NetworkManager::status();
    const NetworkManager::Connectivity connectivity = NetworkManager::connectivity();
    return {
        { "hostname", NetworkManager::hostname() },
        { "state", int(status) },
        { "stateStr", statusToString(status) },
        { "connectivity", int(connectivity) },
        { "connectivityStr", connectivityToString(connectivity) },
        { "primaryConnection", toJson(NetworkManager::primaryConnection()) },
    };
}

int IPC::publishStatusDocument(const QJsonObject &status)
{
    m_statusIpv4 = status.value(QLatin1String("primaryConnection")).toObject().value(QLatin1String("ipv4"));
    return publishDocument(QStringLiteral("status"), status, 2, /* retain = */ true);
}

void IPC::publishDeviceState(NetworkManager::Device::Ptr dev)
{
    publishByType(dev, &IPC::publishEthernetState, &IPC::publishWifiState, &IPC::publishModemState);
}

void IPC::publishDeviceStateIfIpChanged(NetworkManager::Device::Ptr dev)
{
    if (!dev || (dev->type() != NetworkManager::Device::Ethernet && dev->type() != NetworkManager::Device::Wifi))
        return;
    if (stateIpv4(dev) != m_stateIpv4.value(dev->interfaceName(), QJsonValue(QJsonValue::Null)))
        publishDeviceState(dev);
}

void IPC::publishEthernetState(NetworkManager::WiredDevice::Ptr dev)
{
    if (!dev)
        return;
    // Without a cable the device is disconnected, whatever NetworkManager still reports.
    const DeviceState state = dev->carrier() ? mapDeviceState(dev->state()) : Disconnected;
    QJsonObject doc = deviceStateMembers(dev, state);
    doc["mac"] = dev->hardwareAddress();
    doc["ipv4"] = stateIpv4(dev);
    m_stateIpv4.insert(dev->interfaceName(), doc["ipv4"]);
    publishDocument(QStringLiteral("ethernet/state"), doc, 0, /* retain = */ true);
}

void IPC::publishWifiState(NetworkManager::WirelessDevice::Ptr dev)
{
    if (!dev)
        return;
    const DeviceState state = mapDeviceState(dev->state());
    QJsonObject doc = deviceStateMembers(dev, state);
    doc["mac"] = dev->hardwareAddress();
    const NetworkManager::AccessPoint::Ptr ap = dev->activeAccessPoint();
    doc["ap"] = (ap && state == Connected) ? toJson(ap) : QJsonValue(QJsonValue::Null);
    doc["ipv4"] = stateIpv4(dev);
    m_stateIpv4.insert(dev->interfaceName(), doc["ipv4"]);
    publishDocument(QStringLiteral("wifi/state"), doc, 0, /* retain = */ true);
}

void IPC::publishModemState(NetworkManager::ModemDevice::Ptr modem)
{
    if (!modem)
        return;
    QJsonObject doc;
    if (const ModemManager::ModemDevice::Ptr modemDevice = ModemManager::findModemDevice(modem->udi())) {
        doc = modemManagerMembers(modemDevice);
        if (!doc.contains(QLatin1String("sim")))
            log(Log::Debug, "Modem '%s' has no SIM.", qPrintable(modem->interfaceName()));
    } else {
        log(Log::Warning, "ModemManager does not know the modem '%s'.", qPrintable(modem->udi()));
    }

    const DeviceState state = mapDeviceState(modem->state());
    const QJsonObject common = deviceStateMembers(modem, state);
    for (auto it = common.begin(); it != common.end(); ++it)
        doc.insert(it.key(), it.value());
    const bool connected = modem->activeConnection() && state == Connected;
    doc["ipv4"] = connected ? currentIpv4(modem) : QJsonValue(QJsonValue::Null);
    publishDocument(QStringLiteral("modem/state"), doc, 0, /* retain = */ true);
}

QJsonValue IPC::toJson(NetworkManager::ActiveConnection::Ptr connection)
{
    if (!connection || !connection->isValid())
        return QJsonValue::Null;

    QJsonObject doc { { "interface", QJsonValue::Null }, { "type", QJsonValue::Null }, { "typeStr", QJsonValue::Null },
        { "state", QJsonValue::Null }, { "stateStr", QJsonValue::Null } };
    // An active connection may list no device (while it is torn down, for instance): then the device members stay null.
    const QStringList devices = connection->devices();
    const NetworkManager::Device::Ptr dev
        = devices.isEmpty() ? NetworkManager::Device::Ptr() : NetworkManager::findNetworkInterface(devices.first());
    if (dev) {
        const DeviceState state = mapDeviceState(dev->state());
        doc["interface"] = dev->interfaceName();
        doc["type"] = int(dev->type());
        doc["typeStr"] = deviceTypeToString(dev->type());
        doc["state"] = int(state);
        doc["stateStr"] = deviceStateToString(state);
    }
    const NetworkManager::Connection::Ptr profile = connection->connection();
    doc["connectionName"] = profile ? profile->name() : connection->id();
    doc["ipv4"] = primaryIpv4(connection);
    return doc;
}

QJsonValue IPC::toJson(NetworkManager::AccessPoint::Ptr accessPoint)
{
    if (!accessPoint)
        return QJsonValue::Null;
    return QJsonObject {
        { "ssid", accessPoint->ssid() },
        { "frequency", int(accessPoint->frequency()) },
        { "hardwareAddress", accessPoint->hardwareAddress() },
        { "maxBitRate", int(accessPoint->maxBitRate()) },
        { "signalStrength", accessPoint->signalStrength() },
        { "mode", apModeToString(accessPoint->mode()) },
        { "security", apSecurity(accessPoint) },
    };
}

QJsonObject IPC::ipv4Object(const QVariantMap &ip4ConfigProperties)
{
    QJsonObject doc;
    const QList<QVariantMap> addresses = mapList(ip4ConfigProperties.value(QStringLiteral("AddressData")));
    if (!addresses.isEmpty()) {
        NetworkManager::IpAddress address;
        address.setIp(QHostAddress(addresses.first().value(QStringLiteral("address")).toString()));
        address.setPrefixLength(addresses.first().value(QStringLiteral("prefix")).toInt());
        doc["address"] = address.ip().toString();
        doc["netmask"] = address.netmask().toString();
    }
    const QList<QVariantMap> nameservers = mapList(ip4ConfigProperties.value(QStringLiteral("NameserverData")));
    for (int i = 0; i < nameservers.size(); ++i)
        doc[QStringLiteral("dns%1").arg(i)] = nameservers.at(i).value(QStringLiteral("address")).toString();
    doc["gateway"] = ip4ConfigProperties.value(QStringLiteral("Gateway")).toString();
    return doc;
}

QJsonObject IPC::currentIpv4(const NetworkManager::Device::Ptr &dev)
{
    // Read past the binding's cache: right after a change the cached device can still hold the old object.
    QString error;
    const QString path = ip4ConfigPath(dev, &error);
    const QVariantMap properties = isObjectPath(path) ? ip4ConfigProperties(path, &error) : QVariantMap();
    if (!error.isEmpty()) {
        log(Log::Warning, "Could not read the IPv4 configuration of %s: %s", qPrintable(dev->interfaceName()),
            qPrintable(error));
    }
    return ipv4Object(properties);
}

QJsonObject IPC::primaryIpv4(const NetworkManager::ActiveConnection::Ptr &connection)
{
    // The configuration object of the primary connection is looked up once and kept until the binding reports
    // another one, so a status costs one read; the object itself is read afresh, as it changes in place.
    if (m_primaryFollowed != connection.data()) {
        if (m_primaryFollowed)
            QObject::disconnect(m_primaryFollowed, nullptr, this, nullptr);
        m_primaryFollowed = connection.data();
        m_primaryIp4Path.clear();
        QObject::connect(connection.data(), &NetworkManager::ActiveConnection::ipV4ConfigChanged, this, [this] {
            m_primaryIp4Path.clear();
            publishNetworkStatusIfIpChanged();
        });
    }
    QString error;
    QVariantMap properties = primaryIp4Properties(connection, &error);
    if (!error.isEmpty()) {
        // The object kept may be gone before the binding reports its successor: look it up once more.
        m_primaryIp4Path.clear();
        error.clear();
        properties = primaryIp4Properties(connection, &error);
    }
    if (!error.isEmpty()) {
        log(Log::Warning, "Could not read the IPv4 configuration of the primary connection: %s", qPrintable(error));
        m_primaryIp4Path.clear();
    }
    return ipv4Object(properties);
}

QVariantMap IPC::primaryIp4Properties(const NetworkManager::ActiveConnection::Ptr &connection, QString *error)
{
    if (m_primaryIp4Path.isEmpty())
        m_primaryIp4Path = ip4ConfigPath(connection, error);
    return isObjectPath(m_primaryIp4Path) ? ip4ConfigProperties(m_primaryIp4Path, error) : QVariantMap();
}

QJsonValue IPC::stateIpv4(NetworkManager::Device::Ptr dev)
{
    if (!dev->activeConnection() || mapDeviceState(dev->state()) != Connected)
        return QJsonValue::Null;
    return currentIpv4(dev);
}

} // namespace Corvex
