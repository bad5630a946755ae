#include "tools/vexsrv/suggest.h"

#include <algorithm>
#include <cctype>

namespace vexsrv::tool {
namespace {

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

} // namespace

std::size_t EditDistance(std::string_view a, std::string_view b) {
    // Optimal string alignment: Levenshtein plus the swap of two neighbours,
    // the commonest slip of a typist ("strat").
    const std::size_t n = a.size(), m = b.size();
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1, 0));
    for (std::size_t i = 0; i <= n; ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= m; ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) && Lower(a[i - 2]) == Lower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

std::string ClosestChoice(std::string_view word, const std::vector<std::string> &choices) {
    std::string best;
    std::size_t best_distance = 0;
    for (const auto &choice : choices) {
        const std::size_t distance = EditDistance(word, choice);
        if (best.empty() || distance < best_distance) {
            best = choice;
            best_distance = distance;
        }
    }
    // At most a third of the word's letters wrong (one for short words).
    const std::size_t allowed = std::max<std::size_t>(1, word.size() / 3);
    if (!best.empty() && best_distance <= allowed) return best;
    // A unique prefix: "sub" for "subsystem".
    std::string prefixed;
    for (const auto &choice : choices)
        if (word.size() >= 2 && choice.size() > word.size() && choice.compare(0, word.size(), word) == 0) {
            if (!prefixed.empty()) return {};
            prefixed = choice;
        }
    return prefixed;
}

} // namespace vexsrv::tool
