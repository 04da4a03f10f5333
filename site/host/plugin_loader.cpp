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
    if (handle == nullptr) throw PluginError(std::string("cannot load the plug-in: ") + dlerror());
    // No dlclose, ever: see the class comment.
    void* entry = dlsym(handle, "get_providers");
    if (entry == nullptr) throw PluginError(path_ + ": no driver plug-in (it exports no get_providers)");
    providers_ = reinterpret_cast<GetProviders>(entry)();
    if (!providers_.empty()) devices_ = std::dynamic_pointer_cast<VRTSPDeviceProvider>(providers_.front());
    if (!devices_) throw PluginError(path_ + ": its first provider makes no serial-port devices");
}

std::shared_ptr<VRTVDevice> PluginLibrary::create() const { return std::shared_ptr<VRTVDevice>(devices_->create()); }

}  // namespace site
