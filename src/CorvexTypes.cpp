#include "CorvexTypes.h"

#include "CorvexEngine.h"

#include <NetworkManagerQt/WirelessSetting>

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QMetaObject>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>
#include <map>

namespace Corvex
{

namespace
{

    // Ascending key order is also the order in which the names are listed.
    const std::map<uint32_t, QString> techNames {
        { MM_MODEM_ACCESS_TECHNOLOGY_UNKNOWN, QStringLiteral("UNKNOWN") },
        { MM_MODEM_ACCESS_TECHNOLOGY_POTS, QStringLiteral("POTS") },
        { MM_MODEM_ACCESS_TECHNOLOGY_GSM, QStringLiteral("GSM") },
        { MM_MODEM_ACCESS_TECHNOLOGY_GSM_COMPACT, QStringLiteral("GSM_COMPACT") },
        { MM_MODEM_ACCESS_TECHNOLOGY_GPRS, QStringLiteral("GPRS") },
        { MM_MODEM_ACCESS_TECHNOLOGY_EDGE, QStringLiteral("EDGE") },
        { MM_MODEM_ACCESS_TECHNOLOGY_UMTS, QStringLiteral("UMTS") },
        { MM_MODEM_ACCESS_TECHNOLOGY_HSDPA, QStringLiteral("HSDPA") },
        { MM_MODEM_ACCESS_TECHNOLOGY_HSUPA, QStringLiteral("HSUPA") },
        { MM_MODEM_ACCESS_TECHNOLOGY_HSPA, QStringLiteral("HSPA") },
        { MM_MODEM_ACCESS_TECHNOLOGY_HSPA_PLUS, QStringLiteral("HSPA_PLUS") },
        { MM_MODEM_ACCESS_TECHNOLOGY_1XRTT, QStringLiteral("1XRTT") },
        { MM_MODEM_ACCESS_TECHNOLOGY_EVDO0, QStringLiteral("EVDO0") },
        { MM_MODEM_ACCESS_TECHNOLOGY_EVDOA, QStringLiteral("EVDOA") },
        { MM_MODEM_ACCESS_TECHNOLOGY_EVDOB, QStringLiteral("EVDOB") },
        { MM_MODEM_ACCESS_TECHNOLOGY_LTE, QStringLiteral("LTE") },
        { MM_MODEM_ACCESS_TECHNOLOGY_ANY, QStringLiteral("ANY") },
    };

    template <typename Key, typename Value>
    Value lookup(const std::map<Key, Value> &table, const Key &key, const Value &fallback)
    {
        const auto found = table.find(key);
        return found == table.end() ? fallback : found->second;
    }

    QString lookupText(const std::map<int, QString> &table, int key)
    {
        return lookup(table, key, QStringLiteral("unknown"));
    }

    const QString networkManagerService = QStringLiteral("org.freedesktop.NetworkManager");

    QDBusMessage propertiesCall(const QString &path, const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            networkManagerService, path, QStringLiteral("org.freedesktop.DBus.Properties"), method);
        call.setArguments(arguments);
        return call;
    }

    QString objectPathProperty(const QString &path, const QString &interface, const QString &name, QString *error)
    {
        const QDBusPendingReply<QDBusVariant> reply
            = Engine::call(propertiesCall(path, QStringLiteral("Get"), { interface, name }));
        if (auto failure = Engine::failureOf(reply)) {
            if (error)
                *error = *failure;
            return QString();
        }
        return reply.value().variant().value<QDBusObjectPath>().path();
    }

    // Flag-test semantics: the zero key only for empty flags, every other key when all its bits are set.
    QStringList accessTechnologyNames(QFlags<MMModemAccessTechnology> technologies)
    {
        const auto bits = static_cast<uint32_t>(technologies);
        QStringList names;
        for (const auto &[key, name] : techNames) {
            if (key == 0 ? bits == 0 : (bits & key) == key)
                names.append(name);
        }
        return names;
    }

} // namespace

DeviceState mapDeviceState(NetworkManager::Device::State state)
{
    using NM = NetworkManager::Device;
    switch (state) {
    case NM::Disconnected:
        return Disconnected;
    case NM::Deactivating:
        return Disconnecting;
    case NM::Preparing:
    case NM::ConfiguringHardware:
    case NM::NeedAuth:
    case NM::ConfiguringIp:
    case NM::CheckingIp:
    case NM::WaitingForSecondaries:
        return Connecting;
    case NM::Activated:
        return Connected;
    default:
        return Unavailable;
    }
}

QString deviceStateToString(DeviceState state)
{
    static const std::map<int, QString> table {
        { Unavailable, QStringLiteral("Unavailable") },
        { Disconnected, QStringLiteral("Disconnected") },
        { Disconnecting, QStringLiteral("Disconnecting") },
        { Connecting, QStringLiteral("Connecting") },
        { Connected, QStringLiteral("Connected") },
    };
    return lookupText(table, state);
}

QString deviceTypeToString(NetworkManager::Device::Type type)
{
    using D = NetworkManager::Device;
    static const std::map<int, QString> table {
        { D::UnknownType, QStringLiteral("UnkownType") },
        { D::Ethernet, QStringLiteral("Ethernet") },
        { D::Wifi, QStringLiteral("Wifi") },
        { D::Unused1, QStringLiteral("Unused1") },
        { D::Unused2, QStringLiteral("Unused2") },
        { D::Bluetooth, QStringLiteral("Bluetooth") },
        { D::OlpcMesh, QStringLiteral("OlpcMesh") },
        { D::Wimax, QStringLiteral("Wimax") },
        { D::Modem, QStringLiteral("Modem") },
        { D::InfiniBand, QStringLiteral("InfiniBand") },
        { D::Bond, QStringLiteral("Bond") },
        { D::Vlan, QStringLiteral("Vlan") },
        { D::Adsl, QStringLiteral("Adsl") },
        { D::Bridge, QStringLiteral("Bridge") },
        { D::Generic, QStringLiteral("Generic") },
        { D::Team, QStringLiteral("Team") },
        { D::Gre, QStringLiteral("Gre") },
        { D::MacVlan, QStringLiteral("MacVlan") },
        { D::Veth, QStringLiteral("Veth") },
    };
    return lookupText(table, type);
}

QString connectionTypeToString(NetworkManager::ConnectionSettings::ConnectionType type)
{
    using C = NetworkManager::ConnectionSettings;
    static const std::map<int, QString> table {
        { C::Unknown, QStringLiteral("Unknown") },
        { C::Adsl, QStringLiteral("Adsl") },
        { C::Bluetooth, QStringLiteral("Bluetooth") },
        { C::Bond, QStringLiteral("Bond") },
        { C::Bridge, QStringLiteral("Bridge") },
        { C::Cdma, QStringLiteral("Cdma") },
        { C::Gsm, QStringLiteral("Gsm") },
        { C::Infiniband, QStringLiteral("Infiniband") },
        { C::OLPCMesh, QStringLiteral("OLPCMesh") },
        { C::Pppoe, QStringLiteral("Pppoe") },
        { C::Vlan, QStringLiteral("Vlan") },
        { C::Vpn, QStringLiteral("Vpn") },
        { C::Wimax, QStringLiteral("Wimax") },
        { C::Wired, QStringLiteral("Wired") },
        { C::Wireless, QStringLiteral("Wireless") },
        { C::Team, QStringLiteral("Team") },
        { C::Generic, QStringLiteral("Generic") },
    };
    return lookupText(table, type);
}

QString statusToString(NetworkManager::Status status)
{
    static const std::map<int, QString> table {
        { NetworkManager::Unknown, QStringLiteral("Unknown") },
        { NetworkManager::Asleep, QStringLiteral("Asleep") },
        { NetworkManager::Disconnected, QStringLiteral("Disconnected") },
        { NetworkManager::Disconnecting, QStringLiteral("Disconnecting") },
        { NetworkManager::Connecting, QStringLiteral("Connecting") },
        { NetworkManager::ConnectedLinkLocal, QStringLiteral("ConnectedLinkLocal") },
        { NetworkManager::ConnectedSiteOnly, QStringLiteral("ConnectedSiteOnly") },
        { NetworkManager::Connected, QStringLiteral("Connected") },
    };
    return lookupText(table, status);
}

QString connectivityToString(NetworkManager::Connectivity connectivity)
{
    static const std::map<int, QString> table {
        { NetworkManager::UnknownConnectivity, QStringLiteral("UnknownConnectivity") },
        { NetworkManager::NoConnectivity, QStringLiteral("NoConnectivity") },
        { NetworkManager::Portal, QStringLiteral("Portal") },
        { NetworkManager::Limited, QStringLiteral("Limited") },
        { NetworkManager::Full, QStringLiteral("Full") },
    };
    return lookupText(table, connectivity);
}

QString stateChangeReasonToString(NetworkManager::Device::StateChangeReason reason)
{
    using D = NetworkManager::Device;
    // NowManagedReason and the reasons after SimPinIncorrect are deliberately absent.
    static const std::map<int, QString> table {
        { D::UnknownReason, QStringLiteral("UnknownReason") },
        { D::NoReason, QStringLiteral("NoReason") },
        { D::NowUnmanagedReason, QStringLiteral("NowUnmanagedReason") },
        { D::ConfigFailedReason, QStringLiteral("ConfigFailedReason") },
        { D::ConfigUnavailableReason, QStringLiteral("ConfigUnavailableReason") },
        { D::ConfigExpiredReason, QStringLiteral("ConfigExpiredReason") },
        { D::NoSecretsReason, QStringLiteral("NoSecretsReason") },
        { D::AuthSupplicantDisconnectReason, QStringLiteral("AuthSupplicantDisconnectReason") },
        { D::AuthSupplicantConfigFailedReason, QStringLiteral("AuthSupplicantConfigFailedReason") },
        { D::AuthSupplicantFailedReason, QStringLiteral("AuthSupplicantFailedReason") },
        { D::AuthSupplicantTimeoutReason, QStringLiteral("AuthSupplicantTimeoutReason") },
        { D::PppStartFailedReason, QStringLiteral("PppStartFailedReason") },
        { D::PppDisconnectReason, QStringLiteral("PppDisconnectReason") },
        { D::PppFailedReason, QStringLiteral("PppFailedReason") },
        { D::DhcpStartFailedReason, QStringLiteral("DhcpStartFailedReason") },
        { D::DhcpErrorReason, QStringLiteral("DhcpErrorReason") },
        { D::DhcpFailedReason, QStringLiteral("DhcpFailedReason") },
        { D::SharedStartFailedReason, QStringLiteral("SharedStartFailedReason") },
        { D::SharedFailedReason, QStringLiteral("SharedFailedReason") },
        { D::AutoIpStartFailedReason, QStringLiteral("AutoIpStartFailedReason") },
        { D::AutoIpErrorReason, QStringLiteral("AutoIpErrorReason") },
        { D::AutoIpFailedReason, QStringLiteral("AutoIpFailedReason") },
        { D::ModemBusyReason, QStringLiteral("ModemBusyReason") },
        { D::ModemNoDialToneReason, QStringLiteral("ModemNoDialToneReason") },
        { D::ModemNoCarrierReason, QStringLiteral("ModemNoCarrierReason") },
        { D::ModemDialTimeoutReason, QStringLiteral("ModemDialTimeoutReason") },
        { D::ModemDialFailedReason, QStringLiteral("ModemDialFailedReason") },
        { D::ModemInitFailedReason, QStringLiteral("ModemInitFailedReason") },
        { D::GsmApnSelectFailedReason, QStringLiteral("GsmApnSelectFailedReason") },
        { D::GsmNotSearchingReason, QStringLiteral("GsmNotSearchingReason") },
        { D::GsmRegistrationDeniedReason, QStringLiteral("GsmRegistrationDeniedReason") },
        { D::GsmRegistrationTimeoutReason, QStringLiteral("GsmRegistrationTimeoutReason") },
        { D::GsmRegistrationFailedReason, QStringLiteral("GsmRegistrationFailedReason") },
        { D::GsmPinCheckFailedReason, QStringLiteral("GsmPinCheckFailedReason") },
        { D::FirmwareMissingReason, QStringLiteral("FirmwareMissingReason") },
        { D::DeviceRemovedReason, QStringLiteral("DeviceRemovedReason") },
        { D::SleepingReason, QStringLiteral("SleepingReason") },
        { D::ConnectionRemovedReason, QStringLiteral("ConnectionRemovedReason") },
        { D::UserRequestedReason, QStringLiteral("UserRequestedReason") },
        { D::CarrierReason, QStringLiteral("CarrierReason") },
        { D::ConnectionAssumedReason, QStringLiteral("ConnectionAssumedReason") },
        { D::SupplicantAvailableReason, QStringLiteral("SupplicantAvailableReason") },
        { D::ModemNotFoundReason, QStringLiteral("ModemNotFoundReason") },
        { D::BluetoothFailedReason, QStringLiteral("BluetoothFailedReason") },
        { D::GsmSimNotInserted, QStringLiteral("GsmSimNotInserted") },
        { D::GsmSimPinRequired, QStringLiteral("GsmSimPinRequired") },
        { D::GsmSimPukRequired, QStringLiteral("GsmSimPukRequired") },
        { D::GsmSimWrong, QStringLiteral("GsmSimWrong") },
        { D::InfiniBandMode, QStringLiteral("InfiniBandMode") },
        { D::DependencyFailed, QStringLiteral("DependencyFailed") },
        { D::Br2684Failed, QStringLiteral("Br2684Failed") },
        { D::ModemManagerUnavailable, QStringLiteral("ModemManagerUnavailable") },
        { D::SsidNotFound, QStringLiteral("SsidNotFound") },
        { D::SecondaryConnectionFailed, QStringLiteral("SecondaryConnectionFailed") },
        { D::DcbFcoeFailed, QStringLiteral("DcbFcoeFailed") },
        { D::TeamdControlFailed, QStringLiteral("TeamdControlFailed") },
        { D::ModemFailed, QStringLiteral("ModemFailed") },
        { D::ModemAvailable, QStringLiteral("ModemAvailable") },
        { D::SimPinIncorrect, QStringLiteral("SimPinIncorrect") },
    };
    return lookupText(table, reason);
}

QString ipv4SettingMethodToString(NetworkManager::Ipv4Setting::ConfigMethod method)
{
    using I = NetworkManager::Ipv4Setting;
    static const std::map<int, QString> table {
        { I::Automatic, QStringLiteral("auto") },
        { I::LinkLocal, QStringLiteral("link-local") },
        { I::Manual, QStringLiteral("manual") },
        { I::Shared, QStringLiteral("shared") },
        { I::Disabled, QStringLiteral("disabled") },
    };
    return lookupText(table, method);
}

NetworkManager::Ipv4Setting::ConfigMethod ipv4SettingMethodFromString(const QString &method)
{
    using I = NetworkManager::Ipv4Setting;
    static const std::map<QString, I::ConfigMethod> table {
        { QStringLiteral("auto"), I::Automatic },
        { QStringLiteral("link-local"), I::LinkLocal },
        { QStringLiteral("manual"), I::Manual },
        { QStringLiteral("shared"), I::Shared },
        { QStringLiteral("disabled"), I::Disabled },
    };
    return lookup(table, method, I::Automatic);
}

QString apModeToString(NetworkManager::AccessPoint::OperationMode mode)
{
    using A = NetworkManager::AccessPoint;
    static const std::map<int, QString> table {
        { A::Unknown, QStringLiteral("unknown") },
        { A::Adhoc, QStringLiteral("adhoc") },
        { A::Infra, QStringLiteral("infra") },
        { A::ApMode, QStringLiteral("apmode") },
    };
    return lookupText(table, mode);
}

QString apCapabilitiesTostring(QFlags<NetworkManager::AccessPoint::Capability> capabilities)
{
    return capabilities.testFlag(NetworkManager::AccessPoint::Privacy) ? QStringLiteral("privacy")
                                                                       : QStringLiteral("none");
}

QString apSecurity(NetworkManager::AccessPoint::Ptr accessPoint)
{
    if (!accessPoint)
        return QStringLiteral("unknown");
    return apSecurity(accessPoint->capabilities(), accessPoint->wpaFlags(), accessPoint->rsnFlags());
}

QString apSecurity(NetworkManager::AccessPoint::Capabilities capabilities, NetworkManager::AccessPoint::WpaFlags wpa,
    NetworkManager::AccessPoint::WpaFlags rsn)
{
    // Only whether the WPA and RSN sets are empty matters, not which ciphers they name.
    const bool noWpa = !wpa;
    const bool noRsn = !rsn;
    if (!capabilities && noWpa && noRsn)
        return QStringLiteral("none");
    if (!capabilities.testFlag(NetworkManager::AccessPoint::Privacy))
        return QStringLiteral("unknown");
    if (noWpa && noRsn)
        return QStringLiteral("wep");
    if (noRsn)
        return QStringLiteral("wpa1");
    if (noWpa)
        return QStringLiteral("wpa2");
    return QStringLiteral("wpa1-wpa2");
}

QString accessTechnologiesToString(QFlags<MMModemAccessTechnology> technologies)
{
    return accessTechnologyNames(technologies).join(QLatin1Char(','));
}

QJsonArray accessTechnologiesToJson(QFlags<MMModemAccessTechnology> technologies)
{
    return QJsonArray::fromStringList(accessTechnologyNames(technologies));
}

QString modemInterfaceToString(ModemManager::Interface::Ptr interface)
{
    if (!interface)
        return QStringLiteral("Unknown");
    return modemInterfaceToString(QString::fromLatin1(interface->metaObject()->className()));
}

QString modemInterfaceToString(const QString &className)
{
    static const std::map<QString, QString> table {
        { QStringLiteral("ModemDevice::ModemInterface"), QStringLiteral("Modem") },
        { QStringLiteral("ModemDevice::SimpleInterface"), QStringLiteral("Simple") },
        { QStringLiteral("ModemDevice::GsmInterface"), QStringLiteral("Gsm") },
        { QStringLiteral("ModemDevice::GsmUssdInterface"), QStringLiteral("GsmUssd") },
        { QStringLiteral("ModemDevice::CdmaInterface"), QStringLiteral("Cdma") },
        { QStringLiteral("ModemDevice::MessagingInterface"), QStringLiteral("Messaging") },
        { QStringLiteral("ModemDevice::LocationInterface"), QStringLiteral("Location") },
        { QStringLiteral("ModemDevice::TimeInterface"), QStringLiteral("Time") },
        { QStringLiteral("ModemDevice::FirmwareInterface"), QStringLiteral("Firmware") },
        { QStringLiteral("ModemDevice::OmaInterface"), QStringLiteral("Oma") },
        { QStringLiteral("ModemDevice::SignalInterface"), QStringLiteral("Signal") },
    };
    return lookup(table, className, QStringLiteral("Unknown"));
}

NetworkManager::ConnectionSettings::Ptr settingsCopy(const NetworkManager::Connection::Ptr &connection)
{
    return NetworkManager::ConnectionSettings::Ptr::create(connection->settings()->toMap());
}

bool isAccessPointProfile(const NetworkManager::Connection::Ptr &connection)
{
    const auto wireless = settingOf<NetworkManager::WirelessSetting>(connection, NetworkManager::Setting::Wireless);
    return wireless && wireless->mode() == NetworkManager::WirelessSetting::Ap;
}

QString ssidToString(const QByteArray &ssid) { return QString::fromUtf8(ssid.constData()); }

QString maskSecret(const QString &secret) { return secret.isEmpty() ? secret : QStringLiteral("********"); }

QByteArray maskSecrets(const QByteArray &payload)
{
    // On the text rather than a parsed document, so that a payload that is no valid JSON is masked as well.
    static const QRegularExpression member(
        QStringLiteral(R"re(("(?:key|pass|password|pin)"\s*:\s*)(?:"(?:[^"\\]|\\.)+"|-?[0-9][0-9.eE+-]*))re"));
    return QString::fromUtf8(payload).replace(member, QStringLiteral("\\1\"********\"")).toUtf8();
}

QString ip4ConfigPath(const NetworkManager::Device::Ptr &dev, QString *error)
{
    return objectPathProperty(
        dev->uni(), QStringLiteral("org.freedesktop.NetworkManager.Device"), QStringLiteral("Ip4Config"), error);
}

QString ip4ConfigPath(const NetworkManager::ActiveConnection::Ptr &connection, QString *error)
{
    return objectPathProperty(connection->path(), QStringLiteral("org.freedesktop.NetworkManager.Connection.Active"),
        QStringLiteral("Ip4Config"), error);
}

QVariantMap ip4ConfigProperties(const QString &path, QString *error)
{
    const QDBusPendingReply<QVariantMap> reply = Engine::call(
        propertiesCall(path, QStringLiteral("GetAll"), { QStringLiteral("org.freedesktop.NetworkManager.IP4Config") }));
    const std::optional<QString> failure = Engine::failureOf(reply);
    if (failure && error)
        *error = *failure;
    return failure ? QVariantMap() : reply.value();
}

// Truncating the double itself, not a 32-bit integer, keeps totals of any size exact to the cent.
double roundToCents(double value) { return std::trunc(std::fma(value, 100.0, 0.5)) / 100.0; }

} // namespace Corvex
