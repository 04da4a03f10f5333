#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/provider.h"
#include "host/vrt_vdevice.h"

namespace site {

// A driver plug-in loaded by path, as the site controller loads it: dlopen, then the
// exported get_providers. The library stays loaded for the life of the process, since
// devices and work items made by its code may outlive any owner here.
class PluginLibrary {
public:
    // A path without a slash names a file in the working folder ("ktr40e.so" is
    // "./ktr40e.so"), never one the library search path finds. Throws std::runtime_error
    // with the loader's message.
    explicit PluginLibrary(const std::string& path);

    // A new device from provider `index`, adopted into a shared_ptr as the devices require.
    // Throws std::out_of_range for a missing provider, std::runtime_error for one that
    // makes no serial-port devices.
    std::shared_ptr<VRTVDevice> create(std::size_t index) const;

private:
    std::string path_;
    std::vector<std::shared_ptr<Provider>> providers_;
};

}  // namespace site
