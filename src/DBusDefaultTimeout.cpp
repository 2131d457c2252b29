// NetworkManagerQt and ModemManagerQt also make blocking calls of their own (the properties of each object when it
// is first seen, a profile's settings, property writes) on interface objects the service cannot reach, with libdbus's
// default timeout of 25 s. The executable provides libdbus's send function in front of the library's, so that a call
// made without a timeout of its own waits at most as long as the service's own calls.
#include "CorvexEngine.h"

#include <dlfcn.h>

struct DBusConnection;
struct DBusMessage;
struct DBusPendingCall;

extern "C" __attribute__((visibility("default"))) unsigned int dbus_connection_send_with_reply(
    DBusConnection *connection, DBusMessage *message, DBusPendingCall **pending, int timeoutMs)
{
    using Send = unsigned int (*)(DBusConnection *, DBusMessage *, DBusPendingCall **, int);
    static const auto send = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "dbus_connection_send_with_reply"));
    constexpr int useDefault = -1; // DBUS_TIMEOUT_USE_DEFAULT
    return send(connection, message, pending, timeoutMs == useDefault ? Corvex::Engine::busTimeoutMs : timeoutMs);
}
