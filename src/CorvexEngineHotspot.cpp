// The Wifi hotspot: telling access-point profiles apart from client profiles.
#include "CorvexEngine.h"

#include <NetworkManagerQt/WirelessSetting>

namespace Corvex
{

bool Engine::isWifiHotspot(NetworkManager::ActiveConnection::Ptr activeConnection)
{
    const NetworkManager::Connection::Ptr profile = activeConnection ? activeConnection->connection() : nullptr;
    if (!profile)
        return false;
    const auto wireless
        = profile->settings()->setting(NetworkManager::Setting::Wireless).staticCast<NetworkManager::WirelessSetting>();
    return wireless && wireless->mode() == NetworkManager::WirelessSetting::Ap;
}

} // namespace Corvex
