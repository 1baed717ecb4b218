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
    const bool running = KWNatdManager::sharedInstance().startIPSharing();
    answer(context.out, running);
    context.failed = !running;
}

void stopIPSharing(ToolContext& context)
{
    const bool stopped = KWNatdManager::sharedInstance().stopIPSharing();
    answer(context.err, !stopped);
    context.failed = !stopped;
}

void allowLocalLANs(ToolContext&)
{
    KWNatdManager::sharedInstance().addLocalNetFilters();
}

} // namespace kw::tool
