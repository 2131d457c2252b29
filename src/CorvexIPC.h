#pragma once

#include "Log.h"
#include "MqttClient.h"

#include <NetworkManagerQt/AccessPoint>
#include <NetworkManagerQt/ActiveConnection>
#include <NetworkManagerQt/Connection>
#include <NetworkManagerQt/Device>
#include <NetworkManagerQt/IpConfig>
#include <NetworkManagerQt/Ipv4Setting>
#include <NetworkManagerQt/ModemDevice>
#include <NetworkManagerQt/WiredDevice>
#include <NetworkManagerQt/WirelessDevice>

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QObject>
#include <QScopedPointer>
#include <QTimer>

namespace Corvex
{

class Config;

// The service's link to the MQTT broker: keeps the connection, turns command messages into commandReceived and
// publishes every document.
class IPC : public QObject
{
    Q_OBJECT

public:
    IPC(Config *config, QObject *parent);
    ~IPC() override;

    void setLogEnable(bool enable);

    // The device's IPv4 configuration object as NetworkManager reports it now, read on the bus past the
    // binding's cache; empty when the read fails, with the bus error in `error` if given.
    static QString ip4ConfigPath(const NetworkManager::Device::Ptr &dev, QString *error = nullptr);
    // The device's IPv4 configuration as NetworkManager reports it now (empty when it cannot be read).
    NetworkManager::IpConfig currentIpV4Config(NetworkManager::Device::Ptr dev);

signals:
    void connected(const QString &url);
    void disconnected();
    void error(int code, const QString &descr);
    void commandReceived(const QString &command, const QJsonObject &data);

public slots:
    // CorvexIPC.cpp: the connection and command intake
    void connect();
    void disconnect();

    // CorvexIPCState.cpp: network status and device state documents
    void publishNetworkStatus();
    void publishNetworkInfo();
    void publishDeviceState(NetworkManager::Device::Ptr dev);
    void publishDeviceStateIfIpChanged(NetworkManager::Device::Ptr dev);

    // CorvexIPCConfig.cpp: configuration documents
    void publishDeviceConfig(NetworkManager::Device::Ptr dev);

    // CorvexIPCState.cpp
    void publishEthernetState(NetworkManager::WiredDevice::Ptr dev);

    // CorvexIPCConfig.cpp
    void publishEthernetConfig(NetworkManager::WiredDevice::Ptr dev);

    // CorvexIPCState.cpp
    void publishWifiState(NetworkManager::WirelessDevice::Ptr dev);

    // CorvexIPCConfig.cpp
    void publishWifiConfig(NetworkManager::WirelessDevice::Ptr dev);

    // CorvexIPCScan.cpp: scan, hotspot and modem documents
    void publishWifiHotspot(NetworkManager::WirelessDevice::Ptr dev);
    void publishWifiAccessPoints(NetworkManager::WirelessDevice::Ptr dev);
    void publishWifiNetworks(NetworkManager::WirelessDevice::Ptr dev);

    // CorvexIPCState.cpp
    void publishModemState(NetworkManager::ModemDevice::Ptr modem);

    // CorvexIPCScan.cpp
    void publishModemStats(const QMap<QString, QMap<QString, double>> &stats);

    // CorvexIPCConfig.cpp
    void publishModemConfig(NetworkManager::ModemDevice::Ptr modem);

    // CorvexIPCScan.cpp
    void publishDeviceModemSignal(NetworkManager::ModemDevice::Ptr modem);

    // CorvexIPC.cpp
    void publishError(const QString &command, const QString &error);

private slots:
    void onMqttStateChanged(Corvex::MqttClient::ClientState state);
    void onMqttErrorChanged(Corvex::MqttClient::ClientError err);
    void onMqttMessage(const QByteArray &message, const QString &topic);

private:
    // CorvexIPC.cpp
    QString topicBase() const;
    void publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    void publishDocument(const QString &topic, const QJsonObject &document, int qos, bool retain);
    // Hands the device, in its specific form, to the operation for its type; other types publish nothing.
    void publishByType(const NetworkManager::Device::Ptr &dev, void (IPC::*ethernet)(NetworkManager::WiredDevice::Ptr),
        void (IPC::*wifi)(NetworkManager::WirelessDevice::Ptr), void (IPC::*modem)(NetworkManager::ModemDevice::Ptr));
    void subscribe(const QString &topic);
    void clearRetainedTopics();
    void onBrokerTimeout();

    // CorvexIPCState.cpp
    QJsonValue toJson(NetworkManager::ActiveConnection::Ptr connection);
    QJsonValue toJson(const NetworkManager::IpConfig &config);
    QJsonValue toJson(NetworkManager::AccessPoint::Ptr accessPoint);
    QJsonValue stateIpv4(NetworkManager::Device::Ptr dev);

    // CorvexIPCConfig.cpp
    QJsonValue toJson(NetworkManager::Ipv4Setting::Ptr setting);
    QJsonObject ipv4SettingMembers(const NetworkManager::Connection::Ptr &connection);
    static QString ssidText(const QByteArray &ssid);
    // Asks NetworkManager for a profile's secrets of one setting and waits; false (logged) when it refuses.
    bool secretsOf(const NetworkManager::Connection::Ptr &connection, const QString &setting, NMVariantMapMap *secrets);
    static QString pskOf(const NMVariantMapMap &secrets);
    static const QString wirelessSecurityGroup;

    LogTag log { "[IPC] " };
    Config *m_config;
    QScopedPointer<MqttClient> m_client;
    QScopedPointer<QTimer> m_connectTimer;
    QHash<QString, QJsonValue> m_stateIpv4;
};

} // namespace Corvex
