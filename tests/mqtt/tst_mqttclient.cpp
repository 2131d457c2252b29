// The MQTT client against real mosquitto brokers and against scripted peers that answer with fixed bytes.
#include "MqttClient.h"

#include <QMetaEnum>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Corvex::MqttClient;

namespace
{

const QString mosquittoBinary = QStringLiteral("/usr/sbin/mosquitto");

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

template <typename Enum> QString enumKey(Enum value)
{
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

// A mosquitto broker on a free loopback port, configured in its own temporary directory.
class Broker
{
public:
    Broker()
        : m_port(freePort())
    {
        const QByteArray config = "listener " + QByteArray::number(m_port)
            + " 127.0.0.1\npersistence false\nset_tcp_nodelay true\nlog_type error\nallow_anonymous true\n";
        QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        file.open(QIODevice::WriteOnly);
        file.write(config);
        file.close();
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(mosquittoBinary, { "-c", file.fileName() });
    }

    ~Broker()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    bool waitUntilListening()
    {
        m_process.waitForStarted();
        for (int attempt = 0; attempt < 100 && m_process.state() == QProcess::Running; ++attempt) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(100))
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    quint16 port() const { return m_port; }

private:
    QTemporaryDir m_dir;
    quint16 m_port;
    QProcess m_process;
};

// Accepts TCP connections, collects what the client sends and answers the first bytes with a fixed reply
// (none when the reply is empty).
class ScriptedBroker
{
public:
    explicit ScriptedBroker(const QByteArray &reply)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this, reply] {
            QTcpSocket *socket = m_server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, reply] {
                const bool first = received.isEmpty();
                received += socket->readAll();
                if (first && !reply.isEmpty())
                    socket->write(reply);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, [this] { clientClosed = true; });
        });
    }

    quint16 port() const { return m_server.serverPort(); }

    QByteArray received;
    bool clientClosed = false;

private:
    QTcpServer m_server;
};

// A client with a record of its signals: states and errors in one list, so their order is checked too.
class Probe
{
public:
    explicit Probe(quint16 port)
    {
        client.setHostname(QStringLiteral("127.0.0.1"));
        client.setPort(port);
        QObject::connect(
            &client, &MqttClient::stateChanged, [this](MqttClient::ClientState state) { events << enumKey(state); });
        QObject::connect(&client, &MqttClient::errorChanged,
            [this](MqttClient::ClientError error) { events << QStringLiteral("error ") + enumKey(error); });
        QObject::connect(
            &client, &MqttClient::messageReceived, [this](const QByteArray &payload, const QString &topic) {
                messages.append({ payload, topic });
            });
    }

    bool connectAndWait()
    {
        client.connectToHost();
        return QTest::qWaitFor([this] { return client.state() != MqttClient::Connecting; }, 5000)
            && client.state() == MqttClient::Connected;
    }

    MqttClient client;
    QStringList events;
    QList<QPair<QByteArray, QString>> messages;
};

QStringList refusedSequence(const QString &error)
{
    return { QStringLiteral("Connecting"), QStringLiteral("error ") + error, QStringLiteral("Disconnected") };
}

} // namespace

class TestMqttClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();
    void refusedPortFailsAfterConnectReturns();
    void silentBrokerStaysConnectingUntilAborted();
    void malformedReply_data();
    void malformedReply();
    void deleteInsideSlot_data();
    void deleteInsideSlot();

private:
    std::unique_ptr<Broker> m_open;
};

void TestMqttClient::initTestCase()
{
    m_open = std::make_unique<Broker>();
    QVERIFY(m_open->waitUntilListening());
}

void TestMqttClient::roundTrip_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("qos");
    QTest::addColumn<bool>("retain");

    QTest::newRow("qos 2 retained") << "rt/qos2" << QByteArray("two") << 2 << true;
    QTest::newRow("binary payload, non-ASCII topic")
        << QString::fromUtf8("rt/gr\xc3\xbc\xc3\x9f") << QByteArray("a\0b\xff", 4) << 1 << true;
    QTest::newRow("empty payload") << "rt/empty" << QByteArray() << 2 << false;
}

// The publisher hears its own message; a later subscriber gets it first only if it was retained, since
// its own marker message, published after subscribing, comes after the broker's retained copy.
void TestMqttClient::roundTrip()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(int, qos);
    QFETCH(bool, retain);

    Probe publisher(m_open->port());
    QVERIFY(publisher.connectAndWait());
    QVERIFY(publisher.client.subscribe(topic, 2));
    QVERIFY(publisher.client.publish(topic, payload, quint8(qos), retain) >= 0);
    QTRY_COMPARE(publisher.messages.size(), 1);
    QCOMPARE(publisher.messages.first().first, payload);
    QCOMPARE(publisher.messages.first().second, topic);

    Probe late(m_open->port());
    QVERIFY(late.connectAndWait());
    QVERIFY(late.client.subscribe(topic, 0));
    QVERIFY(late.client.publish(topic, "marker", 0, false) >= 0);
    QTRY_COMPARE(late.messages.size(), retain ? 2 : 1);
    QCOMPARE(late.messages.first().first, retain ? payload : QByteArray("marker"));

    publisher.client.disconnectFromHost();
    QTRY_COMPARE(publisher.client.state(), MqttClient::Disconnected);
    QCOMPARE(publisher.events, QStringList({ "Connecting", "Connected", "Disconnected" }));
    QCOMPARE(publisher.client.error(), MqttClient::NoError);
}

// Nothing listens: the library fails inside the connect call, yet the failure must reach the caller from the
// event loop, after connectToHost returned, like any other failure.
void TestMqttClient::refusedPortFailsAfterConnectReturns()
{
    Probe probe(freePort());
    probe.client.connectToHost();
    QCOMPARE(probe.events, QStringList({ "Connecting" }));
    QTRY_COMPARE(probe.events, refusedSequence("TransportInvalid"));
    QCOMPARE(probe.client.publish(QStringLiteral("t"), "x", 0, false), -1);
    QVERIFY(!probe.client.subscribe(QStringLiteral("t"), 0));
}

// The CONNECT packet goes out once the non-blocking TCP connect completes; an abort then closes the socket
// without a DISCONNECT packet, so the peer sees exactly one packet.
void TestMqttClient::silentBrokerStaysConnectingUntilAborted()
{
    ScriptedBroker silent({});
    Probe probe(silent.port());
    probe.client.connectToHost();
    QTRY_VERIFY(silent.received.size() >= 2);
    QCOMPARE(silent.received.at(0), '\x10');
    QTest::qWait(200);
    QCOMPARE(probe.client.state(), MqttClient::Connecting);

    probe.client.abortConnection();
    QCOMPARE(probe.client.state(), MqttClient::Disconnected);
    QCOMPARE(probe.events, refusedSequence("TransportInvalid"));
    QTRY_VERIFY(silent.clientClosed);
    QCOMPARE(silent.received.size(), 2 + silent.received.at(1));
}

void TestMqttClient::malformedReply_data()
{
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("short CONNACK") << QByteArray("\x20\x01\x00", 3);
    QTest::newRow("oversized remaining length") << QByteArray("\x20\xff\xff\xff\xff\x7f", 6);
    QTest::newRow("PINGRESP before CONNACK") << QByteArray("\xd0\x00", 2);
}

void TestMqttClient::malformedReply()
{
    QFETCH(QByteArray, reply);

    ScriptedBroker garbage(reply);
    Probe probe(garbage.port());
    probe.client.connectToHost();
    QTRY_COMPARE(probe.events, refusedSequence("ProtocolViolation"));
}

void TestMqttClient::deleteInsideSlot_data()
{
    QTest::addColumn<bool>("onMessage");

    QTest::newRow("on Disconnected") << false;
    QTest::newRow("on the first of several messages") << true;
}

// The owner may drop the client from any of its slots, even with further events waiting to be reported.
void TestMqttClient::deleteInsideSlot()
{
    QFETCH(bool, onMessage);

    QPointer<MqttClient> client = new MqttClient;
    client->setHostname(QStringLiteral("127.0.0.1"));
    client->setPort(m_open->port());
    int messages = 0;
    QObject::connect(client, &MqttClient::messageReceived, [&] {
        ++messages;
        if (onMessage)
            delete client;
    });
    QObject::connect(client, &MqttClient::stateChanged, [&](MqttClient::ClientState state) {
        if (state == MqttClient::Disconnected)
            delete client;
    });
    client->connectToHost();
    QTRY_COMPARE(client->state(), MqttClient::Connected);
    QVERIFY(client->subscribe(QStringLiteral("delete/me"), 0));
    for (int i = 0; i < 3; ++i)
        client->publish(QStringLiteral("delete/me"), QByteArray::number(i), 0, false);
    if (!onMessage)
        client->disconnectFromHost();
    QTRY_VERIFY(client.isNull());
    QTest::qWait(50);
    QCOMPARE(messages, onMessage ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestMqttClient)
#include "tst_mqttclient.moc"
