#include "LogCommands.h"

#include "base/Log.h"

namespace kw {

namespace {

class ArchiveCloser {
public:
    explicit ArchiveCloser(KWLogManager& manager)
        : m_manager(manager)
    {}
    ~ArchiveCloser() { m_manager.closeDatabase(); }
    ArchiveCloser(const ArchiveCloser&) = delete;
    ArchiveCloser& operator=(const ArchiveCloser&) = delete;

private:
    KWLogManager& m_manager;
};

} // namespace

bool runShowLogCommand(KWLogManager& manager)
{
    manager.reloadLogItems();
    ArchiveCloser closer(manager);
    if (!manager.openDatabase()) {
        return false;
    }
    return manager.incorporateLogEntries();
}

bool runDeleteLogCommand(const Value& ids, KWLogManager& manager)
{
    std::string problem;
    const auto list = KWLogManager::logIdsFromValue(ids, &problem);
    if (!list) {
        logf("Ignored the request to delete log rows: %s", problem.c_str());
        return false;
    }
    ArchiveCloser closer(manager);
    if (!manager.openDatabase()) {
        return false;
    }
    return manager.deleteItemsWithIds(*list);
}

} // namespace kw
