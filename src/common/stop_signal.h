// stop_signal: the stop of a loop that runs for the life of the service and pauses between its
// rounds. The service never stops such loops; tests do, and a stop ends a pause at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class stop_signal {
  public:
    // Waits milliseconds or until a stop; true when the loop must end.
    bool pause(unsigned long milliseconds)
    {
        std::unique_lock guard(lock_);
        wake_.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] { return stop_; });
        return stop_;
    }
    bool stopping()
    {
        std::lock_guard guard(lock_);
        return stop_;
    }
    void stop()
    {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
    }
    // The loop may run again.
    void reset()
    {
        std::lock_guard guard(lock_);
        stop_ = false;
    }

  private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
};
