// Network status, service information and device state documents, with the IPv4 cache behind them.
#include "CorvexIPC.h"

#include "CorvexTypes.h"
#include "version.h"

#include <ModemManagerQt/Manager>
#include <ModemManagerQt/Modem3Gpp>
#include <ModemManagerQt/ModemCdma>
#include <ModemManagerQt/ModemDevice>
#include <NetworkManagerQt/Manager>
#include <NetworkManagerQt/Settings>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>

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

} // namespace

void IPC::publishNetworkInfo()
{
    const QJsonObject service { { "type", "network" }, { "version", QString::fromLatin1(getProjectVersion()) } };
    publishDocument(QStringLiteral("info"), { { "service", service } }, 2, /* retain = */ true);
}

void IPC::publishNetworkStatus()
{
    const NetworkManager::Status status = NetworkManager::status();
    const NetworkManager::Connectivity connectivity = NetworkManager::connectivity();
    const QJsonObject doc {
        { "hostname", NetworkManager::hostname() },
        { "state", int(status) },
        { "stateStr", statusToString(status) },
        { "connectivity", int(connectivity) },
        { "connectivityStr", connectivityToString(connectivity) },
        { "primaryConnection", toJson(NetworkManager::primaryConnection()) },
    };
    publishDocument(QStringLiteral("status"), doc, 2, /* retain = */ true);
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
    doc["ipv4"] = connected ? toJson(modem->ipV4Config()) : QJsonValue(QJsonValue::Null);
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
    doc["ipv4"] = toJson(connection->ipV4Config());
    return doc;
}

QJsonValue IPC::toJson(const NetworkManager::IpConfig &config)
{
    QJsonObject doc;
    const NetworkManager::IpAddresses addresses = config.addresses();
    if (!addresses.isEmpty()) {
        doc["address"] = addresses.first().ip().toString();
        doc["netmask"] = addresses.first().netmask().toString();
    }
    const QList<QHostAddress> nameservers = config.nameservers();
    for (int i = 0; i < nameservers.size(); ++i)
        doc[QStringLiteral("dns%1").arg(i)] = nameservers.at(i).toString();
    doc["gateway"] = config.gateway();
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

QString IPC::ip4ConfigPath(const NetworkManager::Device::Ptr &dev, QString *error)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.NetworkManager"), dev->uni(),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QStringLiteral("org.freedesktop.NetworkManager.Device") << QStringLiteral("Ip4Config");
    const QDBusReply<QDBusVariant> reply = QDBusConnection::systemBus().call(call);
    if (!reply.isValid()) {
        if (error)
            *error = reply.error().message();
        return QString();
    }
    return reply.value().variant().value<QDBusObjectPath>().path();
}

NetworkManager::IpConfig IPC::currentIpV4Config(NetworkManager::Device::Ptr dev)
{
    // Read past the binding's cache: right after a change the cached device can still hold the old object.
    QString error;
    const QString path = ip4ConfigPath(dev, &error);
    if (!error.isEmpty()) {
        log(Log::Warning, "Could not read the IPv4 configuration of %s: %s", qPrintable(dev->interfaceName()),
            qPrintable(error));
    }
    NetworkManager::IpConfig config;
    if (!path.isEmpty() && path != QLatin1String("/"))
        config.setIPv4Path(path);
    return config;
}

QJsonValue IPC::stateIpv4(NetworkManager::Device::Ptr dev)
{
    if (!dev->activeConnection() || mapDeviceState(dev->state()) != Connected)
        return QJsonValue::Null;
    return toJson(currentIpV4Config(dev));
}

} // namespace Corvex
