#include "SharingCommands.h"

#include "nat/KWNatdManager.h"

namespace kw::tool {

namespace {

void answer(std::FILE* stream, bool running)
{
    std::fputs(running ? "RUNNING\n" : "NOT RUNNING\n", stream);
    std::fflush(stream);
}

} // namespace

void showIPSharingStatus(ToolContext& context)
{
    answer(context.out, KWNatdManager::sharedInstance().natdIsRunning());
}

void startIPSharing(ToolContext& context)
{
    answer(context.out, KWNatdManager::sharedInstance().startIPSharing());
}

void stopIPSharing(ToolContext& context)
{
    answer(context.err, !KWNatdManager::sharedInstance().stopIPSharing());
}

void allowLocalLANs(ToolContext&)
{
    KWNatdManager::sharedInstance().addLocalNetFilters();
}

} // namespace kw::tool
