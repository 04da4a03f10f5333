#include "site/plugin_loader.h"

#include <dlfcn.h>

#include <stdexcept>

#include "host/vrt_sp_device.h"

namespace site {
namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(std::string("cannot load the plug-in: ") + dlerror());
    // No dlclose, ever: see the class comment.
    void* entry = dlsym(handle, "get_providers");
    if (entry == nullptr) throw std::runtime_error(path + ": no get_providers entry");
    providers_ = reinterpret_cast<GetProviders>(entry)();
}

std::shared_ptr<VRTVDevice> PluginLibrary::create(std::size_t index) const {
    const auto provider = std::dynamic_pointer_cast<VRTSPDeviceProvider>(providers_.at(index));
    if (!provider) throw std::runtime_error(path_ + ": provider " + std::to_string(index) + " makes no devices");
    return std::shared_ptr<VRTVDevice>(provider->create());
}

}  // namespace site
