#pragma once
// Unit stand-ins for the power system device: each parse call is recorded (unit, operation, the bytes
// it was handed, their count, what it returned) and answered from a script. Every call also checks
// that the bytes it was handed lie inside the INFO of the answer being handled.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/pmbus_protocol.h"
#include "power/pmbus_power.h"
#include "site/host/host_access.h"

namespace rec {

struct Call {
    unsigned unit = 0;
    std::string op;
    std::vector<std::uint8_t> bytes;
    int len = 0;
    int result = 0;
    bool insideInfo = true;
};

struct Journal {
    std::vector<Call> calls;
    // Results by (unit data id, operation); an unscripted call returns fallback(len).
    std::map<std::pair<unsigned, std::string>, std::deque<int>> results;
    std::function<int(int)> fallback = [](int len) { return len > 0 ? len : 0; };
    std::vector<std::string> dcModels;  // model text handed to each DC unit's constructor
    std::vector<unsigned> stale;        // units told their round brought no analog values, in order
    std::vector<unsigned> rolledBack;   // units whose records a refused answer put back, in order

    void clear() { *this = Journal(); }
    void script(unsigned unit, const std::string& op, std::initializer_list<int> values) {
        auto& queue = results[{unit, op}];
        queue.insert(queue.end(), values.begin(), values.end());
    }
    std::vector<std::string> ops() const {
        std::vector<std::string> out;
        for (const Call& call : calls) out.push_back(std::to_string(call.unit) + ":" + call.op);
        return out;
    }
    std::vector<Call> of(const std::string& op) const {
        std::vector<Call> out;
        for (const Call& call : calls)
            if (call.op == op) out.push_back(call);
        return out;
    }
};

inline Journal& journal() {
    static Journal instance;
    return instance;
}

class RecUnit : public VRTSPDevice {
public:
    using VRTSPDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char*, int) override { return false; }
    bool InitV(VRTVDevice* parent, unsigned int dataId, const Json::Value& setting) override {
        settings = setting;
        return VRTSPDevice::InitV(parent, dataId, setting);
    }
    void RoundDone() override { journal().calls.push_back(Call{DataId(), "RoundDone", {}, 0, 0, true}); }
    void mark_round_stale() { journal().stale.push_back(DataId()); }
    void snapshot() {}
    void roll_back() { journal().rolledBack.push_back(DataId()); }

    Json::Value settings;

protected:
    int record(const char* op, const unsigned char* data, int len) {
        Call call{DataId(), op, {}, len, 0, inside_info(data, len)};
        if (len > 0) call.bytes.assign(data, data + len);
        auto found = journal().results.find({DataId(), op});
        if (found != journal().results.end() && !found->second.empty()) {
            call.result = found->second.front();
            found->second.pop_front();
        } else {
            call.result = journal().fallback(len);
        }
        journal().calls.push_back(call);
        return call.result;
    }

private:
    // The parent's answer being handled: INFO starts at offset 6, LENID at offsets 4 and 5.
    bool inside_info(const unsigned char* data, int len) {
        auto* parent = dynamic_cast<PMBusProtocol*>(VRTHostAccess::parent(*this));
        if (parent == nullptr) return false;
        const unsigned char* payload = VRTHostAccess::payload(*parent);
        if (payload == nullptr) return false;
        const unsigned char* begin = payload + 6;
        const unsigned char* end = begin + (payload[4] | (payload[5] << 8)) / 2;
        const long count = len > 0 ? len : 0;
        return data >= begin && data <= end && end - data >= count;
    }
};

class RecAC : public RecUnit {
public:
    int parse40_41(const unsigned char* data, int len) { return record("40_41", data, len); }
    int parse40_43(const unsigned char* data, int len) { return record("40_43", data, len); }
    int parse40_44(const unsigned char* data, int len) { return record("40_44", data, len); }
};

class RecDC : public RecUnit {
public:
    explicit RecDC(const std::string& model) { journal().dcModels.push_back(model); }
    int parse42_41(const unsigned char* data, int len) { return record("42_41", data, len); }
    int parse42_44(const unsigned char* data, int len) { return record("42_44", data, len); }
};

class RecRC : public RecUnit {
public:
    int parse41_41(const unsigned char* data, int len) { return record("41_41", data, len); }
    int parse41_43(const unsigned char* data, int len) { return record("41_43", data, len); }
    int parse41_44(const unsigned char* data, int len) { return record("41_44", data, len); }
    int parse40_46(const unsigned char* data, int len) { return record("40_46", data, len); }
    int parse42_46(const unsigned char* data, int len) { return record("42_46", data, len); }
};

// The device under test, with a device type of its own for the model check text.
class RecPower : public PMBusPower<RecAC, RecDC, RecRC> {
public:
    RecPower() : PMBusPower({"KTR-40"}, std::chrono::microseconds(0)) { deviceType_ = "rec-power"; }
};

}  // namespace rec
