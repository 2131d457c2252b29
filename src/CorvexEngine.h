#pragma once

#include "CorvexConfig.h"
#include "Log.h"

#include <NetworkManagerQt/AccessPoint>
#include <NetworkManagerQt/ActiveConnection>
#include <NetworkManagerQt/Connection>
#include <NetworkManagerQt/ConnectionSettings>
#include <NetworkManagerQt/Device>
#include <NetworkManagerQt/Ipv4Setting>
#include <NetworkManagerQt/Manager>
#include <NetworkManagerQt/ModemDevice>
#include <NetworkManagerQt/WirelessDevice>

#include <ModemManager.h>

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QScopedPointer>
#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <optional>

namespace Corvex
{

class IPC;
struct ModemUsage;

// The central coordinator: owns the configuration and the MQTT side, dispatches commands and follows
// NetworkManager and ModemManager.
class Engine : public QObject
{
    Q_OBJECT

public:
    struct ModemStats {
        quint64 duartion = 0;
        quint64 txBytes = 0;
        quint64 rxBytes = 0;
    };

    Engine(const QString &file, QObject *parent);
    ~Engine() override;

    void start();
    // A final statistics sample and a clean broker disconnect; `stopped` follows when the broker is gone.
    void stop();

    // CorvexEngineSettings.cpp: the record-to-settings mapping, free of D-Bus. Each writes the configured
    // values into in-memory settings and answers whether a value that matters changed.
    static bool updateConnectionSettings(NetworkManager::ConnectionSettings::Ptr settings, const Config &config,
        const QString &interfaceName, const QString &apSecurity, const Config::Wifi *wifiOverride);
    static bool updateIpv4Configuration(NetworkManager::Ipv4Setting::Ptr ipv4, const Config::Ipv4Config &config);

    static constexpr LogTag log { "[Engine] " };
    // The longest the service waits for one NetworkManager or ModemManager call.
    static constexpr int busTimeoutMs = 5000;

    // CorvexEngineBus.cpp: the calls to NetworkManager, each bounded by busTimeoutMs. A chain of calls (a command,
    // a reload, a provisioning run) holds a CallChain: once one of its calls has timed out, the rest of the chain
    // is not sent, each call failing at once with that timeout's error, instead of meeting the next timeout.
    class CallChain
    {
    public:
        CallChain();
        ~CallChain();
        Q_DISABLE_COPY(CallChain)
    };
    static bool chainAbandoned();
    // Waits for NetworkManager's answer; the D-Bus error message when it failed.
    static std::optional<QString> failureOf(QDBusPendingCall call);
    static QDBusPendingCall call(const QDBusMessage &message);
    // A method of NetworkManager's manager object.
    static QDBusPendingCall callManager(const QString &method, const QVariantList &arguments);
    static QDBusPendingReply<NMVariantMapMap> profileSecrets(
        const NetworkManager::Connection::Ptr &connection, const QString &setting);
    static QDBusPendingCall updateProfile(
        const NetworkManager::Connection::Ptr &connection, const NMVariantMapMap &map);
    static QDBusPendingCall removeProfile(const NetworkManager::Connection::Ptr &connection);
    static QDBusPendingReply<QDBusObjectPath> activateConnection(const QString &connection, const QString &device);
    static QDBusPendingReply<QDBusObjectPath, QDBusObjectPath> addAndActivateConnection(
        const NMVariantMapMap &map, const QString &device);
    static QDBusPendingCall deactivateConnection(const QString &activeConnection);
    static QDBusPendingCall requestScan(const QString &device);
    static QDBusPendingCall setWirelessEnabled(bool enabled);

signals:
    void stopped();

private slots:
    // CorvexEngine.cpp
    void onIPCConnected(const QString &url);
    void onIPCDiscconnected();
    void onIPCCommandReceived(const QString &command, const QJsonObject &data);

    // CorvexEngineMonitoring.cpp
    void onStatusChanged(NetworkManager::Status status);
    void onPrimaryConnectionChanged(const QString &uni);
    void onConnectivityChanged(NetworkManager::Connectivity connectivity);
    void onDeviceAdded(const QString &uni);
    void onDeviceRemoved(const QString &uni);
    void onDeviceStateChanged(NetworkManager::Device::State newstate, NetworkManager::Device::State oldstate,
        NetworkManager::Device::StateChangeReason reason);
    void onDeviceManagedChanged();
    void onInterfaceNameChanged();
    void onIpConfigPropertiesChanged(const QDBusMessage &message);

private:
    using CommandHandler = void (Engine::*)(const QJsonObject &);

    // CorvexEngine.cpp: the command table, dispatch, device lookup and the read-only commands
    void fillCommandTable();
    // A client's request while its handler runs. Keep a copy to publish a result for an outcome known later.
    struct Request {
        QString command;
        QJsonValue id; // undefined: the client asked for no result
    };
    static QJsonValue requestId(const QJsonObject &data);
    void runCommand(const QString &command, const QJsonObject &data);
    // A NetworkManager call that failed on a client's behalf answers its request with one error document; what
    // the service provisions by itself is only logged.
    void answerFailure(const std::optional<QString> &failure);
    NetworkManager::Device::Ptr findDevice(const QString &name, NetworkManager::Device::Type type, bool quiet = false);
    static QString requestedInterface(const QJsonObject &data);
    NetworkManager::Device::Ptr requestedDevice(
        const QString &command, const QJsonObject &data, NetworkManager::Device::Type type);
    NetworkManager::Device::Ptr requestedTypedDevice(
        const QString &command, const QJsonObject &data, NetworkManager::Device::Type type);
    NetworkManager::Device::List requestedEthernetDevices(const QString &command, const QJsonObject &data);
    void publishUnlessUnmanaged(const QString &command, const QJsonObject &data, NetworkManager::Device::Type type,
        void (IPC::*publish)(NetworkManager::Device::Ptr));
    void processNetworkStatusCommand(const QJsonObject &data);
    void processNetworkInfoCommand(const QJsonObject &data);
    void processEthernetStateGetCommand(const QJsonObject &data);
    void processEthernetConfigGetCommand(const QJsonObject &data);
    void processWifiStateGetCommand(const QJsonObject &data);
    void processWifiConfigGetCommand(const QJsonObject &data);
    void processWifiHotspotGetCommand(const QJsonObject &data);
    void processWifiApsGetCommand(const QJsonObject &data);
    void processWifiNetworksGetCommand(const QJsonObject &data);
    void processModemStateGetCommand(const QJsonObject &data);
    void processModemConfigGetCommand(const QJsonObject &data);
    void processModemStatsGetCommand(const QJsonObject &data);
    // The fixed error vocabulary of the handlers: each publishes one error document under `command`.
    void rejectInvalidDevice(const QString &command, const QString &interface);
    void rejectUnmanagedDevice(const QString &command, const QString &interface);
    void rejectNotWifiDevice(const QString &command, const QString &interface);
    void rejectNotEthernetDevice(const QString &command, const QString &interface);
    void rejectUnspecifiedInterface(const QString &command);
    void rejectUnspecifiedSsid(const QString &command);

    // CorvexEngineConfigCommands.cpp: the configuration-set commands
    void processEthernetConfigSetCommand(const QJsonObject &data);
    void processWifiConfigSetCommand(const QJsonObject &data);
    void processModemConfigSetCommand(const QJsonObject &data);

    // CorvexEngineProvisioning.cpp: provisioning, and the lookups it shares with the command handlers
    NetworkManager::Connection::Ptr updateConnection(
        NetworkManager::Device::Ptr dev, const Config &config, const Config::Wifi *wifiOverride);
    struct ProvisioningRun;
    bool describeProvisioning(ProvisioningRun &run);
    bool describeWifiProvisioning(ProvisioningRun &run);
    void provisioningFailed(const ProvisioningRun &run, const QString &failure);
    NetworkManager::Connection::Ptr updateExistingConnection(
        const ProvisioningRun &run, NetworkManager::Connection::Ptr connection);
    NetworkManager::Connection::Ptr createConnection(const ProvisioningRun &run);
    NetworkManager::Connection::Ptr activate(
        const ProvisioningRun &run, NetworkManager::Connection::Ptr connection, bool updated);
    bool mayActivate(const ProvisioningRun &run);
    static bool isActiveOnDevice(NetworkManager::Device::Ptr dev, NetworkManager::Connection::Ptr connection);
    NetworkManager::Connection::Ptr findConnection(
        const QString &name, NetworkManager::ConnectionSettings::ConnectionType type, bool accessPoint = false);
    NetworkManager::AccessPoint::Ptr findAccessPoint(NetworkManager::Device::Ptr dev, const QString &ssid);
    QString savedWifiKey(const QString &ssid);

    // CorvexEngineMonitoring.cpp: reload, device monitoring and the reactions to NetworkManager and ModemManager
    void reload();
    void reloadLaterIfAbandoned();
    void reloadDevice(NetworkManager::Device::Ptr dev);
    void monitorNetwork();
    void monitorDevice(NetworkManager::Device::Ptr dev);
    void monitorWiredDevice(NetworkManager::Device::Ptr dev);
    void monitorWirelessDevice(NetworkManager::WirelessDevice::Ptr wifi);
    void monitorModemDevice(NetworkManager::ModemDevice::Ptr modem);
    bool isCarrierDetected(NetworkManager::Device::Ptr dev);
    void onIpV4ConfigChanged(NetworkManager::Device::Ptr dev);
    void onCarrierChanged(NetworkManager::Device::Ptr dev, bool plugged);
    void onAccessPointAppeared(NetworkManager::WirelessDevice::Ptr wifi, const QString &path);
    void onNetworkAppeared(NetworkManager::WirelessDevice::Ptr wifi, const QString &ssid);
    void onModemSignalChanged(NetworkManager::ModemDevice::Ptr modem, uint quality);
    void onAccessTechnologiesChanged(
        NetworkManager::ModemDevice::Ptr modem, QFlags<MMModemAccessTechnology> technologies);
    void onNetworkManagerDisappeared();
    void onNetworkManagerAppeared();
    void onModemAdded(const QString &udi);
    void onWifiScanTimer(NetworkManager::WirelessDevice::Ptr wifi);
    NetworkManager::Device::Ptr getDeviceFromSender(QObject *sender);
    NetworkManager::Device::Ptr getDeviceFromUni(const QString &uni);
    NetworkManager::ActiveConnection::Ptr getConnectionFromUni(const QString &uni);

    // CorvexEngineWifi.cpp: the Wifi commands
    void processWifiConnectCommand(const QJsonObject &data);
    void processWifiDisconnectCommand(const QJsonObject &data);
    void processWifiForgetCommand(const QJsonObject &data);
    void processWifiEnableCommand(const QJsonObject &data);
    void processWifiDisableCommand(const QJsonObject &data);
    void processWifiRadioSetCommand(const QJsonObject &data);
    void switchWifiRadio(const QString &command, const QJsonObject &data, bool enabled);
    std::optional<QString> disconnectWifiDevice(NetworkManager::Device::Ptr dev);
    void clearStoredWifiNetwork();
    std::optional<QString> removeWifiProfile(NetworkManager::Connection::Ptr profile);
    // "[Wifi] " + what + the failure in the log; the same without the tag, the text a client is answered with.
    std::optional<QString> loggedFailure(const QString &what, const std::optional<QString> &failure);

    // CorvexEngineHotspot.cpp: the hotspot command and the watchers that publish its outcome
    void processWifiHotspotSetCommand(const QJsonObject &params);
    void stopWifiHotspot(NetworkManager::Device::Ptr dev);
    void removeOtherHotspots(NetworkManager::Device::Ptr dev, const QString &ssid);
    void removeHotspotProfile(NetworkManager::Connection::Ptr profile);
    QString startWifiHotspot(NetworkManager::Device::Ptr dev, NetworkManager::Connection::Ptr profile,
        const NMVariantMapMap &settings, QString *error);
    NetworkManager::Connection::Ptr findWifiHotspotConnection(NetworkManager::Device::Ptr dev);
    bool isWifiHotspot(NetworkManager::ActiveConnection::Ptr activeConnection);
    void publishWifiHotspotOnActivation(NetworkManager::Device::Ptr dev, const QString &activeConnectionPath);
    void onHotspotActivationState(NetworkManager::Device::Ptr dev, NetworkManager::ActiveConnection *activeCon,
        NetworkManager::ActiveConnection::State state);
    void publishWifiHotspotOnDeactivation(NetworkManager::Device::Ptr dev, const QString &activeConnectionPath);
    void watchHotspot(NetworkManager::Device::Ptr dev, QObject *watcher);
    void endHotspotWatch(NetworkManager::Device::Ptr dev);
    bool takeHotspotWatch(NetworkManager::Device::Ptr dev, QObject *watcher);
    void publishHotspotDocument(NetworkManager::Device::Ptr dev);
    void onWifiActiveConnectionChanged(NetworkManager::Device::Ptr dev);

    // CorvexEngineRollback.cpp: a change over MQTT under a NetworkManager checkpoint until the broker confirms it
    struct PendingChange {
        QString command;
        QString checkpoint;
        QByteArray previousFile; // the configuration file before the change
        bool radioOff = false; // the global Wifi switch, which no checkpoint restores
        int statusId = -1; // the status document whose acknowledgement confirms the change
        QJsonValue id; // the request's, whose result waits for the outcome
        quint64 errorMark = 0; // the errors published before the command ran
    };
    void restoreJournal();
    void setUpRollback();
    bool guardChange(const QString &command, const QJsonObject &data);
    void awaitSettledDevice(const NetworkManager::Device::Ptr &dev);
    void publishProof();
    PendingChange takePendingChange();
    void writeJournal(const PendingChange &change);
    void confirmChange();
    void rollBackChange();
    void undoChange(const PendingChange &change);
    void reportRollbacks();

    // CorvexEngineStatistics.cpp: modem data-usage sampling and the monthly store
    void pruneModemStats();
    void startMonitorModemStats();
    void stopMonitorModemStats();
    void updateModemStats();
    bool sampleModemStats(const NetworkManager::Device::Ptr &dev, QString *error);
    std::optional<ModemStats> getModemStats(const NetworkManager::Device::Ptr &dev, QString *error);
    std::optional<ModemStats> readModemSnapshot(QString *error);
    void storeModemUsage(const QString &month, const ModemUsage &usage);
    static std::optional<quint64> readIntegerFromFile(const QString &path);
    void publishModemStats();

    QTimer m_modemStatsTimer;
    QTimer m_reloadTimer;
    QSettings m_modemStats;
    QScopedPointer<Config> m_config;
    QScopedPointer<IPC> m_ipc;
    QScopedPointer<QTimer> m_wifiTimer;
    QMap<QString, CommandHandler> m_commandTable;
    Request m_request; // empty between requests
    bool m_modemSampleFailing = false;
    // The counters of the last sample whose growth the store holds.
    std::optional<ModemStats> m_modemCounters;
    bool m_stopping = false;
    // The one hotspot watcher per device (by its path) whose outcome is still to be published.
    QHash<QString, QPointer<QObject>> m_hotspotWatches;
    // Per device (by its path): whether the last hotspot document said a hotspot runs.
    QHash<QString, bool> m_hotspotShown;
    struct {
        std::optional<PendingChange> pending; // the change waiting for the broker, at most one
        std::optional<PendingChange> restarted; // from the journal of a run killed during its window
        QList<std::pair<PendingChange, QString>> reports; // rollbacks and their text, to tell once connected
        QTimer timer; // the window
        QTimer grace; // for the device to settle
        QMetaObject::Connection settling;
    } m_rollback;
};

// A month's traffic in bytes, as the statistics store keeps it.
struct ModemUsage {
    quint64 rxBytes = 0;
    quint64 txBytes = 0;
};

// One sample: the month's totals plus the growth of the counters since the snapshot (all zero when there is
// none). A counter below the snapshot started again with a re-created interface, so all of it is growth.
// Counters that could not be read give no totals: the sample is skipped.
std::optional<ModemUsage> addModemUsage(
    const Engine::ModemStats &snapshot, const std::optional<Engine::ModemStats> &counters, const ModemUsage &month);

// The months ("yyyy-MM") whose first instant lies more than six months before `now`.
QStringList expiredModemMonths(const QStringList &months, const QDateTime &now);

} // namespace Corvex
