// The configuration-set commands: store a device's new record, then provision it at once.
#include "CorvexEngine.h"

#include <NetworkManagerQt/ConnectionSettings>

namespace Corvex
{

namespace
{

    QString text(const QJsonObject &data, const char *member) { return data.value(QLatin1String(member)).toString(); }

    // Members that are always taken: one left out clears its field.
    void readIpv4(const QJsonObject &data, Config::Ipv4Config &ipv4)
    {
        ipv4.method = text(data, "method");
        ipv4.address = text(data, "address");
        ipv4.netmask = text(data, "netmask");
        ipv4.gateway = text(data, "gateway");
        ipv4.dns0 = text(data, "dns0");
        ipv4.dns1 = text(data, "dns1");
    }

} // namespace

void Engine::processEthernetConfigSetCommand(const QJsonObject &data)
{
    const QString command = QStringLiteral("ethernet/config/set");
    const QString interface = requestedInterface(data);
    if (interface.isEmpty()) {
        rejectUnspecifiedInterface(command);
        return;
    }
    const NetworkManager::Device::Ptr device = requestedTypedDevice(command, data, NetworkManager::Device::Ethernet);
    if (!device)
        return;

    Config::Ethernet record;
    if (!m_config->ethernetConfigForInterface(interface, record)) {
        record = m_config->ethernet();
        record.interface = interface;
    }
    readIpv4(data, record.ipv4);
    if (data.contains(QLatin1String("mtu")))
        record.mtu = data.value(QLatin1String("mtu")).toInt(0);
    if (data.contains(QLatin1String("ipv6")))
        record.ipv6 = text(data, "ipv6");
    m_config->setEthernetForInterface(interface, record);
    updateConnection(device, *m_config, /* wifiOverride = */ nullptr);
}

void Engine::processWifiConfigSetCommand(const QJsonObject &data)
{
    const NetworkManager::Device::Ptr device
        = requestedTypedDevice(QStringLiteral("wifi/config/set"), data, NetworkManager::Device::Wifi);
    if (!device)
        return;

    const Config::Wifi &stored = m_config->wifi();
    Config::Wifi record = stored;
    readIpv4(data, record.ipv4);
    record.ssid = text(data, "ssid");
    if (data.contains(QLatin1String("key"))) {
        record.key = text(data, "key");
    } else {
        // Without a key the one NetworkManager keeps for the network is taken, or the stored one for the same SSID.
        const QString savedKey = savedWifiKey(record.ssid);
        if (!savedKey.isEmpty())
            record.key = savedKey;
        else if (record.ssid != stored.ssid)
            record.key.clear();
    }
    const NetworkManager::Connection::Ptr saved = findConnection(record.ssid, /* dev = */ {});
    if (data.contains(QLatin1String("autoconnect")))
        record.autocon = data.value(QLatin1String("autoconnect")).toBool(false);
    else if (saved)
        record.autocon = saved->settings()->autoconnect();
    m_config->setWifi(record);
    updateConnection(device, *m_config, /* wifiOverride = */ nullptr);
    if (record.ssid.isEmpty())
        answerFailure(disconnectWifiDevice(device));
}

void Engine::processModemConfigSetCommand(const QJsonObject &data)
{
    const NetworkManager::Device::Ptr device
        = requestedDevice(QStringLiteral("modem/config/set"), data, NetworkManager::Device::Modem);
    if (!device)
        return;

    Config::Modem record = m_config->modem();
    readIpv4(data, record.ipv4);
    record.apn = text(data, "apn");
    record.username = text(data, "username");
    record.password = text(data, "password");
    record.network_id = text(data, "networkId");
    record.pin = text(data, "pin");
    m_config->setModem(record);
    updateConnection(device, *m_config, /* wifiOverride = */ nullptr);
}

} // namespace Corvex
