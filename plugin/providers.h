#pragma once
#include <memory>
#include <vector>

#include "host/provider.h"

class Ktr40eProvider : public VRTSPDeviceProvider {
public:
    VRTSPDevice* create() const override;
};

class Ktr40eACProvider : public VRTSPDeviceProvider {
public:
    VRTSPDevice* create() const override;
};

class Ktr40eDCProvider : public VRTSPDeviceProvider {
public:
    VRTSPDevice* create() const override;
};

class Ktr40eRCProvider : public VRTSPDeviceProvider {
public:
    VRTSPDevice* create() const override;
};

// The plug-in's only entry point: one provider per device class, in the order
// power system, AC unit, DC unit, rectifier group. The host is C++ and knows the return
// type; C linkage only keeps the name unmangled.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
