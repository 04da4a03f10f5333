// The host's side of the device base classes.
#include <mutex>
#include <unordered_map>

#include <boost/date_time/gregorian/gregorian_types.hpp>

#include "host/pmbus_protocol.h"
#include "host/ttime.h"
#include "site/host/emit.h"
#include "site/host/link.h"

using site::Event;
using site::EventKind;

namespace {

struct DeviceTable {
    std::mutex mutex;
    std::unordered_map<const VRTVDevice*, HostDeviceState> states;
};

// Never destroyed: a device may outlive the program's static objects.
DeviceTable& device_table() {
    static DeviceTable* table = new DeviceTable;
    return *table;
}

}  // namespace

void HostDevices::add(const VRTVDevice& device) {
    DeviceTable& table = device_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.states.try_emplace(&device);
}

void HostDevices::remove(const VRTVDevice& device) {
    DeviceTable& table = device_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.states.erase(&device);
}

HostDeviceState& HostDevices::of(const VRTVDevice& device) {
    DeviceTable& table = device_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.states.at(&device);
}

std::shared_ptr<site::Controller> VRTHostAccess::controller(const VRTVDevice& d) {
    return std::dynamic_pointer_cast<site::Controller>((d.*(&Device::controller_)).lock());
}

tele_c_time get_ttime(boost::posix_time::ptime time) {
    tele_c_time stamp{};
    if (time.is_special()) return stamp;
    const boost::gregorian::date day = time.date();
    const boost::posix_time::time_duration clock = time.time_of_day();
    stamp.year = static_cast<std::uint16_t>(day.year());
    stamp.month = static_cast<std::uint8_t>(day.month());
    stamp.day = static_cast<std::uint8_t>(day.day());
    stamp.hour = static_cast<std::uint8_t>(clock.hours());
    stamp.minute = static_cast<std::uint8_t>(clock.minutes());
    stamp.second = static_cast<std::uint8_t>(clock.seconds());
    return stamp;
}

// ---- VRTVDevice ----

// A device that never completed a round counts as long out of date.
VRTVDevice::VRTVDevice() : lastUpdate_(boost::gregorian::date(1970, 1, 1)) { HostDevices::add(*this); }
VRTVDevice::~VRTVDevice() { HostDevices::remove(*this); }

int VRTVDevice::DeviceIoControl(int, const void*, int, void*, int, int& returned) {
    returned = 0;
    return -1;  // this host offers no device controls
}

void VRTVDevice::Reset() {}

bool VRTVDevice::InitV(VRTVDevice* parent, unsigned int dataId, const Json::Value&) {
    dataId_ = dataId;
    HostDevices::of(*this).parent = parent;
    if (parent != nullptr) controller_ = parent->controller_;
    return true;
}

void VRTVDevice::Init(std::weak_ptr<VRTController> controller, unsigned int dataId, const Json::Value&) {
    controller_ = std::move(controller);
    dataId_ = dataId;
}

bool VRTVDevice::InitSetting(const Json::Value&) { return true; }
bool VRTVDevice::IsSupportDevice(const std::string& type) const { return type == deviceType_; }

void VRTVDevice::SendSP(int recordId, const unsigned char* image, unsigned int len, bool) {
    HostDevices::of(*this).recordId = recordId;
    const std::shared_ptr<site::Controller> controller = VRTHostAccess::controller(*this);
    if (!controller) return;
    if (site::RoundSink* sink = controller->sink()) sink->published(DataId(), recordId, image, len);
    site::emit_for(*this, EventKind::Publish, [&](Event& e) {
        e.record = recordId;
        e.bytes.assign(image, image + len);
    });
}

void VRTVDevice::SendDelayData(int) {}
void VRTVDevice::SendDoData(int, char) {}
int VRTVDevice::ReadDi(int) { return 0; }
float VRTVDevice::ReadAi(int) { return 0.0f; }
float VRTVDevice::Get_SP_Value(unsigned int dataId, const std::string& name) { return Get_Value(dataId, name); }

namespace {

using site::AlarmCheck;
using StateTexts = std::map<std::uint8_t, std::string>;

void emit_alarm(site::Controller& controller, const AlarmCheck& c, unsigned short seq, const StateTexts* stateTexts) {
    const EventKind kind = c.multiState ? EventKind::AlertMap : EventKind::Alarm;
    const EventKind transition = c.change == AlarmCheck::Change::Raised ? EventKind::Raised : EventKind::Cleared;
    const bool transitionWanted = c.change != AlarmCheck::Change::None && controller.observed(transition);
    if (!controller.observed(kind) && !transitionWanted) return;
    Event e;
    e.kind = kind;
    e.device = c.device;
    copy_alarm_facts(c, e);
    e.seq = seq;
    e.active = c.state != 0;
    if (stateTexts != nullptr) e.stateTexts = *stateTexts;
    controller.emit(e);
    if (!transitionWanted) return;
    e.kind = transition;
    controller.emit(e);
}

// Tracks the alarm's state, hands the check to the round sink and reports it to whoever looks
// at alarm events. True when the state changed.
bool track_alarm(const VRTVDevice& device, AlarmCheck& check, unsigned short seq, const StateTexts* stateTexts) {
    const std::shared_ptr<site::Controller> controller = VRTHostAccess::controller(device);
    if (!controller) return false;
    check.change = controller->alarms().check(check.device, check.key, check.code, check.text, check.state);
    if (site::RoundSink* sink = controller->sink()) sink->alarm_checked(check);
    emit_alarm(*controller, check, seq, stateTexts);
    return check.change != AlarmCheck::Change::None;
}

// Built in place: a round appends one rule per check, thousands with many channels.
void append_rule(std::vector<rule_value>& rules, const AlarmCheck& check, unsigned short seq, bool changed) {
    rule_value& rule = rules.emplace_back();
    rule.level = static_cast<std::uint8_t>(check.level);
    rule.key = check.key;
    rule.code = check.code;
    rule.value = check.state;
    rule.changed = changed ? 1u : 0u;
    rule.name = check.name;
    rule.text = check.text;
    rule.seq = seq;
}

}  // namespace

void VRTVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& code, const std::string& name,
                                    const std::string& text, bool active, unsigned short seq) {
    AlarmCheck check{DataId(),
                     level,
                     key,
                     code,
                     name,
                     text,
                     active ? std::uint8_t{1} : std::uint8_t{0},
                     false,
                     AlarmCheck::Change::None};
    append_rule(rules_, check, seq, track_alarm(*this, check, seq, nullptr));
}

void VRTVDevice::CheckAlertMap(std::uint8_t state, int level, const std::string& key, const std::string& code,
                               const std::string& name, const std::string& text,
                               const std::map<std::uint8_t, std::string>& stateTexts, unsigned short seq) {
    AlarmCheck check{DataId(), level, key, code, name, text, state, true, AlarmCheck::Change::None};
    append_rule(rules_, check, seq, track_alarm(*this, check, seq, &stateTexts));
}

void VRTVDevice::CheckThresholdWork(std::function<void()> work) {
    if (const std::shared_ptr<site::Controller> controller = VRTHostAccess::controller(*this)) {
        controller->post(std::move(work));
    } else {
        work();
    }
}

bool VRTVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    bool changed = false;
    for (const rule_value& rule : rules) changed = changed || rule.changed != 0;
    site::emit_for(*this, EventKind::Batch, [&](Event& e) {
        e.seq = static_cast<unsigned short>(rules.size());
        e.active = changed;
    });
    return changed;
}

// The image goes to the history service under the record id of the device's last publish.
void VRTVDevice::SaveDeviceHistory(const unsigned char* image, unsigned int len) {
    const int record = HostDevices::of(*this).recordId;
    site::emit_for(*this, EventKind::History, [&](Event& e) {
        e.record = record;
        e.bytes.assign(image, image + len);
    });
    const std::shared_ptr<site::Controller> controller = VRTHostAccess::controller(*this);
    if (site::RoundSink* sink = controller ? controller->sink() : nullptr)
        sink->save_image(DataId(), record, image, len);
}

// ---- VRTSPDevice ----

VRTSPDevice::VRTSPDevice() = default;
VRTSPDevice::~VRTSPDevice() = default;

void VRTSPDevice::Reset() {
    if (const std::shared_ptr<HostLink>& link = VRTHostAccess::link(*this)) link->end_exchange(*this);
}

bool VRTSPDevice::RefreshStatus() {
    const std::shared_ptr<HostLink>& link = VRTHostAccess::link(*this);
    return link && link->ready_for_request(*this);
}

void VRTSPDevice::process(unsigned char*, unsigned int) {}

bool VRTSPDevice::IsProcessing() {
    const std::shared_ptr<HostLink>& link = VRTHostAccess::link(*this);
    return link && link->awaiting();
}

bool VRTSPDevice::IsStalled() { return false; }
int VRTSPDevice::SendData(const unsigned char*, unsigned int) { return -1; }
int VRTSPDevice::SendParityData(const unsigned char*, unsigned int, EnumParity) { return -1; }
bool VRTSPDevice::OpenPort() { return VRTHostAccess::link(*this) != nullptr; }
void VRTSPDevice::ClosePort() {}

// ---- PMBusProtocol ----

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

namespace {

// Reads an optional byte-sized setting; false when present but not a number in 0..255.
bool read_byte_setting(const Json::Value& settings, const char* key, std::uint8_t& out) {
    const Json::Value& value = settings[key];
    if (value.isNull()) return true;
    if (!value.isIntegral() || value.asInt64() < 0 || value.asInt64() > 255) return false;
    out = static_cast<std::uint8_t>(value.asUInt());
    return true;
}

}  // namespace

bool PMBusProtocol::InitSetting(const Json::Value& setting) {
    if (!setting.isObject()) return setting.isNull();
    const Json::Value& baud = setting["baud"];
    if (!baud.isNull()) {
        if (!baud.isIntegral() || baud.asInt64() <= 0 || baud.asInt64() > 4000000) return false;
        baudRate_ = baud.asInt();
    }
    return read_byte_setting(setting, "address", VRTHostAccess::address(*this)) &&
           read_byte_setting(setting, "protocol_version", protocolVersion_);
}

void PMBusProtocol::process(unsigned char*, unsigned int) {}

void PMBusProtocol::process_error() { Reset(); }

void PMBusProtocol::write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2) { write_pmbus_cmd(cid1, cid2, nullptr, 0); }

void PMBusProtocol::write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2, const unsigned char* info, int len) {
    if (const std::shared_ptr<HostLink>& link = VRTHostAccess::link(*this)) link->send(*this, cid1, cid2, info, len);
}
