#pragma once
#include "rc/module_texts.h"
#include "rc/pmbus_power_rc.h"
#include "rc/tele_rc.h"

// The KTR-40 rectifier group ("ktr40e-rc"): adds the module communication alarm.
class Ktr40eRC : public PMBusPowerRC<tele_c_ktr40e_rc, tele_c_ktr40e_rc_channel, 5155> {
public:
    Ktr40eRC();
    ~Ktr40eRC() override;

    // One communication alarm per module that reported exactly its one user-defined alarm
    // byte, numbered on from the fault alarms of the round; then the clearing of those still
    // raised for modules that left.
    void DoImpCheckAlert() override;

private:
    ModuleTexts commTexts_{"整流模块", "模块通讯中断告警状态"};
    RaisedAlarms raisedComm_;
};
