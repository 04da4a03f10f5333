#include "line/transport.h"

namespace line {

bool is_echo_of(const Answer& answer, const Request& request) {
    return answer.ver == request.ver && answer.adr == request.adr && answer.cid1 == request.cid1 &&
           answer.rtn == request.cid2 && answer.info == request.info;
}

void ScriptedTransport::send(const Request& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
}

std::vector<Request> ScriptedTransport::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t ScriptedTransport::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

Request ScriptedTransport::last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.empty() ? Request{} : requests_.back();
}

void ScriptedTransport::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

}  // namespace line
