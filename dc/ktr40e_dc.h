#pragma once
#include <string>

#include "dc/pmbus_power_dc.h"
#include "dc/tele_dc.h"

// The KTR-40's DC distribution unit: the generic unit plus the model's own alarm states.
class Ktr40eDC : public PMBusPowerDC<tele_c_ktr40e_dc, 5154> {
public:
    Ktr40eDC();
    explicit Ktr40eDC(const std::string& model);

    using PMBusPowerDC::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void DoImpCheckAlert() override;

private:
    // Whether the last round reported the model alarms: they are cleared once when the count changes.
    bool modelAlarmsReported_ = false;
};
