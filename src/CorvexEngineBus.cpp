// The calls to NetworkManager: each bounded by the bus timeout, and none sent after a timeout in its chain.
#include "CorvexEngine.h"

#include <QDBusConnection>
#include <QDBusError>

namespace Corvex
{

namespace
{

    const QString service = QStringLiteral("org.freedesktop.NetworkManager");
    const QString managerPath = QStringLiteral("/org/freedesktop/NetworkManager");
    const QString profileInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");

    // The chain of calls running now (nesting: a command's provisioning run belongs to the command) and the
    // timeout that ended it.
    struct Chain {
        int depth = 0;
        std::optional<QDBusError> timeout;
    } chain;

    bool isTimeout(const QDBusError &error)
    {
        return error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout
            || error.type() == QDBusError::TimedOut;
    }

    QDBusMessage methodCall(
        const QString &path, const QString &interface, const QString &method, const QVariantList &arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return message;
    }

    QDBusMessage managerCall(const QString &method, const QVariantList &arguments)
    {
        return methodCall(managerPath, service, method, arguments);
    }

    QDBusObjectPath objectPath(const QString &path)
    {
        return QDBusObjectPath(path.isEmpty() ? QStringLiteral("/") : path);
    }

} // namespace

Engine::CallChain::CallChain()
{
    if (chain.depth++ == 0)
        chain.timeout.reset();
}

Engine::CallChain::~CallChain()
{
    if (--chain.depth == 0)
        chain.timeout.reset();
}

bool Engine::chainAbandoned() { return chain.timeout.has_value(); }

std::optional<QString> Engine::failureOf(QDBusPendingCall call)
{
    call.waitForFinished();
    if (call.isValid())
        return std::nullopt;
    if (chain.depth > 0 && !chain.timeout && isTimeout(call.error()))
        chain.timeout = call.error();
    return call.error().message();
}

QDBusPendingCall Engine::call(const QDBusMessage &message)
{
    if (chain.timeout) {
        log(Log::Info, "Not calling %s.%s: an earlier call of this run timed out.", qPrintable(message.interface()),
            qPrintable(message.member()));
        return QDBusPendingCall::fromError(*chain.timeout);
    }
    return QDBusConnection::systemBus().asyncCall(message, busTimeoutMs);
}

QDBusPendingCall Engine::callManager(const QString &method, const QVariantList &arguments)
{
    return call(managerCall(method, arguments));
}

QDBusPendingReply<NMVariantMapMap> Engine::profileSecrets(
    const NetworkManager::Connection::Ptr &connection, const QString &setting)
{
    return call(methodCall(connection->path(), profileInterface, QStringLiteral("GetSecrets"), { setting }));
}

QDBusPendingCall Engine::updateProfile(const NetworkManager::Connection::Ptr &connection, const NMVariantMapMap &map)
{
    return call(
        methodCall(connection->path(), profileInterface, QStringLiteral("Update"), { QVariant::fromValue(map) }));
}

QDBusPendingCall Engine::removeProfile(const NetworkManager::Connection::Ptr &connection)
{
    return call(methodCall(connection->path(), profileInterface, QStringLiteral("Delete"), {}));
}

QDBusPendingReply<QDBusObjectPath> Engine::activateConnection(const QString &connection, const QString &device)
{
    return call(managerCall(QStringLiteral("ActivateConnection"),
        { QVariant::fromValue(objectPath(connection)), QVariant::fromValue(objectPath(device)),
            QVariant::fromValue(objectPath({})) }));
}

QDBusPendingReply<QDBusObjectPath, QDBusObjectPath> Engine::addAndActivateConnection(
    const NMVariantMapMap &map, const QString &device)
{
    return call(managerCall(QStringLiteral("AddAndActivateConnection"),
        { QVariant::fromValue(map), QVariant::fromValue(objectPath(device)), QVariant::fromValue(objectPath({})) }));
}

QDBusPendingCall Engine::deactivateConnection(const QString &activeConnection)
{
    return call(
        managerCall(QStringLiteral("DeactivateConnection"), { QVariant::fromValue(objectPath(activeConnection)) }));
}

QDBusPendingCall Engine::requestScan(const QString &device)
{
    return call(methodCall(device, QStringLiteral("org.freedesktop.NetworkManager.Device.Wireless"),
        QStringLiteral("RequestScan"), { QVariantMap() }));
}

QDBusPendingCall Engine::setWirelessEnabled(bool enabled)
{
    return call(methodCall(managerPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
        { service, QStringLiteral("WirelessEnabled"), QVariant::fromValue(QDBusVariant(enabled)) }));
}

} // namespace Corvex
