#include "zfsmodel.h"

#include "vxrpipeline.h"

#include <algorithm>

namespace {

bool isZfs(const QString& program)
{
    return program == QLatin1String("zfs") || program == QLatin1String("/usr/sbin/zfs");
}

bool isOperator(QChar c)
{
    return c == QLatin1Char(';') || c == QLatin1Char('|') || c == QLatin1Char('&') || c == QLatin1Char('(')
           || c == QLatin1Char(')');
}

// The words after the first "zfs VERB" of words up to the next operator;
// false when words hold no such command.
bool commandAfter(const QStringList& words, const QSet<int>& ops, const QString& verb, QStringList* args)
{
    for (int i = 0; i + 1 < words.size(); ++i) {
        if (ops.contains(i) || !isZfs(words.at(i)) || words.at(i + 1) != verb)
            continue;
        for (int j = i + 2; j < words.size() && !ops.contains(j); ++j)
            *args << words.at(j);
        return true;
    }
    return false;
}

QByteArray utf8(const QString& text)
{
    return text.toUtf8();
}

} // namespace

QStringList shellWords(const QString& text, QSet<int>* ops)
{
    QStringList words;
    QString word;
    bool inWord = false;
    auto flush = [&] {
        if (inWord)
            words << word;
        word.clear();
        inWord = false;
    };
    static const QString escapedInDoubleQuotes = QStringLiteral("\"\\$`");
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\'')) {
            int end = text.indexOf(QLatin1Char('\''), i + 1);
            if (end < 0)
                end = text.size();
            word += text.midRef(i + 1, end - i - 1);
            i = end;
            inWord = true;
        } else if (c == QLatin1Char('"')) {
            for (++i; i < text.size() && text.at(i) != QLatin1Char('"'); ++i) {
                if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size()
                    && escapedInDoubleQuotes.contains(text.at(i + 1)))
                    ++i;
                word += text.at(i);
            }
            inWord = true;
        } else if (c == QLatin1Char('\\')) {
            if (i + 1 < text.size())
                word += text.at(++i);
            inWord = true;
        } else if (c.isSpace()) {
            flush();
        } else if (isOperator(c)) {
            flush();
            const bool doubled = (c == QLatin1Char('|') || c == QLatin1Char('&')) && i + 1 < text.size()
                                 && text.at(i + 1) == c;
            if (ops)
                ops->insert(words.size());
            words << (doubled ? QString(2, c) : QString(c));
            i += doubled ? 1 : 0;
        } else {
            word += c;
            inWord = true;
        }
    }
    flush();
    return words;
}

void ZfsModel::createDataset(Side side, const QString& dataset)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pools[side].datasets[dataset];
}

int ZfsModel::count(Side side, const QString& dataset) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_pools[side].datasets.value(dataset).snapshots.size());
}

QStringList ZfsModel::held(Side side, const QString& dataset) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QStringList out;
    for (const Snapshot& snap : m_pools[side].datasets.value(dataset).snapshots) {
        if (!snap.tags.isEmpty())
            out << dataset + QLatin1Char('@') + snap.name;
    }
    return out;
}

int ZfsModel::destroyedUnsent(const QString& dataset) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pools[Appliance].datasets.value(dataset).destroyedUnsent;
}

QStringList ZfsModel::unknown() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unknown;
}

void ZfsModel::noteUnknown(const QString& text)
{
    if (m_unknown.size() < 20)
        m_unknown << text;
}

HX2RunResult ZfsModel::run(const VxrCommand& command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const QString password = command.options.env.value(QStringLiteral("SSHPASS"));
    Outcome o;
    if (!password.isEmpty() && command.args.join(QLatin1Char(' ')).contains(password)) {
        noteUnknown(QStringLiteral("the password among the arguments of ") + command.program);
        o.code = 2;
    } else if (isZfs(command.program)) {
        o = zfs(m_pools[Appliance], command.args);
    } else if (command.program == QLatin1String("sshpass") && command.args.value(0) == QLatin1String("-e")
               && !password.isEmpty()) {
        o = remote(command.args.last());
    } else {
        noteUnknown(shellText(command));
        o.code = 127;
        o.err = "command not found";
    }
    HX2RunResult r;
    r.started = r.finished = r.normalExit = true;
    r.exitCode = o.code;
    r.out = o.out;
    r.err = o.err;
    const qint64 max = command.options.maxOutBytes;
    r.outOverflow = max >= 0 && r.out.size() > max;
    if (r.outOverflow)
        r.out.truncate(int(max));
    r.ok = command.options.acceptedCodes.contains(r.exitCode) && !r.outOverflow;
    return r;
}

ZfsModel::Outcome ZfsModel::zfs(Pool& pool, const QStringList& args)
{
    const QString verb = args.value(0);
    if (verb == QLatin1String("list"))
        return list(pool, args);
    if (verb == QLatin1String("snapshot") && args.size() == 2)
        return snapshot(pool, args.at(1));
    if ((verb == QLatin1String("hold") || verb == QLatin1String("release")) && args.size() == 3)
        return hold(pool, args, verb == QLatin1String("hold"));
    if (verb == QLatin1String("destroy") && args.size() == 2)
        return destroy(pool, args.at(1));
    if (verb == QLatin1String("send") && args.value(1).startsWith(QLatin1Char('-')) && args.at(1).contains('n'))
        return estimate(pool, args);
    noteUnknown(QStringLiteral("zfs ") + args.join(QLatin1Char(' ')));
    return {2, QByteArray(), "unrecognized command"};
}

ZfsModel::Outcome ZfsModel::list(Pool& pool, const QStringList& args)
{
    bool scripted = false;
    bool snapshotsListed = false;
    QStringList fields{QStringLiteral("name")};
    QStringList named;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("-H"))
            scripted = true;
        else if (a == QLatin1String("-o") && i + 1 < args.size())
            fields = args.at(++i).split(QLatin1Char(','));
        else if (a == QLatin1String("-t") && i + 1 < args.size())
            snapshotsListed = args.at(++i) == QLatin1String("snapshot");
        else if (a != QLatin1String("-p"))
            named << a;
    }
    const bool known = scripted && std::all_of(fields.begin(), fields.end(), [](const QString& f) {
        return f == QLatin1String("name") || f == QLatin1String("userrefs") || f == QLatin1String("clones");
    });
    const bool option = std::any_of(named.begin(), named.end(), [](const QString& n) { return n.startsWith('-'); });
    if (!known || option) {
        noteUnknown(QStringLiteral("zfs ") + args.join(QLatin1Char(' ')));
        return {2, QByteArray(), "unrecognized listing"};
    }
    if (named.isEmpty()) {
        named = pool.datasets.keys();
        std::sort(named.begin(), named.end());
    }
    Outcome o;
    for (const QString& name : named) {
        const auto it = pool.datasets.constFind(name);
        if (it == pool.datasets.constEnd()) {
            o.code = 1;
            o.err += utf8(QStringLiteral("cannot open '%1': dataset does not exist\n").arg(name));
            continue;
        }
        if (!snapshotsListed) {
            o.out += utf8(name) + (fields.contains(QStringLiteral("userrefs")) ? "\t-\n" : "\n");
            continue;
        }
        o.out.reserve(o.out.size() + int(it->snapshots.size()) * (it->snapshots.empty() ? 0 : it->snapshots.front().line.size() + 4));
        for (const Snapshot& snap : it->snapshots) {
            o.out += snap.line;
            for (int f = 1; f < fields.size(); ++f) {
                o.out += '\t';
                // The model makes no clones.
                if (fields.at(f) == QLatin1String("clones"))
                    o.out += '-';
                else
                    o.out += snap.tags.isEmpty() ? QByteArray("0") : QByteArray::number(snap.tags.size());
            }
            o.out += '\n';
        }
    }
    return o;
}

ZfsModel::Snapshot* ZfsModel::find(Pool& pool, const QString& name, Dataset** dataset)
{
    const int at = name.indexOf(QLatin1Char('@'));
    if (at <= 0)
        return nullptr;
    const auto d = pool.datasets.find(name.left(at));
    if (d == pool.datasets.end())
        return nullptr;
    if (dataset)
        *dataset = &*d;
    return d->find(name.mid(at + 1));
}

size_t ZfsModel::Dataset::at(quint64 txg) const
{
    const auto it = std::lower_bound(snapshots.begin(), snapshots.end(), txg,
                                     [](const Snapshot& s, quint64 t) { return s.txg < t; });
    return it != snapshots.end() && it->txg == txg ? size_t(it - snapshots.begin()) : snapshots.size();
}

ZfsModel::Snapshot* ZfsModel::Dataset::find(const QString& name)
{
    const auto t = txgOf.constFind(name);
    return t == txgOf.constEnd() ? nullptr : &snapshots[at(*t)];
}

void ZfsModel::add(Pool& pool, const QString& datasetName, Dataset& dataset, const QString& snap)
{
    const quint64 txg = ++pool.txg;
    dataset.snapshots.push_back(Snapshot{txg, snap, utf8(datasetName + QLatin1Char('@') + snap), {}});
    dataset.txgOf.insert(snap, txg);
}

void ZfsModel::drop(Dataset& dataset, const QString& snap)
{
    const auto t = dataset.txgOf.find(snap);
    if (t == dataset.txgOf.end())
        return;
    dataset.snapshots.erase(dataset.snapshots.begin() + long(dataset.at(*t)));
    dataset.txgOf.erase(t);
}

ZfsModel::Outcome ZfsModel::snapshot(Pool& pool, const QString& name)
{
    const QString failed = QStringLiteral("cannot create snapshot '%1': ").arg(name);
    const int at = name.indexOf(QLatin1Char('@'));
    const auto d = pool.datasets.find(name.left(at));
    if (at <= 0 || at + 1 == name.size() || name.indexOf(QLatin1Char('@'), at + 1) >= 0)
        return {1, QByteArray(), utf8(failed + QStringLiteral("invalid character '@' in name"))};
    if (d == pool.datasets.end())
        return {1, QByteArray(), utf8(failed + QStringLiteral("dataset does not exist"))};
    const QString snap = name.mid(at + 1);
    if (d->txgOf.contains(snap))
        return {1, QByteArray(), utf8(failed + QStringLiteral("dataset already exists"))};
    add(pool, d.key(), *d, snap);
    return {};
}

ZfsModel::Outcome ZfsModel::hold(Pool& pool, const QStringList& args, bool take)
{
    const QString& tag = args.at(1);
    const QString& name = args.at(2);
    const QString failed = take ? QStringLiteral("cannot hold snapshot '%1': ").arg(name)
                                : QStringLiteral("cannot release hold from snapshot '%1': ").arg(name);
    Snapshot* s = find(pool, name);
    if (!s)
        return {1, QByteArray(), utf8(failed + QStringLiteral("dataset does not exist"))};
    if (take && s->tags.contains(tag))
        return {1, QByteArray(), utf8(failed + QStringLiteral("tag already exists on this dataset"))};
    if (!take && !s->tags.contains(tag))
        return {1, QByteArray(), utf8(failed + QStringLiteral("no such tag on this dataset"))};
    if (take)
        s->tags.insert(tag);
    else
        s->tags.remove(tag);
    return {};
}

// A list is destroyed whole or not at all; names it does not find are
// passed over, as zfs does.
ZfsModel::Outcome ZfsModel::destroy(Pool& pool, const QString& spec)
{
    const int at = spec.indexOf(QLatin1Char('@'));
    if (at <= 0 || spec.contains(QLatin1Char('%'))) {
        noteUnknown(QStringLiteral("zfs destroy ") + spec);
        return {2, QByteArray(), "unrecognized destroy"};
    }
    const QString dataset = spec.left(at);
    const auto d = pool.datasets.find(dataset);
    if (d == pool.datasets.end())
        return {1, QByteArray(), utf8(QStringLiteral("cannot open '%1': dataset does not exist").arg(dataset))};
    QStringList found;
    for (const QString& snap : spec.mid(at + 1).split(QLatin1Char(','))) {
        const Snapshot* s = d->find(snap);
        if (!s)
            continue;
        if (!s->tags.isEmpty())
            return {1, QByteArray(),
                    utf8(QStringLiteral("cannot destroy snapshot %1@%2: dataset is busy").arg(dataset, snap))};
        found << snap;
    }
    if (found.isEmpty())
        return {1, QByteArray(), "could not find any snapshots to destroy; check snapshot names."};
    for (const QString& snap : found) {
        d->destroyedUnsent += d->txgOf.value(snap) > d->sentThrough ? 1 : 0;
        drop(*d, snap);
    }
    return {};
}

ZfsModel::Outcome ZfsModel::estimate(Pool& pool, const QStringList& args)
{
    int streams = 0;
    for (int i = 2; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("-i"))
            continue;
        if (!find(pool, args.at(i)))
            return {1, QByteArray(),
                    utf8(QStringLiteral("cannot open '%1': dataset does not exist").arg(args.at(i)))};
        ++streams;
    }
    return {0, "size\t" + QByteArray::number(4096 * streams) + '\n', QByteArray()};
}

// The server's shell: simple commands joined by ";", "&&" and "||", each
// zfs, or "exit N"; "2>/dev/null" drops that command's standard error.
ZfsModel::Outcome ZfsModel::remote(const QString& text)
{
    QSet<int> ops;
    const QStringList words = shellWords(text, &ops);
    Outcome total;
    QString connector = QStringLiteral(";");
    for (int i = 0; i <= words.size(); ++i) {
        QStringList command;
        bool quietErr = false;
        for (; i < words.size() && !ops.contains(i); ++i) {
            if (words.at(i) == QLatin1String("2>/dev/null"))
                quietErr = true;
            else
                command << words.at(i);
        }
        const bool runs = connector == QLatin1String(";") || (connector == QLatin1String("&&") && total.code == 0)
                          || (connector == QLatin1String("||") && total.code != 0);
        connector = words.value(i);
        if (!runs || command.isEmpty())
            continue;
        if (command.first() == QLatin1String("exit")) {
            total.code = command.value(1).toInt();
            return total;
        }
        if (!isZfs(command.first()) || !QStringList{";", "&&", "||", ""}.contains(connector)) {
            noteUnknown(QStringLiteral("on the server: ") + text);
            total.code = 127;
            return total;
        }
        const Outcome o = zfs(m_pools[Server], command.mid(1));
        total.code = o.code;
        total.out += o.out;
        if (!quietErr)
            total.err += o.err;
    }
    return total;
}

namespace {

// A transfer that ended as it started: its output is the done marker, or
// zfs's complaint.
class ModelTransfer : public VxrTransferProcess
{
public:
    ModelTransfer(int code, const QByteArray& output) : m_output(output)
    {
        m_result.started = m_result.finished = m_result.normalExit = true;
        m_result.exitCode = code;
        m_result.ok = code == 0;
    }
    bool waitForFinished(int) override { return true; }
    QByteArray readOutput() override
    {
        QByteArray out;
        out.swap(m_output);
        return out;
    }
    void killTree(int) override {}
    HX2RunResult result() const override { return m_result; }

private:
    QByteArray m_output;
    HX2RunResult m_result;
};

} // namespace

std::unique_ptr<VxrTransferProcess> ZfsModel::startTransfer(const VxrCommand& command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const QString text = command.args.value(3);
    if (command.program != QLatin1String("script") || command.args.value(2) != QLatin1String("-c")
        || !command.options.env.contains(QStringLiteral("SSHPASS"))) {
        noteUnknown(shellText(command));
        return nullptr;
    }
    QSet<int> ops;
    const QStringList words = shellWords(text, &ops);
    QStringList send;
    QStringList recv;
    const int ssh = words.indexOf(QStringLiteral("sshpass"));
    int remoteAt = ssh;
    while (remoteAt >= 0 && remoteAt + 1 < words.size() && !ops.contains(remoteAt + 1))
        ++remoteAt;
    QSet<int> remoteOps;
    const QStringList remoteWords = ssh < 0 ? QStringList() : shellWords(words.at(remoteAt), &remoteOps);
    if (!commandAfter(words, ops, QStringLiteral("send"), &send)
        || !commandAfter(remoteWords, remoteOps, QStringLiteral("recv"), &recv)) {
        noteUnknown(text);
        return nullptr;
    }
    const Outcome o = receive(send, recv);
    const QByteArray marker = QByteArray("\r\n") + VxrPipeline::kDoneMarker + "\r\n";
    return std::make_unique<ModelTransfer>(o.code, o.code == 0 ? marker : o.err);
}

ZfsModel::Outcome ZfsModel::receive(const QStringList& send, const QStringList& recv)
{
    bool replicate = false;
    QString from;
    bool intermediates = false;
    QStringList names;
    for (int i = 0; i < send.size(); ++i) {
        const QString& a = send.at(i);
        if (!a.startsWith(QLatin1Char('-'))) {
            names << a;
            continue;
        }
        replicate = replicate || a.contains(QLatin1Char('R'));
        if (a.contains(QLatin1Char('I')) || a.contains(QLatin1Char('i'))) {
            intermediates = a.contains(QLatin1Char('I'));
            from = send.value(++i);
        }
    }
    bool force = false;
    QString target;
    for (int i = 0; i < recv.size(); ++i) {
        const QString& a = recv.at(i);
        if (a == QLatin1String("-o"))
            ++i;
        else if (a.startsWith(QLatin1Char('-')))
            force = force || a.contains(QLatin1Char('F'));
        else
            target = a;
    }
    Dataset* source = nullptr;
    if (names.size() != 1 || !find(m_pools[Appliance], names.first(), &source)
        || (!from.isEmpty() && !find(m_pools[Appliance], from)))
        return {1, QByteArray(), "cannot send: snapshot does not exist"};
    Pool& server = m_pools[Server];
    const QString last = names.first().section(QLatin1Char('@'), 1);
    if (!from.isEmpty()) {
        const auto d = server.datasets.find(target);
        if (d == server.datasets.end())
            return {1, QByteArray(), utf8(QStringLiteral("cannot receive: destination '%1' does not exist").arg(target))};
        Outcome o = receiveIncremental(*source, from.section(QLatin1Char('@'), 1), last, target, *d, intermediates, force);
        if (o.code == 0)
            source->sentThrough = std::max(source->sentThrough, source->txgOf.value(last));
        if (o.code != 0 || !replicate || !force)
            return o;
        // The replication stream names every snapshot the sender has:
        // -F destroys the others, those whose destroy is refused stay.
        QStringList gone;
        for (const Snapshot& snap : d->snapshots) {
            if (!source->txgOf.contains(snap.name) && snap.tags.isEmpty())
                gone << snap.name;
        }
        for (const QString& snap : gone)
            drop(*d, snap);
        return o;
    }
    const auto d = server.datasets.find(target);
    if (d != server.datasets.end() && (!force || !d->snapshots.empty()))
        return {1, QByteArray(),
                utf8(QStringLiteral("cannot receive new filesystem stream: destination '%1' exists").arg(target))};
    Dataset& made = server.datasets[target];
    const quint64 upTo = source->txgOf.value(last);
    for (const Snapshot& snap : source->snapshots) {
        if (snap.txg > upTo)
            break;
        if (replicate || snap.txg == upTo)
            add(server, target, made, snap.name);
    }
    source->sentThrough = std::max(source->sentThrough, upTo);
    return {};
}

ZfsModel::Outcome ZfsModel::receiveIncremental(Dataset& from, const QString& a, const QString& b,
                                               const QString& target, Dataset& to, bool intermediates, bool force)
{
    const Snapshot* base = to.find(a);
    const quint64 aTxg = from.txgOf.value(a);
    const quint64 bTxg = from.txgOf.value(b);
    if (!base || aTxg >= bTxg)
        return {1, QByteArray(), "cannot receive incremental stream: most recent snapshot does not match incremental source"};
    // Newer snapshots on the receiving side: only -F rolls back over them.
    QStringList newer;
    for (size_t i = to.at(base->txg) + 1; i < to.snapshots.size(); ++i) {
        if (!to.snapshots[i].tags.isEmpty())
            return {1, QByteArray(), utf8(QStringLiteral("cannot rollback to '%1': dataset is busy").arg(a))};
        newer << to.snapshots[i].name;
    }
    if (!newer.isEmpty() && !force)
        return {1, QByteArray(), "cannot receive incremental stream: destination has been modified since most recent snapshot"};
    for (const QString& snap : newer)
        drop(to, snap);
    const size_t first = from.at(aTxg) + 1;
    const size_t last = from.at(bTxg);
    for (size_t i = first; i <= last; ++i) {
        if (to.txgOf.contains(from.snapshots[i].name))
            return {1, QByteArray(), "cannot receive incremental stream: destination already exists"};
    }
    for (size_t i = intermediates ? first : last; i <= last; ++i)
        add(m_pools[Server], target, to, from.snapshots[i].name);
    return {};
}
