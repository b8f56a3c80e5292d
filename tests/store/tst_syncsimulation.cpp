// Many machines sharing one passport code, simulated: three real stores (the real merge,
// envelope, cipher and sync state file) and one client that follows the plain rules of every
// Pinlark client (the later edit wins, no copies, no deletions, pushes without a
// precondition), against a vault in memory with entity tags. A seeded scheduler decides every
// step, and every request of a running sync waits at a gate until the scheduler lets it
// through, so two syncs interleave exactly as it chose and a seed always replays the same
// schedule. Faults: failed pulls and pushes, a push stored by the vault that the machine never
// hears of (a crash before its save), restarts, and the plain client writing an old stack over
// a newer one.
//
// After a final quiet round every store must hold the same stack, every text typed on them
// must be in some card unless a user replaced or deleted it having seen it, or the plain
// client lost it (it keeps no copies: it edited that card later, or wrote an old stack over
// the text and the card was edited again from there), no deleted card may be back with the
// text it was deleted with, and notes.json must read back after every step.
//
//   PINLARK_SIMULATION_SCHEDULES  how many schedules (default 1500)
//   PINLARK_SIMULATION_SEED       the first seed (default 1); schedule i uses seed + i

#include "model/NoteJSON.h"
#include "store/PinlarkStore.h"
#include "vault/VaultExchange.h"
#include "vault/VaultPayload.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

using namespace Qt::StringLiterals;
using PinlarkVaultSync::VaultStack;
using PinlarkVaultSync::detail::Precondition;
using PinlarkVaultSync::detail::VaultTransport;

namespace {

const QString code = u"PLK-7KQ2MX"_s;
constexpr int storeCount = 3;

// One key for every payload of the run: PBKDF2 would cost a simulation of thousands of syncs
// minutes, and the cipher and envelope are the same with any key.
struct FastKeys
{
    PinlarkVaultSync::detail::SealingKey sealing;

    FastKeys()
    {
        auto made =
            PinlarkVaultSync::detail::makeSealingKey(code, [](unsigned char *bytes, int count) {
                std::fill(bytes, bytes + count, static_cast<unsigned char>(0x5a));
                return true;
            });
        if (!made)
            qFatal("no key");
        sealing = std::move(made).value();
    }

    [[nodiscard]] PinlarkVaultSync::detail::SecretKey copy() const
    {
        PinlarkVaultSync::detail::SecretKey key;
        std::copy(sealing.key.data(), sealing.key.data() + key.size(), key.data());
        return key;
    }

    [[nodiscard]] PinlarkVaultSync::detail::PayloadKeys keys() const
    {
        PinlarkVaultSync::detail::PayloadKeys keys;
        keys.forSalt = [this](QByteArrayView) {
            return Result<PinlarkVaultSync::detail::SecretKey, SyncError>(copy());
        };
        keys.sealing = [this] {
            PinlarkVaultSync::detail::SealingKey key;
            key.salt = sealing.salt;
            key.key = copy();
            return Result<PinlarkVaultSync::detail::SealingKey, SyncError>(std::move(key));
        };
        return keys;
    }
};

// What the scheduler does with a request waiting at the gate.
enum class Verdict { None, Answer, Fail, StoreButFail };

// The vault in memory, with strong entity tags, and a gate per store.
class MemoryVault
{
public:
    struct Counts
    {
        int posts = 0;
        int refused = 0;
        int overwrites = 0; // pushes of the plain client over a version it did not pull
    };

    // The plain client's and the scheduler's direct access, on the GUI thread.
    VaultTransport::Answer get()
    {
        const std::lock_guard lock(m_mutex);
        return answerGet();
    }
    VaultTransport::Answer post(const QByteArray &body, const Precondition &precondition)
    {
        const std::lock_guard lock(m_mutex);
        return answerPost(body, precondition);
    }
    void countOverwrite() { ++m_counts.overwrites; }

    // A store's worker: waits for the scheduler's verdict.
    Result<VaultTransport::Answer, SyncError> gated(int machine, const QByteArray *postBody,
                                                    const Precondition &precondition)
    {
        std::unique_lock lock(m_mutex);
        Gate &gate = m_gates[std::size_t(machine)];
        gate.waiting = true;
        gate.isPost = postBody != nullptr;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return gate.verdict != Verdict::None; });
        const Verdict verdict = std::exchange(gate.verdict, Verdict::None);
        gate.waiting = false;
        m_changed.notify_all();
        const auto failure = Result<VaultTransport::Answer, SyncError>::failure(
            SyncError{SyncError::networkDomain, 99, u"the simulated network failed"_s});
        if (verdict == Verdict::Fail)
            return failure;
        VaultTransport::Answer answer =
            postBody ? answerPost(*postBody, precondition) : answerGet();
        if (verdict == Verdict::StoreButFail)
            return failure;
        return answer;
    }

    // The scheduler, on the GUI thread.
    [[nodiscard]] bool waiting(int machine, bool *isPost = nullptr)
    {
        const std::lock_guard lock(m_mutex);
        const Gate &gate = m_gates[std::size_t(machine)];
        if (isPost)
            *isPost = gate.isPost;
        return gate.waiting && gate.verdict == Verdict::None;
    }
    void decide(int machine, Verdict verdict)
    {
        const std::lock_guard lock(m_mutex);
        m_gates[std::size_t(machine)].verdict = verdict;
        m_changed.notify_all();
    }
    // Waits a little for any gate to change.
    void pause()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::microseconds(200));
    }

    [[nodiscard]] Counts counts() const
    {
        const std::lock_guard lock(m_mutex);
        return m_counts;
    }

private:
    struct Gate
    {
        bool waiting = false;
        bool isPost = false;
        Verdict verdict = Verdict::None;
    };

    VaultTransport::Answer answerGet() const
    {
        if (!m_body)
            return {404, {}, {}};
        return {200, *m_body, m_tag};
    }

    VaultTransport::Answer answerPost(const QByteArray &body, const Precondition &precondition)
    {
        ++m_counts.posts;
        const bool holds = precondition.kind == Precondition::Kind::None ||
                           (precondition.kind == Precondition::Kind::IfMatch && m_body &&
                            precondition.entityTag == m_tag) ||
                           (precondition.kind == Precondition::Kind::IfNoneMatch && !m_body);
        if (!holds) {
            ++m_counts.refused;
            return {412, {}, {}};
        }
        m_body = body;
        m_tag = '"' +
                QCryptographicHash::hash(body, QCryptographicHash::Sha256)
                    .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) +
                '"';
        return {204, {}, m_tag};
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::array<Gate, storeCount> m_gates{};
    std::optional<QByteArray> m_body;
    QByteArray m_tag;
    Counts m_counts;
};

class GatedTransport final : public VaultTransport
{
public:
    GatedTransport(MemoryVault &vault, int machine, const PinlarkVaultSync::Cancellation *cancelled)
        : m_vault(vault)
        , m_machine(machine)
        , m_cancelled(cancelled)
    {}
    Result<Answer, SyncError> get() override { return m_vault.gated(m_machine, nullptr, {}); }
    Result<Answer, SyncError> post(const QByteArray &body,
                                   const Precondition &precondition) override
    {
        return m_vault.gated(m_machine, &body, precondition);
    }
    bool cancelled() const override { return m_cancelled && m_cancelled->load(); }

private:
    MemoryVault &m_vault;
    int m_machine;
    const PinlarkVaultSync::Cancellation *m_cancelled;
};

// Every text typed, and whether a user replaced or deleted it having seen it.
struct Ledger
{
    struct Text
    {
        QString cardId;
        int step = 0;
        bool excused = false;
        double at = 0; // the card's updatedAt once typed
    };
    QHash<QString, Text> texts; // by the text itself, each unique
    // Every edit of each card: when, and what its clock read.
    QHash<QString, QList<std::pair<int, double>>> edits;
    QList<int> overwriteSteps; // when the plain client wrote an old stack over a newer one

    // Lost to the plain client's overwrite: the vault went back to an older version after
    // the text was typed, and then met another edit of that card, a later one by the step or
    // by the clock, or the plain client's own. No merge can tell that edit from one that saw
    // the text.
    [[nodiscard]] bool lostToAnOverwrite(const Text &text) const
    {
        const bool overwritten = std::any_of(overwriteSteps.cbegin(), overwriteSteps.cend(),
                                             [&](int step) { return step >= text.step; });
        const QList<std::pair<int, double>> others = edits.value(text.cardId);
        const bool plainEdited =
            std::any_of(plainEdits.cbegin(), plainEdits.cend(),
                        [&](const PlainEdit &edit) { return edit.cardId == text.cardId; });
        return overwritten &&
               (plainEdited || std::any_of(others.cbegin(), others.cend(), [&](const auto &edit) {
                    return edit.first > text.step ||
                           (edit.first < text.step && edit.second >= text.at);
                }));
    }

    static bool holds(const QString &content, const QString &text)
    {
        return content == text || content.endsWith(u'\n' + text);
    }
    // A user on some machine replaced or deleted `content`, so every text it held is gone by
    // the user's own hand.
    void seenAndRemoved(const QString &content)
    {
        for (auto it = texts.begin(); it != texts.end(); ++it) {
            if (holds(content, it.key()))
                it->excused = true;
        }
    }
    // The plain client keeps no copies: once it edited a card, what that card held before
    // may be gone, and so may a text typed there later whose clock read no later (on a tie
    // its own copy wins).
    struct PlainEdit
    {
        QString cardId;
        int step = 0;
        double at = 0;
    };
    QList<PlainEdit> plainEdits;
    [[nodiscard]] bool lostToThePlainClient(const Text &text) const
    {
        return std::any_of(plainEdits.cbegin(), plainEdits.cend(), [&](const PlainEdit &edit) {
            return edit.cardId == text.cardId && (edit.step > text.step || text.at <= edit.at);
        });
    }
};

struct Totals
{
    qint64 schedules = 0;
    qint64 steps = 0;
    qint64 syncs = 0;
    qint64 conflicts = 0;
    qint64 copies = 0;
    qint64 deletionsMade = 0;
    qint64 deletionsApplied = 0;
    qint64 editsOverDeletion = 0;
    qint64 refusedPushes = 0;
    qint64 overwrites = 0;
    qint64 restarts = 0;
};

class Simulation
{
public:
    Simulation(quint32 seed, const FastKeys &keys, Totals &totals)
        : m_random(seed)
        , m_keys(keys)
        , m_totals(totals)
        , m_seed(seed)
    {}

    // Empty when every invariant held; else what broke, and the steps that led to it.
    QString run(int steps)
    {
        for (int i = 0; i < storeCount; ++i) {
            m_machines[std::size_t(i)].folder = m_dir.filePath(u"m"_s + QString::number(i));
            QSettings settings(settingsFile(i), QSettings::IniFormat);
            settings.setValue(PinlarkStore::passportCodeKey, code);
            settings.setValue(PinlarkStore::syncAutomaticallyKey, false);
            settings.sync();
            start(i);
        }
        m_plain.append(plainCard());

        for (m_step = 1; m_step <= steps; ++m_step) {
            trace(act());
            if (QString broken = checkFiles(); !broken.isEmpty())
                return broken;
        }
        // The quiet round: every sync finishes, then each machine syncs in turn until the
        // vault stops changing.
        for (int i = 0; i < storeCount; ++i)
            finishSync(i);
        trace(u"quiet round: running syncs ended"_s);
        plainSync(true);
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < storeCount; ++i) {
                store(i).syncWithVault(code, {});
                finishSync(i);
                trace(u"quiet round: m"_s + QString::number(i) + u" syncs: "_s +
                      store(i).syncStatusMessage().value_or(QString()));
            }
        }
        m_totals.steps += steps;
        ++m_totals.schedules;
        const MemoryVault::Counts counts = m_vault.counts();
        m_totals.refusedPushes += counts.refused;
        m_totals.overwrites += counts.overwrites;
        return checkConvergence();
    }

private:
    struct Machine
    {
        QString folder;
        std::unique_ptr<PinlarkStore> store;
        double skew = 0;
        int syncsSeen = 0;
    };

    [[nodiscard]] QString settingsFile(int i) const
    {
        return m_machines[std::size_t(i)].folder + u"/Pinlark.conf"_s;
    }
    PinlarkStore &store(int i) { return *m_machines[std::size_t(i)].store; }

    Timestamp clockOf(int machine)
    {
        // A second per step, and clocks that disagree by a few seconds.
        return Timestamp{1000.0 + m_tick + m_machines[std::size_t(machine)].skew};
    }

    void start(int i)
    {
        Machine &machine = m_machines[std::size_t(i)];
        if (m_step == 0)
            machine.skew = double(m_random.bounded(7)) - 3.0;
        PinlarkStore::Environment environment;
        environment.notesFolder = machine.folder;
        environment.settingsFile = settingsFile(i);
        environment.log = [](const QString &) {};
        environment.machineName = u"machine"_s + QString::number(i);
        environment.clock = [this, i] { return clockOf(i); };
        environment.syncClient = [this, i](const VaultStack &local, const auto &base,
                                           const QString &, const QString &machineName,
                                           const PinlarkVaultSync::Cancellation *cancelled) {
            GatedTransport transport(m_vault, i, cancelled);
            auto synced = PinlarkVaultSync::detail::syncStackVia(transport, m_keys.keys(), local,
                                                                 base, machineName, clockOf(i));
            if (synced) {
                m_totals.conflicts += synced.value().counts.conflicts;
                m_totals.copies += synced.value().counts.copies;
                m_totals.deletionsApplied += synced.value().counts.deletedHere;
                m_totals.editsOverDeletion += synced.value().counts.editsOverDeletion;
            }
            return synced;
        };
        machine.store = std::make_unique<PinlarkStore>(std::move(environment));
    }

    // Lets the machine's running sync through every gate, answering each request.
    void finishSync(int i)
    {
        while (store(i).isSyncing()) {
            if (m_vault.waiting(i))
                m_vault.decide(i, Verdict::Answer);
            settle();
        }
    }

    // Runs the GUI thread until every running sync waits at a gate or has ended.
    void settle()
    {
        for (;;) {
            QCoreApplication::processEvents();
            bool quiet = true;
            for (int i = 0; i < storeCount; ++i) {
                if (store(i).isSyncing() && !m_vault.waiting(i))
                    quiet = false;
            }
            if (quiet)
                return;
            m_vault.pause();
        }
    }

    // PINLARK_SIMULATION_TRACE=1: every step and every stack, to follow a failing seed.
    void trace(const QString &what)
    {
        static const bool on = qEnvironmentVariableIsSet("PINLARK_SIMULATION_TRACE");
        if (!on)
            return;
        std::printf("step %d: %s\n", m_step, qPrintable(what));
        for (int i = 0; i < storeCount; ++i)
            std::printf(" m%d%s\n%s\n", i, store(i).isSyncing() ? " (syncing)" : "",
                        qPrintable(describe(store(i).cards())));
        std::printf(" plain\n%s\n", qPrintable(describe(m_plain)));
    }

    QString newText(const QString &who)
    {
        const QString text = who + u'-' + QString::number(++m_textCount);
        return text;
    }

    void typeInto(int i)
    {
        PinlarkStore &machine = store(i);
        if (machine.cards().isEmpty())
            return;
        machine.setActiveIndex(m_random.bounded(int(machine.cards().size())));
        const std::optional<NoteCard> card = machine.currentCard();
        const QString text = newText(u"m"_s + QString::number(i));
        m_ledger.seenAndRemoved(card->content);
        m_ledger.texts.insert(text, {card->id, m_step, false, clockOf(i).secondsSinceReference});
        m_ledger.edits[card->id].append({m_step, clockOf(i).secondsSinceReference});
        machine.updateCurrentCard(text);
        machine.saveNotesImmediately();
    }

    QString act()
    {
        ++m_tick;
        const int i = m_random.bounded(storeCount);
        PinlarkStore &machine = store(i);
        const int what = m_random.bounded(100);
        const QString who = u"m"_s + QString::number(i) + u' ';
        if (what < 28) {
            typeInto(i);
            return who + u"types"_s;
        } else if (what < 36) {
            machine.addCard();
            typeInto(i);
            return who + u"adds a card and types"_s;
        } else if (what < 44) {
            if (machine.cards().size() > 1) {
                machine.setActiveIndex(m_random.bounded(int(machine.cards().size())));
                const NoteCard deleted = *machine.currentCard();
                m_ledger.seenAndRemoved(deleted.content);
                m_deleted.append({deleted.id, deleted.content});
                machine.deleteCurrentCard();
                ++m_totals.deletionsMade;
                return who + u"deletes "_s + deleted.id;
            }
        } else if (what < 50) {
            machine.setActiveIndex(m_random.bounded(int(machine.cards().size())));
            machine.togglePinCurrentCard();
            return who + u"pins or unpins"_s;
        } else if (what < 64) {
            if (!machine.isSyncing()) {
                machine.syncWithVault(code, {});
                ++m_totals.syncs;
                settle();
                // Half of them run to their end at once, so that whole syncs happen between
                // the other machines' requests too.
                if (m_random.bounded(2) == 0) {
                    finishSync(i);
                    return who + u"syncs"_s;
                }
                return who + u"starts a sync"_s;
            }
        } else if (what < 84) {
            // A waiting request goes through, or fails.
            bool isPost = false;
            if (machine.isSyncing() && m_vault.waiting(i, &isPost)) {
                const int fate = m_random.bounded(20);
                const Verdict verdict = fate == 0 ? Verdict::Fail
                                        : fate == 1
                                            ? (isPost ? Verdict::StoreButFail : Verdict::Fail)
                                            : Verdict::Answer;
                m_vault.decide(i, verdict);
                settle();
                return who + (isPost ? u"POST "_s : u"GET "_s) +
                       (verdict == Verdict::Answer ? u"answered"_s
                        : verdict == Verdict::Fail ? u"fails"_s
                                                   : u"stored, but fails"_s);
            }
        } else if (what < 88) {
            restart(i);
            return who + u"restarts"_s;
        } else if (what < 95) {
            plainEdit();
            return u"plain client edits"_s;
        } else {
            const bool pending = m_plainPulled;
            plainSync(m_random.bounded(2) == 0);
            return pending ? u"plain client pushes what it pulled before"_s
                           : u"plain client syncs"_s;
        }
        return u"nothing"_s;
    }

    // The machine stops and starts again from its files; a sync it was running is lost
    // with it, whatever the vault stored.
    void restart(int i)
    {
        if (store(i).isSyncing() && m_vault.waiting(i))
            m_vault.decide(i, Verdict::StoreButFail);
        m_machines[std::size_t(i)].store.reset();
        start(i);
        ++m_totals.restarts;
    }

    // The plain client.

    NoteCard plainCard()
    {
        NoteCard card;
        card.id = NoteCard::makeId();
        card.content = newText(u"plain"_s);
        card.color = u"mint"_s;
        card.isPinned = false;
        card.createdAt = card.updatedAt = Timestamp{1000.0 + m_tick};
        m_ledger.texts.insert(card.content, {card.id, m_step, true, 0});
        return card;
    }

    void plainEdit()
    {
        if (m_random.bounded(3) == 0) {
            m_plain.append(plainCard());
            return;
        }
        NoteCard &card = m_plain[m_random.bounded(int(m_plain.size()))];
        card.content = newText(u"plain"_s);
        card.updatedAt = Timestamp{1000.0 + m_tick};
        m_ledger.plainEdits.append({card.id, m_step, card.updatedAt.secondsSinceReference});
        m_ledger.edits[card.id].append({m_step, card.updatedAt.secondsSinceReference});
        m_ledger.texts.insert(card.content, {card.id, m_step, true, 0});
    }

    // Pulls and merges by the plain rules; pushes the merge at once, or only at its next
    // turn, over whatever was stored meanwhile.
    void plainSync(bool pushNow)
    {
        if (m_plainPulled) {
            // The push of an earlier turn, without a precondition.
            if (m_vault.get().entityTag != m_plainPulledTag) {
                m_vault.countOverwrite();
                m_ledger.overwriteSteps.append(m_step);
            }
            plainPush();
            m_plainPulled = false;
            return;
        }
        const VaultTransport::Answer answer = m_vault.get();
        if (answer.status == 200) {
            auto data = PinlarkVaultSync::detail::decodeGetAnswer(answer.body);
            auto cards = PinlarkVaultSync::detail::decrypt(*data.value(), m_keys.keys().forSalt);
            if (!cards)
                qFatal("the plain client cannot open the vault: %s",
                       qPrintable(cards.error().localizedDescription()));
            if (!cards.value().isEmpty())
                m_plain = PinlarkVaultSync::merge(m_plain, cards.value());
        }
        m_plainPulledTag = answer.entityTag;
        if (pushNow)
            plainPush();
        else
            m_plainPulled = true;
    }

    void plainPush()
    {
        auto payload = PinlarkVaultSync::detail::seal(m_plain, m_keys.keys().sealing().value(),
                                                      PinlarkVaultSync::detail::systemRandom,
                                                      Timestamp{1000.0 + m_tick});
        (void)m_vault.post(PinlarkVaultSync::detail::encodePostBody(payload.value()), {});
    }

    // Checks.

    QString failure(const QString &what) const
    {
        return u"seed "_s + QString::number(m_seed) + u", step "_s + QString::number(m_step) +
               u": "_s + what;
    }

    QString checkFiles()
    {
        for (int i = 0; i < storeCount; ++i) {
            QFile file(m_machines[std::size_t(i)].folder + u"/notes.json"_s);
            if (!file.open(QIODevice::ReadOnly))
                return failure(u"machine "_s + QString::number(i) + u" has no notes.json"_s);
            const auto cards = NoteJSON::decodeCards(file.readAll());
            if (!cards || cards.value().isEmpty())
                return failure(u"machine "_s + QString::number(i) +
                               u" wrote a notes.json that does not read back"_s);
        }
        return {};
    }

    static QString describe(const QList<NoteCard> &cards)
    {
        QStringList lines;
        for (const NoteCard &card : cards)
            lines.append(u"  "_s + card.id + u' ' + QString(card.content).replace(u'\n', u'|') +
                         u" @"_s + QString::number(card.updatedAt.secondsSinceReference) +
                         (card.pinned() ? u" pinned"_s : QString()));
        return lines.join(u'\n');
    }

    QString checkConvergence()
    {
        const QList<NoteCard> &first = store(0).cards();
        for (int i = 1; i < storeCount; ++i) {
            if (store(i).cards() != first)
                return failure(u"machine "_s + QString::number(i) +
                               u" holds another stack than machine 0 after the quiet round:\n"_s +
                               describe(first) + u"\n  against\n"_s + describe(store(i).cards()));
        }
        // A deleted card may come back only with a text its deletion did not see.
        for (const NoteCard &card : first) {
            if (m_deleted.contains(std::pair(card.id, card.content)))
                return failure(u"the deleted card "_s + card.id + u" (\""_s + card.content +
                               u"\") came back"_s);
        }
        for (auto it = m_ledger.texts.cbegin(); it != m_ledger.texts.cend(); ++it) {
            if (it->excused || m_ledger.lostToAnOverwrite(*it) ||
                m_ledger.lostToThePlainClient(*it))
                continue;
            const bool kept = std::any_of(first.cbegin(), first.cend(), [&](const NoteCard &c) {
                return Ledger::holds(c.content, it.key());
            });
            if (!kept)
                return failure(u"the text \""_s + it.key() + u"\" typed at step "_s +
                               QString::number(it->step) + u" is in no card"_s);
        }
        return checkFiles();
    }

    QTemporaryDir m_dir;
    QRandomGenerator m_random;
    const FastKeys &m_keys;
    Totals &m_totals;
    quint32 m_seed;
    MemoryVault m_vault;
    std::array<Machine, storeCount> m_machines;
    Ledger m_ledger;
    QList<std::pair<QString, QString>> m_deleted; // id and text of each card a user deleted
    QList<NoteCard> m_plain;
    bool m_plainPulled = false;
    QByteArray m_plainPulledTag;
    int m_step = 0;
    int m_tick = 0;
    int m_textCount = 0;
};

int settingFromEnvironment(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

class TestSyncSimulation final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyScheduleConvergesAndKeepsEveryText();
};

void TestSyncSimulation::everyScheduleConvergesAndKeepsEveryText()
{
    const int schedules = settingFromEnvironment("PINLARK_SIMULATION_SCHEDULES", 1500);
    const int firstSeed = settingFromEnvironment("PINLARK_SIMULATION_SEED", 1);
    const FastKeys keys;
    Totals totals;
    for (int i = 0; i < schedules; ++i) {
        Simulation simulation(quint32(firstSeed + i), keys, totals);
        const QString broken = simulation.run(24);
        QVERIFY2(broken.isEmpty(), qPrintable(broken));
    }
    std::printf("%lld schedules, %lld steps, %lld syncs started (%lld pushes refused with 412), "
                "%lld conflicts, %lld copies, %lld deletions made, %lld applied elsewhere, "
                "%lld edits kept over a deletion, %lld restarts, %lld old stacks written over "
                "newer ones by the plain client\n",
                totals.schedules, totals.steps, totals.syncs, totals.refusedPushes,
                totals.conflicts, totals.copies, totals.deletionsMade, totals.deletionsApplied,
                totals.editsOverDeletion, totals.restarts, totals.overwrites);
}

QTEST_GUILESS_MAIN(TestSyncSimulation)
#include "tst_syncsimulation.moc"
