// A blocking call that has no time limit of its own (a name look-up), run on a thread of its
// own so that the caller can give up on it at its limit. A call given up on finishes alone,
// later, and its result is destroyed with the last owner.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

// The call's result, or nullopt when it did not return within timeoutMs. Without a thread to
// spare (the system refused one) the call runs here, without its limit.
template <typename Result, typename Call>
std::optional<Result> CallWithin(int timeoutMs, Call call) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
    };
    const auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, call]() mutable {
            Result result = call();
            const std::lock_guard<std::mutex> lock(shared->mutex);
            shared->result = std::move(result);
            shared->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return call();
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return shared->result.has_value(); })) {
        return std::nullopt;
    }
    return std::move(shared->result);
}
