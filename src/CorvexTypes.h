#pragma once

#include "MqttClient.h"

#include <ModemManager.h>
#include <ModemManagerQt/Interface>
#include <NetworkManagerQt/AccessPoint>
#include <NetworkManagerQt/Connection>
#include <NetworkManagerQt/ConnectionSettings>
#include <NetworkManagerQt/Device>
#include <NetworkManagerQt/Ipv4Setting>
#include <NetworkManagerQt/Manager>

#include <QFlags>
#include <QJsonArray>
#include <QString>

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
QString mqttErrorToString(MqttClient::ClientError error);
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

} // namespace Corvex
