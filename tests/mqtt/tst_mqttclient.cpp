// The MQTT client against a real mosquitto broker and against scripted peers that answer with fixed bytes. What
// the service shows end to end (refusal codes, a silent broker, credentials, QoS and retain) is tested there.
#include "MqttClient.h"

#include <QMetaEnum>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using Corvex::MqttClient;

namespace
{

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

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
        QObject::connect(&client, &MqttClient::stateChanged, [this](MqttClient::ClientState state) {
            events << QString::fromLatin1(QMetaEnum::fromType<MqttClient::ClientState>().valueToKey(state));
        });
        QObject::connect(&client, &MqttClient::errorChanged, [this](MqttClient::ClientError error) {
            events << "error " + QString::fromLatin1(QMetaEnum::fromType<MqttClient::ClientError>().valueToKey(error));
        });
        QObject::connect(
            &client, &MqttClient::messageReceived, [this](const QByteArray &payload, const QString &topic) {
                messages.append({ payload, topic });
            });
    }

    MqttClient client;
    QStringList events;
    QList<QPair<QByteArray, QString>> messages;
};

QStringList failedSequence(const char *error)
{
    return { QStringLiteral("Connecting"), QStringLiteral("error ") + error, QStringLiteral("Disconnected") };
}

} // namespace

class TestMqttClient : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QProcess m_broker;
    quint16 m_port = freePort();

private slots:
    void initTestCase()
    {
        const QString config = m_dir.filePath(QStringLiteral("mosquitto.conf"));
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("listener " + QByteArray::number(m_port) + " 127.0.0.1\npersistence false\nallow_anonymous true\n");
        file.close();
        m_broker.setProcessChannelMode(QProcess::ForwardedChannels);
        m_broker.start(QStringLiteral("/usr/sbin/mosquitto"), { "-c", config });
        QTRY_VERIFY_WITH_TIMEOUT(
            [this] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, m_port);
                return socket.waitForConnected(100);
            }(),
            5000);
    }

    void cleanupTestCase()
    {
        m_broker.kill();
        m_broker.waitForFinished();
    }

    // The publisher hears its own message; a later subscriber gets it before its own marker only if retained.
    void roundTrip_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("retain");
        QTest::newRow("binary payload, non-ASCII topic, retained")
            << QString::fromUtf8("rt/gr\xc3\xbc\xc3\x9f") << QByteArray("a\0b\xff", 4) << true;
        QTest::newRow("empty payload") << "rt/empty" << QByteArray() << false;
    }

    void roundTrip()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(bool, retain);
        Probe publisher(m_port);
        publisher.client.connectToHost();
        QTRY_COMPARE(publisher.client.state(), MqttClient::Connected);
        QVERIFY(publisher.client.subscribe(topic, 2));
        QVERIFY(publisher.client.publish(topic, payload, 2, retain) >= 0);
        QTRY_COMPARE(publisher.messages, (QList<QPair<QByteArray, QString>> { { payload, topic } }));

        Probe late(m_port);
        late.client.connectToHost();
        QTRY_COMPARE(late.client.state(), MqttClient::Connected);
        QVERIFY(late.client.subscribe(topic, 0));
        QVERIFY(late.client.publish(topic, "marker", 0, false) >= 0);
        QTRY_COMPARE(late.messages.size(), retain ? 2 : 1);
        QCOMPARE(late.messages.first().first, retain ? payload : QByteArray("marker"));

        publisher.client.disconnectFromHost();
        QTRY_COMPARE(publisher.events, QStringList({ "Connecting", "Connected", "Disconnected" }));
        QCOMPARE(publisher.client.error(), MqttClient::NoError);
    }

    // Nothing listens: the library fails inside the connect call, yet the failure must reach the caller from the
    // event loop, after connectToHost returned, like any other failure.
    void refusedPortFailsAfterConnectReturns()
    {
        Probe probe(freePort());
        probe.client.connectToHost();
        QCOMPARE(probe.events, QStringList({ "Connecting" }));
        QTRY_COMPARE(probe.events, failedSequence("TransportInvalid"));
        QCOMPARE(probe.client.publish(QStringLiteral("t"), "x", 0, false), -1);
        QVERIFY(!probe.client.subscribe(QStringLiteral("t"), 0));
    }

    // The CONNECT packet goes out once the non-blocking TCP connect completes; an abort then closes the socket
    // without a DISCONNECT packet, so the peer sees exactly one packet.
    void silentBrokerStaysConnectingUntilAborted()
    {
        ScriptedBroker silent({});
        Probe probe(silent.port());
        probe.client.connectToHost();
        QTRY_VERIFY(silent.received.size() >= 2);
        QCOMPARE(silent.received.at(0), '\x10');
        QCOMPARE(probe.client.state(), MqttClient::Connecting);
        probe.client.abortConnection();
        QCOMPARE(probe.events, failedSequence("TransportInvalid"));
        QTRY_VERIFY(silent.clientClosed);
        QCOMPARE(silent.received.size(), 2 + silent.received.at(1));
    }

    void malformedReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("short CONNACK") << QByteArray("\x20\x01\x00", 3);
        QTest::newRow("oversized remaining length") << QByteArray("\x20\xff\xff\xff\xff\x7f", 6);
        QTest::newRow("PINGRESP before CONNACK") << QByteArray("\xd0\x00", 2);
    }

    void malformedReply()
    {
        QFETCH(QByteArray, reply);
        ScriptedBroker garbage(reply);
        Probe probe(garbage.port());
        probe.client.connectToHost();
        QTRY_COMPARE(probe.events, failedSequence("ProtocolViolation"));
    }

    void deleteInsideSlot_data()
    {
        QTest::addColumn<bool>("onMessage");
        QTest::newRow("on Disconnected") << false;
        QTest::newRow("on the first of several messages") << true;
    }

    // The owner may drop the client from any of its slots, even with further events waiting to be reported.
    void deleteInsideSlot()
    {
        QFETCH(bool, onMessage);
        QPointer<MqttClient> client = new MqttClient;
        client->setHostname(QStringLiteral("127.0.0.1"));
        client->setPort(m_port);
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
        QCOMPARE(messages, onMessage ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestMqttClient)
#include "tst_mqttclient.moc"
