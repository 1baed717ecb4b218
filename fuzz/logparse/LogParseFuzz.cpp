// Feeds arbitrary bytes through the firewall log parser the way parseLogData does (parser into
// the item spool), once whole and once in pieces whose size the input picks, and checks that
// both readings agree and that every item is well formed.
#include "logarchive/LogItemSpool.h"
#include "logarchive/LogParser.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool printable(std::string_view s)
{
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) {
            return false;
        }
    }
    return true;
}

std::vector<kw::LogItem> read(std::string_view text, std::size_t piece, bool kernelTag, int month)
{
    kw::LogItemSpool spool;
    kw::LogParser parser(
        kw::LogYearRule(2026, month), [&](const kw::LogItemView& item) { spool.append(item); }, kernelTag);
    if (piece == 0) {
        parser.feed(text);
    } else {
        for (std::size_t at = 0; at < text.size(); at += piece) {
            parser.feed(text.substr(at, piece));
        }
    }
    parser.finish();
    check(parser.itemCount() == spool.count());
    std::vector<kw::LogItem> items;
    spool.forEach([&](const kw::LogItemView& v) { items.push_back(kw::LogItem::fromView(v)); });
    check(items.size() == spool.count());
    return items;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = 1 + data[0] % 97;
    const bool kernelTag = (data[0] & 0x80) != 0;
    const int month = 1 + data[0] % 12;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const auto whole = read(text, 0, kernelTag, month);
    const auto pieces = read(text, piece, kernelTag, month);
    check(whole == pieces);
    for (const auto& item : whole) {
        check(item.timestamp.size() == 19);
        check(item.timestamp.compare(0, 4, "2026") <= 0);
        for (const std::string* field : { &item.ruleNo, &item.proto, &item.dir, &item.interface }) {
            check(field->empty() || printable(*field));
        }
        // A multi-word action ("Forward to 10.0.0.1:3128") is printable words joined by single blanks.
        check(item.action.find("  ") == std::string::npos);
        std::string words = item.action;
        std::replace(words.begin(), words.end(), ' ', 'x');
        check(words.empty() || printable(words));
        check(item.srcHost.find(':') == std::string::npos && item.dstHost.find(':') == std::string::npos);
    }
    return 0;
}
