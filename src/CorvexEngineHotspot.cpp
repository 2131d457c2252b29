// The Wifi hotspot: telling access-point profiles apart from client profiles.
#include "CorvexEngine.h"

#include "CorvexTypes.h"

#include <NetworkManagerQt/WirelessSetting>

namespace Corvex
{

bool Engine::isWifiHotspot(NetworkManager::ActiveConnection::Ptr activeConnection)
{
    const NetworkManager::Connection::Ptr profile = activeConnection ? activeConnection->connection() : nullptr;
    if (!profile)
        return false;
    const auto wireless = settingOf<NetworkManager::WirelessSetting>(profile, NetworkManager::Setting::Wireless);
    return wireless && wireless->mode() == NetworkManager::WirelessSetting::Ap;
}

} // namespace Corvex
