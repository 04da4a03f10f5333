#include "common/round_work.h"

#include <atomic>
#include <utility>

#include "host/vrt_vdevice.h"

void RoundWork::queue(VRTVDevice& unit, std::vector<rule_value>& rules, bool& thresholdResult,
                      const unsigned char* image, unsigned int size) {
    const std::size_t pending = rules.size();
    std::shared_ptr<Batch> batch = idle_batch();
    batch->rules.swap(rules);
    batch->image.assign(image, image + size);
    unit.CheckThresholdWork([owner = unit.shared_from_this(), device = &unit, batch, result = &thresholdResult] {
        if (device->DoBatchCheckThreshold(batch->rules)) *result = true;
        device->SaveDeviceHistory(batch->image.data(), static_cast<unsigned int>(batch->image.size()));
    });
    rules.reserve(pending);
}

// A batch no queued item holds any more; a new one while the host is still behind.
std::shared_ptr<RoundWork::Batch> RoundWork::idle_batch() {
    for (const std::shared_ptr<Batch>& batch : batches_) {
        if (batch.use_count() != 1) continue;
        // The host's thread let go of it: see everything that thread did with it.
        std::atomic_thread_fence(std::memory_order_acquire);
        batch->rules.clear();
        return batch;
    }
    batches_.push_back(std::make_shared<Batch>());
    return batches_.back();
}
