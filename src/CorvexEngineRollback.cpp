// Safe remote changes: a change over MQTT runs under a NetworkManager checkpoint that only the broker's answer
// removes; without it NetworkManager undoes the change and the service puts its configuration file back.
#include "CorvexEngine.h"

#include "CorvexIPC.h"

#include <QDBusObjectPath>
#include <QDBusPendingReply>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <utility>

namespace Corvex
{

namespace
{

    // Profiles added during the window go with the rollback (NM_CHECKPOINT_CREATE_FLAG_DELETE_NEW_CONNECTIONS).
    constexpr uint deleteNewConnections = 0x2;
    const QString journalName = QStringLiteral("corvex-rollback.json");
    // A device whose state has not changed for this long has settled.
    constexpr int settleGraceMs = 1000;

    // The commands that change NetworkManager, with the type of the device they name.
    NetworkManager::Device::Type changedDeviceType(const QString &command)
    {
        static const QHash<QString, NetworkManager::Device::Type> commands = {
            { QStringLiteral("ethernet/config/set"), NetworkManager::Device::Ethernet },
            { QStringLiteral("modem/config/set"), NetworkManager::Device::Modem },
            { QStringLiteral("wifi/config/set"), NetworkManager::Device::Wifi },
            { QStringLiteral("wifi/connect"), NetworkManager::Device::Wifi },
            { QStringLiteral("wifi/disconnect"), NetworkManager::Device::Wifi },
            { QStringLiteral("wifi/forget"), NetworkManager::Device::Wifi },
            { QStringLiteral("wifi/disable"), NetworkManager::Device::Wifi },
            { QStringLiteral("wifi/hotspot/set"), NetworkManager::Device::Wifi },
        };
        return commands.value(command, NetworkManager::Device::UnknownType);
    }

    // A checkpoint method of NetworkManager's manager object; its reply, or the D-Bus error text.
    std::optional<QString> checkpointCall(const QString &method, const QVariantList &arguments, QDBusMessage *reply)
    {
        const QDBusPendingCall call = Engine::callManager(method, arguments);
        if (auto failure = Engine::failureOf(call))
            return failure;
        if (reply)
            *reply = call.reply();
        return std::nullopt;
    }

    std::optional<QString> callCheckpoint(const QString &method, const QString &checkpoint)
    {
        return checkpointCall(method, { QVariant::fromValue(QDBusObjectPath(checkpoint)) }, nullptr);
    }

    // Written whole or not at all, and durably like the configuration file; `ownerOnly` before the first byte, for
    // files that hold secrets.
    bool writeFile(const QString &path, const QByteArray &content, bool ownerOnly, QString *error)
    {
        QSaveFile file(path);
        const bool written = file.open(QIODevice::WriteOnly)
            && (!ownerOnly || file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            && file.write(content) == content.size() && file.commit();
        if (!written) {
            *error = file.errorString();
            return false;
        }
        if (!syncDirectoryOf(path)) {
            *error = QStringLiteral("cannot sync its directory");
            return false;
        }
        return true;
    }

    QString journalPath() { return QDir::current().absoluteFilePath(journalName); }

} // namespace

// A journal left by a run killed during a window: the file goes back before it is read; NetworkManager's side
// follows once the broker is there (reportRollbacks).
void Engine::restoreJournal()
{
    QFile file(journalPath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject journal = QJsonDocument::fromJson(file.readAll()).object();
    const QString config = journal.value(QLatin1String("file")).toString();
    const QByteArray content = QByteArray::fromBase64(journal.value(QLatin1String("content")).toString().toLatin1());
    QString error;
    if (config.isEmpty() || !writeFile(config, content, /* ownerOnly = */ false, &error)) {
        log(Log::Error, "Cannot restore the configuration from '%s': %s", qPrintable(file.fileName()),
            qPrintable(error.isEmpty() ? QStringLiteral("no file recorded") : error));
        return;
    }
    m_rollback.restarted = { journal.value(QLatin1String("command")).toString(),
        journal.value(QLatin1String("checkpoint")).toString(), {}, false, -1, journal.value(QLatin1String("id")), 0 };
    log(Log::Warning, "Restored '%s' as it was before the unconfirmed '%s'.", qPrintable(config),
        qPrintable(m_rollback.restarted->command));
}

void Engine::setUpRollback()
{
    m_rollback.timer.setSingleShot(true);
    connect(&m_rollback.timer, &QTimer::timeout, this, &Engine::rollBackChange);
    m_rollback.grace.setSingleShot(true);
    connect(&m_rollback.grace, &QTimer::timeout, this, &Engine::publishProof);
    connect(m_ipc.data(), &IPC::delivered, this, [this](int id) {
        if (m_rollback.pending && m_rollback.pending->statusId == id)
            confirmChange();
    });
}

// Any command came through the broker, which confirms a change still waiting; a changing command then gets a
// checkpoint of its own. False when the command must not run.
bool Engine::guardChange(const QString &command, const QJsonObject &data)
{
    if (m_rollback.pending)
        confirmChange();
    const quint32 seconds = m_config->mqtt().rollbackSec;
    const NetworkManager::Device::Type type = changedDeviceType(command);
    if (seconds == 0 || type == NetworkManager::Device::UnknownType)
        return true;
    const QString interface = requestedInterface(data);
    // A port must be named (the first one is no default), a missing device is refused: the handler changes nothing.
    const NetworkManager::Device::Ptr dev = type == NetworkManager::Device::Ethernet && interface.isEmpty()
        ? NetworkManager::Device::Ptr()
        : findDevice(interface, type, /* quiet = */ true);
    if (!dev)
        return true;
    QDBusMessage reply;
    const QVariantList arguments { QVariant::fromValue(QList<QDBusObjectPath> { QDBusObjectPath(dev->uni()) }),
        uint(seconds), deleteNewConnections };
    if (auto failure = checkpointCall(QStringLiteral("CheckpointCreate"), arguments, &reply)) {
        log(Log::Error, "No checkpoint for '%s': %s", qPrintable(command), qPrintable(*failure));
        m_ipc->publishError(command, QStringLiteral("Cannot take a rollback checkpoint: ") + *failure);
        return false;
    }
    // The request's result waits for the outcome.
    PendingChange change { command, reply.arguments().value(0).value<QDBusObjectPath>().path(), {},
        command == QLatin1String("wifi/disable"), -1, std::exchange(m_request.id, QJsonValue(QJsonValue::Undefined)),
        m_ipc->errorCount() };
    QFile config(m_config->filePath());
    if (config.open(QIODevice::ReadOnly))
        change.previousFile = config.readAll();
    writeJournal(change);
    log(Log::Info, "'%s' runs under checkpoint %s for %u s.", qPrintable(command), qPrintable(change.checkpoint),
        seconds);
    m_rollback.pending = change;
    m_rollback.timer.start(int(seconds * 1000));
    QTimer::singleShot(0, this, [this, dev] { awaitSettledDevice(dev); });
    return true;
}

// After the handler. The broker's proof is a status document sent once the device has settled, so that it goes
// over the link the change leaves rather than the one before it: at the end of an activation, or after a second
// without a change of state (a device the change does not move, or one it leaves disconnected).
void Engine::awaitSettledDevice(const NetworkManager::Device::Ptr &dev)
{
    if (!m_rollback.pending)
        return;
    m_rollback.grace.start(settleGraceMs);
    m_rollback.settling
        = connect(dev.data(), &NetworkManager::Device::stateChanged, this, [this](NetworkManager::Device::State state) {
              if (state == NetworkManager::Device::Activated || state == NetworkManager::Device::Failed)
                  publishProof();
              else
                  m_rollback.grace.start(settleGraceMs);
          });
}

void Engine::publishProof()
{
    QObject::disconnect(m_rollback.settling);
    if (m_rollback.pending && m_ipc->isConnected())
        m_rollback.pending->statusId = m_ipc->publishNetworkStatus();
}

// The change leaves its window, confirmed or not.
Engine::PendingChange Engine::takePendingChange()
{
    const PendingChange change = *m_rollback.pending;
    m_rollback.pending.reset();
    m_rollback.timer.stop();
    m_rollback.grace.stop();
    QObject::disconnect(m_rollback.settling);
    return change;
}

void Engine::writeJournal(const PendingChange &change)
{
    const QJsonObject journal { { "command", change.command }, { "id", change.id }, { "checkpoint", change.checkpoint },
        { "file", m_config->filePath() }, { "content", QString::fromLatin1(change.previousFile.toBase64()) } };
    QString error;
    if (!writeFile(journalPath(), QJsonDocument(journal).toJson(), /* ownerOnly = */ true, &error))
        log(Log::Error, "Cannot write the rollback journal '%s': %s", qPrintable(journalPath()), qPrintable(error));
}

void Engine::confirmChange()
{
    const PendingChange change = takePendingChange();
    // Refused: NetworkManager's timer was first, the confirmation came too late.
    if (auto failure = callCheckpoint(QStringLiteral("CheckpointDestroy"), change.checkpoint)) {
        log(Log::Warning, "Checkpoint %s: %s", qPrintable(change.checkpoint), qPrintable(*failure));
        undoChange(change);
        return;
    }
    QFile::remove(journalPath());
    m_ipc->publishResult(change.command, change.id, m_ipc->errorSince(change.errorMark));
    log(Log::Info, "'%s' confirmed by the broker: checkpoint %s destroyed.", qPrintable(change.command),
        qPrintable(change.checkpoint));
}

void Engine::rollBackChange()
{
    const PendingChange change = takePendingChange();
    // NetworkManager's own timer may have been first; then there is nothing left to roll back.
    if (auto failure = callCheckpoint(QStringLiteral("CheckpointRollback"), change.checkpoint))
        log(Log::Debug, "Checkpoint %s: %s", qPrintable(change.checkpoint), qPrintable(*failure));
    undoChange(change);
}

// NetworkManager has restored the device; the file, and the radio switch no checkpoint holds, are ours.
void Engine::undoChange(const PendingChange &change)
{
    const QString reason
        = QStringLiteral("Rolled back after %1 s: the broker could not be reached").arg(m_config->mqtt().rollbackSec);
    QString error;
    if (writeFile(m_config->filePath(), change.previousFile, /* ownerOnly = */ false, &error))
        m_config->reread();
    else
        log(Log::Error, "Cannot restore '%s': %s", qPrintable(m_config->filePath()), qPrintable(error));
    if (change.radioOff) {
        if (auto failure = failureOf(setWirelessEnabled(true)))
            log(Log::Error, "[Wifi] Failed to enable radio: %s", qPrintable(*failure));
    }
    QFile::remove(journalPath());
    log(Log::Warning, "'%s' undone: %s", qPrintable(change.command), qPrintable(reason));
    m_rollback.reports.append({ change, reason });
    if (m_ipc->isConnected())
        reportRollbacks();
}

// On every broker connection: a change still waiting is confirmed by it, a journal found at start is finished
// on NetworkManager's side, and the rollbacks not yet told are told.
void Engine::reportRollbacks()
{
    if (m_rollback.pending)
        confirmChange();
    if (m_rollback.restarted) {
        callCheckpoint(QStringLiteral("CheckpointRollback"), m_rollback.restarted->checkpoint);
        m_rollback.reports.append(
            { *m_rollback.restarted, QStringLiteral("Rolled back at start: the change was not confirmed") });
        m_rollback.restarted.reset();
        QFile::remove(journalPath());
    }
    for (const auto &[change, error] : std::as_const(m_rollback.reports)) {
        m_ipc->publishError(change.command, error);
        m_ipc->publishResult(change.command, change.id, error);
    }
    m_rollback.reports.clear();
}

} // namespace Corvex
