#include "ac/ktr40e_ac.h"

template class PMBusPowerAC<tele_c_ktr40e_ac, tele_c_ktr40e_ac_channel, 5153>;

Ktr40eAC::Ktr40eAC() { deviceType_ = "ktr40e-ac"; }

// The model adds no alarm evaluation: RoundDone reports every AC rule.
void Ktr40eAC::DoImpCheckAlert() {}
