#pragma once
#include "ac/pmbus_power_ac.h"
#include "ac/tele_ac.h"

extern template class PMBusPowerAC<tele_c_ktr40e_ac, tele_c_ktr40e_ac_channel, 5153>;

// The AC distribution unit of the KTR-40; device type "ktr40e-ac".
class Ktr40eAC : public PMBusPowerAC<tele_c_ktr40e_ac, tele_c_ktr40e_ac_channel, 5153> {
public:
    Ktr40eAC();
    void DoImpCheckAlert() override;
};
