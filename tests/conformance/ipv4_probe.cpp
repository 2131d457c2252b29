// Writes the service's IPv4 rules through the binding into the NetworkManager on the system bus, one method after
// another on one wired profile that is never activated, and prints the profile as read back after each.
#include "CorvexEngine.h"
#include "CorvexTypes.h"

#include <NetworkManagerQt/Settings>

#include <QCoreApplication>
#include <QDBusInterface>
#include <QDBusReply>

#include <cstdio>

using NetworkManager::ConnectionSettings;
using NetworkManager::Ipv4Setting;

static Ipv4Setting::Ptr ipv4Of(const ConnectionSettings::Ptr &settings)
{
    return Corvex::settingOf<Ipv4Setting>(settings, NetworkManager::Setting::Ipv4);
}

// Prints the error name of the write or the addressing of the profile as the daemon now holds it; that profile.
static ConnectionSettings::Ptr print(const QDBusMessage &answer, QDBusInterface &profile)
{
    const auto stored = ConnectionSettings::Ptr::create(QDBusReply<NMVariantMapMap>(profile.call("GetSettings")));
    const Ipv4Setting::Ptr ipv4 = ipv4Of(stored);
    QStringList parts { Corvex::ipv4SettingMethodToString(ipv4->method()) };
    for (const NetworkManager::IpAddress &address : ipv4->addresses())
        parts << address.ip().toString() + "/" + QString::number(address.prefixLength());
    for (const QHostAddress &dns : ipv4->dns())
        parts << "dns " + dns.toString();
    if (!ipv4->gateway().isEmpty())
        parts << "gateway " + ipv4->gateway();
    const bool refused = answer.type() == QDBusMessage::ErrorMessage;
    std::printf("%s\n", qPrintable(refused ? answer.errorName() : parts.join(", ")));
    return stored;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    using Ipv4 = Corvex::Config::Ipv4Config;
    const Ipv4 manual { "manual", "10.0.0.5", "255.255.255.0", "10.0.0.1", "9.9.9.9", "" };
    const Ipv4 shared { "shared", "10.42.0.1", "255.255.255.0", "", "", "" };
    const Ipv4 automatic { "auto", "", "", "", "", "" }, disabled { "disabled", "", "", "", "", "" };
    auto settings = ConnectionSettings::Ptr::create(ConnectionSettings::Wired);
    settings->setId("transitions");
    settings->setUuid(ConnectionSettings::createNewUuid());
    settings->setInterfaceName("veth0");
    settings->setAutoconnect(false);
    Corvex::Engine::updateIpv4Configuration(ipv4Of(settings), manual);
    QDBusPendingReply<QDBusObjectPath> added = NetworkManager::addConnection(settings->toMap());
    added.waitForFinished();
    QDBusInterface profile("org.freedesktop.NetworkManager", added.value().path(),
        "org.freedesktop.NetworkManager.Settings.Connection", QDBusConnection::systemBus());
    settings = print(added.reply(), profile);
    // Every ordered pair of the four methods, each written over the profile as the daemon holds it.
    for (const Ipv4 &wanted : { automatic, shared, disabled, manual, disabled, shared, manual, shared, automatic,
             disabled, automatic, manual }) {
        Corvex::Engine::updateIpv4Configuration(ipv4Of(settings), wanted);
        settings = print(profile.call("Update", QVariant::fromValue(settings->toMap())), profile);
    }
    return 0;
}
