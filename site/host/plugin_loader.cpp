#include "site/host/plugin_loader.h"

#include <dlfcn.h>

#include <stdexcept>

#include "host/vrt_sp_device.h"

namespace site {
namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

// dlopen searches the library path for a name without a slash.
std::string as_file_path(const std::string& path) { return path.find('/') == std::string::npos ? "./" + path : path; }

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) : path_(as_file_path(path)) {
    void* handle = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(std::string("cannot load the plug-in: ") + dlerror());
    // No dlclose, ever: see the class comment.
    void* entry = dlsym(handle, "get_providers");
    if (entry == nullptr) throw std::runtime_error(path_ + ": no get_providers entry");
    providers_ = reinterpret_cast<GetProviders>(entry)();
}

std::shared_ptr<VRTVDevice> PluginLibrary::create(std::size_t index) const {
    const auto provider = std::dynamic_pointer_cast<VRTSPDeviceProvider>(providers_.at(index));
    if (!provider) throw std::runtime_error(path_ + ": provider " + std::to_string(index) + " makes no devices");
    return std::shared_ptr<VRTVDevice>(provider->create());
}

}  // namespace site
