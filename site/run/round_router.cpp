#include "site/run/round_router.h"

#include "site/run/runner.h"

namespace site {

RoundRouter::RoundRouter(std::shared_ptr<HistorySink> history) : history_(std::move(history)) {}

void RoundRouter::add(SystemRunner& runner) {
    for (const unsigned id : runner.data_ids()) runners_[id] = &runner;
}

SystemRunner* RoundRouter::runner_of(unsigned device) const {
    const auto found = runners_.find(device);
    return found != runners_.end() ? found->second : nullptr;
}

void RoundRouter::published(unsigned device, int record, const unsigned char* image, std::size_t size) {
    if (SystemRunner* runner = runner_of(device)) runner->take_image(device, record, image, size);
}

void RoundRouter::alarm_checked(const AlarmCheck& check) {
    if (SystemRunner* runner = runner_of(check.device)) runner->take_check(check);
}

void RoundRouter::logged(unsigned device, const char* format) {
    if (SystemRunner* runner = runner_of(device)) runner->count_log(format);
}

// Each runner closes its round on its own polling thread, and the history takes the completed
// round from there: nothing to route.
void RoundRouter::round_ended(unsigned) {}

void RoundRouter::save_image(unsigned device, int record, const unsigned char* image, std::size_t size) {
    if (history_) history_->save_image(device, record, image, size);
}

}  // namespace site
