#include "rc/ktr40e_rc.h"

#include <cstdint>
#include <string>

namespace {

constexpr int kCommLevel = 4;
// The user-defined alarm byte a module sends when it has lost contact with the controller.
constexpr std::uint8_t kCommLost = 0xE2;

}  // namespace

Ktr40eRC::Ktr40eRC() { deviceType_ = "ktr40e-rc"; }

Ktr40eRC::~Ktr40eRC() = default;

void Ktr40eRC::DoImpCheckAlert() {
    static const std::string& commKey = lasting_text("KTRE40_RC_0");
    static const std::string& commCode = lasting_text("06028");
    static const std::string& commName = lasting_text("整流模块通信状态告警");
    for (std::size_t i = 0; i < core_.items.size(); ++i) {
        const tele_c_ktr40e_rc_channel& module = core_.items[i];
        // Any other count leaves the alarm as it stands until a later answer brings one byte again.
        if (module.p41_44 != tele_c_ktr40e_rc_channel::P41_44_SIZE()) continue;
        CheckThresholdBool(kCommLevel, commKey, commCode, commName, commTexts_.of(i),
                           module.p41_44_value[0] == kCommLost, alarmSeq_++);
    }
}
