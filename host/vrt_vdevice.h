#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/api.h"
#include "host/json.h"
#include "host/rule_value.h"
#include "host/vdevice_interface.h"
#include "host/vrt_controller.h"

// A virtual device of the host. The host implements its operations; the plug-in derives from it.
class VRT_HOST_API VRTVDevice : public VDeviceInterface, public std::enable_shared_from_this<VRTVDevice> {
public:
    VRTVDevice();
    VRTVDevice(const VRTVDevice&) = delete;
    VRTVDevice& operator=(const VRTVDevice&) = delete;

    int DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen, int& returned) override;

    virtual ~VRTVDevice();
    virtual void Reset();
    virtual bool InitV(VRTVDevice* parent, unsigned int dataId, const Json::Value& setting);
    virtual void Init(std::weak_ptr<VRTController> controller, unsigned int dataId, const Json::Value& setting);
    virtual bool InitSetting(const Json::Value& setting);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<VRTVDevice> GetChildVDevice(unsigned int) { return {}; }
    virtual std::vector<std::shared_ptr<VRTVDevice>> GetAllChildVDevices() { return {}; }
    virtual void SendSP(int recordId, const unsigned char* image, unsigned int len, bool immediate);
    virtual void SendDelayData(int delay);
    virtual void SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int dataId, const std::string& name);

    // Alarm service: raise or clear the alarm named by key and code.
    void CheckThresholdBool(int level, const std::string& key, const std::string& code, const std::string& name,
                            const std::string& text, bool active, unsigned short seq);
    // The same for a multi-state value; stateTexts names each state.
    void CheckAlertMap(std::uint8_t state, int level, const std::string& key, const std::string& code,
                       const std::string& name, const std::string& text,
                       const std::map<std::uint8_t, std::string>& stateTexts, unsigned short seq);
    // Runs the work later, on a thread of the host's choosing.
    void CheckThresholdWork(std::function<void()> work);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    void SaveDeviceHistory(const unsigned char* image, unsigned int len);

    template <typename... Args>
    void InfoLog(const char* format, const Args&... args) const {
        if (controller_.use_count() == 0) return;
        if (std::shared_ptr<VRTController> controller = controller_.lock()) controller->InfoLog(format, args...);
    }

protected:
    std::uint16_t alarmSeq_ = 0;
    boost::posix_time::ptime lastUpdate_;
    bool dataValid_ = false;
    std::vector<rule_value> rules_;
    std::weak_ptr<VRTController> controller_;
    bool thresholdResult_ = false;
};
