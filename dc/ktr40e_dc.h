#pragma once
#include <string>

#include "dc/pmbus_power_dc.h"
#include "dc/tele_dc.h"

// The KTR-40's DC distribution unit: the generic unit plus the model's own alarm states.
class Ktr40eDC : public PMBusPowerDC<tele_c_ktr40e_dc, 5154> {
public:
    Ktr40eDC();
    explicit Ktr40eDC(const std::string& model);

    void DoImpCheckAlert() override;
};
