#include "rc/ktr40e_rc.h"

#include <cstdint>
#include <string>

namespace {

// Active on the user-defined alarm byte a module sends when it has lost contact with the
// controller. Built on first use and never destroyed.
const AlarmRule& comm_alarm() {
    static const AlarmRule* rule = new AlarmRule{"KTRE40_RC_0", "06028", "整流模块通信状态告警", 4, 0xE2};
    return *rule;
}

}  // namespace

Ktr40eRC::Ktr40eRC() { deviceType_ = "ktr40e-rc"; }

Ktr40eRC::~Ktr40eRC() = default;

void Ktr40eRC::DoImpCheckAlert() {
    const AlarmRule& rule = comm_alarm();
    for (std::size_t i = 0; i < core_.items.size(); ++i) {
        const tele_c_ktr40e_rc_channel& module = core_.items[i];
        // Any other count leaves the alarm as it stands until a later answer brings one byte again.
        if (module.p41_44 != tele_c_ktr40e_rc_channel::P41_44_SIZE()) continue;
        raisedComm_.note(i, 0, report_alarm(*this, rule, commTexts_.of(i), module.p41_44_value[0], alarmSeq_++));
    }
    raisedComm_.clear_gone(core_.items.size(), [this, &rule](std::size_t i, unsigned) {
        clear_alarm(*this, rule, commTexts_.of(i), alarmSeq_++);
    });
}
