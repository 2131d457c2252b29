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

void Engine::processModemConfigSetCommand(const QJsonObject &) { logNotAvailable("modem/config/set"); }

} // namespace Corvex
