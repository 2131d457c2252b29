// Commands whose handlers are not built yet.
#include "CorvexEngine.h"

namespace Corvex
{

void Engine::logNotAvailable(const char *command)
{
    log(Log::Warning, "Command '%s' is not available in this version.", command);
}

void Engine::processEthernetConfigSetCommand(const QJsonObject &) { logNotAvailable("ethernet/config/set"); }

void Engine::processWifiConfigSetCommand(const QJsonObject &) { logNotAvailable("wifi/config/set"); }

void Engine::processWifiConnectCommand(const QJsonObject &) { logNotAvailable("wifi/connect"); }

void Engine::processWifiDisconnectCommand(const QJsonObject &) { logNotAvailable("wifi/disconnect"); }

void Engine::processWifiForgetCommand(const QJsonObject &) { logNotAvailable("wifi/forget"); }

void Engine::processWifiEnableCommand(const QJsonObject &) { logNotAvailable("wifi/enable"); }

void Engine::processWifiDisableCommand(const QJsonObject &) { logNotAvailable("wifi/disable"); }

void Engine::processWifiHotspotSetCommand(const QJsonObject &) { logNotAvailable("wifi/hotspot/set"); }

void Engine::processModemConfigSetCommand(const QJsonObject &) { logNotAvailable("modem/config/set"); }

} // namespace Corvex
