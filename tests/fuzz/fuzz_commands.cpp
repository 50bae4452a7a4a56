// libFuzzer target for the service's command set. Each input is a short
// session: requests (the "vxrclient_*" commands, help and garbage, with
// parameters of every JSON kind and size) go through the application's
// router and handlers to the engine, whose programs are answered from the
// same input and never run; between requests the session may run what
// they set up (the snapshot cycle, the daily upload check, the task
// worker) on this thread, so that every run is reproducible.
//
// Besides crashes and sanitizer reports it stops (abort) when the engine
// hands its programs a command it does not build, or one whose values fail
// the checks the engine owes them: dataset and snapshot names as
// VxrPlan::validName has them (so none begins with "-"), ssh destinations
// as VxrSsh::destinationProblem, ports and sizes as numbers, shell text
// with every value quoted, the password in SSHPASS only, limits on every
// run and on what a server query may print; and when a reply cannot be
// framed or a listing shows a password.
#include "appdata.h"
#include "vxrengine.h"
#include "hx2cabinet.h"
#include "hx2rpcpacket.h"
#include "phpaths.h"
#include "hx2utils.h"
#include "vxrpipeline.h"
#include "vxrplan.h"
#include "vxrzfs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

// What is wrong with a command: the form it was taken for (the innermost,
// for shell text), the value that failed and why. Empty when nothing is.
struct Violation
{
    QString form;
    QString value;
    QString problem;

    bool isEmpty() const { return problem.isEmpty(); }
};

QString g_stage;
// The "dmpath" of the request being served, as its handler reads it.
QString g_requestDmpath;
// Every "dmpaths" entry the session's settings have held: tasks queued
// from them outlive the settings.
QSet<QString> g_savedDmpaths;
// Every server host and user the session has set or asked a restore from.
QSet<QString> g_hosts;
QSet<QString> g_users;

// ---- Service faults found and not yet mended
//
// Each entry lets one known violation pass (counted, shown at exit, and
// answered as a program that did not start) instead of stopping the run,
// so that the bounded run in the test command keeps guarding everything
// else meanwhile. An entry goes once the service refuses such a value;
// the list is meant to be empty.
struct OpenFault
{
    const char* why;
    bool (*applies)(const Violation& v);
};
// Empty: the faults it held are mended.
const std::vector<OpenFault> kOpenServiceFaults = {};
std::map<int, long> g_openFaultHits;

void showOpenFaults()
{
    for (const auto& [i, n] : g_openFaultHits)
        std::fprintf(stderr, "open service fault: %s: %ld times\n", kOpenServiceFaults[i].why, n);
}

[[noreturn]] void fail(const QString& what, const QString& detail)
{
    auto shown = [](const QString& text) {
        return text.size() > 400 ? text.left(400) + QStringLiteral("... (%1 characters)").arg(text.size()) : text;
    };
    std::fprintf(stderr, "\n*** fuzz_commands, at %s: %s\n    %s\n", qPrintable(g_stage), qPrintable(shown(what)),
                 qPrintable(shown(detail)));
    std::abort();
}

// ---- The commands the engine builds
//
// A form is a command's words: fixed words, and slots the values fill.
// Slots: {D} a dataset name, {MARK} "vxr:restore=" and a dataset name,
// {S} a snapshot name, {LIST} a destroy
// argument, {N} a decimal number, {PORT} a port, {DEST} an ssh
// destination, {REMOTE} a server's shell text, {PIPE} a transfer's shell
// text; {D...} takes the remaining words, at least one.
struct Form
{
    const char* name;
    std::vector<const char*> words;
};

const std::vector<Form> kSshForms = {
    {"ssh", {"sshpass", "-e", "ssh", "-p", "{PORT}", "-o", "StrictHostKeyChecking no", "-o",
             "ServerAliveInterval=15", "-o", "ServerAliveCountMax=4", "--", "{DEST}", "{REMOTE}"}},
    {"ssh on its port", {"sshpass", "-e", "ssh", "-o", "StrictHostKeyChecking no", "-o", "ServerAliveInterval=15",
                         "-o", "ServerAliveCountMax=4", "--", "{DEST}", "{REMOTE}"}},
};

const std::vector<Form> kLocalForms = {
    {"root space", {"zfs", "list", "-H", "-p", "-o", "name,used,reservation", "{D}"}},
    {"backed-up totals", {"/usr/sbin/zfs", "list", "-H", "-o", "used,refer", "{D...}"}},
    {"all snapshot names", {"zfs", "list", "-H", "-o", "name", "-t", "snapshot"}},
    {"snapshot", {"zfs", "snapshot", "{S}"}},
    {"snapshot listing", {"/usr/sbin/zfs", "list", "-t", "snapshot", "{D}", "-H", "-o", "name,used,refer"}},
    {"snapshot names of", {"zfs", "list", "-t", "snapshot", "-H", "-o", "name", "{D}"}},
    {"full estimate", {"zfs", "send", "-RPnv", "{S}"}},
    {"incremental estimate", {"zfs", "send", "-RPnv", "{S}", "-i", "{S}"}},
    {"dataset names", {"zfs", "list", "-H", "-o", "name"}},
    {"mount", {"/usr/sbin/zfs", "mount", "{D}"}},
    {"mount points below", {"zfs", "get", "-H", "-o", "name,value,source", "-r", "mountpoint", "{D}"}},
    {"pool mount point", {"zfs", "get", "-H", "-o", "value", "mountpoint", "{D}"}},
    {"inherit mount point", {"zfs", "inherit", "mountpoint", "{D}"}},
    {"restore mark", {"zfs", "get", "-H", "-o", "value,source", "vxr:restore", "{D}"}},
    {"clear restore mark", {"zfs", "inherit", "vxr:restore", "{D}"}},
    {"written since snapshot", {"zfs", "get", "-Hp", "-o", "value", "written", "{D}"}},
    {"holds", {"zfs", "list", "-t", "snapshot", "-H", "-o", "name,userrefs,clones", "{D}"}},
    {"hold", {"zfs", "hold", "vxr_base", "{S}"}},
    {"release", {"zfs", "release", "vxr_base", "{S}"}},
    {"destroy", {"zfs", "destroy", "{LIST}"}},
    {"transfer", {"script", "-e", "-q", "-c", "{PIPE}", "/dev/null"}},
};

const std::vector<Form> kRemoteForms = {
    {"server holds", {"/usr/sbin/zfs", "list", "-t", "snapshot", "-H", "-o", "name,userrefs,clones", "{D}"}},
    {"server release", {"/usr/sbin/zfs", "release", "vxr_base", "{S}"}},
    {"server hold", {"/usr/sbin/zfs", "hold", "vxr_base", "{S}"}},
    {"server destroy", {"/usr/sbin/zfs", "destroy", "{LIST}"}},
    {"exit", {"exit", "{N}"}},
    {"server snapshots of", {"/usr/sbin/zfs", "list", "-t", "snapshot", "-H", "-o", "name", "{D}"}},
    {"account snapshots", {"/usr/sbin/zfs", "list", "-H", "-o", "name,used,refer", "-t", "snapshot"}},
    {"account snapshot names", {"/usr/sbin/zfs", "list", "-t", "snapshot", "-H", "-o", "name"}},
    {"account datasets", {"/usr/sbin/zfs", "list", "-H", "-o", "name"}},
    {"server full estimate", {"/usr/sbin/zfs", "send", "-RPnv", "{S}"}},
    {"server incremental estimate", {"/usr/sbin/zfs", "send", "-RPnv", "{S}", "-i", "{S}"}},
    {"server send", {"/usr/sbin/zfs", "send", "-R", "{S}"}},
    {"server incremental send", {"/usr/sbin/zfs", "send", "-RI", "{S}", "{S}"}},
    {"server receive", {"/usr/sbin/zfs", "recv", "-o", "atime=off", "-o", "readonly=on", "-Fu", "{D}"}},
    {"server receive, own history", {"/usr/sbin/zfs", "recv", "-o", "atime=off", "-o", "readonly=on", "-u", "{D}"}},
};

const std::vector<Form> kPipeForms = {
    {"pipefail", {"set", "-o", "pipefail"}},
    {"send", {"zfs", "send", "{S}"}},
    {"incremental send", {"zfs", "send", "-RI", "{S}", "{S}"}},
    {"meter", {"pv", "-r", "-p", "-s", "{N}"}},
    {"restore receive", {"/usr/sbin/zfs", "recv", "-o", "atime=off", "-o", "readonly=off", "-o", "sharenfs=off",
                         "-o", "sharesmb=off", "-o", "{MARK}", "-u", "{D}"}},
    {"restore incremental receive", {"/usr/sbin/zfs", "recv", "-o", "atime=off", "-o", "readonly=off", "-o",
                                     "sharenfs=off", "-o", "sharesmb=off", "-Fu", "{D}"}},
    {"done marker", {"echo", VxrPipeline::kDoneMarker}},
};

bool isNumber(const QString& w)
{
    if (w.isEmpty() || w.size() > 19)
        return false;
    for (const QChar c : w) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// Splits shell text as a shell reads the engine's: words of plain
// characters and single-quoted parts (a quote inside is written '\''),
// commands separated by "|", "||", "&&" and ";", and "2>/dev/null" after
// a word. False, with the reason, on anything else a shell would read
// specially: every value the engine puts into shell text must be quoted.
bool splitShell(const QString& text, QList<QStringList>* commands, QString* problem)
{
    QStringList words;
    QString word;
    bool inWord = false;
    auto endWord = [&] {
        if (inWord)
            words << word;
        word.clear();
        inWord = false;
    };
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\'')) {
            const int close = text.indexOf(QLatin1Char('\''), i + 1);
            if (close < 0) {
                *problem = QStringLiteral("an unclosed quote");
                return false;
            }
            word += text.midRef(i + 1, close - i - 1);
            inWord = true;
            i = close;
        } else if (c == QLatin1Char('\\') && i + 1 < text.size()) {
            word += text.at(++i);
            inWord = true;
        } else if (c == QLatin1Char(' ')) {
            endWord();
        } else if (c == QLatin1Char('|') || c == QLatin1Char(';') || c == QLatin1Char('&')) {
            const bool doubled = c != QLatin1Char(';') && i + 1 < text.size() && text.at(i + 1) == c;
            if (c == QLatin1Char('&') && !doubled) {
                *problem = QStringLiteral("an unquoted &");
                return false;
            }
            i += doubled ? 1 : 0;
            endWord();
            if (words.isEmpty()) {
                *problem = QStringLiteral("an empty command");
                return false;
            }
            *commands << words;
            words.clear();
        } else if (c == QLatin1Char('>') && inWord && word == QLatin1String("2")
                   && text.midRef(i + 1, 9) == QLatin1String("/dev/null")) {
            word.clear();
            inWord = false;
            i += 9;
        } else if (c.isLetterOrNumber() && c.unicode() < 128) {
            word += c;
            inWord = true;
        } else if (QStringLiteral("_-./,=:@%+").contains(c)) {
            word += c;
            inWord = true;
        } else {
            *problem = QStringLiteral("an unquoted '%1'").arg(c);
            return false;
        }
    }
    endWord();
    if (words.isEmpty()) {
        *problem = QStringLiteral("no command at the end");
        return false;
    }
    *commands << words;
    return true;
}

Violation checkWords(const QStringList& words, const std::vector<Form>& forms);

Violation checkShell(const QString& text, const std::vector<Form>& forms)
{
    QList<QStringList> commands;
    QString problem;
    if (!splitShell(text, &commands, &problem))
        return {QStringLiteral("shell text"), text, problem};
    for (const QStringList& c : commands) {
        const Violation v = checkWords(c, forms);
        if (!v.isEmpty())
            return v;
    }
    return {};
}

// The violation of a value in a slot of the form; empty when it passes.
Violation slotProblem(const QString& form, const QString& slot, const QString& w)
{
    auto bad = [&](const char* why) { return Violation{form, w, QString::fromLatin1(why)}; };
    if (slot == QLatin1String("{D}") || slot == QLatin1String("{D...}"))
        return VxrPlan::validName(w, false) ? Violation{} : bad("not a dataset name");
    if (slot == QLatin1String("{MARK}")) {
        const QString prefix = QStringLiteral("vxr:restore=");
        if (!w.startsWith(prefix))
            return {form, w, QStringLiteral("not a restore's mark")};
        return slotProblem(form, QStringLiteral("{D}"), w.mid(prefix.size()));
    }
    if (slot == QLatin1String("{S}"))
        return VxrPlan::validName(w, true) ? Violation{} : bad("not a snapshot name");
    if (slot == QLatin1String("{LIST}")) {
        const int at = w.indexOf(QLatin1Char('@'));
        for (const QString& part : w.mid(at + 1).split(QLatin1Char(','))) {
            if (at < 0 || !VxrPlan::validName(w.left(at + 1) + part, true))
                return bad("not a list of snapshots of one dataset");
        }
        return {};
    }
    if (slot == QLatin1String("{N}"))
        return isNumber(w) ? Violation{} : bad("not a number");
    if (slot == QLatin1String("{PORT}"))
        return isNumber(w) && w.toInt() >= 1 && w.toInt() <= 65535 ? Violation{} : bad("not a port");
    if (slot == QLatin1String("{DEST}")) {
        // As ssh reads it: the host after the last "@"; an "ssh://" address
        // is read another way.
        const int at = w.lastIndexOf(QLatin1Char('@'));
        const VxrSsh::Account a{w.mid(at + 1), 22, at < 0 ? QString() : w.left(at), QString()};
        QString why = VxrSsh::destinationProblem(a);
        if (why.isEmpty() && (!g_hosts.contains(a.host) || !g_users.contains(a.user)))
            why = QStringLiteral("ssh reads a host or user that was never set");
        if (why.isEmpty() && w.startsWith(QLatin1String("ssh://")))
            why = QStringLiteral("ssh reads an address");
        return why.isEmpty() ? Violation{} : Violation{form, w, QStringLiteral("destination: ") + why};
    }
    if (slot == QLatin1String("{REMOTE}"))
        return checkShell(w, kRemoteForms);
    if (slot == QLatin1String("{PIPE}")) {
        std::vector<Form> forms = kPipeForms;
        forms.insert(forms.end(), kSshForms.begin(), kSshForms.end());
        return checkShell(w, forms);
    }
    return bad("in a slot the check does not know");
}

// The violation in the first form whose fixed words the words match; "not
// a command the engine builds" when none matches.
Violation checkWords(const QStringList& words, const std::vector<Form>& forms)
{
    for (const Form& f : forms) {
        const int n = int(f.words.size());
        const bool rest = QLatin1String(f.words.back()) == QLatin1String("{D...}");
        if (rest ? words.size() < n : words.size() != n)
            continue;
        bool fixed = true;
        for (int i = 0; i < n && fixed; ++i)
            fixed = f.words[i][0] == '{' || words.at(i) == QLatin1String(f.words[i]);
        if (!fixed)
            continue;
        for (int i = 0; i < words.size(); ++i) {
            const char* slot = f.words[std::min(i, n - 1)];
            if (slot[0] != '{')
                continue;
            const Violation v = slotProblem(QString::fromLatin1(f.name), QString::fromLatin1(slot), words.at(i));
            if (!v.isEmpty())
                return v;
        }
        return {};
    }
    return {QStringLiteral("?"), words.join(QLatin1Char(' ')), QStringLiteral("not a command the engine builds")};
}

// Every check of one command handed to the programs; stops the run on a
// violation that is not an open service fault (true then: the command is
// answered as one that did not start).
bool refused(const VxrCommand& c)
{
    std::vector<Form> forms = kLocalForms;
    forms.insert(forms.end(), kSshForms.begin(), kSshForms.end());
    Violation v = checkWords(QStringList{c.program} + c.args, forms);
    auto problem = [&](const char* why) { v = Violation{c.program, QString(), QString::fromLatin1(why)}; };
    const bool secret = c.program == QLatin1String("sshpass") || c.program == QLatin1String("script");
    if (v.isEmpty() && secret == c.options.env.value(QStringLiteral("SSHPASS")).isEmpty())
        problem("SSHPASS set on a command without ssh, or missing on one with it");
    if (v.isEmpty() && c.program == QLatin1String("script")
        && c.options.env.value(QStringLiteral("SHELL")) != QLatin1String("/bin/bash"))
        problem("a transfer without bash");
    if (v.isEmpty()
        && (c.options.startMs <= 0 || c.options.acceptedCodes.isEmpty()
            || (c.options.finishMs <= 0 && c.program != QLatin1String("script"))))
        problem("a run without its limits");
    if (v.isEmpty() && c.program == QLatin1String("sshpass")
        && (c.options.maxOutBytes <= 0 || c.options.maxOutBytes > VxrZfs::kMaxServerOutput))
        problem("a server query whose output is not bounded");
    if (v.isEmpty())
        return false;
    for (int i = 0; i < int(kOpenServiceFaults.size()); ++i) {
        if (kOpenServiceFaults[i].applies(v)) {
            ++g_openFaultHits[i];
            return true;
        }
    }
    fail(v.form + QStringLiteral(": ") + v.problem + QStringLiteral(": ") + v.value, VxrPrograms::shellText(c));
}

// ---- Answers from the input

const char* const kDatasets[] = {"tank", "tank/a", "tank/a/b", "tank/home", "tank/data", "pool2/x", "vxr/data"};
// What a server may print besides real names.
const char* const kOddNames[] = {"-R", "--", "-", "tank/a;x", "tank/a b", "tank//a", "/tank", "tank/", "tank/a@",
                                 "tank/a@b@c", "tank/a@b/c", "tank/$(x)", "tank/a'b", "tank/a\\b", "tank/é", ""};
const char* const kColumns[] = {"0", "1", "2", "-", "1.5G", "12.3M", "4096", "yes", "no", "local", "received",
                                "inherited from tank", "default", "/tank/a", "/etc", "/", "none", "legacy",
                                "/tank/../etc", "18446744073709551616"};

class Session;

QJsonObject request(FuzzedDataProvider& in);

class Session
{
public:
    explicit Session(FuzzedDataProvider& in) : in(in) {}

    QString stamp()
    {
        return now.addSecs(-3600 * in.ConsumeIntegralInRange<qint64>(-2, 3000)).toString("yyyyMMddHHmmss");
    }

    // What a listing line names.
    enum Kind { AnyKind, DatasetKind, SnapshotKind };

    // A name for a listing line: one the command was about, or any; the
    // server may print anything, the appliance's zfs only names it made, of
    // the kind it lists.
    QString name(const QStringList& about, bool server, Kind kind = AnyKind)
    {
        QString n;
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
        case 1:
            n = about.value(in.ConsumeIntegralInRange<int>(0, std::max(0, int(about.size()) - 1)));
            n = n.section(QLatin1Char('@'), 0, 0) + QStringLiteral("@vxr_") + stamp();
            break;
        case 2:
            n = about.value(in.ConsumeIntegralInRange<int>(0, std::max(0, int(about.size()) - 1)));
            break;
        case 3:
            n = QString::fromLatin1(kDatasets[in.ConsumeIntegralInRange<size_t>(0, std::size(kDatasets) - 1)]);
            if (in.ConsumeBool())
                n += QStringLiteral("@") + (in.ConsumeBool() ? QStringLiteral("vxr_") + stamp() : QStringLiteral("manual"));
            break;
        case 4:
            n = QString::fromLatin1(kOddNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kOddNames) - 1)]);
            break;
        default:
            n = QString::fromStdString(in.ConsumeRandomLengthString(64));
            break;
        }
        if (server)
            return n;
        const bool dataset = VxrPlan::validName(n, false);
        const bool snapshot = VxrPlan::validName(n, true);
        if (kind == SnapshotKind ? !snapshot : kind == DatasetKind ? !dataset : !dataset && !snapshot)
            n = kind == SnapshotKind ? QStringLiteral("tank/a@vxr_") + stamp() : QStringLiteral("tank/a");
        return n;
    }

    QByteArray output(const VxrCommand& c, bool server)
    {
        QStringList about;
        for (const QString& w : c.args) {
            if (VxrPlan::validName(w, false) || VxrPlan::validName(w, true))
                about << w;
        }
        const QString remote = c.args.value(c.args.size() - 1);
        for (const QString& w : remote.split(QLatin1Char('\''))) {
            if (w.contains(QLatin1Char('/')) && VxrPlan::validName(w, w.contains(QLatin1Char('@'))))
                about << w;
        }
        QByteArray out;
        const int lines = in.ConsumeIntegralInRange(0, 7);
        if (lines == 7 && server && in.ConsumeIntegralInRange(0, 15) == 0) {
            // More datasets than one full restore may queue.
            for (int i = 0; i <= VxrPlan::kMaxRestoreTasks; ++i)
                out += "tank/d" + QByteArray::number(i) + '\n';
            return out;
        }
        // The appliance's zfs prints the columns asked for, a name where
        // one is asked; the server may print anything.
        const int o = c.args.indexOf(QStringLiteral("-o"));
        const QStringList fields = o >= 0 && !server ? c.args.value(o + 1).split(QLatin1Char(',')) : QStringList();
        const Kind kind = c.args.value(0) != QLatin1String("list") ? AnyKind
                          : c.args.contains(QStringLiteral("snapshot")) ? SnapshotKind
                                                                         : DatasetKind;
        for (int i = 0; i < lines; ++i) {
            if (!fields.isEmpty()) {
                QByteArrayList cols;
                for (const QString& field : fields)
                    cols << (field == QLatin1String("name") ? name(about, false, kind).toUtf8() : column());
                out += cols.join('\t');
            } else if (in.ConsumeIntegralInRange(0, 7) == 0) {
                out += in.ConsumeBool() ? "size\t" + QByteArray::number(in.ConsumeIntegral<qint64>())
                                        : QByteArray::fromStdString(in.ConsumeRandomLengthString(200));
            } else {
                out += name(about, server).toUtf8();
                for (int col = in.ConsumeIntegralInRange(0, 3); col > 0; --col)
                    out += '\t' + column();
            }
            out += '\n';
        }
        return out;
    }

    QByteArray column()
    {
        if (in.ConsumeIntegralInRange(0, 7) == 0)
            return QByteArray::fromStdString(in.ConsumeRandomLengthString(40)).replace('\n', ' ').replace('\t', ' ');
        return kColumns[in.ConsumeIntegralInRange<size_t>(0, std::size(kColumns) - 1)];
    }

    HX2RunResult answer(const VxrCommand& c)
    {
        HX2RunResult r;
        const bool server = c.program == QLatin1String("sshpass");
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 6:
            r.exitCode = 1;
            break;
        case 7:
            r.exitCode = server ? (in.ConsumeBool() ? VxrZfs::kHoldFailed : VxrZfs::kDestroyFailed) : 255;
            break;
        case 8:
            return r; // did not start
        case 9:
            r.started = true;
            r.exitCode = 9;
            r.err = "Killed";
            return r; // did not finish, or ended by a signal
        default:
            r.exitCode = 0;
            break;
        }
        r.started = r.finished = r.normalExit = true;
        r.out = output(c, server);
        if (r.exitCode != 0)
            r.err = QByteArray::fromStdString(in.ConsumeRandomLengthString(100));
        if (c.options.maxOutBytes >= 0 && r.out.size() > c.options.maxOutBytes) {
            r.out.truncate(int(c.options.maxOutBytes));
            r.outOverflow = true;
        }
        // As the runner judges.
        r.ok = c.options.acceptedCodes.contains(r.exitCode) && !r.outOverflow;
        return r;
    }

    // A request arriving on another connection while a transfer runs,
    // answered in between two polls.
    void interject()
    {
        if (nested || !in.ConsumeBool())
            return;
        nested = true;
        const QString stage = g_stage;
        dispatch(request(in), other);
        g_stage = stage;
        nested = false;
    }

    void dispatch(const QJsonObject& request, HX2Cabinet& peer);

    FuzzedDataProvider& in;
    QDateTime now;
    // The session's connection, and another one that requests arrive on
    // while a transfer runs.
    HX2Cabinet connection;
    HX2Cabinet other;
    bool nested = false;
};

class FuzzTransfer : public VxrTransferProcess
{
public:
    explicit FuzzTransfer(Session& s) : s(s), m_chunks(s.in.ConsumeIntegralInRange(0, 4)) {}

    bool waitForFinished(int) override
    {
        if (m_ended)
            return true;
        s.interject();
        if (m_chunks-- > 0) {
            if (s.in.ConsumeBool())
                m_pending += QStringLiteral("\r[%1MiB/s] [===>   ] %2%")
                                 .arg(s.in.ConsumeIntegralInRange(0, 999))
                                 .arg(s.in.ConsumeIntegralInRange(-5, 120))
                                 .toLatin1();
            else
                m_pending += QByteArray::fromStdString(s.in.ConsumeRandomLengthString(300));
            return false;
        }
        m_ended = true;
        m_result.started = m_result.finished = m_result.normalExit = true;
        m_result.exitCode = s.in.ConsumeIntegralInRange(0, 3) == 3 ? 1 : 0;
        m_result.ok = m_result.exitCode == 0;
        if (!s.in.ConsumeBool())
            m_pending += QByteArray("\n") + VxrPipeline::kDoneMarker + "\r\n";
        return true;
    }

    QByteArray readOutput() override
    {
        QByteArray out;
        out.swap(m_pending);
        return out;
    }

    void killTree(int) override
    {
        if (m_ended)
            return;
        m_ended = true;
        m_result.started = m_result.finished = true;
        m_result.normalExit = false;
        m_result.ok = false;
    }

    HX2RunResult result() const override { return m_result; }

private:
    Session& s;
    int m_chunks;
    bool m_ended = false;
    QByteArray m_pending;
    HX2RunResult m_result;
};

class FuzzPrograms : public VxrPrograms
{
public:
    HX2RunResult run(const VxrCommand& command) override
    {
        if (refused(command))
            return HX2RunResult();
        return session->answer(command);
    }

    std::unique_ptr<VxrTransferProcess> startTransfer(const VxrCommand& command) override
    {
        if (refused(command) || session->in.ConsumeIntegralInRange(0, 7) == 0)
            return nullptr;
        return std::make_unique<FuzzTransfer>(*session);
    }

    Session* session = nullptr;
};

// ---- Requests

const char* const kCommands[] = {"vxrclient_settingload",  "vxrclient_settingsave",   "vxrclient_zfstorage",
                                 "vxrclient_restore",      "vxrclient_snapshot",      "vxrclient_local_loadby",
                                 "vxrclient_remote_loadby", "vxrclient_log_alload",   "vxrclient_log_clear",
                                 "vxrclient_task_alload",  "vxrclient_task_cancel"};
const char* const kKeys[] = {"dmpath", "server", "port",   "userid", "passwd", "index",    "active", "report",
                             "interval", "host", "uid",    "pwd",    "schedule", "hour",   "minute", "dmpaths",
                             "cmd",    "help",   "params", "snapshot", "target"};
const char* const kTexts[] = {"tank/a", "tank/home", " tank/data ", "-R", "-o", "10.0.0.9", " 10.0.0.9 ",
                              "backup.example.net", "-oProxyCommand=x", "h h", "root", "-l", "a@b", "0x8ae",
                              " 2222", "22", "65536", "-1", "1e3", "secret-pw", "tank/a;x", "$(id)", "", " "};

QString text(FuzzedDataProvider& in)
{
    const int kind = in.ConsumeIntegralInRange(0, 15);
    if (kind < 6)
        return QString::fromLatin1(kTexts[in.ConsumeIntegralInRange<size_t>(0, std::size(kTexts) - 1)]);
    if (kind < 10)
        return QString::fromUtf8(QByteArray::fromStdString(in.ConsumeRandomLengthString(80)));
    if (kind < 14)
        return QString::fromLatin1(QByteArray::fromStdString(in.ConsumeRandomLengthString(80)));
    // Large values: a name, a host, a password of any size.
    return QString(in.ConsumeIntegralInRange(0, kind == 14 ? 5000 : 100000),
                   QChar(in.ConsumeIntegralInRange<ushort>(1, 0x7f)));
}

QJsonValue value(FuzzedDataProvider& in, int depth)
{
    switch (in.ConsumeIntegralInRange(0, depth > 0 ? 8 : 6)) {
    case 0:
        return QJsonValue::Null;
    case 1:
        return in.ConsumeBool();
    case 2:
        return in.ConsumeIntegralInRange(-3, 70000);
    case 3:
        return double(in.ConsumeIntegral<qint64>()) / (in.ConsumeBool() ? 1 : 7);
    case 4:
        return in.ConsumeIntegral<int>();
    case 5:
    case 6:
        return text(in);
    case 7: {
        QJsonArray a;
        for (int n = in.ConsumeIntegralInRange(0, 5); n > 0; --n)
            a.append(value(in, depth - 1));
        return a;
    }
    default: {
        QJsonObject o;
        for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n)
            o.insert(in.ConsumeBool() ? QString::fromLatin1(kKeys[in.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1)])
                                      : text(in),
                     value(in, depth - 1));
        return o;
    }
    }
}

// Settings as the management layer saves them, each part possibly of
// another kind.
QJsonObject settingsParams(FuzzedDataProvider& in)
{
    auto maybe = [&](const QJsonValue& usual) { return in.ConsumeIntegralInRange(0, 4) ? usual : value(in, 2); };
    QJsonArray schedule;
    for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n)
        schedule.append(maybe(QJsonObject{{"hour", maybe(in.ConsumeIntegralInRange(-1, 24))},
                                          {"minute", maybe(in.ConsumeIntegralInRange(-1, 60))}}));
    QJsonArray dmpaths;
    for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n)
        dmpaths.append(in.ConsumeBool() ? QJsonValue(QString::fromLatin1(kDatasets[in.ConsumeIntegralInRange<size_t>(
                                              0, std::size(kDatasets) - 1)]))
                                        : value(in, 1));
    const QJsonObject server{{"host", maybe(text(in))},  {"port", maybe(in.ConsumeIntegralInRange(-1, 70000))},
                             {"uid", maybe(text(in))},   {"pwd", maybe(text(in))},
                             {"interval", maybe(in.ConsumeIntegralInRange(0, 100))}, {"schedule", maybe(schedule)}};
    return QJsonObject{{"active", maybe(in.ConsumeIntegralInRange(0, 1))},
                       {"report", maybe(QJsonObject{{"interval", maybe(in.ConsumeIntegralInRange(0, 100))}})},
                       {"server", maybe(server)},
                       {"dmpaths", maybe(dmpaths)}};
}

QJsonObject request(FuzzedDataProvider& in)
{
    if (in.ConsumeIntegralInRange(0, 15) == 0) {
        // Any JSON text at all, as a peer may send.
        return QJsonDocument::fromJson(QByteArray::fromStdString(in.ConsumeRandomLengthString(400))).object();
    }
    QJsonObject r;
    const int pick = in.ConsumeIntegralInRange<int>(0, std::size(kCommands) + 1);
    if (pick < int(std::size(kCommands)))
        r.insert("cmd", QString::fromLatin1(kCommands[pick]));
    else if (pick == int(std::size(kCommands)))
        r.insert("cmd", "help_interfaces");
    else
        r.insert("cmd", value(in, 1));
    const QString cmd = r.value("cmd").toString();
    if (in.ConsumeIntegralInRange(0, 15) == 0)
        r.insert("help", value(in, 0));
    if (cmd == QLatin1String("vxrclient_settingsave") && in.ConsumeIntegralInRange(0, 3)) {
        r.insert("params", settingsParams(in));
    } else if (in.ConsumeIntegralInRange(0, 7) == 0) {
        r.insert("params", value(in, 2));
    } else if (in.ConsumeIntegralInRange(0, 7)) {
        QJsonObject params;
        for (int n = in.ConsumeIntegralInRange(0, 5); n > 0; --n) {
            const QString key = QString::fromLatin1(kKeys[in.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1)]);
            const QJsonArray tasks = IAppData()->engine.units().worker.queue().listing();
            if (key == QLatin1String("index") && !tasks.isEmpty() && in.ConsumeBool())
                params.insert(key, tasks.at(in.ConsumeIntegralInRange<int>(0, tasks.size() - 1)).toObject().value("index"));
            else
                params.insert(key, value(in, 2));
        }
        r.insert("params", params);
    }
    return r;
}

void Session::dispatch(const QJsonObject& request, HX2Cabinet& peer)
{
    const QString cmd = request.value("cmd").toString().trimmed();
    g_stage = cmd.startsWith(QLatin1String("vxrclient_")) ? cmd : QStringLiteral("other command");
    const QJsonObject params = request.value("params").toObject();
    g_requestDmpath = toString(params.value("dmpath")).trimmed();
    g_hosts.insert(toString(params.value("server")).trimmed());
    g_users.insert(toString(params.value("userid")).trimmed());
    // As a connection serves one request.
    peer.reset(9999, QString(), QJsonArray());
    peer.begin();
    HX2RpcPacket reply;
    reply.insert(QStringLiteral("err"), 9999);
    IAppData()->server.doCall(reply, request, &peer);
    for (const QString& d : IAppData()->engine.units().settings.dmpaths())
        g_savedDmpaths.insert(d);
    const VxrSettings saved = IAppData()->engine.units().settings.settings();
    g_hosts.insert(saved.host);
    g_users.insert(saved.uid);
    peer.toRetObject(reply, true);
    QByteArray frame = reply.toDatagram();
    HX2RpcPacket back;
    if (back.fromDatagram(frame) != HX2RpcPacket::Decoded || back.value("err").isUndefined())
        fail(QStringLiteral("a reply that does not frame"), QJsonDocument(reply).toJson(QJsonDocument::Compact));
    if (cmd == QLatin1String("vxrclient_task_alload")) {
        for (const QJsonValue& task : reply.value("results").toObject().value("records").toArray()) {
            if (task.toObject().contains("passwd"))
                fail(QStringLiteral("the task listing shows a password"), QJsonDocument(reply).toJson());
        }
    }
}

// ---- The application

QTemporaryDir* g_root = nullptr;
FuzzPrograms* g_programs = nullptr;

const QJsonObject kConfig{
    {"vg", "tank"},
    {"lv", "data"},
    {"retention", QJsonObject{{"local", QJsonObject{{"last", 2}, {"daily", 2}}},
                              {"remote", QJsonObject{{"within", "2h"}, {"weekly", 1}}}}}};

void quiet(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "fuzz_commands";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    qInstallMessageHandler(quiet);
    // Files in memory: the settings and the operation log are rewritten
    // for every input.
    const QString tmp = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    g_root = new QTemporaryDir(tmp + QStringLiteral("/fuzz_commands.XXXXXX"));
    PHPaths::setRoot(g_root->path());
    // The storage listing runs zfs by name, past the programs seam: an
    // empty search path keeps it from starting anything.
    QDir().mkpath(g_root->filePath(QStringLiteral("nobin")));
    qputenv("PATH", QFile::encodeName(g_root->filePath(QStringLiteral("nobin"))));
    AppData* app = AppData::create();
    if (!app->init(g_root->filePath(QStringLiteral("none.json"))))
        std::abort();
    g_programs = new FuzzPrograms;
    app->engine.setPrograms(std::shared_ptr<VxrPrograms>(g_programs, [](VxrPrograms*) {}));
    // The scheduler and the task worker never start threads of their own:
    // the session runs their steps.
    app->engine.units().scheduler.running().store(true);
    app->engine.units().worker.running().store(true);
    std::atexit(showOpenFaults);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Session s(in);
    g_programs->session = &s;
    AppData* app = IAppData();
    VxrClient& engine = app->engine;

    // Every input starts from the same state.
    s.now = QDateTime(QDate(2025, 3, 1), QTime(2, 29));
    engine.setClock([&s] { return s.now; });
    QFile::remove(engine.units().settings.lastBackupPath());
    QFile::remove(PHPaths::resolve(QStringLiteral("/kozu/etc/vxrclientisp/retention.json")));
    const QString log = TJKozulog().databasePath();
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(log + QLatin1String(suffix));
    HX2Journals journal;
    g_stage = QStringLiteral("configuration");
    QJsonObject config = kConfig;
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        config.insert("retention", value(in, 3));
    if (!app->router.loadConfigure(journal, config)) {
        // The service would not start on this configuration.
        app->router.loadConfigure(journal, kConfig);
        return 0;
    }
    engine.settingsSave(journal, QJsonObject());
    g_savedDmpaths.clear();
    g_hosts.clear();
    g_users.clear();

    auto runWorker = [&] {
        g_stage = QStringLiteral("task worker");
        engine.transferRun();
        engine.units().worker.running().store(true);
    };
    for (int step = 0; step < 12 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 7:
            g_stage = QStringLiteral("snapshot cycle");
            engine.units().cycle.running().store(true);
            engine.backupRun();
            break;
        case 8:
            g_stage = QStringLiteral("daily check");
            s.now = s.now.addSecs(60 * in.ConsumeIntegralInRange(0, 3 * 24 * 60));
            engine.units().scheduler.dailyCheck();
            break;
        case 9:
            runWorker();
            break;
        default:
            s.dispatch(request(in), s.connection);
            break;
        }
    }
    runWorker();
    g_programs->session = nullptr;
    return 0;
}
