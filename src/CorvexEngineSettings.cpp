// The record-to-settings mapping: which values a profile gets from the configuration, and whether it changed.
#include "CorvexEngine.h"

#include "CorvexTypes.h"

#include <NetworkManagerQt/GsmSetting>
#include <NetworkManagerQt/Ipv6Setting>
#include <NetworkManagerQt/WiredSetting>
#include <NetworkManagerQt/WirelessSecuritySetting>
#include <NetworkManagerQt/WirelessSetting>

#include <functional>

namespace Corvex
{

namespace
{

    using NetworkManager::ConnectionSettings;
    using NetworkManager::IpAddress;
    using NetworkManager::Ipv4Setting;
    using NetworkManager::Ipv6Setting;
    using NetworkManager::Setting;
    using NetworkManager::WirelessSecuritySetting;

    const QString wirelessSecurityName = QStringLiteral("802-11-wireless-security");

    // Writes `wanted` through `set` when `get` reads something else; true when it did.
    template <typename Object, typename Get, typename Set, typename Value>
    bool writeCounted(Object &object, Get get, Set set, const Value &wanted)
    {
        if (std::invoke(get, object) == wanted)
            return false;
        std::invoke(set, object, wanted);
        return true;
    }

    // The gateway of an entry only counts for manual addressing: others carry none that could differ.
    bool sameAddresses(const QList<IpAddress> &current, const QList<IpAddress> &wanted, bool withGateway)
    {
        if (current.size() != wanted.size())
            return false;
        for (int i = 0; i < current.size(); ++i) {
            if (current[i].ip() != wanted[i].ip() || current[i].netmask() != wanted[i].netmask()
                || current[i].broadcast() != wanted[i].broadcast())
                return false;
        }
        return !withGateway || current.isEmpty() || current.first().gateway() == wanted.first().gateway();
    }

    bool writeAddresses(Ipv4Setting &ipv4, const QList<IpAddress> &wanted, bool withGateway = false)
    {
        if (sameAddresses(ipv4.addresses(), wanted, withGateway))
            return false;
        ipv4.setAddresses(wanted);
        // The binding keeps NetworkManager's "address-data" apart and sends it back; the daemon prefers it to
        // the address list, so a stale one would undo the change.
        ipv4.setAddressData({});
        return true;
    }

    IpAddress addressOf(const Config::Ipv4Config &config, const QHostAddress &gateway)
    {
        IpAddress address;
        address.setIp(QHostAddress(config.address));
        address.setNetmask(QHostAddress(config.netmask));
        address.setGateway(gateway);
        return address;
    }

    QList<QHostAddress> dnsOf(const Config::Ipv4Config &config)
    {
        QList<QHostAddress> dns;
        for (const QString &server : { config.dns0, config.dns1 }) {
            if (!server.isEmpty())
                dns.append(QHostAddress(server));
        }
        return dns;
    }

    Ipv4Setting::ConfigMethod ipv4MethodOf(const QString &method)
    {
        if (method == QLatin1String("auto"))
            return Ipv4Setting::Automatic;
        if (method == QLatin1String("manual"))
            return Ipv4Setting::Manual;
        if (method == QLatin1String("shared"))
            return Ipv4Setting::Shared;
        return Ipv4Setting::LinkLocal;
    }

    // NetworkManager refuses a profile whose method does not allow the addresses, gateway or DNS servers it
    // still carries, so those go with the change of method.
    bool clearRefusedIpv4(Ipv4Setting &ipv4)
    {
        bool changed = false;
        if (ipv4.method() == Ipv4Setting::LinkLocal)
            changed |= writeAddresses(ipv4, {});
        if (ipv4.method() == Ipv4Setting::LinkLocal || ipv4.method() == Ipv4Setting::Shared)
            changed |= writeCounted(ipv4, &Ipv4Setting::dns, &Ipv4Setting::setDns, QList<QHostAddress> {});
        return changed;
    }

    bool updateIpv4Addressing(Ipv4Setting &ipv4, const Config::Ipv4Config &config, bool methodChanged)
    {
        switch (ipv4.method()) {
        case Ipv4Setting::Automatic:
            return methodChanged && writeAddresses(ipv4, {});
        case Ipv4Setting::Manual: {
            const QHostAddress gateway
                = QHostAddress(config.gateway.isEmpty() ? QStringLiteral("0.0.0.0") : config.gateway);
            const bool addresses = writeAddresses(ipv4, { addressOf(config, gateway) }, /* withGateway = */ true);
            return writeCounted(ipv4, &Ipv4Setting::dns, &Ipv4Setting::setDns, dnsOf(config)) || addresses;
        }
        case Ipv4Setting::Shared:
            // Without an address NetworkManager picks the shared network itself; a null entry it would drop,
            // and every later comparison would differ.
            return writeAddresses(ipv4,
                config.address.isEmpty() ? QList<IpAddress>() : QList<IpAddress> { addressOf(config, QHostAddress()) });
        default:
            return false;
        }
    }

    bool updateWiredSettings(const ConnectionSettings::Ptr &settings, const Config::Ethernet &ethCfg)
    {
        bool changed = false;
        if (!ethCfg.interface.isEmpty()) {
            // A section made for one port binds its profile there, or autoconnect moves it between ports.
            changed |= writeCounted(
                *settings, &ConnectionSettings::interfaceName, &ConnectionSettings::setInterfaceName, ethCfg.interface);
        }
        const auto wired = settingOf<NetworkManager::WiredSetting>(settings, Setting::Wired);
        if (ethCfg.mtu >= 0 && wired) {
            changed |= writeCounted(
                *wired, &NetworkManager::WiredSetting::mtu, &NetworkManager::WiredSetting::setMtu, quint32(ethCfg.mtu));
            // Without it a new profile gets NetworkManager's default wired setting and loses the MTU.
            wired->setInitialized(true);
        }
        return changed;
    }

    bool updateEthernetIpv6(const ConnectionSettings::Ptr &settings, const QString &ipv6Text)
    {
        const auto ipv6 = settingOf<Ipv6Setting>(settings, Setting::Ipv6);
        if (ipv6Text.isEmpty() || !ipv6)
            return false;
        Ipv6Setting::ConfigMethod method;
        if (ipv6Text.compare(QLatin1String("disabled"), Qt::CaseInsensitive) == 0) {
            method = Ipv6Setting::Ignored;
        } else if (ipv6Text.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0) {
            method = Ipv6Setting::Automatic;
        } else {
            Engine::log(Log::Warning,
                "[Ethernet] Unrecognized 'ipv6' value '%s' (expected 'auto' or 'disabled'). Leaving IPv6 setting "
                "untouched.",
                qPrintable(ipv6Text));
            return false;
        }
        const bool changed = writeCounted(*ipv6, &Ipv6Setting::method, &Ipv6Setting::setMethod, method);
        ipv6->setInitialized(true);
        return changed;
    }

    bool updateWirelessSecurity(const ConnectionSettings::Ptr &settings, const QString &apSecurity, const QString &key)
    {
        const auto security = settingOf<WirelessSecuritySetting>(settings, Setting::WirelessSecurity);
        const auto wireless = settingOf<NetworkManager::WirelessSetting>(settings, Setting::Wireless);
        const bool wpa = apSecurity == QLatin1String("wpa1") || apSecurity == QLatin1String("wpa2")
            || apSecurity == QLatin1String("wpa1-wpa2");
        const bool wep = apSecurity == QLatin1String("wep");
        if (!(wpa || wep) || !security || !wireless)
            return false;
        bool changed = writeCounted(*security, &WirelessSecuritySetting::keyMgmt, &WirelessSecuritySetting::setKeyMgmt,
            wpa ? WirelessSecuritySetting::WpaPsk : WirelessSecuritySetting::Wep);
        const bool keyDiffers = wpa
            ? writeCounted(*security, &WirelessSecuritySetting::psk, &WirelessSecuritySetting::setPsk, key)
            : writeCounted(*security, &WirelessSecuritySetting::wepKey0, &WirelessSecuritySetting::setWepKey0, key);
        // NetworkManager never returns a key an agent keeps or nobody saves: the one it has cannot be compared.
        const Setting::SecretFlags keyFlags = wpa ? security->pskFlags() : security->wepKeyFlags();
        changed |= keyDiffers && !(keyFlags & (Setting::AgentOwned | Setting::NotSaved));
        if (wep)
            security->setWepKeyType(WirelessSecuritySetting::Passphrase);
        security->setInitialized(true);
        wireless->setSecurity(wirelessSecurityName);
        return changed;
    }

    bool updateWirelessSettings(
        const ConnectionSettings::Ptr &settings, const Config::Wifi &wifiCfg, const QString &apSecurity)
    {
        const auto wireless = settingOf<NetworkManager::WirelessSetting>(settings, Setting::Wireless);
        if (!wireless)
            return false;
        bool changed = false;
        if (ssidToString(wireless->ssid()) != wifiCfg.ssid) {
            wireless->setSsid(wifiCfg.ssid.toUtf8());
            changed = true;
        }
        // NetworkManager refuses a new Wifi profile without this setting, open networks included.
        wireless->setInitialized(true);
        if (apSecurity == QLatin1String("unknown")) {
            Engine::log(Log::Error, "Could not determine Wifi security for AP '%s'. Defaulting to 'none'.",
                qPrintable(wifiCfg.ssid));
        }
        return updateWirelessSecurity(settings, apSecurity, wifiCfg.key) || changed;
    }

    bool updateWirelessIpv6(const ConnectionSettings::Ptr &settings)
    {
        const auto ipv6 = settingOf<Ipv6Setting>(settings, Setting::Ipv6);
        if (!ipv6 || !writeCounted(*ipv6, &Ipv6Setting::method, &Ipv6Setting::setMethod, Ipv6Setting::Ignored))
            return false;
        ipv6->setInitialized(true);
        return true;
    }

    bool updateGsmSettings(const ConnectionSettings::Ptr &settings, const Config::Modem &modem)
    {
        using NetworkManager::GsmSetting;
        settings->setId(modem.id);
        settings->setAutoconnect(modem.autocon);
        const auto gsm = settingOf<GsmSetting>(settings, Setting::Gsm);
        if (!gsm)
            return false;
        bool changed = writeCounted(*gsm, &GsmSetting::apn, &GsmSetting::setApn, modem.apn);
        changed |= writeCounted(*gsm, &GsmSetting::username, &GsmSetting::setUsername, modem.username);
        changed |= writeCounted(*gsm, &GsmSetting::networkId, &GsmSetting::setNetworkId, modem.network_id);
        changed |= writeCounted(*gsm, &GsmSetting::password, &GsmSetting::setPassword, modem.password);
        changed |= writeCounted(*gsm, &GsmSetting::pin, &GsmSetting::setPin, modem.pin);
        gsm->setNumber(QStringLiteral("*99#"));
        const auto flagsFor = [](const QString &secret) {
            return secret.isEmpty() ? Setting::SecretFlags(Setting::NotRequired) : Setting::SecretFlags(Setting::None);
        };
        gsm->setPasswordFlags(flagsFor(modem.password));
        gsm->setPinFlags(flagsFor(modem.pin));
        gsm->setInitialized(true);
        return changed;
    }

    bool updateIdentity(const ConnectionSettings::Ptr &settings, const QString &id, bool autocon)
    {
        const bool changed = writeCounted(*settings, &ConnectionSettings::id, &ConnectionSettings::setId, id);
        return writeCounted(*settings, &ConnectionSettings::autoconnect, &ConnectionSettings::setAutoconnect, autocon)
            || changed;
    }

} // namespace

bool Engine::updateConnectionSettings(NetworkManager::ConnectionSettings::Ptr settings, const Config &config,
    const QString &interfaceName, const QString &apSecurity, const Config::Wifi *wifiOverride)
{
    if (!settings)
        return false;
    const auto ipv4 = settingOf<Ipv4Setting>(settings, Setting::Ipv4);
    switch (settings->connectionType()) {
    case ConnectionSettings::Wired: {
        Config::Ethernet ethCfg;
        if (!config.ethernetConfigForInterface(interfaceName, ethCfg))
            return false;
        bool changed = updateIdentity(settings, ethCfg.id, ethCfg.autocon);
        changed |= updateIpv4Configuration(ipv4, ethCfg.ipv4);
        changed |= updateWiredSettings(settings, ethCfg);
        return updateEthernetIpv6(settings, ethCfg.ipv6) || changed;
    }
    case ConnectionSettings::Wireless: {
        const Config::Wifi &wifiCfg = wifiOverride ? *wifiOverride : config.wifi();
        bool changed = updateIdentity(settings, wifiCfg.ssid, wifiCfg.autocon);
        changed |= updateWirelessSettings(settings, wifiCfg, apSecurity);
        changed |= updateIpv4Configuration(ipv4, wifiCfg.ipv4);
        return updateWirelessIpv6(settings) || changed;
    }
    case ConnectionSettings::Gsm: {
        const bool changed = updateGsmSettings(settings, config.modem());
        return updateIpv4Configuration(ipv4, config.modem().ipv4) || changed;
    }
    default:
        return false;
    }
}

bool Engine::updateIpv4Configuration(NetworkManager::Ipv4Setting::Ptr ipv4, const Config::Ipv4Config &config)
{
    if (!ipv4)
        return false;
    const bool methodChanged
        = writeCounted(*ipv4, &Ipv4Setting::method, &Ipv4Setting::setMethod, ipv4MethodOf(config.method));
    bool changed = updateIpv4Addressing(*ipv4, config, methodChanged);
    changed |= clearRefusedIpv4(*ipv4);
    // The binding writes its own gateway property back whatever the addresses say; one without addresses is
    // refused. Automatic addressing keeps a gateway that goes with addresses of the profile's own.
    if (ipv4->method() == Ipv4Setting::Manual)
        changed |= writeCounted(*ipv4, &Ipv4Setting::gateway, &Ipv4Setting::setGateway, config.gateway);
    else if (ipv4->method() != Ipv4Setting::Automatic || ipv4->addresses().isEmpty())
        changed |= writeCounted(*ipv4, &Ipv4Setting::gateway, &Ipv4Setting::setGateway, QString());
    ipv4->setInitialized(true);
    return methodChanged || changed;
}

} // namespace Corvex
