#pragma once
#include <memory>
#include <unordered_map>

#include "site/host/round_sink.h"

namespace site {

class SystemRunner;

// The site's round sink: hands each runner what the host services produced for its devices and
// the history images to the history.
// Add every runner before the first poll; after that the table is only read.
class RoundRouter : public RoundSink {
public:
    explicit RoundRouter(std::shared_ptr<HistorySink> history);

    void add(SystemRunner& runner);

    void published(unsigned device, int record, const unsigned char* image, std::size_t size) override;
    void alarm_checked(const AlarmCheck& check) override;
    void logged(unsigned device, const char* format) override;
    void round_ended(unsigned system) override;
    void save_image(unsigned device, int record, const unsigned char* image, std::size_t size) override;

private:
    SystemRunner* runner_of(unsigned device) const;

    std::shared_ptr<HistorySink> history_;
    std::unordered_map<unsigned, SystemRunner*> runners_;
};

}  // namespace site
