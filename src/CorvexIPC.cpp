// The broker connection, command intake, the publish path and the error document.
#include "CorvexIPC.h"

#include "CorvexConfig.h"
#include "CorvexTypes.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRandomGenerator>

namespace Corvex
{

namespace
{

    constexpr int brokerAnswerTimeoutMs = 10000;
    // Reconnect pacing: five attempts about 3 s apart bridge a short outage; then the wait doubles up to a minute.
    // Each wait is spread by up to 20 % either way, so devices that lost the broker together return apart.
    constexpr int shortReconnectDelayMs = 3000;
    constexpr int longestReconnectDelayMs = 60000;
    constexpr int shortReconnectAttempts = 5;
    constexpr double reconnectJitter = 0.2;
    // A connection that lasted this long ends a run of failures; one dropped at once (a broker that accepts and
    // closes) does not bring the short delay back.
    constexpr qint64 stableConnectionMs = 60000;
    constexpr quint16 keepAliveSeconds = 60;
    // Far above any command; what is larger is refused before it is parsed.
    constexpr int maxPayloadBytes = 64 * 1024;
    // How long a stop waits for the broker to take "offline" before disconnecting anyway.
    constexpr int offlineWaitMs = 1000;
    const QByteArray offline = QByteArrayLiteral("offline");

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
    // With a will the service connects under the same identifier every time, so the broker ends the old session when
    // a new one starts, and an old session's will can never follow the new "online".
    if (!config->mqtt().availability.isEmpty()) {
        m_clientId = QStringLiteral("corvex") + deviceDigest(16); // 22 characters: any broker's
        log(Log::Info, "MQTT client id: %s", qPrintable(m_clientId));
    }
}

IPC::~IPC() = default;

void IPC::setLogEnable(bool enable) { log.setEnabled(enable); }

bool IPC::isConnected() const { return m_client->state() == MqttClient::Connected; }

void IPC::connect()
{
    const Config::Mqtt &mqtt = m_config->mqtt();
    m_client.reset(new MqttClient(this));
    m_client->setHostname(mqtt.url);
    m_client->setPort(mqtt.port);
    m_client->setUsername(mqtt.user);
    m_client->setPassword(mqtt.pass);
    m_client->setKeepAlive(keepAliveSeconds);
    m_client->setClientId(m_clientId);
    m_client->setFirstAddress(m_addressTurn);
    m_reachedBroker = false;
    if (!mqtt.availability.isEmpty())
        m_client->setWill(topicBase() + QLatin1Char('/') + mqtt.availability, offline, 1, /* retain = */ true);
    m_client->setTls({ mqtt.cafile, mqtt.certfile, mqtt.keyfile });
    QObject::connect(m_client.data(), &MqttClient::stateChanged, this, &IPC::onMqttStateChanged);
    QObject::connect(m_client.data(), &MqttClient::messageReceived, this, &IPC::onMqttMessage);
    QObject::connect(m_client.data(), &MqttClient::errorChanged, this, &IPC::onMqttErrorChanged);
    QObject::connect(m_client.data(), &MqttClient::messageSent, this, &IPC::delivered);

    m_connectTimer.reset(new QTimer(this));
    QObject::connect(m_connectTimer.data(), &QTimer::timeout, this, &IPC::onBrokerTimeout);
    m_client->connectToHost();
}

void IPC::disconnect()
{
    log(Log::Info, "Disconnecting from broker.");
    if (m_config->mqtt().availability.isEmpty() || !isConnected()) {
        m_client->disconnectFromHost();
        return;
    }
    // A clean disconnect suppresses the will: say "offline" ourselves, and let the broker take it first.
    const int id = publishAvailability(offline);
    QObject::connect(
        m_client.data(), &MqttClient::messageSent, m_client.data(), [client = m_client.data(), id](int sent) {
            if (sent == id)
                client->disconnectFromHost();
        });
    QTimer::singleShot(offlineWaitMs, m_client.data(), &MqttClient::disconnectFromHost);
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
        m_connectedSince.start();
        m_reachedBroker = true;
        log(Log::Info, "Connected.");
        publishAvailability(QByteArrayLiteral("online"));
        for (const char *filter : commandFilters)
            subscribe(QString::fromLatin1(filter));
        subscribeDiscoveryStatus();
        clearRetainedTopics();
        emit connected(m_client->hostname());
        break;
    case MqttClient::Disconnected:
        log(Log::Info, "Disconnected.");
        // An address that could not be reached (a broken IPv6 route) must not keep the others from being tried.
        if (!m_reachedBroker)
            ++m_addressTurn;
        emit disconnected();
        scheduleReconnect();
        break;
    }
}

void IPC::scheduleReconnect()
{
    if (m_connectedSince.isValid() && m_connectedSince.hasExpired(stableConnectionMs))
        m_reconnectAttempt = 0;
    m_connectedSince.invalidate();
    const int delay = reconnectDelayMs(++m_reconnectAttempt, QRandomGenerator::global()->generateDouble());
    log(Log::Info, "Reconnecting in %d ms (attempt %d).", delay, m_reconnectAttempt);
    // Precise: a coarse timer moves its timeout to a round time and would bunch the spread waits together again.
    QTimer::singleShot(delay, Qt::PreciseTimer, this, &IPC::connect);
}

int IPC::reconnectDelayMs(int attempt, double random)
{
    const int doublings = qBound(0, attempt - shortReconnectAttempts, /* past the longest wait = */ 5);
    const int delay = qMin(shortReconnectDelayMs << doublings, longestReconnectDelayMs);
    return qRound(delay * (1 - reconnectJitter + 2 * reconnectJitter * random));
}

void IPC::onMqttErrorChanged(MqttClient::ClientError err)
{
    log(Log::Error, "ERROR: %s (%d).", qPrintable(mqttErrorToString(err)), int(err));
}

void IPC::onMqttMessage(const QByteArray &message, const QString &topic)
{
    log(Log::Info, "Message Received [%s]", qPrintable(topic));
    if (takeDiscoveryStatus(topic, message))
        return;
    const CommandMessage request = readCommand(topicBase(), topic, message);
    const bool oversized = message.size() > maxPayloadBytes;
    log(Log::Debug, "Command : %s", qPrintable(request.command));
    if (!oversized)
        log(Log::Debug, "Data    : %s", loggablePayload(message).constData());
    if (!request.error.isEmpty()) {
        log(oversized ? Log::Warning : Log::Error, "%s", qPrintable(request.error));
        publishError(request.command, request.error);
        return;
    }
    emit commandReceived(request.command, request.data);
}

IPC::CommandMessage IPC::readCommand(const QString &base, const QString &topic, const QByteArray &payload)
{
    CommandMessage request;
    request.command = QString(topic).remove(base + QLatin1Char('/'));
    if (payload.size() > maxPayloadBytes) {
        request.error = QStringLiteral("Payload too large: %1 bytes").arg(payload.size());
        return request;
    }
    if (payload.isEmpty())
        return request;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        request.error = QStringLiteral("Json parse error: ") + parseError.errorString();
    else
        request.data = document.object();
    return request;
}

QString IPC::topicBase() const { return m_config->mqtt().base; }

// Stable across restarts, and apart for each device and base topic (two services on one device).
QString IPC::deviceDigest(int hexDigits) const
{
    QFile file(QStringLiteral("/etc/machine-id"));
    const QByteArray machine = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    const QByteArray hash = QCryptographicHash::hash(machine + '\n' + topicBase().toUtf8(), QCryptographicHash::Sha256);
    return QString::fromLatin1(hash.toHex().left(hexDigits));
}

int IPC::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    return publishTo(topicBase() + QLatin1Char('/') + topic, payload, qos, retain);
}

int IPC::publishTo(const QString &fullTopic, const QByteArray &payload, int qos, bool retain)
{
    log(Log::Debug, "Publishing Message");
    log(Log::Debug, "Topic: [%s]", qPrintable(fullTopic));
    log(Log::Debug, "QoS  : %d", qos);
    log(Log::Debug, "Retn : %s", retain ? "true" : "false");
    log(Log::Debug, "Data : [%s]", loggablePayload(payload).constData());
    return m_client->publish(fullTopic, payload, quint8(qos), retain);
}

// The message id, or -1 when nothing was published (no availability topic, or the client refused).
int IPC::publishAvailability(const QByteArray &state)
{
    const QString topic = m_config->mqtt().availability;
    return topic.isEmpty() ? -1 : publish(topic, state, 1, /* retain = */ true);
}

int IPC::publishDocument(const QString &topic, const QJsonObject &document, int qos, bool retain)
{
    return publish(topic, QJsonDocument(document).toJson(QJsonDocument::Indented), qos, retain);
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
    ++m_errorCount;
    m_lastError = error;
    publishDocument(QStringLiteral("error"), { { "command", command }, { "error", error } }, 0,
        /* retain = */ false);
}

quint64 IPC::errorCount() const { return m_errorCount; }

std::optional<QString> IPC::errorSince(quint64 mark) const
{
    return m_errorCount == mark ? std::nullopt : std::optional<QString>(m_lastError);
}

// QoS 2: the broker forwards it only once its handshake is done, so it cannot overtake a document published
// before it, and a client may take it as the end of the answer.
void IPC::publishResult(const QString &command, const QJsonValue &id, const std::optional<QString> &error)
{
    if (id.isUndefined())
        return;
    QJsonObject result { { "command", command }, { "id", id }, { "ok", !error } };
    if (error)
        result.insert(QLatin1String("error"), *error);
    publishDocument(QStringLiteral("result"), result, 2, /* retain = */ false);
}

QByteArray IPC::loggablePayload(const QByteArray &payload) const
{
    // Masking costs a pass over the payload: only when the line is written.
    return log.enabled() && Log::enabled(Log::Debug) ? maskSecrets(payload) : QByteArray();
}

} // namespace Corvex
