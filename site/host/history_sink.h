#pragma once
#include <cstddef>

namespace site {

// Where the host's device history service puts the images the devices hand it.
class HistorySink {
public:
    virtual ~HistorySink() = default;
    // One unit's image as published under `record`; from any thread.
    virtual void save_image(unsigned device, int record, const unsigned char* image, std::size_t size) = 0;
};

}  // namespace site
