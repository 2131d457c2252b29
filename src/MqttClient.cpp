// MQTT client on libmosquitto's external-loop interface. The library only ever runs inside our calls
// (its loop functions, connect, publish, subscribe, disconnect) and may invoke callbacks from any of them.
// Callbacks therefore only record events; the events are turned into signals from a queued call, when no
// library frame is on the stack, so a slot may call back into this object or delete it safely.
#include "MqttClient.h"

#include "Log.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QMetaEnum>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fcntl.h>

namespace Corvex
{

namespace
{

    // Keep-alive pings and the library's own give-up run from mosquitto_loop_misc; once a second stays well
    // under half of any sensible keep-alive.
    constexpr int housekeepingIntervalMs = 1000;
    constexpr int subscriptionRefused = 0x80;
    constexpr LogTag mqttLog { "[MQTT] " };

    void initLibrary()
    {
        static const int result = mosquitto_lib_init();
        Q_UNUSED(result)
    }

    // The library's reason for a closed connection, as the client error reported to the caller.
    MqttClient::ClientError closeReasonToError(int reason)
    {
        switch (reason) {
        case MOSQ_ERR_SUCCESS:
            return MqttClient::NoError;
        case MOSQ_ERR_CONN_LOST:
        case MOSQ_ERR_NO_CONN:
        case MOSQ_ERR_ERRNO:
        case MOSQ_ERR_EAI:
        case MOSQ_ERR_LOOKUP:
        case MOSQ_ERR_KEEPALIVE:
        case MOSQ_ERR_CONN_REFUSED:
        case MOSQ_ERR_TLS:
            return MqttClient::TransportInvalid;
        case MOSQ_ERR_PROTOCOL:
        case MOSQ_ERR_MALFORMED_PACKET:
        case MOSQ_ERR_MALFORMED_UTF8:
        case MOSQ_ERR_OVERSIZE_PACKET:
        case MOSQ_ERR_DUPLICATE_PROPERTY:
            return MqttClient::ProtocolViolation;
        default:
            return MqttClient::UnknownError;
        }
    }

    MqttClient::ClientError connackToError(int code)
    {
        return code >= MqttClient::InvalidProtocolVersion && code <= MqttClient::NotAuthorized
            ? static_cast<MqttClient::ClientError>(code)
            : MqttClient::ProtocolViolation;
    }

    bool isRefusal(MqttClient::ClientError error)
    {
        return error >= MqttClient::InvalidProtocolVersion && error <= MqttClient::NotAuthorized;
    }

    // libmosquitto opens its socket without close-on-exec; a child process must not inherit the connection.
    void setCloseOnExec(int fd)
    {
        const int flags = fcntl(fd, F_GETFD);
        if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0)
            mqttLog(Log::Warning, "Cannot set close-on-exec on socket %d.", fd);
    }

    // Disabled at once so the event loop stops polling the descriptor; deleted later because this may run
    // from inside the notifier's own activation.
    void retireNotifier(QSocketNotifier *&notifier)
    {
        if (!notifier)
            return;
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }

    // An empty setting is no setting to the library.
    const char *optionalData(const QByteArray &bytes) { return bytes.isEmpty() ? nullptr : bytes.constData(); }

    // A key file protected by a pass phrase would otherwise make OpenSSL ask for it on the terminal.
    int refusePassphrase(char *, int, int, void *) { return 0; }

    // Says why the broker's certificate is refused (unknown issuer, wrong name, expired): the library only reports
    // that the handshake failed.
    int reportRefusal(int verified, X509_STORE_CTX *store)
    {
        if (!verified)
            mqttLog(Log::Error, "Broker certificate refused: %s",
                X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)));
        return verified;
    }

    // The library names the address it was given in the server name indication; a broker behind a front end that
    // routes by name needs the configured name (and an address is no name to send).
    void nameTheServer(const SSL *constSsl, int where, int)
    {
        if (!(where & SSL_CB_HANDSHAKE_START))
            return;
        SSL *ssl = const_cast<SSL *>(constSsl);
        SSL_set_tlsext_host_name(ssl, X509_VERIFY_PARAM_get0_host(SSL_get0_param(ssl), 0));
    }

    // Logs OpenSSL's reason when a step of setting up TLS failed.
    bool tlsStep(int result, const char *what, const QString &value)
    {
        if (result == 1)
            return true;
        char reason[256];
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        ERR_clear_error();
        mqttLog(Log::Error, "TLS: cannot use %s %s: %s", what, qPrintable(value), reason);
        return false;
    }

    int expectName(SSL_CTX *context, const QString &host)
    {
        X509_VERIFY_PARAM *param = SSL_CTX_get0_param(context);
        const QByteArray name = host.toUtf8();
        return QHostAddress(host).isNull() ? X509_VERIFY_PARAM_set1_host(param, name.constData(), 0)
                                           : X509_VERIFY_PARAM_set1_ip_asc(param, name.constData());
    }

    // The library is handed an address, so its own name check would compare the address: the context is set up
    // here whole, and OpenSSL checks the certificate against the configured name while it verifies the chain.
    SSL_CTX *createTlsContext(const QString &host, const MqttClient::Tls &tls)
    {
        SSL_CTX *context = SSL_CTX_new(TLS_client_method());
        if (!context)
            return nullptr;
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &reportRefusal);
        SSL_CTX_set_info_callback(context, &nameTheServer);
        SSL_CTX_set_default_passwd_cb(context, &refusePassphrase);
        const QByteArray ca = QFile::encodeName(tls.caFile);
        const QByteArray cert = QFile::encodeName(tls.certFile);
        const QByteArray key = QFile::encodeName(tls.keyFile);
        const bool ready = tlsStep(expectName(context, host), "the broker name", host)
            && tlsStep(SSL_CTX_load_verify_locations(context, ca.constData(), nullptr), "the CA file", tls.caFile)
            && (cert.isEmpty()
                || tlsStep(SSL_CTX_use_certificate_chain_file(context, cert.constData()), "the certificate file",
                    tls.certFile))
            && (key.isEmpty()
                || (tlsStep(SSL_CTX_use_PrivateKey_file(context, key.constData(), SSL_FILETYPE_PEM), "the key file",
                        tls.keyFile)
                    && tlsStep(SSL_CTX_check_private_key(context), "the key file", tls.keyFile)));
        if (ready)
            return context;
        SSL_CTX_free(context);
        return nullptr;
    }

} // namespace

MqttClient::MqttClient(QObject *parent)
    : QObject(parent)
    , m_housekeeping(new QTimer(this))
{
    connect(m_housekeeping, &QTimer::timeout, this, &MqttClient::onHousekeeping);
}

MqttClient::~MqttClient()
{
    abandonLookup();
    releaseHandle();
}

QString MqttClient::hostname() const { return m_hostname; }

void MqttClient::setHostname(const QString &hostname) { m_hostname = hostname; }

quint16 MqttClient::port() const { return m_port; }

void MqttClient::setPort(quint16 port) { m_port = port; }

QString MqttClient::username() const { return m_username; }

void MqttClient::setUsername(const QString &username) { m_username = username; }

QString MqttClient::password() const { return m_password; }

void MqttClient::setPassword(const QString &password) { m_password = password; }

quint16 MqttClient::keepAlive() const { return m_keepAlive; }

void MqttClient::setKeepAlive(quint16 seconds) { m_keepAlive = seconds; }

void MqttClient::setWill(const QString &topic, const QByteArray &payload, quint8 qos, bool retain)
{
    m_willTopic = topic;
    m_willPayload = payload;
    m_willQos = qos;
    m_willRetain = retain;
}
void MqttClient::setTls(const Tls &tls) { m_tls = tls; }

void MqttClient::setClientId(const QString &clientId) { m_clientId = clientId; }

void MqttClient::setFirstAddress(int index) { m_firstAddress = index; }

MqttClient::ClientState MqttClient::state() const { return m_state; }

MqttClient::ClientError MqttClient::error() const { return m_error; }

void MqttClient::connectToHost()
{
    if (m_state != Disconnected)
        return;
    m_error = NoError;
    // The library would resolve a name inside its connect call and hold the event loop for as long as the
    // resolver takes; Qt looks it up on a worker of its own and the library gets an address.
    const QHostAddress literal(m_hostname);
    if (literal.isNull())
        m_lookupId = QHostInfo::lookupHost(m_hostname, this, &MqttClient::onHostResolved);
    else
        connectToAddresses({ literal });
    setState(Connecting);
}

void MqttClient::onHostResolved(const QHostInfo &info)
{
    m_lookupId = -1;
    if (info.error() != QHostInfo::NoError)
        mqttLog(Log::Warning, "Cannot resolve %s: %s", qPrintable(m_hostname), qPrintable(info.errorString()));
    connectToAddresses(info.addresses());
}

void MqttClient::connectToAddresses(const QList<QHostAddress> &addresses)
{
    // As the library does with a name: the next address when one is refused at once (a closed loopback port).
    int result = MOSQ_ERR_EAI;
    for (int i = 0; i < addresses.size(); ++i) {
        result = startConnection(addresses.at((m_firstAddress + i) % addresses.size()).toString());
        if (result != MOSQ_ERR_ERRNO)
            break;
    }
    // A failure inside the call (refused port, unusable TLS files) is still reported from the event loop, as a
    // failure found later would be, so callers see the same sequence of signals either way.
    if (result != MOSQ_ERR_SUCCESS)
        queueEvent({ Event::Closed, result, 0, {}, {} });
    afterLibraryCall();
}

// True when a lookup was running; its result is then never delivered.
bool MqttClient::abandonLookup()
{
    if (m_lookupId < 0)
        return false;
    QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    return true;
}

void MqttClient::disconnectFromHost()
{
    if (abandonLookup()) {
        finishDisconnected(NoError);
        return;
    }
    if (!m_handle || m_state == Disconnected)
        return;
    const int result = mosquitto_disconnect(m_handle);
    if (result != MOSQ_ERR_SUCCESS)
        queueEvent({ Event::Closed, result, 0, {}, {} });
    afterLibraryCall();
}

void MqttClient::abortConnection()
{
    if (m_state == Disconnected)
        return;
    if (abandonLookup())
        mqttLog(Log::Warning, "Lookup of %s abandoned.", qPrintable(m_hostname));
    // Destroying the handle closes the socket without a DISCONNECT packet; whatever was read but not yet
    // reported belongs to the abandoned connection.
    m_events.clear();
    finishDisconnected(TransportInvalid);
}

bool MqttClient::subscribe(const QString &topicFilter, quint8 qos)
{
    const QByteArray filter = topicFilter.toUtf8();
    int mid = 0;
    const int result = m_handle ? mosquitto_subscribe(m_handle, &mid, filter.constData(), qos) : MOSQ_ERR_NO_CONN;
    afterLibraryCall();
    if (result != MOSQ_ERR_SUCCESS) {
        mqttLog(Log::Warning, "Cannot subscribe to [%s]: %s", filter.constData(), mosquitto_strerror(result));
        return false;
    }
    m_pendingSubscriptions.insert(mid, topicFilter);
    return true;
}

int MqttClient::publish(const QString &topic, const QByteArray &payload, quint8 qos, bool retain)
{
    const QByteArray name = topic.toUtf8();
    int mid = 0;
    const int result = m_handle
        ? mosquitto_publish(m_handle, &mid, name.constData(), payload.size(), payload.constData(), qos, retain)
        : MOSQ_ERR_NO_CONN;
    afterLibraryCall();
    if (result != MOSQ_ERR_SUCCESS) {
        mqttLog(Log::Debug, "Message to [%s] dropped: %s", name.constData(), mosquitto_strerror(result));
        return -1;
    }
    return mid;
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    static_cast<MqttClient *>(self)->queueEvent({ Event::Sent, mid, 0, {}, {} });
}

void MqttClient::onConnect(mosquitto *, void *self, int code)
{
    static_cast<MqttClient *>(self)->queueEvent({ Event::ConnAck, code, 0, {}, {} });
}

void MqttClient::onDisconnect(mosquitto *, void *self, int reason)
{
    auto *client = static_cast<MqttClient *>(self);
    client->m_socketClosed = true;
    client->queueEvent({ Event::Closed, reason, 0, {}, {} });
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    static_cast<MqttClient *>(self)->queueEvent(
        { Event::Message, 0, 0, QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
            QString::fromUtf8(message->topic) });
}

void MqttClient::onSubscribe(mosquitto *, void *self, int mid, int count, const int *grantedQos)
{
    static_cast<MqttClient *>(self)->queueEvent(
        { Event::SubAck, mid, count > 0 ? grantedQos[0] : subscriptionRefused, {}, {} });
}

void MqttClient::onLibraryLog(mosquitto *, void *, int level, const char *text)
{
    // Some reasons for a failure (a TLS alert from the broker, for one) the library gives only in its log.
    if (level == MOSQ_LOG_ERR)
        mqttLog(Log::Error, "%s", text);
    else if (level == MOSQ_LOG_WARNING)
        mqttLog(Log::Warning, "%s", text);
}

int MqttClient::startConnection(const QString &address)
{
    releaseHandle();
    if (!createHandle())
        return MOSQ_ERR_NOMEM;
    int result = setUpTls();
    if (result == MOSQ_ERR_SUCCESS)
        result = mosquitto_connect_async(m_handle, address.toUtf8().constData(), m_port, m_keepAlive);
    if (result == MOSQ_ERR_SUCCESS)
        watchSocket();
    return result;
}

bool MqttClient::createHandle()
{
    initLibrary();
    // A clean session; without a client identifier the broker treats every attempt as a new client.
    m_handle = mosquitto_new(m_clientId.isEmpty() ? nullptr : m_clientId.toUtf8().constData(), true, this);
    if (!m_handle) {
        mqttLog(Log::Error, "Cannot create the client.");
        return false;
    }
    mosquitto_int_option(m_handle, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Without it Nagle's algorithm holds back the acknowledgements of QoS 1 and 2 by tens of milliseconds.
    mosquitto_int_option(m_handle, MOSQ_OPT_TCP_NODELAY, 1);
    const QByteArray user = m_username.toUtf8();
    const QByteArray pass = m_password.toUtf8();
    // MQTT 3.1.1 has no password without a user name: the library refuses it and the broker would only say
    // "not authorised", so say why here.
    if (mosquitto_username_pw_set(m_handle, optionalData(user), optionalData(pass)) != MOSQ_ERR_SUCCESS)
        mqttLog(Log::Warning, "Password ignored: no user name is set.");
    if (!m_willTopic.isEmpty()
        && mosquitto_will_set(m_handle, m_willTopic.toUtf8().constData(), int(m_willPayload.size()),
               m_willPayload.constData(), m_willQos, m_willRetain)
            != MOSQ_ERR_SUCCESS)
        mqttLog(Log::Warning, "Will on [%s] refused; connecting without.", qPrintable(m_willTopic));
    mosquitto_connect_callback_set(m_handle, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(m_handle, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(m_handle, &MqttClient::onMessage);
    mosquitto_subscribe_callback_set(m_handle, &MqttClient::onSubscribe);
    mosquitto_publish_callback_set(m_handle, &MqttClient::onPublish);
    mosquitto_log_callback_set(m_handle, &MqttClient::onLibraryLog);
    return true;
}

int MqttClient::setUpTls()
{
    if (m_tls.caFile.isEmpty())
        return MOSQ_ERR_SUCCESS;
    SSL_CTX *context = createTlsContext(m_hostname, m_tls);
    if (!context)
        return MOSQ_ERR_TLS;
    // Without its defaults the library uses the context as it is; it keeps a reference of its own.
    mosquitto_int_option(m_handle, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    const int result = mosquitto_void_option(m_handle, MOSQ_OPT_SSL_CTX, context);
    SSL_CTX_free(context);
    return result;
}

void MqttClient::releaseHandle()
{
    unwatchSocket();
    if (m_handle) {
        mosquitto_destroy(m_handle);
        m_handle = nullptr;
    }
    m_pendingSubscriptions.clear();
}

void MqttClient::watchSocket()
{
    const int fd = mosquitto_socket(m_handle);
    setCloseOnExec(fd);
    m_socketClosed = false;
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &MqttClient::onReadable);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &MqttClient::onWritable);
    m_housekeeping->start(housekeepingIntervalMs);
}

void MqttClient::unwatchSocket()
{
    retireNotifier(m_readNotifier);
    retireNotifier(m_writeNotifier);
    m_housekeeping->stop();
}

void MqttClient::afterLibraryCall()
{
    // Once the library has closed the socket its descriptor may be reused: stop watching it before the
    // event loop polls again.
    if (m_socketClosed)
        unwatchSocket();
    else if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_handle));
    if (!m_events.empty() && !m_dispatchQueued) {
        m_dispatchQueued = true;
        QMetaObject::invokeMethod(this, &MqttClient::dispatchEvents, Qt::QueuedConnection);
    }
}

void MqttClient::queueEvent(Event event) { m_events.push_back(std::move(event)); }

void MqttClient::dispatchEvents()
{
    m_dispatchQueued = false;
    const QPointer<MqttClient> self(this);
    while (self && !m_events.empty()) {
        const Event event = std::move(m_events.front());
        m_events.pop_front();
        handleEvent(event);
    }
}

void MqttClient::handleEvent(const Event &event)
{
    switch (event.kind) {
    case Event::ConnAck:
        if (event.code == 0)
            setState(Connected);
        else
            setError(connackToError(event.code));
        break;
    case Event::Message:
        emit messageReceived(event.payload, event.topic);
        break;
    case Event::SubAck:
        if (event.detail >= subscriptionRefused)
            mqttLog(Log::Warning, "The broker refused the subscription to [%s].",
                qPrintable(m_pendingSubscriptions.value(event.code)));
        m_pendingSubscriptions.remove(event.code);
        break;
    case Event::Sent:
        emit messageSent(event.code);
        break;
    case Event::Closed:
        handleClosed(event.code);
        break;
    }
}

void MqttClient::handleClosed(int reason)
{
    if (m_state == Disconnected)
        return;
    // A refused CONNACK is followed by the close; the refusal is what the caller needs to know.
    finishDisconnected(isRefusal(m_error) ? m_error : closeReasonToError(reason));
}

void MqttClient::finishDisconnected(ClientError error)
{
    releaseHandle();
    const QPointer<MqttClient> self(this);
    if (error != NoError)
        setError(error);
    if (self)
        setState(Disconnected);
}

void MqttClient::setState(ClientState state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void MqttClient::setError(ClientError error)
{
    if (error == m_error)
        return;
    m_error = error;
    emit errorChanged(error);
}

// A failed TLS handshake closes the socket without the disconnect callback; the loop call's result tells.
void MqttClient::noteLoopResult(int result)
{
    if (result != MOSQ_ERR_SUCCESS && !m_socketClosed && mosquitto_socket(m_handle) < 0) {
        m_socketClosed = true;
        queueEvent({ Event::Closed, result, 0, {}, {} });
    }
}

void MqttClient::onReadable()
{
    noteLoopResult(mosquitto_loop_read(m_handle, 1));
    afterLibraryCall();
}

void MqttClient::onWritable()
{
    noteLoopResult(mosquitto_loop_write(m_handle, 1));
    afterLibraryCall();
}

void MqttClient::onHousekeeping()
{
    noteLoopResult(mosquitto_loop_misc(m_handle));
    afterLibraryCall();
}

QString mqttErrorToString(MqttClient::ClientError error)
{
    const char *name = QMetaEnum::fromType<MqttClient::ClientError>().valueToKey(error);
    return name ? QString::fromLatin1(name) : QStringLiteral("unknown");
}

} // namespace Corvex
