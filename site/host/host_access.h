#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/pmbus_protocol.h"

class HostLink;

namespace site {
class Controller;
}

// What the host keeps of a device besides the base-class members the plug-in sees.
struct HostDeviceState {
    VRTVDevice* parent = nullptr;
    // Of the device's last publish: set on the polling thread, read by the round's work item.
    std::atomic<int> recordId{0};
    std::shared_ptr<HostLink> link;  // serial devices: the exchange on their line
    std::uint8_t address = 1;        // protocol devices: where their requests go
};

// The host's state of every living device, by the device's address. The host's VRTVDevice
// constructor makes the entry and its destructor drops it; an entry stays where it is while
// its device lives, so a reference to it may be kept without the lock. Work items reach it from
// the host's threads.
class HostDevices {
public:
    static void add(const VRTVDevice& device);
    static void remove(const VRTVDevice& device);
    static HostDeviceState& of(const VRTVDevice& device);
};

// The host's own access to the state it keeps of its devices: the protected members of its
// device base classes, reached through members of the classes below that make them public,
// and the rest in HostDevices.
struct VRTHostAccess {
private:
    struct Device : VRTVDevice {
        using VRTVDevice::alarmSeq_;
        using VRTVDevice::controller_;
        using VRTVDevice::dataValid_;
        using VRTVDevice::lastUpdate_;
        using VRTVDevice::rules_;
        using VRTVDevice::thresholdResult_;
    };
    struct SerialDevice : VRTSPDevice {
        using VRTSPDevice::baudRate_;
        using VRTSPDevice::portCounter_;
        using VRTSPDevice::portFlag_;
    };
    struct Protocol : PMBusProtocol {
        using PMBusProtocol::payload_;
        using PMBusProtocol::protocolVersion_;
        using PMBusProtocol::step_;
    };

public:
    static boost::posix_time::ptime& last_update(VRTVDevice& d) { return d.*(&Device::lastUpdate_); }
    static bool& data_valid(VRTVDevice& d) { return d.*(&Device::dataValid_); }
    static std::vector<rule_value>& rules(VRTVDevice& d) { return d.*(&Device::rules_); }
    static bool threshold_result(const VRTVDevice& d) { return d.*(&Device::thresholdResult_); }
    static std::uint16_t alarm_seq(const VRTVDevice& d) { return d.*(&Device::alarmSeq_); }
    static VRTVDevice* parent(const VRTVDevice& d) { return HostDevices::of(d).parent; }
    static int record_id(const VRTVDevice& d) { return HostDevices::of(d).recordId; }
    static std::shared_ptr<site::Controller> controller(const VRTVDevice& d);
    static std::shared_ptr<HostLink>& link(VRTSPDevice& d) { return HostDevices::of(d).link; }
    static std::int32_t port_counter(const VRTSPDevice& d) { return d.*(&SerialDevice::portCounter_); }
    static std::uint8_t port_flag(const VRTSPDevice& d) { return d.*(&SerialDevice::portFlag_); }
    static std::int32_t baud_rate(const VRTSPDevice& d) { return d.*(&SerialDevice::baudRate_); }
    static unsigned char*& payload(PMBusProtocol& d) { return d.*(&Protocol::payload_); }
    static std::int32_t& step(PMBusProtocol& d) { return d.*(&Protocol::step_); }
    static std::uint8_t& protocol_version(PMBusProtocol& d) { return d.*(&Protocol::protocolVersion_); }
    static std::uint8_t& address(PMBusProtocol& d) { return HostDevices::of(d).address; }
};
