#include "request_queue.hpp"

namespace ipcgw {
namespace {

Outcome refusal(const char* name, std::string error) {
    Outcome o;
    o.name = name;
    o.error = std::move(error);
    return o;
}

}  // namespace

RequestQueue::RequestQueue(const Config& config, Backend& backend, Answer answer)
    : cfg_(config), backend_(backend), answer_(std::move(answer)), queues_(config.cameras.size()) {}

void RequestQueue::start() {
    {
        std::lock_guard lk(mu_);
        stopping_ = false;
    }
    for (int i = 0; i < cfg_.gateway.workers; ++i) workers_.emplace_back([this] { worker(); });
}

void RequestQueue::submit(size_t camera, Request request, size_t payload_bytes) {
    ++requests_;
    Job job{std::move(request.command), std::move(request.reply_topic), std::move(request.correlation)};
    if (auto* err = std::get_if<std::string>(&job.command)) {
        ++malformed_;
        job.bytes = err->size();
    } else {
        job.bytes = payload_bytes;  // the parsed record is of its order
    }
    job.bytes += job.reply_topic.size() + job.correlation.size();

    // Malformed requests queue too, so that one camera's replies keep the order of its requests.
    // The bounds count requests and bytes; one request always fits an empty queue.
    const auto& opt = cfg_.gateway;
    std::unique_lock lk(mu_);
    Queue& q = queues_[camera];
    const bool full = q.jobs.size() >= opt.request_queue || (!q.jobs.empty() && q.bytes + job.bytes > opt.request_queue_bytes);
    if (stopping_ || full) {
        const size_t waiting = q.jobs.size(), bytes = q.bytes;
        const bool stopping = stopping_;
        lk.unlock();
        ++busy_;
        if (stopping)
            answer_(camera, job, refusal("stopping", "the gateway is stopping"));
        else
            answer_(camera, job, refusal("busy", std::to_string(waiting) + " requests" +
                                                     (waiting < opt.request_queue ? " of " + std::to_string(bytes) + " bytes" : std::string()) +
                                                     " are waiting for " + cfg_.cameras[camera].name + "; try again later"));
        return;
    }
    q.bytes += job.bytes;
    q.jobs.push_back(std::move(job));
    if (!q.scheduled) {
        q.scheduled = true;
        ready_.push_back(camera);
        cv_.notify_one();
    }
}

void RequestQueue::stop() {
    {
        std::lock_guard lk(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (auto& t : workers_) t.join();
    workers_.clear();
    std::vector<std::pair<size_t, Job>> left;
    {
        std::lock_guard lk(mu_);
        for (size_t camera = 0; camera < queues_.size(); ++camera) {
            for (auto& j : queues_[camera].jobs) left.emplace_back(camera, std::move(j));
            queues_[camera] = Queue{};
        }
        ready_.clear();
    }
    for (const auto& [camera, job] : left) answer_(camera, job, refusal("stopping", "the gateway is stopping"));
}

Outcome RequestQueue::run(size_t camera, const Job& job) {
    if (auto* err = std::get_if<std::string>(&job.command)) return refusal("bad-request", *err);
    try {
        return backend_.execute(camera, std::get<Command>(job.command));
    } catch (const std::exception& e) {
        return refusal("failed", e.what());
    }
}

void RequestQueue::worker() {
    std::unique_lock lk(mu_);
    for (;;) {
        cv_.wait(lk, [&] { return stopping_ || !ready_.empty(); });
        if (stopping_) return;
        const size_t camera = ready_.front();
        ready_.pop_front();
        Queue& q = queues_[camera];
        Job job = std::move(q.jobs.front());
        q.jobs.pop_front();
        q.bytes -= job.bytes;
        lk.unlock();

        answer_(camera, job, run(camera, job));

        lk.lock();
        if (q.jobs.empty()) {
            q.scheduled = false;
        } else {
            ready_.push_back(camera);
            cv_.notify_one();
        }
    }
}

}  // namespace ipcgw
