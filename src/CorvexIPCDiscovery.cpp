// The Wifi radio document, and the device's announcement to home automation (MQTT discovery), whose entities read
// the service's own retained documents.
#include "CorvexIPC.h"

#include "CorvexConfig.h"
#include "version.h"

#include <NetworkManagerQt/Manager>
#include <NetworkManagerQt/Settings>

#include <QJsonArray>
#include <QJsonDocument>
#include <QList>
#include <QPair>
#include <QSysInfo>

namespace Corvex
{

namespace
{

    const QString product = QStringLiteral("corvex");

    // The templates are Jinja2. Each step into a member that may be missing or null reads as {}, so a template also
    // takes the "{ }" that clears the state topics at each connection.
    QString member(const QStringList &path)
    {
        QString expression = QStringLiteral("value_json");
        for (int i = 0; i + 1 < path.size(); ++i)
            expression = QStringLiteral("(%1.%2 | default({}, true))").arg(expression, path.at(i));
        return expression + QLatin1Char('.') + path.last();
    }

    // A text, empty when the document does not have it.
    QString textOf(const QStringList &path) { return "{{ " + member(path) + " | default('', true) }}"; }

    // A number, or "None" (unknown to Home Assistant) when the document does not have it.
    QString numberOf(const QStringList &path) { return "{{ " + member(path) + " | default(none) }}"; }

    // ON or OFF by `test` of the member `v`, or "None" (unknown) when the document does not have it.
    QString onOffOf(const QString &name, const QString &test)
    {
        return QStringLiteral("{% set v = value_json.%1 | default(none) %}"
                              "{{ 'None' if v is none else ('ON' if %2 else 'OFF') }}")
            .arg(name, test);
    }

    // This month's total, as the statistics document keys it; a month not sampled yet has used nothing.
    QString monthlyOf(const QString &name)
    {
        return QStringLiteral("{{ (value_json[now().strftime('%Y-%m')] | default({}, true)).%1 | default(0) }}")
            .arg(name);
    }

    // Component id and options; topics (keys ending in "_t") are relative to the base topic.
    using Components = QList<QPair<QString, QJsonObject>>;

    QJsonObject sensor(const QString &name, const QString &topic, const QString &value, QJsonObject options = {})
    {
        options.insert(QStringLiteral("p"), QStringLiteral("sensor"));
        options.insert(QStringLiteral("name"), name);
        options.insert(QStringLiteral("stat_t"), topic);
        options.insert(QStringLiteral("val_tpl"), value);
        return options;
    }

    const QJsonObject percent { { "unit_of_meas", "%" }, { "stat_cla", "measurement" } };

    // Entity names leave out the device's name, which Home Assistant puts before them.
    Components networkComponents()
    {
        const QJsonObject diagnostic { { "ent_cat", "diagnostic" } };
        const QString status = QStringLiteral("status");
        return {
            { "internet",
                { { "p", "binary_sensor" }, { "name", "Internet" }, { "dev_cla", "connectivity" }, { "stat_t", status },
                    { "val_tpl", onOffOf("connectivityStr", "v == 'Full'") } } },
            { "network_state", sensor("Network state", status, textOf({ "stateStr" })) },
            { "primary_connection",
                sensor("Primary connection", status, textOf({ "primaryConnection", "connectionName" })) },
            { "primary_interface",
                sensor("Primary interface", status, textOf({ "primaryConnection", "interface" }), diagnostic) },
            { "primary_address",
                sensor(
                    "Primary IPv4 address", status, textOf({ "primaryConnection", "ipv4", "address" }), diagnostic) },
        };
    }

    // Home Assistant's switch has one command topic: "wifi/radio/set" takes both states.
    Components wifiComponents()
    {
        const QString state = QStringLiteral("wifi/state");
        return {
            { "wifi_network", sensor("Wifi network", state, textOf({ "ap", "ssid" })) },
            { "wifi_signal", sensor("Wifi signal", state, numberOf({ "ap", "signalStrength" }), percent) },
            { "wifi_radio",
                { { "p", "switch" }, { "name", "Wifi radio" }, { "stat_t", "wifi/radio" },
                    { "val_tpl", onOffOf("enabled", "v") }, { "stat_on", "ON" }, { "stat_off", "OFF" },
                    { "cmd_t", "wifi/radio/set" }, { "pl_on", R"({"enabled": true})" },
                    { "pl_off", R"({"enabled": false})" } } },
            // Commands take JSON: the button's default payload would be refused.
            { "wifi_disconnect",
                { { "p", "button" }, { "name", "Wifi disconnect" }, { "cmd_t", "wifi/disconnect" },
                    { "pl_prs", "{}" } } },
        };
    }

    Components modemComponents()
    {
        const QJsonObject megabytes { { "unit_of_meas", "MB" }, { "dev_cla", "data_size" },
            { "stat_cla", "total_increasing" } };
        const QString signal = QStringLiteral("modem/signal");
        const QString stats = QStringLiteral("modem/stats");
        return {
            { "modem_operator", sensor("Modem operator", "modem/state", textOf({ "gsm", "operatorName" })) },
            { "modem_technology",
                sensor("Modem access technology", signal,
                    "{{ value_json.accessTechnologies | default([]) | join(', ') }}") },
            { "modem_signal", sensor("Modem signal", signal, numberOf({ "quality" }), percent) },
            { "modem_download", sensor("Modem download this month", stats, monthlyOf("download"), megabytes) },
            { "modem_upload", sensor("Modem upload this month", stats, monthlyOf("upload"), megabytes) },
        };
    }

    QJsonArray macConnection(const QString &mac) { return { QStringLiteral("mac"), mac.toLower() }; }

} // namespace

void IPC::publishWifiRadio()
{
    publishDocument(QStringLiteral("wifi/radio"),
        { { "enabled", NetworkManager::isWirelessEnabled() },
            { "hardware", NetworkManager::isWirelessHardwareEnabled() } },
        0, /* retain = */ true);
}

void IPC::publishDiscovery(bool always)
{
    if (m_config->mqtt().discovery.isEmpty())
        return;
    const QJsonObject current = discoveryPayload();
    if (current == m_announced && !always)
        return;
    // Home Assistant removes the entity of a component reduced to its platform; one just left out would stay.
    const QString cmps = QStringLiteral("cmps");
    QJsonObject components = current.value(cmps).toObject();
    const QJsonObject before = m_announced.value(cmps).toObject();
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (!components.contains(it.key()))
            components.insert(it.key(), QJsonObject { { "p", it.value().toObject().value(QStringLiteral("p")) } });
    }
    QJsonObject announcement = current;
    announcement.insert(cmps, components);
    m_announced = current;
    m_discovery = QJsonDocument(announcement).toJson(QJsonDocument::Indented);
    publishTo(discoveryTopic(), m_discovery, 1, /* retain = */ true);
}

void IPC::subscribeDiscoveryStatus()
{
    const QString prefix = m_config->mqtt().discovery;
    if (prefix.isEmpty())
        return;
    const QString filter = prefix + QLatin1String("/status");
    log(Log::Info, "Subscribing to topic [%s].", qPrintable(filter));
    m_client->subscribe(filter, 0);
}

bool IPC::takeDiscoveryStatus(const QString &topic, const QByteArray &message)
{
    const QString prefix = m_config->mqtt().discovery;
    if (prefix.isEmpty() || topic != prefix + QLatin1String("/status"))
        return false;
    // A (re)started Home Assistant says "online" and knows only what is retained or sent from then on.
    if (message == "online" && !m_discovery.isEmpty())
        publishTo(discoveryTopic(), m_discovery, 1, /* retain = */ true);
    return true;
}

QString IPC::discoveryTopic() const
{
    const Config::Mqtt &mqtt = m_config->mqtt();
    return mqtt.discovery + QLatin1String("/device/") + discoveryNode() + QLatin1String("/config");
}

QString IPC::discoveryNode() const { return product + QLatin1Char('_') + deviceDigest(12); }

// One device with the entities of the device types present; no key, password or PIN is read by any of them.
QJsonObject IPC::discoveryPayload() const
{
    const Config::Mqtt &mqtt = m_config->mqtt();
    const QString node = discoveryNode();
    const QString base = mqtt.base + QLatin1Char('/');
    Components components = networkComponents();
    QJsonArray connections;
    bool wifi = false;
    bool modem = false;
    const NetworkManager::Device::List devices = NetworkManager::networkInterfaces();
    for (const NetworkManager::Device::Ptr &dev : devices) {
        if (!dev->isValid() || !dev->managed())
            continue;
        if (const auto wired = dev.objectCast<NetworkManager::WiredDevice>())
            connections.append(macConnection(wired->hardwareAddress()));
        if (const auto wireless = dev.objectCast<NetworkManager::WirelessDevice>()) {
            connections.append(macConnection(wireless->hardwareAddress()));
            wifi = true;
        }
        modem = modem || dev->type() == NetworkManager::Device::Modem;
    }
    if (wifi)
        components += wifiComponents();
    if (modem)
        components += modemComponents();

    QJsonObject cmps;
    for (auto &[id, options] : components) {
        for (const QString &key : options.keys()) {
            if (key.endsWith(QLatin1String("_t")))
                options.insert(key, QString(base + options.value(key).toString()));
        }
        options.insert(QStringLiteral("uniq_id"), QString(node + QLatin1Char('_') + id));
        cmps.insert(id, options);
    }
    const QString version = QString::fromLatin1(getProjectVersion());
    const QString hostname = NetworkManager::hostname();
    QJsonObject payload {
        { "dev",
            QJsonObject { { "ids", QJsonArray { node } },
                { "name", hostname.isEmpty() ? QSysInfo::machineHostName() : hostname }, { "sw", version },
                { "mdl", product }, { "cns", connections } } },
        { "o", QJsonObject { { "name", product }, { "sw", version } } },
        { "cmps", cmps },
    };
    if (!mqtt.availability.isEmpty())
        payload.insert(QStringLiteral("avty_t"), QString(base + mqtt.availability));
    return payload;
}

} // namespace Corvex
