#pragma once

#include <string>
#include <vector>

namespace kw {

// The difference of two line lists in unified diff form ("--- from", "+++ to", "@@ -a,b +c,d @@"
// hunks with three lines of context), or "" when they are equal. Lines hold no line break.
// Long runs of changes far apart stay exact; when the lists differ in more than a few thousand
// lines, the differing middle part is shown as removed and added in one hunk.
std::string unifiedDiff(const std::vector<std::string>& from, const std::vector<std::string>& to,
                        const std::string& fromName, const std::string& toName);

} // namespace kw
