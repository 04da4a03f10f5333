#pragma once
// Placeholder until the unit lands.
#include "host/vrt_sp_device.h"
struct tele_c_ktr40e_ac {};
struct tele_c_ktr40e_ac_channel {};
template <class TeleAC, class TeleACChannel, int RT_AC>
class PMBusPowerAC : public VRTSPDevice {
public:
    using VRTSPDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char*, int) override { return false; }
    virtual int parse40_41(const unsigned char*, int) { return -1; }
    virtual int parse40_43(const unsigned char*, int) { return -1; }
    virtual int parse40_44(const unsigned char*, int) { return -1; }
    virtual void DoImpCheckAlert() = 0;
};
class Ktr40eAC : public PMBusPowerAC<tele_c_ktr40e_ac, tele_c_ktr40e_ac_channel, 5153> {
public:
    Ktr40eAC();
    void DoImpCheckAlert() override {}
};
