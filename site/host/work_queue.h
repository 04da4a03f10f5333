#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace site {

// Runs work items in order on one worker thread. A throwing item is reported and the
// queue goes on; destruction runs what is still queued, then stops the thread.
class WorkQueue {
public:
    using ErrorHandler = std::function<void(const std::string&)>;
    explicit WorkQueue(ErrorHandler onError);
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void post(std::function<void()> work);
    void drain();

private:
    void run();

    ErrorHandler onError_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> items_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace site
