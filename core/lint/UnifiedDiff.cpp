#include "lint/UnifiedDiff.h"

#include <algorithm>
#include <cstddef>

namespace kw {

namespace {

enum class Op { Equal, Remove, Add };

constexpr std::ptrdiff_t kContext = 3;
// Past this many differing lines the exact edit script costs more than it tells.
constexpr std::ptrdiff_t kMaxEditDistance = 2000;

// Myers' greedy shortest edit script over from[a0, a1) and to[b0, b1); false past the limit.
bool shortestEdit(const std::vector<std::string>& from, const std::vector<std::string>& to, std::ptrdiff_t a0,
                  std::ptrdiff_t a1, std::ptrdiff_t b0, std::ptrdiff_t b1, std::vector<Op>& ops)
{
    const std::ptrdiff_t n = a1 - a0;
    const std::ptrdiff_t m = b1 - b0;
    const std::ptrdiff_t maxD = std::min(n + m, kMaxEditDistance);
    const std::ptrdiff_t offset = maxD + 1;
    std::vector<std::ptrdiff_t> v(static_cast<std::size_t>(2 * offset + 1), 0);
    std::vector<std::vector<std::ptrdiff_t>> trace;
    for (std::ptrdiff_t d = 0; d <= maxD; ++d) {
        trace.push_back(v);
        for (std::ptrdiff_t k = -d; k <= d; k += 2) {
            std::ptrdiff_t x = (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1])) ? v[offset + k + 1]
                                                                                              : v[offset + k - 1] + 1;
            std::ptrdiff_t y = x - k;
            while (x < n && y < m && from[a0 + x] == to[b0 + y]) {
                ++x;
                ++y;
            }
            v[offset + k] = x;
            if (x >= n && y >= m) {
                // Walk the trace back from the end, collecting the script in reverse.
                std::vector<Op> reversed;
                std::ptrdiff_t cx = n;
                std::ptrdiff_t cy = m;
                for (std::ptrdiff_t e = d; e > 0; --e) {
                    const auto& pv = trace[static_cast<std::size_t>(e)];
                    const std::ptrdiff_t ck = cx - cy;
                    const bool down = ck == -e || (ck != e && pv[offset + ck - 1] < pv[offset + ck + 1]);
                    const std::ptrdiff_t pk = down ? ck + 1 : ck - 1;
                    const std::ptrdiff_t px = pv[offset + pk];
                    const std::ptrdiff_t py = px - pk;
                    while (cx > (down ? px : px + 1) && cy > (down ? py + 1 : py)) {
                        reversed.push_back(Op::Equal);
                        --cx;
                        --cy;
                    }
                    reversed.push_back(down ? Op::Add : Op::Remove);
                    cx = px;
                    cy = py;
                }
                while (cx > 0 && cy > 0) {
                    reversed.push_back(Op::Equal);
                    --cx;
                    --cy;
                }
                ops.insert(ops.end(), reversed.rbegin(), reversed.rend());
                return true;
            }
        }
    }
    return false;
}

std::string range(std::ptrdiff_t start, std::ptrdiff_t count)
{
    // An empty side names the line before it, as diff -u does.
    return std::to_string(count == 0 ? start : start + 1) + (count == 1 ? "" : "," + std::to_string(count));
}

} // namespace

std::string unifiedDiff(const std::vector<std::string>& from, const std::vector<std::string>& to,
                        const std::string& fromName, const std::string& toName)
{
    const auto n = static_cast<std::ptrdiff_t>(from.size());
    const auto m = static_cast<std::ptrdiff_t>(to.size());
    std::ptrdiff_t prefix = 0;
    while (prefix < n && prefix < m && from[prefix] == to[prefix]) {
        ++prefix;
    }
    if (prefix == n && prefix == m) {
        return {};
    }
    std::ptrdiff_t suffix = 0;
    while (suffix < n - prefix && suffix < m - prefix && from[n - 1 - suffix] == to[m - 1 - suffix]) {
        ++suffix;
    }
    std::vector<Op> ops(static_cast<std::size_t>(prefix), Op::Equal);
    if (!shortestEdit(from, to, prefix, n - suffix, prefix, m - suffix, ops)) {
        ops.insert(ops.end(), static_cast<std::size_t>(n - suffix - prefix), Op::Remove);
        ops.insert(ops.end(), static_cast<std::size_t>(m - suffix - prefix), Op::Add);
    }
    ops.insert(ops.end(), static_cast<std::size_t>(suffix), Op::Equal);

    std::string out = "--- " + fromName + "\n+++ " + toName + "\n";
    const auto total = static_cast<std::ptrdiff_t>(ops.size());
    // Line positions in both lists before each op.
    std::vector<std::ptrdiff_t> fromAt(ops.size() + 1), toAt(ops.size() + 1);
    for (std::ptrdiff_t i = 0; i < total; ++i) {
        fromAt[i + 1] = fromAt[i] + (ops[i] != Op::Add ? 1 : 0);
        toAt[i + 1] = toAt[i] + (ops[i] != Op::Remove ? 1 : 0);
    }
    std::ptrdiff_t i = 0;
    while (i < total) {
        if (ops[i] == Op::Equal) {
            ++i;
            continue;
        }
        // A hunk: from kContext lines before this change to kContext lines after the last change
        // that is no more than 2 * kContext equal lines from the one before.
        const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(0, i - kContext);
        std::ptrdiff_t end = i;
        std::ptrdiff_t equalRun = 0;
        while (end < total && equalRun <= 2 * kContext) {
            equalRun = ops[end] == Op::Equal ? equalRun + 1 : 0;
            ++end;
        }
        end = std::min(total, end - equalRun + kContext);
        out += "@@ -" + range(fromAt[begin], fromAt[end] - fromAt[begin]) + " +" +
               range(toAt[begin], toAt[end] - toAt[begin]) + " @@\n";
        for (std::ptrdiff_t j = begin; j < end; ++j) {
            switch (ops[j]) {
            case Op::Equal:
                out += ' ' + from[fromAt[j]];
                break;
            case Op::Remove:
                out += '-' + from[fromAt[j]];
                break;
            case Op::Add:
                out += '+' + to[toAt[j]];
                break;
            }
            out += '\n';
        }
        i = end;
    }
    return out;
}

} // namespace kw
