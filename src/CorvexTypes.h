#pragma once

#include <ModemManager.h>
#include <ModemManagerQt/Interface>
#include <NetworkManagerQt/AccessPoint>
#include <NetworkManagerQt/ActiveConnection>
#include <NetworkManagerQt/Connection>
#include <NetworkManagerQt/ConnectionSettings>
#include <NetworkManagerQt/Device>
#include <NetworkManagerQt/Ipv4Setting>
#include <NetworkManagerQt/Manager>

#include <QByteArray>
#include <QFlags>
#include <QJsonArray>
#include <QString>
#include <QVariantMap>

#include <cstdint>

namespace Corvex
{

// The simplified device state published for every device.
enum DeviceState : int32_t { Unavailable = 0, Disconnected = 1, Disconnecting = 2, Connecting = 3, Connected = 4 };

DeviceState mapDeviceState(NetworkManager::Device::State state);
QString deviceStateToString(DeviceState state);
QString deviceTypeToString(NetworkManager::Device::Type type);
QString connectionTypeToString(NetworkManager::ConnectionSettings::ConnectionType type);
QString statusToString(NetworkManager::Status status);
QString connectivityToString(NetworkManager::Connectivity connectivity);
QString stateChangeReasonToString(NetworkManager::Device::StateChangeReason reason);
QString ipv4SettingMethodToString(NetworkManager::Ipv4Setting::ConfigMethod method);
NetworkManager::Ipv4Setting::ConfigMethod ipv4SettingMethodFromString(const QString &method);
QString apModeToString(NetworkManager::AccessPoint::OperationMode mode);
QString apCapabilitiesTostring(QFlags<NetworkManager::AccessPoint::Capability> capabilities);
QString apSecurity(NetworkManager::AccessPoint::Ptr accessPoint);
// The decision behind apSecurity, on the access point's three flag sets.
QString apSecurity(NetworkManager::AccessPoint::Capabilities capabilities, NetworkManager::AccessPoint::WpaFlags wpa,
    NetworkManager::AccessPoint::WpaFlags rsn);
QString accessTechnologiesToString(QFlags<MMModemAccessTechnology> technologies);
QJsonArray accessTechnologiesToJson(QFlags<MMModemAccessTechnology> technologies);
QString modemInterfaceToString(ModemManager::Interface::Ptr interface);
// The lookup behind modemInterfaceToString, on the interface's class name.
QString modemInterfaceToString(const QString &className);
// Two decimals, half away from zero, for the non-negative megabyte totals of the data-usage document.
double roundToCents(double value);

// The setting of one kind in a profile, in its specific class; null when the profile has none.
template <typename SettingT>
QSharedPointer<SettingT> settingOf(
    const NetworkManager::ConnectionSettings::Ptr &settings, NetworkManager::Setting::SettingType type)
{
    return settings->setting(type).template staticCast<SettingT>();
}

template <typename SettingT>
QSharedPointer<SettingT> settingOf(
    const NetworkManager::Connection::Ptr &connection, NetworkManager::Setting::SettingType type)
{
    return settingOf<SettingT>(connection->settings(), type);
}

// A copy of a profile's settings to change: the binding's copy constructor shares the setting objects with its own
// view of the profile, where a change NetworkManager then refused would stay until the profile is next read.
NetworkManager::ConnectionSettings::Ptr settingsCopy(const NetworkManager::Connection::Ptr &connection);
// A Wifi profile in access-point mode: one of the service's hotspots, never a saved network.
bool isAccessPointProfile(const NetworkManager::Connection::Ptr &connection);

// A network name as text: UTF-8, ending at the first zero byte (NetworkManager pads some names).
QString ssidToString(const QByteArray &ssid);

// Secrets in the log: a set one shows as eight asterisks, an empty one stays empty.
QString maskSecret(const QString &secret);
// A JSON payload for the log with the values of its members "key", "pass", "password" and "pin" masked.
QByteArray maskSecrets(const QByteArray &payload);

// Reads of NetworkManager on the bus, past the binding's cache, which misses some changes. Each is one blocking
// round trip; a failed read gives an empty result and the bus error's message in `error`.
QString ip4ConfigPath(const NetworkManager::Device::Ptr &dev, QString *error = nullptr);
QString ip4ConfigPath(const NetworkManager::ActiveConnection::Ptr &connection, QString *error = nullptr);
// Every property of an IPv4 configuration object in one call.
QVariantMap ip4ConfigProperties(const QString &path, QString *error = nullptr);

} // namespace Corvex
