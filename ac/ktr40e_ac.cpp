#include "ac/ktr40e_ac.h"
Ktr40eAC::Ktr40eAC() { deviceType_ = "ktr40e-ac"; }
