#pragma once

#include "Log.h"

#include <QObject>
#include <QString>
#include <QVector>

class QSettings;

namespace Corvex
{

// The service's persistent configuration, kept in an INI file that is read once and rewritten on every change.
class Config : public QObject
{
    Q_OBJECT

public:
    struct Mqtt {
        QString url;
        quint16 port = 0;
        QString user;
        QString pass;
        QString base;
        // Topic below `base` for "online" and the will "offline"; empty: neither.
        QString availability;
        // TLS: a CA file turns it on; the certificate and key files identify the client to the broker.
        QString cafile;
        QString certfile;
        QString keyfile;
        // Home-automation discovery prefix under which the device announces itself; empty: no announcement.
        QString discovery;
        // Seconds a change over MQTT waits for the broker before NetworkManager undoes it; 0: no rollback.
        quint32 rollbackSec = 0;
    };

    struct Ipv4Config {
        QString method;
        QString address;
        QString netmask;
        QString gateway;
        QString dns0;
        QString dns1;
    };

    struct Ethernet {
        QString id;
        bool autocon = false;
        QString interface;
        Ipv4Config ipv4;
        qint32 mtu = 0;
        QString ipv6;
    };

    struct Wifi {
        QString id;
        bool autocon = false;
        QString ssid;
        QString key;
        Ipv4Config ipv4;
    };

    struct Modem {
        QString id;
        bool autocon = false;
        QString username;
        QString password;
        QString apn;
        QString network_id;
        QString pin;
        Ipv4Config ipv4;
        quint32 usageSec = 0;
    };

    Config(const QString &filePath, QObject *parent);
    ~Config() override;

    const Mqtt &mqtt() const;
    const Ethernet &ethernet() const;
    bool ethernetConfigForInterface(const QString &interface, Ethernet &out) const;
    const Wifi &wifi() const;
    const Modem &modem() const;

    void setMqtt(const Mqtt &mqtt);
    void setEthernet(const Ethernet &ethernet);
    void setEthernetForInterface(const QString &interface, const Ethernet &ethernet);
    void setWifi(const Wifi &wifi);
    void setModem(const Modem &modem);

    QString filePath() const;
    // Reads the file again, after it was put back as it was before a change.
    void reread();

private:
    void writeDefaultConfiguration();
    void writeConfiguration();
    void readConfiguration();
    void printConfiguration();
    void printEthernet(int index);
    void readEthernetSections();
    void syncSettings();
    void renewSettingsAfterFailure();
    static bool fileExists(const QString &path);
    static constexpr LogTag log { "[Config] " };
    void warnIfOpenToOthers(const QString &path);
    void escapeSerialisedValues(const QString &path);

    int ethernetBaseIndex() const;
    int ethernetIndexForInterface(const QString &interface) const;

    QSettings *m_settings = nullptr;
    Mqtt m_mqtt;
    QVector<Ethernet> m_ethList;
    QVector<QString> m_ethGroups;
    Ethernet m_ethDefault;
    Wifi m_wifi;
    Modem m_modem;
};

} // namespace Corvex
