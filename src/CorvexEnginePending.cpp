// Commands whose handlers are not built yet.
#include "CorvexEngine.h"

namespace Corvex
{

void Engine::logNotAvailable(const char *command)
{
    log(Log::Warning, "Command '%s' is not available in this version.", command);
}

void Engine::processWifiConnectCommand(const QJsonObject &) { logNotAvailable("wifi/connect"); }

void Engine::processWifiDisconnectCommand(const QJsonObject &) { logNotAvailable("wifi/disconnect"); }

void Engine::processWifiForgetCommand(const QJsonObject &) { logNotAvailable("wifi/forget"); }

void Engine::processWifiEnableCommand(const QJsonObject &) { logNotAvailable("wifi/enable"); }

void Engine::processWifiDisableCommand(const QJsonObject &) { logNotAvailable("wifi/disable"); }

void Engine::processWifiHotspotSetCommand(const QJsonObject &) { logNotAvailable("wifi/hotspot/set"); }

// Shared by the Wifi commands and the Wifi configuration-set command.
void Engine::disconnectWifiDevice(NetworkManager::Device::Ptr dev)
{
    const NetworkManager::ActiveConnection::Ptr active = dev->activeConnection();
    if (!active)
        return;
    log(Log::Info, "[Wifi] Disconnecting device '%s'.", qPrintable(dev->interfaceName()));
    if (auto failure = failureOf(NetworkManager::deactivateConnection(active->path())))
        log(Log::Info, "[Wifi] Failed to deactivate connection: %s", qPrintable(*failure));
}

} // namespace Corvex
