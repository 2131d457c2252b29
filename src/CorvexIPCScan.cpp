// Wifi scan results, the hotspot, the modem signal and the modem data-usage documents.
#include "CorvexIPC.h"

#include "CorvexTypes.h"

#include <ModemManagerQt/Manager>
#include <ModemManagerQt/ModemDevice>
#include <NetworkManagerQt/Connection>
#include <NetworkManagerQt/WirelessNetwork>
#include <NetworkManagerQt/WirelessSetting>

#include <QJsonArray>
#include <QSet>

#include <cmath>

namespace Corvex
{

namespace
{

    // Names of the client profiles the device could use; hotspot profiles are the service's own, not saved networks.
    QSet<QString> savedNetworkNames(const NetworkManager::WirelessDevice::Ptr &dev)
    {
        QSet<QString> names;
        const NetworkManager::Connection::List connections = dev->availableConnections();
        for (const NetworkManager::Connection::Ptr &connection : connections) {
            const NetworkManager::WirelessSetting::Ptr wireless
                = settingOf<NetworkManager::WirelessSetting>(connection, NetworkManager::Setting::Wireless);
            if (wireless && wireless->mode() != NetworkManager::WirelessSetting::Ap)
                names.insert(QString::fromUtf8(wireless->ssid()));
        }
        return names;
    }

    // Two decimals, half away from zero for the non-negative totals published here.
    double roundToCents(double value) { return double(qint32(std::fma(value, 100.0, 0.5))) / 100.0; }

} // namespace

void IPC::publishWifiAccessPoints(NetworkManager::WirelessDevice::Ptr dev)
{
    if (!dev)
        return;
    QJsonArray aps;
    const QStringList paths = dev->accessPoints();
    for (const QString &path : paths) {
        // An access point may vanish between the listing and the lookup.
        if (const NetworkManager::AccessPoint::Ptr ap = dev->findAccessPoint(path))
            aps.append(toJson(ap));
    }
    publishDocument(QStringLiteral("wifi/aps"), { { "aps", aps }, { "interface", dev->interfaceName() } }, 0,
        /* retain = */ false);
}

void IPC::publishWifiNetworks(NetworkManager::WirelessDevice::Ptr dev)
{
    if (!dev)
        return;
    const QSet<QString> saved = savedNetworkNames(dev);
    QJsonArray networks;
    const NetworkManager::WirelessNetwork::List visible = dev->networks();
    for (const NetworkManager::WirelessNetwork::Ptr &network : visible) {
        const NetworkManager::Device::Ptr owner = NetworkManager::findNetworkInterface(network->device());
        QJsonArray accessPoints;
        const NetworkManager::AccessPoint::List members = network->accessPoints();
        for (const NetworkManager::AccessPoint::Ptr &ap : members)
            accessPoints.append(toJson(ap));
        networks.append(QJsonObject {
            { "ssid", network->ssid() },
            { "signalStrength", network->signalStrength() },
            { "saved", saved.contains(network->ssid()) },
            { "device", owner ? owner->interfaceName() : QString() },
            { "referenceAP", toJson(network->referenceAccessPoint()) },
            { "accessPoints", accessPoints },
        });
    }
    publishDocument(QStringLiteral("wifi/networks"),
        { { "networks", networks }, { "interface", dev->interfaceName() } }, 0, /* retain = */ false);
}

void IPC::publishWifiHotspot(NetworkManager::WirelessDevice::Ptr dev)
{
    if (!dev)
        return;
    QJsonObject doc { { "interface", dev->interfaceName() }, { "active", false }, { "ssid", QJsonValue::Null },
        { "band", QJsonValue::Null }, { "channel", QJsonValue::Null }, { "hidden", QJsonValue::Null },
        { "ipv4", QJsonValue::Null }, { "key", QJsonValue::Null } };
    const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
    const NetworkManager::Connection::Ptr connection
        = active ? active->connection() : NetworkManager::Connection::Ptr();
    const NetworkManager::WirelessSetting::Ptr wireless = connection
        ? settingOf<NetworkManager::WirelessSetting>(connection, NetworkManager::Setting::Wireless)
        : nullptr;
    if (wireless && wireless->mode() == NetworkManager::WirelessSetting::Ap) {
        doc["active"] = true;
        doc["ssid"] = ssidText(wireless->ssid());
        doc["band"] = wireless->band() == NetworkManager::WirelessSetting::A ? "a" : "bg";
        doc["channel"] = qint64(wireless->channel());
        doc["hidden"] = wireless->hidden();
        doc["ipv4"] = toJson(currentIpV4Config(dev));
        // Without an answer the key is published empty, as the hotspot's clients expect a text.
        NMVariantMapMap secrets;
        secretsOf(connection, wirelessSecurityGroup, &secrets);
        doc["key"] = pskOf(secrets);
    }
    publishDocument(QStringLiteral("wifi/hotspot"), doc, 0, /* retain = */ true);
}

void IPC::publishDeviceModemSignal(NetworkManager::ModemDevice::Ptr modem)
{
    if (!modem)
        return;
    QJsonObject doc { { "interface", modem->interfaceName() } };
    const ModemManager::ModemDevice::Ptr modemDevice = ModemManager::findModemDevice(modem->udi());
    const ModemManager::Modem::Ptr modemInterface = modemDevice ? modemDevice->modemInterface() : nullptr;
    if (modemInterface) {
        doc["quality"] = int(modemInterface->signalQuality().signal);
        doc["accessTechnologies"] = accessTechnologiesToJson(modemInterface->accessTechnologies());
    } else {
        // As in the state document: without ModemManager's view the modem's own members are left out.
        log(Log::Warning, "ModemManager does not know the modem '%s'.", qPrintable(modem->udi()));
    }
    publishDocument(QStringLiteral("modem/signal"), doc, 1, /* retain = */ true);
}

void IPC::publishModemStats(const QMap<QString, QMap<QString, double>> &stats)
{
    QJsonObject doc;
    for (auto month = stats.cbegin(); month != stats.cend(); ++month) {
        doc[month.key()] = QJsonObject { { "upload", roundToCents(month.value().value(QStringLiteral("txbytes"))) },
            { "download", roundToCents(month.value().value(QStringLiteral("rxbytes"))) } };
    }
    publishDocument(QStringLiteral("modem/stats"), doc, 0, /* retain = */ true);
}

} // namespace Corvex
