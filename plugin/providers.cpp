#include "plugin/providers.h"

#include "ac/ktr40e_ac.h"
#include "dc/ktr40e_dc.h"
#include "power/ktr40e.h"
#include "rc/ktr40e_rc.h"

VRTSPDevice* Ktr40eProvider::create() const { return new Ktr40e(); }
VRTSPDevice* Ktr40eACProvider::create() const { return new Ktr40eAC(); }
VRTSPDevice* Ktr40eDCProvider::create() const { return new Ktr40eDC(); }
VRTSPDevice* Ktr40eRCProvider::create() const { return new Ktr40eRC(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
    return {std::make_shared<Ktr40eProvider>(), std::make_shared<Ktr40eACProvider>(),
            std::make_shared<Ktr40eDCProvider>(), std::make_shared<Ktr40eRCProvider>()};
}
