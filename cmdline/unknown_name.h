#pragma once
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

// The words for a name the user gave that is not among the known ones, with the nearest
// known name when it is close enough to be a typo. Shared by the host's site file and the
// simulator's own file.
namespace cmdline {

// Letters inserted, removed or changed to turn `a` into `b`, case aside.
inline std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known name nearest to `name` when it is close enough to be a typo of it, else empty.
inline std::string nearest_name(const std::string& name, const std::vector<std::string>& known) {
    std::string best;
    std::size_t bestDistance = std::max<std::size_t>(2, name.size() / 3) + 1;
    for (const std::string& key : known) {
        const std::size_t distance = edit_distance(name, key);
        if (distance < bestDistance) {
            best = key;
            bestDistance = distance;
        }
    }
    return best;
}

// unknown key "dorp" (did you mean "drop"?), or unknown key "x" (known here: a, b, c).
inline std::string unknown_key_text(const std::string& name, const std::vector<std::string>& known) {
    const std::string nearest = nearest_name(name, known);
    if (!nearest.empty()) return "unknown key \"" + name + "\" (did you mean \"" + nearest + "\"?)";
    std::string list;
    for (const std::string& key : known) list += (list.empty() ? "" : ", ") + key;
    return "unknown key \"" + name + "\" (known here: " + list + ")";
}

}  // namespace cmdline
