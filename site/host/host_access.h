#pragma once
#include <memory>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/pmbus_protocol.h"

namespace site {
class Controller;
}

// The host's own access to the state it keeps in its device base classes.
struct VRTHostAccess {
    static boost::posix_time::ptime& last_update(VRTVDevice& d) { return d.lastUpdate_; }
    static bool& data_valid(VRTVDevice& d) { return d.dataValid_; }
    static std::vector<rule_value>& rules(VRTVDevice& d) { return d.rules_; }
    static bool threshold_result(const VRTVDevice& d) { return d.thresholdResult_; }
    static std::uint16_t alarm_seq(const VRTVDevice& d) { return d.alarmSeq_; }
    static VRTVDevice* parent(const VRTVDevice& d) { return d.parent_; }
    static int& record_id(VRTVDevice& d) { return d.recordId_; }
    static std::shared_ptr<site::Controller> controller(const VRTVDevice& d);
    static std::shared_ptr<HostLink>& link(VRTSPDevice& d) { return d.link_; }
    static std::int32_t port_counter(const VRTSPDevice& d) { return d.portCounter_; }
    static std::uint8_t port_flag(const VRTSPDevice& d) { return d.portFlag_; }
    static std::int32_t baud_rate(const VRTSPDevice& d) { return d.baudRate_; }
    static unsigned char*& payload(PMBusProtocol& d) { return d.payload_; }
    static std::int32_t& step(PMBusProtocol& d) { return d.step_; }
    static std::uint8_t& protocol_version(PMBusProtocol& d) { return d.protocolVersion_; }
    static std::uint8_t& address(PMBusProtocol& d) { return d.address_; }
};
