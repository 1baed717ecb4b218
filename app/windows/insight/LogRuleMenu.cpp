#include "windows/insight/LogRuleMenu.h"

#include "windows/NewConfigurationController.h"
#include "windows/log/LogTableModel.h"

#include "widgets/MessageBox.h"

#include <QAbstractItemModel>
#include <QMenu>
#include <QRegularExpression>
#include <QTableView>

namespace kw::app {

namespace {

// A cell that holds something: not empty, not "(null)" or "N/A" as the log writes missing parts.
bool present(const QString& cell)
{
    const QString t = cell.trimmed();
    return !t.isEmpty() && t != QLatin1String("(null)") && t != QLatin1String("N/A");
}

bool isPort(const QString& text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok);
    return ok && port > 0 && port <= 65535;
}

// A dotted IPv4 address, as the log writes hosts.
bool isAddress(const QString& text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4) {
        return false;
    }
    for (const QString& part : parts) {
        bool ok = false;
        const int n = part.toInt(&ok);
        if (!ok || part.isEmpty() || part.size() > 3 || n < 0 || n > 255 || !part.front().isDigit()) {
            return false;
        }
    }
    return true;
}

} // namespace

LogEntryCells LogEntryCells::fromModel(const QAbstractItemModel& model, int row)
{
    const auto cell = [&](int column) { return model.data(model.index(row, column)).toString(); };
    LogEntryCells e;
    e.action = cell(LogTableModel::Action);
    e.proto = cell(LogTableModel::Proto);
    e.srcHost = cell(LogTableModel::SrcHost);
    e.srcPort = cell(LogTableModel::SrcPort);
    e.dstHost = cell(LogTableModel::DstHost);
    e.dstPort = cell(LogTableModel::DstPort);
    e.dir = cell(LogTableModel::Dir);
    e.interfaceName = cell(LogTableModel::Interface);
    return e;
}

FilterPrefill prefillFromLogEntry(const LogEntryCells& entry, bool allow)
{
    FilterPrefill p;
    p.allow = allow;
    p.log = true; // the entry was logged; the new filter keeps its traffic in view
    QStringList empty;

    const QString dir = entry.dir.trimmed().toLower();
    if (dir == QLatin1String("out")) {
        p.incoming = false;
    } else if (dir != QLatin1String("in")) {
        empty << QObject::tr("direction (taken as incoming)");
    }

    const QString proto = entry.proto.trimmed().toLower();
    if (proto == QLatin1String("tcp") || proto == QLatin1String("udp")) {
        p.protocol = proto;
        if (present(entry.dstPort) && isPort(entry.dstPort)) {
            p.port = QString::number(entry.dstPort.trimmed().toInt());
        } else {
            empty << QObject::tr("port");
        }
    } else if (proto.startsWith(QLatin1String("icmp"))) {
        p.protocol = QStringLiteral("icmp");
        // "ICMP:8.0": type 8, code 0.
        static const QRegularExpression typeCode(QStringLiteral("^icmp:(\\d{1,3})(\\.\\d{1,3})?$"));
        const auto match = typeCode.match(proto);
        if (match.hasMatch() && match.captured(1).toInt() <= 255) {
            p.icmpTypes = match.captured(1);
        } else {
            empty << QObject::tr("ICMP type");
        }
    } else {
        empty << QObject::tr("protocol");
    }

    const QString& remote = p.incoming ? entry.srcHost : entry.dstHost;
    if (present(remote) && isAddress(remote)) {
        p.remoteHost = remote.trimmed();
    } else {
        empty << QObject::tr("remote host (any host)");
    }
    if (!empty.isEmpty()) {
        p.notes = QObject::tr("From the log entry; left empty: %1.").arg(empty.join(QStringLiteral(", ")));
    } else {
        p.notes = QObject::tr("From the log entry; review and press OK to add the filter.");
    }
    return p;
}

bool openRuleFromLogEntry(NewConfigurationController& window, const LogEntryCells& entry, bool allow, QString* problem)
{
    const QString name = entry.interfaceName.trimmed();
    for (QuickTabController* panel : window.tabViewControllers()) {
        if (!present(name) || QString::fromStdString(panel->interfaceName()) != name) {
            continue;
        }
        window.show();
        window.raise();
        window.selectInterface(name);
        if (panel->addRuleWithPrefill(prefillFromLogEntry(entry, allow))) {
            return true;
        }
        if (problem != nullptr) {
            *problem = QObject::tr("The quick panel of %1 takes no new filters now: unlock it and turn its "
                                   "firewall on.")
                           .arg(name);
        }
        return false;
    }
    if (problem != nullptr) {
        *problem = present(name) ? QObject::tr("The current setting has no quick panel for the interface %1.").arg(name)
                                 : QObject::tr("The log entry names no interface.");
    }
    return false;
}

void installRuleFromLogMenu(QTableView* table)
{
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(table, &QWidget::customContextMenuRequested, table, [table](const QPoint& position) {
        const QModelIndex index = table->indexAt(position);
        if (!index.isValid() || table->model() == nullptr) {
            return;
        }
        const LogEntryCells entry = LogEntryCells::fromModel(*table->model(), index.row());
        QMenu menu(table);
        QAction* allowItem = menu.addAction(QObject::tr("Allow this traffic…"));
        allowItem->setObjectName(QStringLiteral("menuAllowTraffic"));
        QAction* blockItem = menu.addAction(QObject::tr("Block this traffic…"));
        blockItem->setObjectName(QStringLiteral("menuBlockTraffic"));
        QAction* chosen = menu.exec(table->viewport()->mapToGlobal(position));
        if (chosen == nullptr) {
            return;
        }
        QString problem;
        if (!openRuleFromLogEntry(NewConfigurationController::sharedInstance(), entry, chosen == allowItem, &problem)) {
            MessageBox::warningSheet(table->window(), QObject::tr("No Filter Added"), problem, QObject::tr("OK"));
        }
    });
}

} // namespace kw::app
