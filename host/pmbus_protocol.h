#pragma once
#include <cstdint>

#include "host/api.h"
#include "host/vrt_sp_device.h"

// Command/response protocol on a serial device: the host frames each request and
// hands each decoded answer to process_payload() through payload_.
class VRT_HOST_API PMBusProtocol : public VRTSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    bool InitSetting(const Json::Value& setting) override;
    void process(unsigned char* data, unsigned int len) override;
    virtual bool process_payload() = 0;
    virtual void process_error();

    void write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2);
    void write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2, const unsigned char* info, int len);

protected:
    // The decoded answer while process_payload runs: [2] CID1, [4..5] LENID little-endian, INFO from [6].
    unsigned char* payload_ = nullptr;
    std::int32_t step_ = 0;
    std::uint8_t protocolVersion_ = 0x20;
};
