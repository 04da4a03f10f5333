#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "site/outputs/output_model.h"

namespace site {

// What goes into the metrics file: the latest round of every system and the host's counters.
struct MetricsView {
    struct System {
        unsigned system = 0;
        const SystemCounts* counts = nullptr;
        double secondsSinceRound = 0;  // since the host started while no round has completed
        bool up = false;               // rounds complete; the units' values are shown only then
        std::vector<const UnitState*> units;
    };
    std::vector<System> systems;
    std::vector<const AlarmState*> activeAlarms;
    HistoryCounts history;
    std::optional<std::uint64_t> mqttDropped;  // with MQTT output only
};

// The Prometheus text exposition format, every name prefixed "ktr40e_". The values of each
// unit are its `valueLines`.
std::string metrics_text(const MetricsView& view);
// The sample lines of a unit's provided values, by family.
std::array<std::string, kValueMetricCount> metric_value_lines(const UnitState& unit);

// Replaces the file at once (a temporary file beside it, then rename), so that a reader
// never sees half of it. Throws std::runtime_error naming the file and the reason.
void write_file_atomically(const std::string& path, const std::string& text);

}  // namespace site
