#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <QHash>
#include <QList>

#include <deque>

struct mosquitto;
struct mosquitto_message;
class QHostAddress;
class QHostInfo;
class QSocketNotifier;
class QTimer;

namespace Corvex
{

// A small MQTT 3.1.1 client on libmosquitto, driven entirely from the Qt event loop of the calling thread:
// the library's socket is watched by socket notifiers and its loop functions are called from there, so no
// thread is started. One object serves one connection attempt; callers make a new one to reconnect.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    enum ClientState { Disconnected = 0, Connecting = 1, Connected = 2 };
    Q_ENUM(ClientState)

    // CONNACK refusal codes keep their protocol values; transport and protocol failures follow them.
    enum ClientError {
        NoError = 0,
        InvalidProtocolVersion = 1,
        IdRejected = 2,
        ServerUnavailable = 3,
        BadUsernameOrPassword = 4,
        NotAuthorized = 5,
        TransportInvalid = 256,
        ProtocolViolation = 257,
        UnknownError = 258
    };
    Q_ENUM(ClientError)

    // TLS to the broker: on when caFile is set; certFile and keyFile give the client's own certificate.
    struct Tls {
        QString caFile;
        QString certFile;
        QString keyFile;
    };

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    QString hostname() const;
    void setHostname(const QString &hostname);
    quint16 port() const;
    void setPort(quint16 port);
    QString username() const;
    void setUsername(const QString &username);
    QString password() const;
    void setPassword(const QString &password);
    quint16 keepAlive() const;
    void setKeepAlive(quint16 seconds);
    // The message the broker publishes when the connection ends without a DISCONNECT; an empty topic: none.
    void setWill(const QString &topic, const QByteArray &payload, quint8 qos, bool retain);
    void setTls(const Tls &tls);
    // Empty: the library's default.
    void setClientId(const QString &clientId);
    // Of the addresses the host name resolves to, the one to try first (counted round, from 0).
    void setFirstAddress(int index);

    ClientState state() const;
    ClientError error() const;

    // Starts a non-blocking connection, the host name lookup included; the outcome arrives as state and error
    // changes.
    void connectToHost();
    // Sends DISCONNECT and closes the connection.
    void disconnectFromHost();
    // Closes the transport at once, without a DISCONNECT packet.
    void abortConnection();

    bool subscribe(const QString &topicFilter, quint8 qos);
    // Returns the message identifier, or -1 when the library refused the message.
    int publish(const QString &topic, const QByteArray &payload, quint8 qos, bool retain);

signals:
    void stateChanged(Corvex::MqttClient::ClientState state);
    void errorChanged(Corvex::MqttClient::ClientError error);
    void messageReceived(const QByteArray &message, const QString &topic);
    // A publication handed over: written for QoS 0, acknowledged by the broker for QoS 1 and 2.
    void messageSent(int id);

private:
    // What a library callback saw; handled later from the event loop, outside every library call.
    struct Event {
        enum Kind { ConnAck, Message, SubAck, Sent, Closed } kind;
        int code = 0; // CONNACK code, message id of a SUBACK or a sent message, or the library's reason for closing
        int detail = 0; // granted QoS of a SUBACK
        QByteArray payload;
        QString topic;
    };

    static void onConnect(mosquitto *handle, void *self, int code);
    static void onDisconnect(mosquitto *handle, void *self, int reason);
    static void onMessage(mosquitto *handle, void *self, const mosquitto_message *message);
    static void onSubscribe(mosquitto *handle, void *self, int mid, int count, const int *grantedQos);
    static void onPublish(mosquitto *handle, void *self, int mid);
    static void onLibraryLog(mosquitto *handle, void *self, int level, const char *text);

    void onHostResolved(const QHostInfo &info);
    void connectToAddresses(const QList<QHostAddress> &addresses);
    bool abandonLookup();
    int startConnection(const QString &address);
    bool createHandle();
    int setUpTls();
    void releaseHandle();
    void watchSocket();
    void unwatchSocket();
    void afterLibraryCall();
    void queueEvent(Event event);
    void dispatchEvents();
    void handleEvent(const Event &event);
    void handleClosed(int reason);
    void finishDisconnected(ClientError error);
    void setState(ClientState state);
    void setError(ClientError error);
    void noteLoopResult(int result);
    void onReadable();
    void onWritable();
    void onHousekeeping();

    QString m_hostname;
    quint16 m_port = 1883;
    QString m_username;
    QString m_password;
    quint16 m_keepAlive = 60;
    QString m_willTopic;
    QByteArray m_willPayload;
    quint8 m_willQos = 0;
    bool m_willRetain = false;
    Tls m_tls;
    QString m_clientId;
    int m_firstAddress = 0;
    ClientState m_state = Disconnected;
    ClientError m_error = NoError;

    int m_lookupId = -1;
    mosquitto *m_handle = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_housekeeping = nullptr;
    bool m_socketClosed = false;
    bool m_dispatchQueued = false;
    std::deque<Event> m_events;
    QHash<int, QString> m_pendingSubscriptions;
};

// The error's name as the log shows it; "unknown" for a value without one.
QString mqttErrorToString(MqttClient::ClientError error);

} // namespace Corvex
