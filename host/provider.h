#pragma once
#include "host/api.h"

class VRTSPDevice;

class VRT_HOST_API Provider {
public:
    virtual ~Provider() = default;
};

class VRT_HOST_API VRTSPDeviceProvider : public Provider {
public:
    // A new, unconfigured device; the caller owns it and must hold it in a std::shared_ptr.
    virtual VRTSPDevice* create() const = 0;
};
