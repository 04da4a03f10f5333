#pragma once
#include <memory>
#include <vector>

#include "host/rule_value.h"

class VRTVDevice;

// Hands the host a unit's round work: the batch threshold check of the round's rules, then the
// history save of the image as it was at round completion, so a later round cannot change what
// this round saves. The item owns the unit (shared_from_this) and a batch holding the rules and
// the image copy; batches are reused once the host has run their item, so a steady round
// allocates nothing here but the work item itself.
class RoundWork {
public:
    // Takes the round's rules out of `rules`, which is left empty with room for as many.
    void queue(VRTVDevice& unit, std::vector<rule_value>& rules, bool& thresholdResult, const unsigned char* image,
               unsigned int size);

private:
    struct Batch {
        std::vector<rule_value> rules;
        std::vector<unsigned char> image;
    };

    std::shared_ptr<Batch> idle_batch();

    std::vector<std::shared_ptr<Batch>> batches_;
};
