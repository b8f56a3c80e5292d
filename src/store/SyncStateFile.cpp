#include "store/SyncStateFile.h"

#include "model/NoteJSON.h"
#include "store/AtomicFile.h"
#include "store/NotesFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace {

constexpr int formatVersion = 1;

std::optional<Timestamp> timestampIn(const QJsonValue &value)
{
    const auto read = NoteJSON::readTimestamp(value);
    if (!read)
        return std::nullopt;
    return read.value();
}

} // namespace

SyncStateFile::SyncStateFile(QString folder)
    : m_folder(std::move(folder))
{}

QString SyncStateFile::path() const
{
    return m_folder + u'/' + fileName;
}

QByteArray SyncStateFile::encode(const SyncState &state)
{
    // Each card as [updatedAt, pinned, digest]: ten thousand of them stay a small file.
    QJsonObject base;
    for (auto it = state.base.cbegin(); it != state.base.cend(); ++it)
        base.insert(it.key(), QJsonArray{NoteJSON::isoString(it->updatedAt), it->pinned,
                                         QString::fromLatin1(it->digest.toBase64())});
    QJsonArray deletions;
    for (const PinlarkVaultSync::CardDeletion &deletion : state.deletions)
        deletions.append(
            QJsonObject{{u"id"_s, deletion.id},
                        {u"deletedAt"_s, NoteJSON::isoString(deletion.deletedAt)},
                        {u"updatedAt"_s, NoteJSON::isoString(deletion.updatedAt)},
                        {u"digest"_s, QString::fromLatin1(deletion.digest.toBase64())}});
    QJsonObject root{{u"version"_s, formatVersion},
                     {u"vault"_s, state.vaultId},
                     {u"base"_s, base},
                     {u"deletions"_s, deletions}};
    if (state.lastSyncAt)
        root.insert(u"lastSyncAt"_s, NoteJSON::isoString(*state.lastSyncAt));
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

std::optional<SyncState> SyncStateFile::decode(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    if (root.value(u"version"_s).toInt() != formatVersion || !root.value(u"vault"_s).isString() ||
        !root.value(u"base"_s).isObject() || !root.value(u"deletions"_s).isArray())
        return std::nullopt;

    SyncState state;
    state.vaultId = root.value(u"vault"_s).toString();
    if (root.contains(u"lastSyncAt"_s)) {
        state.lastSyncAt = timestampIn(root.value(u"lastSyncAt"_s));
        if (!state.lastSyncAt)
            return std::nullopt;
    }
    const QJsonObject base = root.value(u"base"_s).toObject();
    state.base.reserve(base.size());
    for (auto it = base.constBegin(); it != base.constEnd(); ++it) {
        const QJsonArray entry = it.value().toArray();
        const auto updatedAt = timestampIn(entry.at(0));
        if (entry.size() != 3 || !updatedAt || !entry.at(1).isBool() || !entry.at(2).isString())
            return std::nullopt;
        state.base.insert(it.key(), PinlarkVaultSync::ExchangedCard{
                                        *updatedAt, entry.at(1).toBool(),
                                        QByteArray::fromBase64(entry.at(2).toString().toLatin1())});
    }
    for (const QJsonValue &value : root.value(u"deletions"_s).toArray()) {
        const QJsonObject object = value.toObject();
        const auto deletedAt = timestampIn(object.value(u"deletedAt"_s));
        const auto updatedAt = timestampIn(object.value(u"updatedAt"_s));
        if (!object.value(u"id"_s).isString() || !deletedAt || !updatedAt)
            return std::nullopt;
        state.deletions.append(PinlarkVaultSync::CardDeletion{
            object.value(u"id"_s).toString(), *deletedAt, *updatedAt,
            QByteArray::fromBase64(object.value(u"digest"_s).toString().toLatin1())});
    }
    return state;
}

SyncState SyncStateFile::load(QString *error) const
{
    QFile file(path());
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = u"cannot read "_s + path() + u": "_s + file.errorString();
        return {};
    }
    std::optional<SyncState> state = decode(file.readAll());
    if (!state) {
        if (error)
            *error = path() + u" is not readable; the next sync keeps both texts of every card "
                              u"that differs"_s;
        return {};
    }
    return std::move(*state);
}

Result<bool> SyncStateFile::save(const SyncState &state) const
{
    NotesFile::createFolder(m_folder);
    const QByteArray json = encode(state);
    return writeFileAtomically(
        path(), [&json](QIODevice &file) { return file.write(json) == json.size(); },
        QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}
