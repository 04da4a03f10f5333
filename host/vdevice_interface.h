#pragma once
#include <stdexcept>
#include <string>

#include "host/api.h"

// What the host sees of every device. The default bodies belong to the plug-in.
// No virtual destructor: devices are owned and destroyed as VRTVDevice.
class VRT_HOST_API VDeviceInterface {
public:
    virtual float Get_Value(unsigned int, const std::string&) const { throw std::out_of_range("数据未就绪"); }
    virtual bool LoadFromCache(const std::string& bytes) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    }
    virtual bool LoadFromCache(const unsigned char* data, int len) = 0;
    virtual unsigned int DataId() const { return dataId_; }
    virtual const std::string& DeviceType() const { return deviceType_; }
    virtual int DeviceIoControl(int, const void*, int, void*, int, int&) { return -2; }
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return useControllerDb_; }

protected:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = default;
    VDeviceInterface& operator=(const VDeviceInterface&) = default;
    ~VDeviceInterface() = default;

    unsigned int dataId_ = 0;
    std::string deviceType_;
    bool useControllerDb_ = false;
};
