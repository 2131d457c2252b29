// The broker connection, command intake, the publish path and the error document.
#include "CorvexIPC.h"

#include "CorvexConfig.h"
#include "CorvexTypes.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace Corvex
{

namespace
{

    constexpr int brokerAnswerTimeoutMs = 10000;
    constexpr int reconnectDelayMs = 3000;
    constexpr quint16 keepAliveSeconds = 60;

    const char *const commandFilters[] = { "+/get", "+/+/get", "+/+/set", "wifi/connect", "wifi/disconnect",
        "wifi/forget", "wifi/enable", "wifi/disable" };

    const char *const retainedDeviceTopics[] = { "ethernet/state", "ethernet/config", "wifi/state", "wifi/config",
        "wifi/aps", "wifi/networks", "modem/state", "modem/config", "modem/signal" };

} // namespace

const QString IPC::wirelessSecurityGroup = QStringLiteral("802-11-wireless-security");

IPC::IPC(Config *config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_client(new MqttClient(this))
{
}

IPC::~IPC() = default;

void IPC::setLogEnable(bool enable) { log.setEnabled(enable); }

void IPC::connect()
{
    const Config::Mqtt &mqtt = m_config->mqtt();
    m_client.reset(new MqttClient(this));
    m_client->setHostname(mqtt.url);
    m_client->setPort(mqtt.port);
    m_client->setUsername(mqtt.user);
    m_client->setPassword(mqtt.pass);
    m_client->setKeepAlive(keepAliveSeconds);
    QObject::connect(m_client.data(), &MqttClient::stateChanged, this, &IPC::onMqttStateChanged);
    QObject::connect(m_client.data(), &MqttClient::messageReceived, this, &IPC::onMqttMessage);
    QObject::connect(m_client.data(), &MqttClient::errorChanged, this, &IPC::onMqttErrorChanged);

    m_connectTimer.reset(new QTimer(this));
    QObject::connect(m_connectTimer.data(), &QTimer::timeout, this, &IPC::onBrokerTimeout);
    m_client->connectToHost();
}

void IPC::disconnect()
{
    log(Log::Info, "Disconnecting from broker.");
    m_client->disconnectFromHost();
}

void IPC::onBrokerTimeout()
{
    log(Log::Error, "MQTT broker not available.");
    m_client->abortConnection();
}

void IPC::onMqttStateChanged(MqttClient::ClientState state)
{
    switch (state) {
    case MqttClient::Connecting:
        log(Log::Info, "Connecting to %s:%u", qPrintable(m_client->hostname()), unsigned(m_client->port()));
        m_connectTimer->start(brokerAnswerTimeoutMs);
        break;
    case MqttClient::Connected:
        m_connectTimer->stop();
        log(Log::Info, "Connected.");
        for (const char *filter : commandFilters)
            subscribe(QString::fromLatin1(filter));
        clearRetainedTopics();
        emit connected(m_client->hostname());
        break;
    case MqttClient::Disconnected:
        log(Log::Info, "Disconnected.");
        emit disconnected();
        QTimer::singleShot(reconnectDelayMs, this, &IPC::connect);
        break;
    }
}

void IPC::onMqttErrorChanged(MqttClient::ClientError err)
{
    log(Log::Error, "ERROR: %s (%d).", qPrintable(mqttErrorToString(err)), int(err));
}

void IPC::onMqttMessage(const QByteArray &message, const QString &topic)
{
    log(Log::Info, "Message Received [%s]", qPrintable(topic));
    const QString command = QString(topic).remove(topicBase() + QLatin1Char('/'));
    log(Log::Debug, "Command : %s", qPrintable(command));
    log(Log::Debug, "Data    : %s", message.constData());

    QJsonObject data;
    if (!message.isEmpty()) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(message, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            log(Log::Error, "Json parse error: %s", qPrintable(parseError.errorString()));
            publishError(command, QStringLiteral("Json parse error: ") + parseError.errorString());
            return;
        }
        data = document.object();
    }
    emit commandReceived(command, data);
}

QString IPC::topicBase() const { return m_config->mqtt().base; }

void IPC::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    const QString fullTopic = topicBase() + QLatin1Char('/') + topic;
    log(Log::Debug, "Publishing Message");
    log(Log::Debug, "Topic: [%s]", qPrintable(fullTopic));
    log(Log::Debug, "QoS  : %d", qos);
    log(Log::Debug, "Retn : %s", retain ? "true" : "false");
    log(Log::Debug, "Data : [%s]", payload.constData());
    m_client->publish(fullTopic, payload, quint8(qos), retain);
}

void IPC::publishDocument(const QString &topic, const QJsonObject &document, int qos, bool retain)
{
    publish(topic, QJsonDocument(document).toJson(QJsonDocument::Indented), qos, retain);
}

void IPC::subscribe(const QString &topic)
{
    const QString filter = topicBase() + QLatin1Char('/') + topic;
    log(Log::Info, "Subscribing to topic [%s].", qPrintable(filter));
    m_client->subscribe(filter, 0);
}

void IPC::clearRetainedTopics()
{
    for (const char *topic : retainedDeviceTopics)
        publish(QString::fromLatin1(topic), QByteArrayLiteral("{ }"), 0, /* retain = */ true);
}

void IPC::publishByType(const NetworkManager::Device::Ptr &dev, void (IPC::*ethernet)(NetworkManager::WiredDevice::Ptr),
    void (IPC::*wifi)(NetworkManager::WirelessDevice::Ptr), void (IPC::*modem)(NetworkManager::ModemDevice::Ptr))
{
    if (!dev)
        return;
    switch (dev->type()) {
    case NetworkManager::Device::Ethernet:
        (this->*ethernet)(dev.objectCast<NetworkManager::WiredDevice>());
        break;
    case NetworkManager::Device::Wifi:
        (this->*wifi)(dev.objectCast<NetworkManager::WirelessDevice>());
        break;
    case NetworkManager::Device::Modem:
        (this->*modem)(dev.objectCast<NetworkManager::ModemDevice>());
        break;
    default:
        break;
    }
}

void IPC::publishError(const QString &command, const QString &error)
{
    publishDocument(QStringLiteral("error"), { { "command", command }, { "error", error } }, 0,
        /* retain = */ false);
}

} // namespace Corvex
