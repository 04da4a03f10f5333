#include "power/ktr40e.h"

template class PMBusPower<Ktr40eAC, Ktr40eDC, Ktr40eRC>;

Ktr40e::Ktr40e() : Ktr40e(pmbus_power::kAnswerPause) {}

Ktr40e::Ktr40e(std::chrono::microseconds answerPause) : PMBusPower({"KTR-40"}, answerPause) {
    deviceType_ = "ktr40e";
    baudRate_ = 9600;
    portFlag_ = 1;
    protocolVersion_ = 0x20;
}
