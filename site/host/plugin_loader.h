#pragma once
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/provider.h"
#include "host/vrt_vdevice.h"

class VRTSPDeviceProvider;

namespace site {

// A file that is no driver plug-in this host can use: what the operator named must be mended.
class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A driver plug-in loaded by path, as the site controller loads it: dlopen, then the
// exported get_providers. The library stays loaded for the life of the process, since
// devices and work items made by its code may outlive any owner here.
class PluginLibrary {
public:
    // A path without a slash names a file in the working folder ("ktr40e.so" is
    // "./ktr40e.so"), never one the library search path finds. Throws PluginError with the
    // loader's message, or when its first provider makes no serial-port devices.
    explicit PluginLibrary(const std::string& path);

    // A new device of the first provider, adopted into a shared_ptr as the devices require.
    std::shared_ptr<VRTVDevice> create() const;

private:
    std::string path_;
    std::vector<std::shared_ptr<Provider>> providers_;  // all of them, held as the controller holds them
    std::shared_ptr<VRTSPDeviceProvider> devices_;
};

}  // namespace site
