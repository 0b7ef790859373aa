#include "formats/statmap_names.h"

#include <algorithm>
#include <iterator>

namespace ldi {

const char* const kStatEffect = "effect";
const char* const kStatZ = "z";
const char* const kStatP = "p";
const char* const kStatT = "t";

namespace {

// The BIDS schema's entities in the order file names take them.
const char* const kSchemaOrder[] = {"sub",  "ses",   "sample", "task", "tracksys", "acq",       "nuc",   "voi",
                                    "ce",   "trc",   "stain",  "rec",  "dir",      "run",       "mod",   "echo",
                                    "flip", "inv",   "mt",     "part", "proc",     "hemi",      "space", "split",
                                    "recording", "chunk", "seg", "res", "den",     "label",     "desc"};

std::size_t schemaRank(const std::string& key) {
    const auto at = std::find(std::begin(kSchemaOrder), std::end(kSchemaOrder), key);
    return static_cast<std::size_t>(at - std::begin(kSchemaOrder));  // unknown: after every known one
}

bool endsWith(const std::string& text, const std::string& ending) {
    return text.size() > ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// The entities that are the map's own, not the runs'.
bool mapEntity(const std::string& key) {
    return key == "seed" || key == "cond" || key == "contrast" || key == "stat";
}

}  // namespace

std::string derivativeEntities(const std::vector<std::string>& paths) {
    if (paths.empty()) return std::string();
    std::vector<Entities> all;
    for (const std::string& path : paths) all.push_back(fileEntities(path));
    Entities shared;
    for (const auto& entity : all.front()) {
        if (entity.first == "desc" || mapEntity(entity.first)) continue;
        const bool seen = std::any_of(shared.begin(), shared.end(),
                                      [&](const auto& kept) { return kept.first == entity.first; });
        const bool everywhere = std::all_of(all.begin(), all.end(), [&](const Entities& other) {
            return std::find(other.begin(), other.end(), entity) != other.end();
        });
        if (!seen && everywhere) shared.push_back(entity);
    }
    std::stable_sort(shared.begin(), shared.end(),
                     [](const auto& a, const auto& b) { return schemaRank(a.first) < schemaRank(b.first); });
    std::string prefix;
    for (const auto& entity : shared)
        prefix += (prefix.empty() ? "" : "_") + safeLabel(entity.first) + "-" + safeLabel(entity.second);
    return prefix;
}

std::string statMapStem(const std::string& prefix, const std::string& seed, const std::string& condition,
                        const std::string& kind, const std::string& statistic, const std::string& desc) {
    return (prefix.empty() ? std::string() : prefix + "_") + "seed-" + seed + "_cond-" + condition + "_contrast-" +
           kind + "_stat-" + statistic + (desc.empty() ? std::string() : "_desc-" + desc);
}

bool parseStatMapName(const std::string& fileName, StatMapName& name) {
    const bool current = endsWith(fileName, "_statmap.nii.gz");
    const bool earlier = !current && endsWith(fileName, "_ldi.nii.gz");
    if (!current && !earlier) return false;
    name = StatMapName{};
    name.current = current;
    std::string key;
    for (const auto& entity : fileEntities(fileName)) {
        const std::string& k = entity.first;
        const std::string& v = entity.second;
        if (k == "sub") name.subject = v;
        else if (k == "seed") name.seed = v;
        else if (k == "cond") name.condition = v;
        else if (k == (current ? "contrast" : "stat")) name.kind = v;
        else if (current && k == "stat") name.statistic = v;
        else if (k == "desc") {
            // The earlier form said z and p maps by desc-, after the runs' own desc-.
            if (current) name.desc = v;
            else if (v == kStatZ || v == kStatP) name.statistic = v;
        } else if (name.seed.empty()) {
            key += (key.empty() ? "" : "_") + k + "-" + v;
        }
    }
    if (earlier && name.statistic.empty()) name.statistic = kStatEffect;
    if (name.seed.empty() || name.condition.empty() || name.kind.empty() || name.statistic.empty()) return false;
    name.key = (key.empty() ? std::string() : key + "_") + "seed-" + name.seed + "_cond-" + name.condition +
               "_contrast-" + name.kind;
    return true;
}

}  // namespace ldi
