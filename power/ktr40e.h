#pragma once
// Placeholder until the power system device lands.
#include <memory>
#include <string>
#include <vector>

#include "ac/ktr40e_ac.h"
#include "dc/ktr40e_dc.h"
#include "host/pmbus_protocol.h"
#include "rc/ktr40e_rc.h"

template <class AC, class DC, class RC>
class PMBusPower : public PMBusProtocol {
public:
    explicit PMBusPower(std::vector<std::string> supportedModels) : supportedModels_(std::move(supportedModels)) {}
    using PMBusProtocol::LoadFromCache;
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    std::vector<std::shared_ptr<VRTVDevice>> GetAllChildVDevices() override { return {rcUnit_}; }
    bool process_payload() override { return true; }

protected:
    std::shared_ptr<RC> rcUnit_;
    std::vector<std::string> supportedModels_;
};

class Ktr40e : public PMBusPower<Ktr40eAC, Ktr40eDC, Ktr40eRC> {
public:
    Ktr40e();
};
