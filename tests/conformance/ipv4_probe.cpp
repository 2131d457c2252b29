// Writes the service's IPv4 rules through the binding into whichever NetworkManager owns the system bus, one
// method after another on one wired profile that is never activated, and prints each profile read back.
#include "CorvexEngine.h"
#include "CorvexTypes.h"

#include <QCoreApplication>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusReply>

#include <cstdio>

using NetworkManager::ConnectionSettings;

namespace
{

const QString service = QStringLiteral("org.freedesktop.NetworkManager");

NMVariantMapMap settingsOf(QDBusInterface &profile)
{
    return QDBusReply<NMVariantMapMap>(profile.call(QStringLiteral("GetSettings"))).value();
}

QString describe(const NMVariantMapMap &map)
{
    const auto ipv4 = Corvex::settingOf<NetworkManager::Ipv4Setting>(
        ConnectionSettings::Ptr::create(map), NetworkManager::Setting::Ipv4);
    QStringList parts { Corvex::ipv4SettingMethodToString(ipv4->method()) };
    for (const NetworkManager::IpAddress &address : ipv4->addresses())
        parts << address.ip().toString() + "/" + QString::number(address.prefixLength());
    for (const QHostAddress &dns : ipv4->dns())
        parts << "dns " + dns.toString();
    if (!ipv4->gateway().isEmpty())
        parts << "gateway " + ipv4->gateway();
    return parts.join(", ");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<NMVariantMapMap>();
    const Corvex::Config::Ipv4Config manual { "manual", "10.0.0.5", "255.255.255.0", "10.0.0.1", "9.9.9.9", "" };
    const Corvex::Config::Ipv4Config shared { "shared", "10.42.0.1", "255.255.255.0", "", "", "" };
    const Corvex::Config::Ipv4Config automatic { "auto", "", "", "", "", "" };
    const Corvex::Config::Ipv4Config disabled { "disabled", "", "", "", "", "" };

    const auto settings = ConnectionSettings::Ptr::create(ConnectionSettings::Wired);
    settings->setId(QStringLiteral("transitions"));
    settings->setUuid(ConnectionSettings::createNewUuid());
    settings->setInterfaceName(QStringLiteral("veth0"));
    settings->setAutoconnect(false);
    Corvex::Engine::updateIpv4Configuration(
        Corvex::settingOf<NetworkManager::Ipv4Setting>(settings, NetworkManager::Setting::Ipv4), manual);
    QDBusInterface manager(service, QStringLiteral("/org/freedesktop/NetworkManager/Settings"),
        service + QStringLiteral(".Settings"), QDBusConnection::systemBus());
    const QDBusReply<QDBusObjectPath> added
        = manager.call(QStringLiteral("AddConnection"), QVariant::fromValue(settings->toMap()));
    QDBusInterface profile(
        service, added.value().path(), service + QStringLiteral(".Settings.Connection"), QDBusConnection::systemBus());
    std::printf("%s\n", qPrintable(added.isValid() ? describe(settingsOf(profile)) : added.error().name()));

    // Every ordered pair of the four methods, each from the profile as the daemon holds it.
    for (const auto &wanted : { automatic, shared, disabled, manual, disabled, shared, manual, shared, automatic,
             disabled, automatic, manual }) {
        const auto current = ConnectionSettings::Ptr::create(settingsOf(profile));
        Corvex::Engine::updateIpv4Configuration(
            Corvex::settingOf<NetworkManager::Ipv4Setting>(current, NetworkManager::Setting::Ipv4), wanted);
        const QDBusMessage reply = profile.call(QStringLiteral("Update"), QVariant::fromValue(current->toMap()));
        const bool refused = reply.type() == QDBusMessage::ErrorMessage;
        std::printf("%s\n", qPrintable(refused ? reply.errorName() : describe(settingsOf(profile))));
    }
    return 0;
}
