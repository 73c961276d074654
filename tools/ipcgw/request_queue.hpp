// The requests checked by parse_request, queued per camera within bounds of count and bytes
// and run on the backend by a pool of workers: one camera's requests one at a time and in their
// order, different cameras' side by side. Every request is answered once: with its outcome,
// "bad-request", "busy" when its camera's queue is full, or "stopping".
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "backend.hpp"
#include "config.hpp"
#include "request.hpp"

namespace ipcgw {

class RequestQueue {
public:
    struct Job {
        std::variant<Command, std::string> command;  // the command, or why it is refused
        std::string reply_topic;
        std::vector<uint8_t> correlation;
        size_t bytes = 0;                            // what it holds, roughly
    };
    // Runs once per request: on a worker, or in submit() and stop() for those never run.
    using Answer = std::function<void(size_t camera, const Job& job, const Outcome& outcome)>;

    RequestQueue(const Config& config, Backend& backend, Answer answer);
    ~RequestQueue() { stop(); }
    RequestQueue(const RequestQueue&) = delete;
    RequestQueue& operator=(const RequestQueue&) = delete;

    void start();
    // Queues a request for a camera; `payload_bytes`: the size of the body it came in.
    void submit(size_t camera, Request request, size_t payload_bytes);
    // Waits for the running requests; the waiting ones are answered "stopping".
    void stop();

    uint64_t requests() const { return requests_; }
    uint64_t busy() const { return busy_; }            // refused: full, or stopping
    uint64_t malformed() const { return malformed_; }

private:
    struct Queue {
        std::deque<Job> jobs;
        size_t bytes = 0;
        bool scheduled = false;  // in ready_ or being run
    };
    void worker();
    Outcome run(size_t camera, const Job& job);

    const Config& cfg_;
    Backend& backend_;
    Answer answer_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Queue> queues_;
    std::deque<size_t> ready_;   // cameras with requests and no worker on them
    bool stopping_ = true;
    std::vector<std::thread> workers_;
    std::atomic<uint64_t> requests_{0}, busy_{0}, malformed_{0};
};

}  // namespace ipcgw
