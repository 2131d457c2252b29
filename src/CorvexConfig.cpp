#include "CorvexConfig.h"

#include "CorvexTypes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <optional>
#include <utility>

namespace Corvex
{

namespace
{

    const QString baseEthernetGroup = QStringLiteral("Ethernet");
    constexpr quint16 defaultBrokerPort = 1883;

    // Numbered sections start at 2 and carry no leading zeros, so Ethernet-1 and Ethernet-02 are not sections.
    bool isNumberedEthernetGroup(const QString &group)
    {
        static const QRegularExpression pattern(
            QRegularExpression::anchoredPattern(QStringLiteral("Ethernet-([2-9]|[1-9][0-9]+)")));
        return pattern.match(group).hasMatch();
    }

    Config::Ipv4Config defaultIpv4()
    {
        Config::Ipv4Config ipv4;
        ipv4.method = QStringLiteral("auto");
        return ipv4;
    }

    Config::Mqtt defaultMqtt()
    {
        Config::Mqtt mqtt;
        mqtt.url = QStringLiteral("localhost");
        mqtt.port = defaultBrokerPort;
        mqtt.base = QStringLiteral("vorn/network");
        return mqtt;
    }

    Config::Ethernet defaultEthernet()
    {
        Config::Ethernet ethernet;
        ethernet.id = QStringLiteral("Ethernet");
        ethernet.autocon = true;
        ethernet.ipv4 = defaultIpv4();
        ethernet.mtu = -1;
        return ethernet;
    }

    Config::Wifi defaultWifi()
    {
        Config::Wifi wifi;
        wifi.id = QStringLiteral("Wifi");
        wifi.autocon = true;
        wifi.ipv4 = defaultIpv4();
        return wifi;
    }

    Config::Modem defaultModem()
    {
        Config::Modem modem;
        modem.id = QStringLiteral("Broadband");
        modem.autocon = true;
        modem.apn = QStringLiteral("internet");
        modem.ipv4 = defaultIpv4();
        modem.usageSec = 120;
        return modem;
    }

    // Reads and writes keys of one group; the modem group calls its mask "netmask", the others "mask".
    class Group
    {
    public:
        Group(QSettings &settings, const QString &name)
            : m_settings(settings)
            , m_prefix(name + QLatin1Char('/'))
        {
        }

        QVariant value(const char *key, const QVariant &fallback) const
        {
            return m_settings.value(m_prefix + QLatin1String(key), fallback);
        }

        void setValue(const char *key, const QVariant &value) const
        {
            m_settings.setValue(m_prefix + QLatin1String(key), value);
        }

        Config::Ipv4Config readIpv4(const char *maskKey) const
        {
            const Config::Ipv4Config fallback = defaultIpv4();
            Config::Ipv4Config ipv4;
            ipv4.method = value("method", fallback.method).toString();
            ipv4.address = value("address", fallback.address).toString();
            ipv4.netmask = value(maskKey, fallback.netmask).toString();
            ipv4.gateway = value("gateway", fallback.gateway).toString();
            ipv4.dns0 = value("dns0", fallback.dns0).toString();
            ipv4.dns1 = value("dns1", fallback.dns1).toString();
            return ipv4;
        }

        void writeIpv4(const Config::Ipv4Config &ipv4, const char *maskKey) const
        {
            setValue("method", ipv4.method);
            setValue("address", ipv4.address);
            setValue(maskKey, ipv4.netmask);
            setValue("gateway", ipv4.gateway);
            setValue("dns0", ipv4.dns0);
            setValue("dns1", ipv4.dns1);
        }

    private:
        QSettings &m_settings;
        QString m_prefix;
    };

    // 0 for a text that is no port number (1 to 65535), which the reader replaces by the default.
    quint16 brokerPort(const QVariant &value)
    {
        bool valid = false;
        const uint port = value.toString().toUInt(&valid);
        return valid && port <= 65535 ? quint16(port) : 0;
    }

    Config::Mqtt readMqtt(QSettings &settings)
    {
        const Group group(settings, QStringLiteral("Mqtt"));
        const Config::Mqtt fallback = defaultMqtt();
        Config::Mqtt mqtt;
        mqtt.url = group.value("url", fallback.url).toString();
        mqtt.port = brokerPort(group.value("port", fallback.port));
        mqtt.user = group.value("user", fallback.user).toString();
        mqtt.pass = group.value("pass", fallback.pass).toString();
        mqtt.base = group.value("base", fallback.base).toString();
        mqtt.availability = group.value("availability", QString()).toString();
        mqtt.discovery = group.value("discovery", QString()).toString();
        mqtt.cafile = group.value("cafile", QString()).toString();
        mqtt.certfile = group.value("certfile", QString()).toString();
        mqtt.keyfile = group.value("keyfile", QString()).toString();
        // Bounded so that the window's timer, in milliseconds, fits its 32 bits.
        mqtt.rollbackSec = std::min(group.value("rollbackSec", 0).toUInt(), 2147483u);
        return mqtt;
    }

    void writeMqtt(QSettings &settings, const Config::Mqtt &mqtt)
    {
        const Group group(settings, QStringLiteral("Mqtt"));
        group.setValue("url", mqtt.url);
        group.setValue("port", static_cast<int>(mqtt.port));
        group.setValue("user", mqtt.user);
        group.setValue("pass", mqtt.pass);
        group.setValue("base", mqtt.base);
        if (mqtt.rollbackSec != 0)
            group.setValue("rollbackSec", mqtt.rollbackSec);
        // Optional keys: a file without them, the default one included, stays as it was.
        const std::pair<const char *, QString> optionalKeys[]
            = { { "availability", mqtt.availability }, { "discovery", mqtt.discovery }, { "cafile", mqtt.cafile },
                  { "certfile", mqtt.certfile }, { "keyfile", mqtt.keyfile } };
        for (const auto &[key, value] : optionalKeys) {
            if (!value.isEmpty())
                group.setValue(key, value);
        }
    }

    // `fallback` carries the interface and the id default, which differ between the base and numbered groups.
    Config::Ethernet readEthernet(QSettings &settings, const QString &name, const Config::Ethernet &fallback)
    {
        const Group group(settings, name);
        Config::Ethernet ethernet;
        ethernet.id = group.value("id", fallback.id).toString();
        ethernet.autocon = group.value("autocon", fallback.autocon).toBool();
        ethernet.interface = group.value("interface", fallback.interface).toString();
        ethernet.ipv4 = group.readIpv4("mask");
        ethernet.mtu = group.value("mtu", fallback.mtu).toInt();
        ethernet.ipv6 = group.value("ipv6", fallback.ipv6).toString();
        return ethernet;
    }

    void writeEthernet(QSettings &settings, const QString &name, const Config::Ethernet &ethernet)
    {
        const Group group(settings, name);
        group.setValue("id", ethernet.id);
        group.setValue("autocon", ethernet.autocon);
        group.setValue("interface", ethernet.interface);
        group.writeIpv4(ethernet.ipv4, "mask");
        group.setValue("mtu", ethernet.mtu);
        group.setValue("ipv6", ethernet.ipv6);
    }

    Config::Wifi readWifi(QSettings &settings)
    {
        const Group group(settings, QStringLiteral("Wifi"));
        const Config::Wifi fallback = defaultWifi();
        Config::Wifi wifi;
        wifi.id = group.value("id", fallback.id).toString();
        wifi.autocon = group.value("autocon", fallback.autocon).toBool();
        wifi.ssid = group.value("ssid", fallback.ssid).toString();
        wifi.key = group.value("key", fallback.key).toString();
        wifi.ipv4 = group.readIpv4("mask");
        return wifi;
    }

    void writeWifi(QSettings &settings, const Config::Wifi &wifi)
    {
        const Group group(settings, QStringLiteral("Wifi"));
        group.setValue("id", wifi.id);
        group.setValue("autocon", wifi.autocon);
        group.setValue("ssid", wifi.ssid);
        group.setValue("key", wifi.key);
        group.writeIpv4(wifi.ipv4, "mask");
    }

    Config::Modem readModem(QSettings &settings)
    {
        const Group group(settings, QStringLiteral("Modem"));
        const Config::Modem fallback = defaultModem();
        Config::Modem modem;
        modem.id = group.value("id", fallback.id).toString();
        modem.autocon = group.value("autocon", fallback.autocon).toBool();
        modem.username = group.value("username", fallback.username).toString();
        modem.password = group.value("password", fallback.password).toString();
        modem.apn = group.value("apn", fallback.apn).toString();
        modem.network_id = group.value("network_id", fallback.network_id).toString();
        modem.pin = group.value("pin", fallback.pin).toString();
        modem.ipv4 = group.readIpv4("netmask");
        // Read signed, held unsigned: -1 becomes 4294967295.
        modem.usageSec = static_cast<quint32>(group.value("usageSec", fallback.usageSec).toInt());
        return modem;
    }

    void writeModem(QSettings &settings, const Config::Modem &modem)
    {
        const Group group(settings, QStringLiteral("Modem"));
        group.setValue("id", modem.id);
        group.setValue("autocon", modem.autocon);
        group.setValue("username", modem.username);
        group.setValue("password", modem.password);
        group.setValue("apn", modem.apn);
        group.setValue("network_id", modem.network_id);
        group.setValue("pin", modem.pin);
        group.writeIpv4(modem.ipv4, "netmask");
        group.setValue("usageSec", modem.usageSec);
    }

    // The file holds the broker password, the Wifi key and the SIM PIN. Creating it empty and owner-only
    // before QSettings writes leaves no moment at which it is readable by others: QSettings keeps the mode
    // of an existing file. Failures are left to the write that follows, which reports them.
    void createOwnerOnlyFile(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }

    const char *boolText(bool value) { return value ? "true" : "false"; }

    // QSettings reads a value that starts with "@Variant(" as a binary-serialised QVariant, and a damaged one can
    // ask for any amount of memory. The service writes only texts and numbers (a text starting with '@' goes out
    // as "@@"), so such a value is not its own: it is escaped, to be read as the plain text it shows. The number
    // of values escaped.
    int escapeVariantMarkers(QByteArray &text)
    {
        static const QByteArray marker("@Variant(");
        int count = 0;
        for (int at = text.indexOf(marker); at >= 0; at = text.indexOf(marker, at + 2)) {
            int before = at - 1;
            if (before >= 0 && text.at(before) == '"')
                --before;
            while (before >= 0 && (text.at(before) == ' ' || text.at(before) == '\t'))
                --before;
            // Only where a value or a list element begins: elsewhere QSettings takes the text as it is.
            if (before >= 0 && (text.at(before) == '=' || text.at(before) == ',')) {
                text.insert(at, '@');
                ++count;
            }
        }
        return count;
    }

    // The values escaped in the file, or nothing when it could not be rewritten.
    std::optional<int> escapeSerialisedValuesInFile(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return 0; // unreadable: QSettings finds nothing either
        QByteArray text = file.readAll();
        file.close();
        const int count = escapeVariantMarkers(text);
        if (count == 0)
            return 0;
        const QFileDevice::Permissions permissions = file.permissions();
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
            return std::nullopt;
        QFile::setPermissions(path, permissions);
        return count;
    }

} // namespace

Config::Config(const QString &filePath, QObject *parent)
    : QObject(parent)
{
    QString path = filePath;
    if (path.isEmpty()) {
        path = QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
        log(Log::Warning, "Using default config file '%s'", qPrintable(path));
    }
    const bool exists = fileExists(path);
    if (exists)
        escapeSerialisedValues(path);
    m_settings = new QSettings(path, QSettings::NativeFormat, this);
    if (!exists) {
        log(Log::Warning, "Config file not found: '%s'.", qPrintable(path));
        log(Log::Warning, "Creating file with default values.");
        writeDefaultConfiguration();
    } else {
        warnIfOpenToOthers(path);
    }
    readConfiguration();
    printConfiguration();
}

Config::~Config() = default;

QString Config::filePath() const { return m_settings->fileName(); }

void Config::reread()
{
    const QString path = filePath();
    delete m_settings;
    m_settings = new QSettings(path, QSettings::NativeFormat, this);
    readConfiguration();
}

void Config::escapeSerialisedValues(const QString &path)
{
    const std::optional<int> escaped = escapeSerialisedValuesInFile(path);
    if (!escaped)
        log(Log::Error, "Config file '%s' holds serialised values and cannot be rewritten: reading it may fail.",
            qPrintable(path));
    else if (*escaped > 0)
        log(Log::Warning, "Config file '%s': %d serialised value(s) kept as plain text.", qPrintable(path), *escaped);
}

const Config::Mqtt &Config::mqtt() const { return m_mqtt; }

const Config::Ethernet &Config::ethernet() const
{
    const int index = ethernetBaseIndex();
    return index < 0 ? m_ethDefault : m_ethList.at(index);
}

bool Config::ethernetConfigForInterface(const QString &interface, Ethernet &out) const
{
    for (const Ethernet &ethernet : m_ethList) {
        if (!ethernet.interface.isEmpty() && ethernet.interface == interface) {
            out = ethernet;
            return true;
        }
    }
    // A base section bound to an interface serves only that interface.
    const int base = ethernetBaseIndex();
    if (base >= 0 && m_ethList.at(base).interface.isEmpty()) {
        out = m_ethList.at(base);
        return true;
    }
    return false;
}

const Config::Wifi &Config::wifi() const { return m_wifi; }

const Config::Modem &Config::modem() const { return m_modem; }

void Config::setMqtt(const Mqtt &mqtt)
{
    m_mqtt = mqtt;
    writeConfiguration();
}

void Config::setEthernet(const Ethernet &ethernet)
{
    const int index = ethernetBaseIndex();
    if (index >= 0) {
        m_ethList[index] = ethernet;
    } else {
        m_ethList.append(ethernet);
        m_ethGroups.append(baseEthernetGroup);
    }
    writeConfiguration();
}

void Config::setEthernetForInterface(const QString &interface, const Ethernet &ethernet)
{
    if (interface.isEmpty()) {
        setEthernet(ethernet);
        return;
    }
    Ethernet record = ethernet;
    record.interface = interface;

    const int index = ethernetIndexForInterface(interface);
    if (index >= 0) {
        m_ethList[index] = record;
        writeConfiguration();
        return;
    }

    // Profiles are found by name, so a new section must not reuse another section's id.
    const bool idTaken = std::any_of(
        m_ethList.cbegin(), m_ethList.cend(), [&record](const Ethernet &other) { return other.id == record.id; });
    if (record.id.isEmpty() || idTaken)
        record.id = interface;

    int number = 2;
    while (m_ethGroups.contains(QStringLiteral("Ethernet-%1").arg(number)))
        ++number;
    m_ethList.append(record);
    m_ethGroups.append(QStringLiteral("Ethernet-%1").arg(number));
    writeConfiguration();
}

void Config::setWifi(const Wifi &wifi)
{
    m_wifi = wifi;
    writeConfiguration();
}

void Config::setModem(const Modem &modem)
{
    m_modem = modem;
    writeConfiguration();
}

void Config::writeDefaultConfiguration()
{
    createOwnerOnlyFile(m_settings->fileName());
    writeMqtt(*m_settings, defaultMqtt());
    writeEthernet(*m_settings, baseEthernetGroup, defaultEthernet());
    writeWifi(*m_settings, defaultWifi());
    writeModem(*m_settings, defaultModem());
    syncSettings();
}

void Config::writeConfiguration()
{
    renewSettingsAfterFailure();
    writeMqtt(*m_settings, m_mqtt);
    for (int i = 0; i < m_ethList.size(); ++i)
        writeEthernet(*m_settings, m_ethGroups.at(i), m_ethList.at(i));
    writeWifi(*m_settings, m_wifi);
    writeModem(*m_settings, m_modem);
    syncSettings();
}

void Config::syncSettings()
{
    m_settings->sync();
    // The records in memory stay as set and the service carries on with them.
    if (m_settings->status() == QSettings::AccessError)
        log(Log::Error, "Failed to write config file '%s'.", qPrintable(m_settings->fileName()));
}

// QSettings keeps reporting its first error for good; a fresh object, which also retries the changes that
// could not be written, lets this write report its own outcome.
void Config::renewSettingsAfterFailure()
{
    if (m_settings->status() == QSettings::NoError)
        return;
    const QString path = m_settings->fileName();
    delete m_settings;
    m_settings = new QSettings(path, QSettings::NativeFormat, this);
}

void Config::readConfiguration()
{
    m_mqtt = readMqtt(*m_settings);
    if (m_mqtt.port == 0) {
        log(Log::Warning, "Invalid broker port '%s', using %u.",
            qPrintable(m_settings->value(QStringLiteral("Mqtt/port")).toString()), unsigned(defaultBrokerPort));
        m_mqtt.port = defaultBrokerPort;
    }
    readEthernetSections();
    m_wifi = readWifi(*m_settings);
    m_modem = readModem(*m_settings);
}

void Config::readEthernetSections()
{
    m_ethList.clear();
    m_ethGroups.clear();
    m_ethDefault = defaultEthernet();

    const QStringList groups = m_settings->childGroups();
    if (groups.contains(baseEthernetGroup)) {
        m_ethList.append(readEthernet(*m_settings, baseEthernetGroup, m_ethDefault));
        m_ethGroups.append(baseEthernetGroup);
    }
    for (const QString &group : groups) {
        if (!isNumberedEthernetGroup(group))
            continue;
        const QString interface = m_settings->value(group + QStringLiteral("/interface")).toString();
        if (interface.isEmpty()) {
            log(Log::Warning, "Config group '[%s]' has no 'interface' set. Ignoring.", qPrintable(group));
            continue;
        }
        Ethernet fallback = defaultEthernet();
        fallback.id = interface;
        fallback.interface = interface;
        m_ethList.append(readEthernet(*m_settings, group, fallback));
        m_ethGroups.append(group);
    }
}

void Config::printConfiguration()
{
    const char *const rule = "----------------------------------------------";
    log(Log::Info, "%s", rule);
    log(Log::Info, " Application Settings");
    log(Log::Info, "%s", rule);
    log(Log::Info, " mqtt.url           : %s", qPrintable(m_mqtt.url));
    log(Log::Info, " mqtt.port          : %u", static_cast<unsigned>(m_mqtt.port));
    log(Log::Info, " mqtt.user          : %s", qPrintable(m_mqtt.user));
    log(Log::Info, " mqtt.pass          : %s", qPrintable(maskSecret(m_mqtt.pass)));
    log(Log::Info, " mqtt.base          : %s", qPrintable(m_mqtt.base));
    if (m_mqtt.rollbackSec != 0)
        log(Log::Info, " mqtt.rollbackSec   : %u", m_mqtt.rollbackSec);
    // The optional keys are shown only when configured.
    const std::pair<const char *, QString> optionalKeys[] = { { "mqtt.availability", m_mqtt.availability },
        { "mqtt.discovery", m_mqtt.discovery }, { "mqtt.cafile", m_mqtt.cafile }, { "mqtt.certfile", m_mqtt.certfile },
        { "mqtt.keyfile", m_mqtt.keyfile } };
    for (const auto &[name, value] : optionalKeys) {
        if (!value.isEmpty())
            log(Log::Info, " %-19s: %s", name, qPrintable(value));
    }
    for (int i = 0; i < m_ethList.size(); ++i)
        printEthernet(i);
    log(Log::Info, " wifi.id            : %s", qPrintable(m_wifi.id));
    log(Log::Info, " wifi.autocon       : %s", boolText(m_wifi.autocon));
    log(Log::Info, " wifi.ssid          : %s", qPrintable(m_wifi.ssid));
    log(Log::Info, " wifi.key           : %s", qPrintable(maskSecret(m_wifi.key)));
    log(Log::Info, " wifi.method        : %s", qPrintable(m_wifi.ipv4.method));
    log(Log::Info, " wifi.address       : %s", qPrintable(m_wifi.ipv4.address));
    log(Log::Info, " wifi.mask          : %s", qPrintable(m_wifi.ipv4.netmask));
    log(Log::Info, " wifi.gateway       : %s", qPrintable(m_wifi.ipv4.gateway));
    log(Log::Info, " wifi.dns0          : %s", qPrintable(m_wifi.ipv4.dns0));
    log(Log::Info, " wifi.dns1          : %s", qPrintable(m_wifi.ipv4.dns1));
    log(Log::Info, " modem.id           : %s", qPrintable(m_modem.id));
    log(Log::Info, " modem.autocon      : %d", m_modem.autocon ? 1 : 0);
    log(Log::Info, " modem.username     : %s", qPrintable(m_modem.username));
    log(Log::Info, " modem.password     : %s", qPrintable(maskSecret(m_modem.password)));
    log(Log::Info, " modem.apn          : %s", qPrintable(m_modem.apn));
    log(Log::Info, " modem.network_id   : %s", qPrintable(m_modem.network_id));
    log(Log::Info, " modem.pin          : %s", qPrintable(maskSecret(m_modem.pin)));
    log(Log::Info, " modem.method       : %s", qPrintable(m_modem.ipv4.method));
    log(Log::Info, " modem.address      : %s", qPrintable(m_modem.ipv4.address));
    log(Log::Info, " modem.netmask      : %s", qPrintable(m_modem.ipv4.netmask));
    log(Log::Info, " modem.gateway      : %s", qPrintable(m_modem.ipv4.gateway));
    log(Log::Info, " modem.dns0         : %s", qPrintable(m_modem.ipv4.dns0));
    log(Log::Info, " modem.dns1         : %s", qPrintable(m_modem.ipv4.dns1));
    log(Log::Info, " modem.usageSec     : %d", static_cast<int>(m_modem.usageSec));
    log(Log::Info, "%s", rule);
}

void Config::printEthernet(int index)
{
    const QByteArray group = m_ethGroups.at(index).toLocal8Bit();
    const char *name = group.constData();
    const Ethernet &ethernet = m_ethList.at(index);
    log(Log::Info, " %s.id        : %s", name, qPrintable(ethernet.id));
    log(Log::Info, " %s.autocon   : %s", name, boolText(ethernet.autocon));
    log(Log::Info, " %s.interface : %s", name, qPrintable(ethernet.interface));
    log(Log::Info, " %s.method    : %s", name, qPrintable(ethernet.ipv4.method));
    log(Log::Info, " %s.address   : %s", name, qPrintable(ethernet.ipv4.address));
    log(Log::Info, " %s.mask      : %s", name, qPrintable(ethernet.ipv4.netmask));
    log(Log::Info, " %s.gateway   : %s", name, qPrintable(ethernet.ipv4.gateway));
    log(Log::Info, " %s.dns0      : %s", name, qPrintable(ethernet.ipv4.dns0));
    log(Log::Info, " %s.dns1      : %s", name, qPrintable(ethernet.ipv4.dns1));
    log(Log::Info, " %s.mtu       : %d", name, ethernet.mtu);
    log(Log::Info, " %s.ipv6      : %s", name, qPrintable(ethernet.ipv6));
}

void Config::warnIfOpenToOthers(const QString &path)
{
    // The file holds secrets; its mode is the administrator's to change, not ours.
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)))
        log(Log::Warning, "Config file '%s' is open to group or others (mode %04o).", qPrintable(path),
            unsigned(info.st_mode & 07777));
}

bool Config::fileExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

int Config::ethernetBaseIndex() const { return m_ethGroups.indexOf(baseEthernetGroup); }

int Config::ethernetIndexForInterface(const QString &interface) const
{
    for (int i = 0; i < m_ethList.size(); ++i) {
        if (m_ethList.at(i).interface == interface)
            return i;
    }
    return -1;
}

} // namespace Corvex
