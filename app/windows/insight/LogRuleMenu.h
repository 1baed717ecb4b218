#pragma once

#include "windows/QuickTabController.h"

#include <QString>

class QAbstractItemModel;
class QTableView;

namespace kw::app {

class NewConfigurationController;

// One log entry as the log tables show it.
struct LogEntryCells {
    QString action;
    QString proto; // "TCP", "UDP", "ICMP:8.0", "P:47"
    QString srcHost;
    QString srcPort;
    QString dstHost;
    QString dstPort;
    QString dir; // "in", "out"
    QString interfaceName;

    static LogEntryCells fromModel(const QAbstractItemModel& model, int row);
};

// The new filter a log entry suggests: its service port, protocol, the remote host (the
// source of an incoming entry, the destination of an outgoing one), logging on. Fields that
// read as "(null)" or are otherwise odd stay empty and are named in the notes.
FilterPrefill prefillFromLogEntry(const LogEntryCells& entry, bool allow);

// Opens the add sheet of the entry's interface in the configuration window, prefilled; false
// with the reason in problem when there is no such panel or it takes no new filters.
bool openRuleFromLogEntry(NewConfigurationController& window, const LogEntryCells& entry, bool allow,
                          QString* problem = nullptr);

// Gives a log table the context menu "Allow this traffic…" and "Block this traffic…".
void installRuleFromLogMenu(QTableView* table);

} // namespace kw::app
