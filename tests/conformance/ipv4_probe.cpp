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

static NMVariantMapMap read(QDBusInterface &profile)
{
    return QDBusReply<NMVariantMapMap>(profile.call(QStringLiteral("GetSettings"))).value();
}

static void print(const QDBusMessage &answer, const NMVariantMapMap &stored)
{
    const auto ipv4 = Corvex::settingOf<NetworkManager::Ipv4Setting>(
        ConnectionSettings::Ptr::create(stored), NetworkManager::Setting::Ipv4);
    QStringList parts { Corvex::ipv4SettingMethodToString(ipv4->method()) };
    for (const NetworkManager::IpAddress &address : ipv4->addresses())
        parts << address.ip().toString() + "/" + QString::number(address.prefixLength());
    for (const QHostAddress &dns : ipv4->dns())
        parts << "dns " + dns.toString();
    if (!ipv4->gateway().isEmpty())
        parts << "gateway " + ipv4->gateway();
    std::printf(
        "%s\n", qPrintable(answer.type() == QDBusMessage::ErrorMessage ? answer.errorName() : parts.join(", ")));
}

static void apply(const ConnectionSettings::Ptr &settings, const Corvex::Config::Ipv4Config &wanted)
{
    Corvex::Engine::updateIpv4Configuration(
        Corvex::settingOf<NetworkManager::Ipv4Setting>(settings, NetworkManager::Setting::Ipv4), wanted);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    using Ipv4 = Corvex::Config::Ipv4Config;
    const Ipv4 manual { "manual", "10.0.0.5", "255.255.255.0", "10.0.0.1", "9.9.9.9", "" };
    const Ipv4 shared { "shared", "10.42.0.1", "255.255.255.0", "", "", "" };
    const Ipv4 automatic { "auto", "", "", "", "", "" };
    const Ipv4 disabled { "disabled", "", "", "", "", "" };

    const auto settings = ConnectionSettings::Ptr::create(ConnectionSettings::Wired);
    settings->setId(QStringLiteral("transitions"));
    settings->setUuid(ConnectionSettings::createNewUuid());
    settings->setInterfaceName(QStringLiteral("veth0"));
    settings->setAutoconnect(false);
    apply(settings, manual);
    QDBusPendingReply<QDBusObjectPath> added = NetworkManager::addConnection(settings->toMap());
    added.waitForFinished();
    QDBusInterface profile(QStringLiteral("org.freedesktop.NetworkManager"), added.value().path(),
        QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection"), QDBusConnection::systemBus());
    print(added.reply(), read(profile));
    // Every ordered pair of the four methods, each written over the profile as the daemon holds it.
    for (const Ipv4 &wanted : { automatic, shared, disabled, manual, disabled, shared, manual, shared, automatic,
             disabled, automatic, manual }) {
        const auto current = ConnectionSettings::Ptr::create(read(profile));
        apply(current, wanted);
        const QDBusMessage answer = profile.call(QStringLiteral("Update"), QVariant::fromValue(current->toMap()));
        print(answer, read(profile));
    }
    return 0;
}
