#pragma once
#include <cstdint>

#include "host/api.h"
#include "host/vrt_vdevice.h"

enum EnumParity { PARITY_NONE, PARITY_ODD, PARITY_EVEN };

// A device on a serial port. The host owns the port and the state of the exchange on it.
class VRT_HOST_API VRTSPDevice : public VRTVDevice {
public:
    VRTSPDevice();
    ~VRTSPDevice() override;
    void Reset() override;

    // False: send nothing at this poll (a request is still awaiting its answer, or no port).
    virtual bool RefreshStatus();
    virtual void process(unsigned char* data, unsigned int len);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int len);
    virtual int SendParityData(const unsigned char* data, unsigned int len, EnumParity parity);
    virtual bool OpenPort();
    virtual void ClosePort();

protected:
    std::int32_t portCounter_ = 0;
    std::uint8_t portFlag_ = 0;
    std::int32_t baudRate_ = 0;
};
