#pragma once

#include "Log.h"
#include "MqttClient.h"

#include <NetworkManagerQt/AccessPoint>
#include <NetworkManagerQt/ActiveConnection>
#include <NetworkManagerQt/Connection>
#include <NetworkManagerQt/Device>
#include <NetworkManagerQt/Ipv4Setting>
#include <NetworkManagerQt/ModemDevice>
#include <NetworkManagerQt/WiredDevice>
#include <NetworkManagerQt/WirelessDevice>

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QScopedPointer>
#include <QTimer>

#include <optional>

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
    bool isConnected() const;

    // A command message as the engine gets it, or the text of the error document that refuses it.
    struct CommandMessage {
        QString command;
        QJsonObject data;
        QString error;
    };
    // The command intake short of the connection: command text from the topic, size limit, JSON parse.
    static CommandMessage readCommand(const QString &base, const QString &topic, const QByteArray &payload);
    // The wait before reconnect attempt `attempt` (counted from 1 since the last lasting connection); `random`, from
    // 0 to 1, places it within the jitter.
    static int reconnectDelayMs(int attempt, double random);
    // The device's IPv4 configuration as NetworkManager reports it now, read past the binding's cache.
    QJsonObject currentIpv4(const NetworkManager::Device::Ptr &dev);

    // CorvexIPC.cpp: the outcome of a request. Every error document counts, so a request failed when an error
    // was published while it ran: errorSince(mark) with mark = errorCount() taken before it.
    quint64 errorCount() const;
    std::optional<QString> errorSince(quint64 mark) const;
    // The result of a request that carried an id (a string or a number): ok, or failed with the error's text. An
    // undefined id publishes nothing.
    void publishResult(const QString &command, const QJsonValue &id, const std::optional<QString> &error);

signals:
    void connected(const QString &url);
    void disconnected();
    void error(int code, const QString &descr);
    void commandReceived(const QString &command, const QJsonObject &data);
    // The broker has acknowledged the QoS 1 or 2 publication with this message id.
    void delivered(int id);

public slots:
    // CorvexIPC.cpp: the connection and command intake
    void connect();
    void disconnect();

    // CorvexIPCState.cpp: network status and device state documents
    // The message id, which `delivered` names once the broker has the document.
    int publishNetworkStatus();
    void publishNetworkInfo();
    // Republishes the network status only when the primary connection's IPv4 differs from the one last published.
    void publishNetworkStatusIfIpChanged();
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

    // CorvexIPCDiscovery.cpp: the Wifi radio document and the announcement to home automation
    void publishWifiRadio();
    // Announces the device and its entities when a discovery prefix is configured; an announcement equal to the
    // last one goes out again only when `always` (a new connection).
    void publishDiscovery(bool always);

private slots:
    void onMqttStateChanged(Corvex::MqttClient::ClientState state);
    void onMqttErrorChanged(Corvex::MqttClient::ClientError err);
    void onMqttMessage(const QByteArray &message, const QString &topic);

private:
    // CorvexIPC.cpp
    QString topicBase() const;
    // The first `hexDigits` of a digest of the machine's identity and the base topic.
    QString deviceDigest(int hexDigits) const;
    int publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    int publishTo(const QString &fullTopic, const QByteArray &payload, int qos, bool retain);
    int publishAvailability(const QByteArray &state);
    int publishDocument(const QString &topic, const QJsonObject &document, int qos, bool retain);
    // Hands the device, in its specific form, to the operation for its type; other types publish nothing.
    void publishByType(const NetworkManager::Device::Ptr &dev, void (IPC::*ethernet)(NetworkManager::WiredDevice::Ptr),
        void (IPC::*wifi)(NetworkManager::WirelessDevice::Ptr), void (IPC::*modem)(NetworkManager::ModemDevice::Ptr));
    void subscribe(const QString &topic);
    void clearRetainedTopics();
    void onBrokerTimeout();
    void scheduleReconnect();
    // A payload as the Debug log shows it, its secrets masked.
    QByteArray loggablePayload(const QByteArray &payload) const;

    // CorvexIPCState.cpp
    QJsonObject networkStatus();
    int publishStatusDocument(const QJsonObject &status);
    QJsonValue toJson(NetworkManager::ActiveConnection::Ptr connection);
    QJsonValue toJson(NetworkManager::AccessPoint::Ptr accessPoint);
    static QJsonObject ipv4Object(const QVariantMap &ip4ConfigProperties);
    QJsonObject primaryIpv4(const NetworkManager::ActiveConnection::Ptr &connection);
    QVariantMap primaryIp4Properties(const NetworkManager::ActiveConnection::Ptr &connection, QString *error);
    QJsonValue stateIpv4(NetworkManager::Device::Ptr dev);

    // CorvexIPCDiscovery.cpp
    void subscribeDiscoveryStatus();
    // True for the home-automation status topic, whose "online" (a restart) asks for the announcement again.
    bool takeDiscoveryStatus(const QString &topic, const QByteArray &message);
    QString discoveryTopic() const;
    QString discoveryNode() const;
    QJsonObject discoveryPayload() const;

    // CorvexIPCConfig.cpp
    QJsonValue toJson(NetworkManager::Ipv4Setting::Ptr setting);
    QJsonObject ipv4SettingMembers(const NetworkManager::Connection::Ptr &connection);
    // Asks NetworkManager for a profile's secrets of one setting and waits; false (logged) when it refuses.
    bool secretsOf(const NetworkManager::Connection::Ptr &connection, const QString &setting, NMVariantMapMap *secrets);
    static QString pskOf(const NMVariantMapMap &secrets);
    static const QString wirelessSecurityGroup;

    LogTag log { "[IPC] " };
    Config *m_config;
    QScopedPointer<MqttClient> m_client;
    QScopedPointer<QTimer> m_connectTimer;
    int m_reconnectAttempt = 0;
    QElapsedTimer m_connectedSince; // invalid while not connected
    QHash<QString, QJsonValue> m_stateIpv4;
    QJsonValue m_statusIpv4; // the primary connection's IPv4 in the status last published
    QPointer<NetworkManager::ActiveConnection> m_primaryFollowed;
    QString m_primaryIp4Path;
    quint64 m_errorCount = 0;
    QString m_lastError;
    QJsonObject m_announced; // the device and entities last announced
    QByteArray m_discovery; // the announcement last sent
    QString m_clientId; // empty: the library's own
    int m_addressTurn = 0; // the resolved address the next connection attempt starts with
    bool m_reachedBroker = false;
};

} // namespace Corvex
