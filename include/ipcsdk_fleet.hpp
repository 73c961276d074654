/**
 * @file ipcsdk_fleet.hpp
 * @brief ipc::Fleet: keeps a set of cameras online, over the header-only C++20 layer.
 *
 * Kept apart from ipcsdk.hpp, as its supervisor threads and queues are of no use to a host that
 * only runs commands. Include it instead of ipcsdk.hpp (it includes that header).
 */
#ifndef IPCSDK_FLEET_HPP
#define IPCSDK_FLEET_HPP

#include "ipcsdk.hpp"

#if __cplusplus >= 202002L

#include <condition_variable>
#include <deque>
#include <map>
#include <random>
#include <thread>

namespace ipc {

// ============================================================================================
// Fleet: a set of cameras kept online
// ============================================================================================

/// The state of a camera in a Fleet.
enum class State {
    connecting,   ///< added; the first login has not finished yet
    online,       ///< logged in, channels restored; Fleet::with runs commands
    offline,      ///< lost or not reachable; released, logged in again after a pause
    auth_failed,  ///< the camera refused the credentials; retried only at the longest pause
};

/// "connecting", "online", "offline" or "auth-failed".
inline const char* to_string(State s) noexcept {
    switch (s) {
    case State::connecting: return "connecting";
    case State::online: return "online";
    case State::offline: return "offline";
    case State::auth_failed: return "auth-failed";
    }
    return "?";
}

/// How a Fleet supervises its cameras. Durations of 0 turn the check off where noted.
struct FleetOptions {
    /// Pause before the first new login after a loss or a failed login (then doubled).
    std::chrono::milliseconds initial_backoff{1000};
    /// Longest pause; also the pause after a refused login (auth-failed).
    std::chrono::milliseconds max_backoff{30000};
    /// Each pause is drawn from [p * (1 - jitter), p * (1 + jitter)]; 0: exact pauses.
    double jitter = 0.2;
    /// A camera lost after being online for less than this keeps its pauses growing (one that
    /// drops every login is not logged in again every initial_backoff); 0: a loss always
    /// starts again at initial_backoff.
    std::chrono::milliseconds stable_after{10000};
    /// An online camera from which nothing arrived (frame, report, keepalive, command answer)
    /// for this long goes offline; 0: never.
    std::chrono::milliseconds stale_after{15000};
    /// After this long without arrivals the fleet sends a heartbeat to ask; 0: never.
    std::chrono::milliseconds probe_after{5000};
    /// This many command timeouts in a row take a camera offline; 0: never.
    int max_command_timeouts = 3;
    /// Timeout of each login.
    std::chrono::seconds login_timeout{5};
    /// Most blocking jobs (logins, releases, the fleet's own heartbeats) running at once. Each
    /// runs on a thread of its own, started for it and gone when it ends, so a camera that does
    /// not answer holds up only its own login. Jobs beyond this many wait their turn; a waiting
    /// login is dropped when its camera is removed or the fleet destroyed. At least 1.
    unsigned workers = IPCSDK_MAX_DEVICES;
    /// Frames waiting for the frame handler (the one it is running included) beyond this many
    /// are dropped and counted in CameraStatus::frames_dropped.
    std::size_t max_queued_frames = 256;
    /// Reports waiting for the report handler (the one it is running included) beyond this
    /// many, or beyond this many bytes of report bodies, are dropped and counted in
    /// CameraStatus::reports_dropped. A report arriving when none waits always passes.
    std::size_t max_queued_reports = 1024;
    std::size_t max_queued_report_bytes = std::size_t{16} << 20;
};

/// One camera of a Fleet: where it is, how to log in, and which channels it wants. Cameras of
/// both transports can be mixed in one fleet.
struct CameraSpec {
    Endpoint endpoint;         ///< address and transport (UDP or TCP, per camera)
    Credentials credentials;   ///< user and password
    bool video = false;        ///< open the video channel and ask the camera to stream
    bool heartbeat = true;     ///< run the library's heartbeat thread
};

/// What Fleet::status reports about one camera.
struct CameraStatus {
    std::string id;                                 ///< the id given to Fleet::add
    State state = State::connecting;                ///< current state
    std::chrono::steady_clock::time_point since;    ///< when it entered that state
    unsigned reconnects = 0;                        ///< logins that brought it back online
    std::error_code last_error;                     ///< why it last left online or last failed
    std::uint32_t handle = 0;                       ///< the login's handle while online, else 0
    std::uint64_t frames_dropped = 0;               ///< frames dropped by the queue limit
    std::uint64_t reports_dropped = 0;              ///< reports dropped by the queue limits
};

/// A state change, as the state handler receives it.
struct StateChange {
    std::string id;
    State from, to;
    std::error_code error;  ///< the reason for offline and auth-failed
    unsigned reconnects = 0;
    std::chrono::steady_clock::time_point at;
};

/// A pause before the next login, as the retry handler receives it.
struct Retry {
    std::string id;
    unsigned failures = 0;               ///< failed logins since the camera was last online
    std::error_code error;               ///< why the last attempt failed (or the camera was lost)
    std::chrono::milliseconds pause{0};  ///< the pause before the next login
};

class Fleet;

namespace detail {

// The fleets in whose Fleet::with the calling thread is (once per call in progress).
inline std::vector<const void*>& leases_of_this_thread() {
    thread_local std::vector<const void*> v;
    return v;
}

class FleetCore : public std::enable_shared_from_this<FleetCore> {
public:
    using clock = std::chrono::steady_clock;

    struct Entry;
    struct Event {
        enum Kind { Add, Remove, RetryNow, Frame, Report, Lost, LoginDone, Released, Probed } kind;
        Event(Kind k, std::shared_ptr<Entry> e, std::uint64_t s = 0) : kind(k), entry(std::move(e)), session(s) {}
        std::shared_ptr<Entry> entry;
        std::uint64_t session = 0;
        std::uint64_t job = 0;  // the job that posted it (LoginDone, Released, Probed)
        std::uint32_t type = 0;
        std::vector<std::uint8_t> bytes;
        std::error_code error;
        Camera camera;
    };

    // What a queued handler call holds back from the queue limits.
    enum class Pending { none, frame, report };

    // Every command through a CameraRef of the fleet: the login stays while it runs, and a
    // login that is gone (released, or another session by now) refuses it.
    struct Gate;

    struct Entry : std::enable_shared_from_this<Entry> {
        std::string id;
        CameraSpec spec;
        // Supervisor's; written under core's mutex_ where status() reads them.
        State state = State::connecting;
        clock::time_point since = clock::now();
        unsigned reconnects = 0;
        std::error_code last_error;
        unsigned failures = 0;  // failed logins since it was last online
        unsigned pauses = 0;    // pauses since it was last stably online: the next one doubles
        clock::time_point next_attempt{};
        bool busy = false;      // a login or a release is in flight or waiting for a thread
        bool probing = false;
        bool deferred = false;  // its login waits for a removed camera of the same address
        clock::time_point last_probe{};
        bool removed = false;
        bool ever_online = false;
        bool lost_early = false;
        clock::time_point online_since{};
        std::uint64_t session = 0;
        std::vector<Event> early;  // frames and reports of a login not yet processed
        // Under core's mutex_.
        Camera camera;
        std::uint64_t camera_session = 0;
        std::shared_ptr<Gate> gate;  // of the session online
        int users = 0;
        bool releasing = false;
        bool gone = false;  // removed (or the fleet stopped)
        // Under core's dispatch_mutex_.
        bool muted = false;  // removed: no handler call of it starts any more
        // From any thread.
        std::atomic<clock::rep> last_arrival{0};
        std::atomic<int> timeouts{0};
        std::atomic<std::uint64_t> dropped{0};
        std::atomic<std::uint64_t> reports_dropped{0};

        void arrived() noexcept { last_arrival.store(clock::now().time_since_epoch().count()); }
    };

    struct Gate final : CallGate {
        std::weak_ptr<FleetCore> core;
        std::weak_ptr<Entry> entry;
        std::uint64_t session = 0;

        std::uint32_t enter() noexcept override {
            auto c = core.lock();
            auto e = entry.lock();
            if (!c) return static_cast<std::uint32_t>(errc::fleet_stopped);
            if (!e) return static_cast<std::uint32_t>(c->stopping() ? errc::fleet_stopped : errc::fleet_unknown);
            std::lock_guard lock(c->mutex_);
            if (e->gone) return static_cast<std::uint32_t>(errc::fleet_unknown);
            if (!e->camera || e->releasing || e->camera_session != session)
                return static_cast<std::uint32_t>(errc::fleet_not_online);
            ++e->users;
            return 0;
        }
        void leave(std::uint32_t r) noexcept override {
            auto c = core.lock();
            auto e = entry.lock();
            if (!c || !e) return;  // not while a command runs: the release waits for it
            {
                std::lock_guard lock(c->mutex_);
                if (--e->users == 0) c->users_cv_.notify_all();
            }
            c->observe(e, session, r);
        }
    };

    struct Handlers {
        std::function<void(const StateChange&)> state;
        std::function<void(const Retry&)> retry;
        std::function<void(const std::string&, const Frame&)> frame;
        std::function<void(const std::string&, std::vector<std::uint8_t>&&)> frame_bytes;
        std::function<void(const std::string&, const Report&)> report;
    };

    explicit FleetCore(FleetOptions o) : options_(o), rng_(std::random_device{}()) {
        options_.workers = std::max(1u, options_.workers);
    }

    void start() {
        auto self = shared_from_this();
        dispatcher_ = std::thread([self] { self->run_handlers(); });
        dispatcher_id_ = dispatcher_.get_id();
        supervisor_ = std::thread([self] { self->supervise(); });
    }

    // Asks the supervisor to release everything and waits for it (it runs no handler, so this
    // never waits for one); then stops the handlers: one that is running is not waited for.
    void shutdown() noexcept {
        {
            std::lock_guard lock(queue_mutex_);
            stopping_ = true;
        }
        queue_cv_.notify_all();
        if (supervisor_.joinable()) supervisor_.join();
        bool busy;
        {
            std::lock_guard lock(dispatch_mutex_);
            dispatch_stop_ = true;
            busy = in_handler_;
        }
        dispatch_cv_.notify_all();
        if (!dispatcher_.joinable()) return;
        // A handler that is running (or destroying the fleet) finishes on its own; the thread
        // then ends without starting another. Otherwise it ends at once.
        if (busy || dispatcher_id_ == std::this_thread::get_id())
            dispatcher_.detach();
        else
            dispatcher_.join();
    }

    void set_handlers(const std::function<void(Handlers&)>& change) {
        std::lock_guard lock(handlers_mutex_);
        auto h = std::make_shared<Handlers>(handlers_ ? *handlers_ : Handlers{});
        change(*h);
        handlers_ = std::move(h);
    }

    void add(std::string id, CameraSpec spec, std::error_code& ec) {
        auto e = std::make_shared<Entry>();
        e->id = id;
        e->spec = std::move(spec);
        {
            std::lock_guard lock(mutex_);
            if (stopping()) {
                ec = make_error_code(errc::fleet_stopped);
                return;
            }
            if (!by_id_.emplace(id, e).second) {
                ec = make_error_code(errc::fleet_exists);
                return;
            }
        }
        ec.clear();
        post(Event{Event::Add, e});
    }

    // Returns once no handler call for the camera runs or can start (from a handler of its
    // own: once that handler returns, none starts).
    void remove(const std::string& id, std::error_code& ec) {
        const std::shared_ptr<Entry> e = take_entry(id, true, ec);
        if (!e) return;
        std::deque<Call> unseen;
        {
            std::unique_lock lock(dispatch_mutex_);
            e->muted = true;
            for (auto it = dispatch_.begin(); it != dispatch_.end();) {
                if (it->entry == e) {
                    unseen.push_back(std::move(*it));
                    it = dispatch_.erase(it);
                } else {
                    ++it;
                }
            }
            if (std::this_thread::get_id() != dispatcher_id_) idle_cv_.wait(lock, [&] { return running_ != e.get(); });
        }
        for (auto& c : unseen) unpend(c.pending, c.bytes);
        std::deque<Event> events;  // its frames and reports on their way to the supervisor
        {
            std::lock_guard lock(queue_mutex_);
            for (auto it = queue_.begin(); it != queue_.end();) {
                if (it->entry == e && (it->kind == Event::Frame || it->kind == Event::Report)) {
                    events.push_back(std::move(*it));
                    it = queue_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& ev : events) forget(ev);
        post(Event{Event::Remove, e});
    }

    void retry_now(const std::string& id, std::error_code& ec) {
        if (const std::shared_ptr<Entry> e = take_entry(id, false, ec)) post(Event{Event::RetryNow, e});
    }

    // The camera's entry, or null with fleet_unknown; `drop` also takes it off the list and
    // marks it gone.
    std::shared_ptr<Entry> take_entry(const std::string& id, bool drop, std::error_code& ec) {
        std::lock_guard lock(mutex_);
        auto it = by_id_.find(id);
        if (it == by_id_.end()) {
            ec = make_error_code(errc::fleet_unknown);
            return nullptr;
        }
        ec.clear();
        std::shared_ptr<Entry> e = it->second;
        if (drop) {
            by_id_.erase(it);
            e->gone = true;
        }
        return e;
    }

    std::vector<CameraStatus> statuses() const {
        std::lock_guard lock(mutex_);
        std::vector<CameraStatus> v;
        for (const auto& [id, e] : by_id_) v.push_back(status_locked(*e));
        return v;
    }
    std::optional<CameraStatus> status(const std::string& id) const {
        std::lock_guard lock(mutex_);
        auto it = by_id_.find(id);
        if (it == by_id_.end()) return std::nullopt;
        return status_locked(*it->second);
    }

    // A camera in use by Fleet::with: its release waits until the lease ends.
    class Lease {
    public:
        Lease() = default;
        Lease(std::shared_ptr<FleetCore> core, std::shared_ptr<Entry> e, CameraRef ref)
            : core_(std::move(core)), entry_(std::move(e)), ref_(std::move(ref)) {
            try {
                leases_of_this_thread().push_back(core_.get());
            } catch (...) {
            }
        }
        Lease(Lease&& o) noexcept
            : core_(std::move(o.core_)), entry_(std::move(o.entry_)), ref_(std::move(o.ref_)) {}
        Lease& operator=(Lease&&) = delete;
        ~Lease() {
            if (!core_) return;
            auto& held = leases_of_this_thread();
            if (auto it = std::find(held.begin(), held.end(), core_.get()); it != held.end()) held.erase(it);
            std::lock_guard lock(core_->mutex_);
            if (--entry_->users == 0) core_->users_cv_.notify_all();
        }
        const CameraRef& camera() const noexcept { return ref_; }
        explicit operator bool() const noexcept { return core_ != nullptr; }

    private:
        std::shared_ptr<FleetCore> core_;
        std::shared_ptr<Entry> entry_;
        CameraRef ref_;
    };

    Lease lease(const std::string& id, std::error_code& ec) {
        std::lock_guard lock(mutex_);
        auto it = by_id_.find(id);
        if (stopping())
            ec = make_error_code(errc::fleet_stopped);
        else if (it == by_id_.end())
            ec = make_error_code(errc::fleet_unknown);
        else if (it->second->state != State::online || it->second->releasing || !it->second->camera)
            ec = make_error_code(errc::fleet_not_online);
        else
            return lease_locked(it->second, ec);
        return {};
    }

    // Whether the calling thread is inside Fleet::with of this fleet.
    bool leased_by_this_thread() const {
        const auto& held = leases_of_this_thread();
        return std::find(held.begin(), held.end(), this) != held.end();
    }

private:
    friend class ipc::Fleet;

    // A handler call waiting for the dispatching thread.
    struct Call {
        std::shared_ptr<Entry> entry;  // the camera it is about (null: none)
        Pending pending = Pending::none;
        std::size_t bytes = 0;
        std::function<void()> run;
    };

    bool stopping() const {
        std::lock_guard lock(queue_mutex_);
        return stopping_;
    }

    CameraStatus status_locked(const Entry& e) const {
        CameraStatus s;
        s.id = e.id;
        s.state = e.state;
        s.since = e.since;
        s.reconnects = e.reconnects;
        s.last_error = e.last_error;
        s.handle = e.state == State::online ? e.camera.handle() : 0;
        s.frames_dropped = e.dropped.load();
        s.reports_dropped = e.reports_dropped.load();
        return s;
    }

    // Frames and reports count against the queue limits from here until their handler returned.
    // The supervisor waits only for an empty queue: only the event that fills it wakes it.
    void post(Event ev) {
        bool wake = false;
        {
            std::lock_guard lock(queue_mutex_);
            if (ev.kind == Event::Frame) {
                if (pending_frames_.load() >= options_.max_queued_frames) {
                    ev.entry->dropped.fetch_add(1);
                    return;
                }
                pending_frames_.fetch_add(1);
            } else if (ev.kind == Event::Report) {
                const std::size_t n = pending_reports_.load();
                if (n > 0 && (n >= options_.max_queued_reports ||
                              pending_report_bytes_.load() + ev.bytes.size() > options_.max_queued_report_bytes)) {
                    ev.entry->reports_dropped.fetch_add(1);
                    return;
                }
                pending_reports_.fetch_add(1);
                pending_report_bytes_.fetch_add(ev.bytes.size());
            }
            wake = queue_.empty();
            queue_.push_back(std::move(ev));
        }
        if (wake) queue_cv_.notify_one();
    }

    void unpend(Pending p, std::size_t bytes) {
        if (p == Pending::frame) {
            pending_frames_.fetch_sub(1);
        } else if (p == Pending::report) {
            pending_reports_.fetch_sub(1);
            pending_report_bytes_.fetch_sub(bytes);
        }
    }

    void forget(const Event& ev) {
        if (ev.kind == Event::Frame) unpend(Pending::frame, 0);
        if (ev.kind == Event::Report) unpend(Pending::report, ev.bytes.size());
    }

    void observe(const std::shared_ptr<Entry>& e, std::uint64_t session, std::uint32_t r) noexcept {
        if (r == IPCSDK_ERR_NET || r == IPCSDK_ERR_TCP_SEND) {
            const int n = e->timeouts.fetch_add(1) + 1;
            const int limit = options_.max_command_timeouts;
            if (limit > 0 && n == limit) {
                try {
                    Event ev{Event::Lost, e, session};
                    ev.error = make_error_code(r);
                    post(std::move(ev));
                } catch (...) {
                }
            }
        } else if (r != IPCSDK_ERR_BAD_HANDLE) {
            e->timeouts.store(0);
            e->arrived();
        }
    }

    // ---- blocking jobs: a thread each, at most options_.workers at once (supervisor only) --

    struct Job {
        std::shared_ptr<Entry> entry;
        bool login = false;
        std::function<void(std::uint64_t)> run;  // posts its event with the job's number last
    };

    void submit(const std::shared_ptr<Entry>& e, bool login, std::function<void(std::uint64_t)> run) {
        waiting_.push_back(Job{e, login, std::move(run)});
        start_jobs(false);
    }

    // Starts waiting jobs while there is room; waiting logins of removed cameras (of every
    // camera once the fleet stops) are dropped.
    void start_jobs(bool stop) {
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (it->login && (stop || it->entry->removed)) {
                it->entry->busy = false;
                it = waiting_.erase(it);
            } else {
                ++it;
            }
        }
        while (!waiting_.empty() && jobs_.size() < options_.workers) {
            const std::uint64_t id = ++job_count_;
            try {
                jobs_.emplace(id, std::thread(waiting_.front().run, id));
            } catch (...) {  // no thread now: tried again at the next round
                return;
            }
            waiting_.pop_front();
        }
    }

    void finish_job(std::uint64_t id) {
        if (auto it = jobs_.find(id); it != jobs_.end()) {
            it->second.join();  // it has posted its event and is ending
            jobs_.erase(it);
        }
    }

    // ---- the supervisor -------------------------------------------------------------------

    void supervise() {
        std::vector<std::shared_ptr<Entry>> live;  // every entry not yet finished
        std::unique_lock lock(queue_mutex_);
        for (;;) {
            queue_cv_.wait_until(lock, next_wake(live), [&] { return !queue_.empty() || (stopping_ && !stop_seen_); });
            std::deque<Event> batch;
            batch.swap(queue_);
            const bool stop = stopping_;
            stop_seen_ = stopping_;
            lock.unlock();
            for (auto& ev : batch) handle(ev, live, stop);
            batch.clear();
            start_jobs(stop);
            tick(live, stop);
            lock.lock();
            if (stop && live.empty() && queue_.empty()) break;
        }
        lock.unlock();
        for (auto& [id, t] : jobs_) t.join();
        jobs_.clear();
        waiting_.clear();
        // Events posted by the last jobs hold entries (and cameras, already released): drop them.
        std::lock_guard ql(queue_mutex_);
        queue_.clear();
    }

    clock::time_point next_wake(const std::vector<std::shared_ptr<Entry>>& live) const {
        auto t = clock::now() + std::chrono::milliseconds(250);  // staleness and probes
        for (const auto& e : live)
            if (!e->busy && !e->removed && !e->deferred && e->state != State::online) t = std::min(t, e->next_attempt);
        return t;
    }

    void handle(Event& ev, std::vector<std::shared_ptr<Entry>>& live, bool stop) {
        Entry& e = *ev.entry;
        if (ev.kind == Event::LoginDone || ev.kind == Event::Released || ev.kind == Event::Probed) finish_job(ev.job);
        switch (ev.kind) {
        case Event::Add:
            live.push_back(ev.entry);
            e.next_attempt = clock::now();
            break;
        case Event::Remove:
            e.removed = true;
            for (auto& x : e.early) forget(x);
            e.early.clear();
            break;
        case Event::RetryNow:
            if (!e.removed && e.state != State::online) {
                e.pauses = 0;
                e.next_attempt = clock::now();
            }
            break;
        case Event::Frame:
        case Event::Report:
            if (stop || e.removed || ev.session != e.session) {
                forget(ev);
            } else if (e.state != State::online) {  // before the login's own event
                if (e.busy)
                    e.early.push_back(std::move(ev));
                else
                    forget(ev);
            } else {
                deliver(e, ev);
            }
            break;
        case Event::Lost:
            if (ev.session != e.session || e.removed || stop) break;
            if (e.state == State::online)
                lose(ev.entry, ev.error);
            else if (e.busy)
                e.lost_early = true;  // the login that is finishing now is lost already
            break;
        case Event::LoginDone: login_done(ev, stop); break;
        case Event::Released:
            e.busy = false;
            if (e.removed || stop) break;
            schedule_retry(e, e.last_error, e.state == State::auth_failed);
            break;
        case Event::Probed:
            e.probing = false;
            break;
        }
    }

    void deliver(Entry& e, Event& ev) {
        auto h = handlers();
        const bool frame = ev.kind == Event::Frame;
        if (!h || !(frame ? h->frame || h->frame_bytes : static_cast<bool>(h->report))) {
            forget(ev);
            return;
        }
        const std::size_t size = ev.bytes.size();
        dispatch(e.shared_from_this(),
                 [h, id = e.id, frame, type = ev.type, bytes = std::move(ev.bytes)]() mutable {
                     if (frame) {
                         ipc::Frame f{bytes};
                         if (h->frame) guarded("frame", h->frame, id, f);
                         if (h->frame_bytes) guarded("frame", h->frame_bytes, id, std::move(bytes));
                     } else {
                         ipc::Report r{type, bytes};
                         guarded("report", h->report, id, r);
                     }
                 },
                 frame ? Pending::frame : Pending::report, size);
    }

    // Hands a handler call to the dispatching thread (in order); dropped for a removed camera.
    // That thread waits only for an empty queue: only the call that fills it wakes it.
    void dispatch(std::shared_ptr<Entry> e, std::function<void()> run, Pending p = Pending::none,
                  std::size_t bytes = 0) {
        bool queued = false, wake = false;
        {
            std::lock_guard lock(dispatch_mutex_);
            if (!dispatch_stop_ && !(e && e->muted)) {
                wake = dispatch_.empty();
                dispatch_.push_back(Call{std::move(e), p, bytes, std::move(run)});
                queued = true;
            }
        }
        if (wake)
            dispatch_cv_.notify_one();
        else if (!queued)
            unpend(p, bytes);
    }

    void run_handlers() {
        std::unique_lock lock(dispatch_mutex_);
        for (;;) {
            dispatch_cv_.wait(lock, [&] { return !dispatch_.empty() || dispatch_stop_; });
            if (dispatch_stop_) break;
            Call call = std::move(dispatch_.front());
            dispatch_.pop_front();
            in_handler_ = true;
            running_ = call.entry.get();
            lock.unlock();
            call.run();
            unpend(call.pending, call.bytes);
            call = Call{};
            lock.lock();
            in_handler_ = false;
            running_ = nullptr;
            idle_cv_.notify_all();
        }
        auto rest = std::move(dispatch_);  // dropped unseen, outside the lock
        lock.unlock();
    }

    // Whether a removed camera of the same address still holds (or may still get) the
    // library's entry for it: a login now would fail as a duplicate.
    static bool address_taken(const std::vector<std::shared_ptr<Entry>>& live, const Entry& e) {
        for (const auto& o : live)
            if (o.get() != &e && o->removed && o->spec.endpoint.address == e.spec.endpoint.address) return true;
        return false;
    }

    void tick(std::vector<std::shared_ptr<Entry>>& live, bool stop) {
        const auto now = clock::now();
        for (auto it = live.begin(); it != live.end();) {
            auto& e = *it;
            if (e->removed || stop) {
                if (!e->busy && !e->probing) {
                    bool has;
                    {
                        std::lock_guard lock(mutex_);
                        has = static_cast<bool>(e->camera);
                    }
                    if (has) {
                        release(e);
                    } else {
                        it = live.erase(it);
                        continue;
                    }
                }
                ++it;
                continue;
            }
            if (e->state == State::online && !e->busy) {
                check_arrivals(*e);
                const auto silent = now - clock::time_point(clock::duration(e->last_arrival.load()));
                if (options_.stale_after.count() > 0 && silent > options_.stale_after) {
                    lose(e, make_error_code(errc::stale));
                } else if (options_.probe_after.count() > 0 && !e->probing && silent > options_.probe_after &&
                           now - e->last_probe > options_.probe_after) {
                    probe(e);
                }
            } else if (!e->busy && now >= e->next_attempt) {
                e->deferred = address_taken(live, *e);
                bool has;
                {
                    std::lock_guard lock(mutex_);
                    has = static_cast<bool>(e->camera);
                }
                if (!has && !e->deferred) login(e);
            }
            ++it;
        }
    }

    // Keepalives and video reach the device table's time of last data.
    void check_arrivals(Entry& e) {
        DeviceSlot* s;
        {
            std::lock_guard lock(mutex_);
            s = e.camera.slot();
        }
        if (!s) return;
        const std::int64_t last = std::atomic_ref<std::int64_t>(s->lastRecvTime).load();
        const auto wall = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
        if (last != 0 && wall - last <= 1 && wall >= last) e.arrived();
    }

    void set_state(Entry& e, State to, std::error_code why) {
        StateChange c;
        {
            std::lock_guard lock(mutex_);
            if (e.state == to && !why) return;
            c.from = e.state;
            e.state = to;
            e.since = clock::now();
            if (why) e.last_error = why;
            c.reconnects = e.reconnects;
        }
        if (c.from == to) return;
        c.id = e.id;
        c.to = to;
        c.error = why;
        c.at = e.since;
        if (auto h = handlers(); h && h->state) dispatch(e.shared_from_this(), [h, c] { guarded("state", h->state, c); });
    }

    std::chrono::milliseconds pause_for(unsigned n, bool longest) {
        using ms = std::chrono::milliseconds;
        ms p = options_.max_backoff;
        if (!longest) {
            p = options_.initial_backoff;
            for (unsigned i = 0; i < n && p < options_.max_backoff; ++i) p *= 2;
            p = std::min(p, options_.max_backoff);
        }
        if (options_.jitter > 0) {
            std::uniform_real_distribution<double> d(1.0 - options_.jitter, 1.0 + options_.jitter);
            p = ms(static_cast<ms::rep>(static_cast<double>(p.count()) * d(rng_)));
        }
        return p;
    }

    void schedule_retry(Entry& e, std::error_code why, bool longest) {
        const auto pause = pause_for(e.pauses++, longest);
        e.next_attempt = clock::now() + pause;
        if (auto h = handlers(); h && h->retry) {
            Retry r{e.id, e.failures, why, pause};
            dispatch(e.shared_from_this(), [h, r] { guarded("retry", h->retry, r); });
        }
    }

    void lose(const std::shared_ptr<Entry>& e, std::error_code why) {
        e->failures = 0;
        if (clock::now() - e->online_since >= options_.stable_after) e->pauses = 0;
        set_state(*e, State::offline, why);
        release(e);
    }

    void release(const std::shared_ptr<Entry>& e) {
        e->busy = true;
        submit(e, false, [this, e](std::uint64_t job) {
            Camera c;
            {
                std::unique_lock lock(mutex_);
                e->releasing = true;
                users_cv_.wait(lock, [&] { return e->users == 0; });
                c = std::move(e->camera);
                e->gate.reset();
                e->releasing = false;
            }
            c.close();
            Event ev{Event::Released, e};
            ev.job = job;
            post(std::move(ev));
        });
    }

    void login(const std::shared_ptr<Entry>& e) {
        e->busy = true;
        e->lost_early = false;
        const std::uint64_t session = ++sessions_;
        e->session = session;
        const auto timeout = options_.login_timeout;
        submit(e, true, [this, e, session, timeout](std::uint64_t job) {
            std::error_code ec;
            Camera c = Camera::login(e->spec.endpoint, e->spec.credentials, timeout, ec);
            if (!ec) restore(c, e, session, ec);
            if (ec) c.close();
            Event ev{Event::LoginDone, e, session};
            ev.job = job;
            ev.error = ec;
            ev.camera = std::move(c);
            post(std::move(ev));
        });
    }

    // Handlers that only post, then the channels the camera wants.
    void restore(Camera& c, const std::shared_ptr<Entry>& e, std::uint64_t session, std::error_code& ec) {
        std::weak_ptr<Entry> w = e;
        ipc::Handlers h;
        h.frame = [this, w, session](const ipc::Frame& f) {
            if (auto entry = w.lock()) {
                entry->arrived();
                Event ev{Event::Frame, entry, session};
                ev.bytes.assign(f.bytes.begin(), f.bytes.end());
                post(std::move(ev));
            }
        };
        h.report = [this, w, session](const ipc::Report& r) {
            if (auto entry = w.lock()) {
                entry->arrived();
                Event ev{Event::Report, entry, session};
                ev.type = r.type;
                ev.bytes.assign(r.body.begin(), r.body.end());
                post(std::move(ev));
            }
        };
        h.disconnect = [this, w, session] {
            if (auto entry = w.lock()) {
                Event ev{Event::Lost, entry, session};
                ev.error = make_error_code(errc::channel_closed);
                post(std::move(ev));
            }
        };
        c.set_handlers(std::move(h));
        DeviceSlot* s = c.slot();
        if (s && std::atomic_ref<std::int32_t>(s->reportSocket).load() < 0) c.open_report_channel(ec);
        if (!ec && e->spec.heartbeat) c.start_heartbeat(ec);
        if (!ec && e->spec.video) {
            c.open_video_channel(ec);
            VideoStartInfo start{};
            if (!ec) c.call<IPCStartVideo>(start, ec);
        }
    }

    void login_done(Event& ev, bool stop) {
        Entry& e = *ev.entry;
        e.busy = false;
        if (ev.session != e.session) return;
        if (!ev.error && e.lost_early) ev.error = make_error_code(errc::channel_closed);
        std::vector<Event> early;
        early.swap(e.early);
        if (stop || e.removed || ev.error) {
            for (auto& x : early) forget(x);
            if (ev.camera) {
                std::lock_guard lock(mutex_);
                e.camera = std::move(ev.camera);
                e.camera_session = ev.session;
            }
            if (!stop && !e.removed) {
                const bool refused = ev.error == errc::auth;
                ++e.failures;
                set_state(e, refused ? State::auth_failed : State::offline, ev.error);
                if (!e.camera) schedule_retry(e, ev.error, refused);
            }
            if (e.camera) release(ev.entry);  // the retry is scheduled once it is released
            return;
        }
        auto gate = std::make_shared<Gate>();
        gate->core = weak_from_this();
        gate->entry = ev.entry;
        gate->session = ev.session;
        {
            std::lock_guard lock(mutex_);
            e.camera = std::move(ev.camera);
            e.camera_session = ev.session;
            e.gate = std::move(gate);
            if (e.ever_online) ++e.reconnects;
            e.ever_online = true;
        }
        e.failures = 0;
        e.online_since = clock::now();
        e.timeouts.store(0);
        e.arrived();
        e.last_probe = clock::now();
        set_state(e, State::online, {});
        for (auto& x : early) deliver(e, x);
    }

    void probe(const std::shared_ptr<Entry>& e) {
        e->probing = true;
        e->last_probe = clock::now();
        submit(e, false, [this, e](std::uint64_t job) {
            std::error_code ec;
            {
                Lease l = lease_entry(e, ec);
                if (!ec) l.camera().call<IPCSendHeartBeat>(ec);
            }
            Event ev{Event::Probed, e};
            ev.job = job;
            post(std::move(ev));
        });
    }

    Lease lease_entry(const std::shared_ptr<Entry>& e, std::error_code& ec) {
        std::lock_guard lock(mutex_);
        if (!e->camera || e->releasing || !e->gate) {
            ec = make_error_code(errc::fleet_not_online);
            return {};
        }
        return lease_locked(e, ec);
    }

    Lease lease_locked(const std::shared_ptr<Entry>& e, std::error_code& ec) {
        ec.clear();
        ++e->users;
        return Lease(shared_from_this(), e, CameraRef(e->camera.handle(), e->gate));
    }

    std::shared_ptr<const Handlers> handlers() const {
        std::lock_guard lock(handlers_mutex_);
        return handlers_;
    }

    FleetOptions options_;
    std::mt19937 rng_;  // supervisor only
    std::uint64_t sessions_ = 0;

    mutable std::mutex mutex_;  // entries' shared fields and by_id_
    std::condition_variable users_cv_;
    std::map<std::string, std::shared_ptr<Entry>> by_id_;

    mutable std::mutex queue_mutex_;
    std::condition_variable queue_cv_;
    std::deque<Event> queue_;
    // From the callback until the handler returned.
    std::atomic<std::size_t> pending_frames_{0}, pending_reports_{0}, pending_report_bytes_{0};
    bool stopping_ = false;
    bool stop_seen_ = false;

    // Supervisor only.
    std::map<std::uint64_t, std::thread> jobs_;
    std::deque<Job> waiting_;
    std::uint64_t job_count_ = 0;
    std::thread supervisor_;

    std::mutex dispatch_mutex_;
    std::condition_variable dispatch_cv_;
    std::condition_variable idle_cv_;  // the running handler call ended
    std::deque<Call> dispatch_;
    bool dispatch_stop_ = false;
    bool in_handler_ = false;
    const Entry* running_ = nullptr;  // the camera of the handler call running now
    std::thread dispatcher_;
    std::thread::id dispatcher_id_;

    mutable std::mutex handlers_mutex_;
    std::shared_ptr<const Handlers> handlers_;
};

}  // namespace detail

/// Keeps a set of cameras online.
///
/// Each camera has a State with the time it entered it, the number of reconnects and the last
/// error. An online camera goes offline when its report channel closes, when nothing arrives
/// from it for FleetOptions::stale_after (the fleet sends a heartbeat after probe_after to ask),
/// or after max_command_timeouts command timeouts in a row. It is then released and logged in
/// again after a pause that starts at initial_backoff and doubles up to max_backoff, with
/// jitter; the channels it wants (report, video, heartbeat) are restored. A camera that refuses
/// the credentials is auth-failed and retried only at the longest pause, or at once by
/// retry_now(). Cameras over UDP and over TCP can be mixed.
///
/// Threads: one supervising thread runs the state machine from its event queue; each blocking
/// job (a login, a release, a heartbeat of the fleet's own) runs on a thread of its own, up to
/// FleetOptions::workers at once, so a camera that does not answer delays no other's login;
/// one dispatching thread runs every handler, one at a time and in order. The library's
/// callbacks only copy the event into the supervisor's queue and return. No handler runs under
/// a lock that a command or Fleet::with needs, so handlers may call any Fleet function, and a
/// slow handler delays only the handlers after it, never the supervision. Frames and reports
/// waiting for their handler are bounded (FleetOptions::max_queued_frames,
/// max_queued_reports, max_queued_report_bytes); what is beyond is dropped and counted.
///
/// remove() returns once no handler for that camera runs or can start (called from a handler
/// of that camera: none starts after that handler returns); its events still queued are
/// dropped, its login is released in the background, and an add with the same id or address
/// may follow at once (its login waits for that release). The destructor drops the logins not
/// yet started, waits for those in progress (each bounded by its login timeout and one
/// exchange) and for Fleet::with calls in progress, releases every camera, and returns without
/// waiting for a handler that is running at that moment: that one finishes on its own and no
/// other starts.
///
/// Destroying a fleet inside its own Fleet::with (which would wait for itself), or an ipc::Sdk
/// while a fleet exists, ends the process with a message on standard error (std::terminate).
class Fleet {
public:
    /// Starts the supervising thread and the dispatching thread.
    explicit Fleet(FleetOptions options = {}) : core_(std::make_shared<detail::FleetCore>(options)) {
        core_->start();
        detail::live_fleets().fetch_add(1);
    }
    ~Fleet() {
        if (!core_) return;
        if (core_->leased_by_this_thread()) {
            std::fputs("ipcsdk: an ipc::Fleet was destroyed inside its own Fleet::with; the destructor would "
                        "wait for that call to end\n",
                        stderr);
            std::terminate();
        }
        core_->shutdown();
        detail::live_fleets().fetch_sub(1);
    }
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    /// Adds a camera under an id of the caller's choosing; its first login starts at once.
    /// Throws ipc::Error (errc::fleet_exists).
    void add(std::string id, CameraSpec spec) {
        std::error_code ec;
        core_->add(std::move(id), std::move(spec), ec);
        detail::raise(ec, "Fleet::add", nullptr);
    }
    void add(std::string id, CameraSpec spec, std::error_code& ec) { core_->add(std::move(id), std::move(spec), ec); }
    /// Removes a camera. Returns once no handler for it runs or can start: a handler call for it
    /// running on the dispatching thread is waited for (do not call remove() under a lock that
    /// handler takes); called from a handler of that camera, none starts after that handler.
    /// Its login is released in the background (an add with the same id may follow at once).
    /// CameraRefs of it fail with errc::fleet_unknown from now on. Throws errc::fleet_unknown.
    void remove(const std::string& id) {
        std::error_code ec;
        core_->remove(id, ec);
        detail::raise(ec, "Fleet::remove", nullptr);
    }
    void remove(const std::string& id, std::error_code& ec) { core_->remove(id, ec); }

    /// Logs a camera that is not online in again now, ending its pause (an auth-failed one too,
    /// say once its password was put right); its pauses start again at initial_backoff. Does
    /// nothing for a camera that is online or logging in. Throws errc::fleet_unknown.
    void retry_now(const std::string& id) {
        std::error_code ec;
        core_->retry_now(id, ec);
        detail::raise(ec, "Fleet::retry_now", nullptr);
    }
    void retry_now(const std::string& id, std::error_code& ec) { core_->retry_now(id, ec); }

    /// The status of one camera, or nothing for an unknown id.
    std::optional<CameraStatus> status(const std::string& id) const { return core_->status(id); }
    /// The status of every camera, ordered by id.
    std::vector<CameraStatus> statuses() const { return core_->statuses(); }

    /// Runs f(CameraRef&) on an online camera on the calling thread and returns its result; the
    /// camera is not released while f runs. Fails fast with ipc::Error (errc::fleet_not_online,
    /// errc::fleet_unknown) otherwise. Command timeouts inside f count towards going offline.
    /// A copy of the CameraRef may outlive f: each of its commands holds the login while it
    /// runs, and fails (errc::fleet_not_online, errc::fleet_unknown, errc::fleet_stopped) once
    /// that login is gone, even when the camera is online again with another.
    template <class F>
    decltype(auto) with(const std::string& id, F&& f) {
        std::error_code ec;
        auto lease = core_->lease(id, ec);
        if (ec) throw Error(ec, "Fleet::with " + id);
        CameraRef ref = lease.camera();
        return std::invoke(std::forward<F>(f), ref);
    }
    /// As with(id, f), but a camera that is not online sets `ec` instead of throwing (f's own
    /// exceptions still propagate). Returns f's result in an optional (nothing for void f; a
    /// std::reference_wrapper when f returns an lvalue reference).
    template <class F>
    auto with(const std::string& id, F&& f, std::error_code& ec) {
        using R = std::invoke_result_t<F, CameraRef&>;
        using Held = std::conditional_t<std::is_lvalue_reference_v<R>, std::reference_wrapper<std::remove_reference_t<R>>,
                                        std::remove_cvref_t<R>>;
        auto lease = core_->lease(id, ec);
        CameraRef ref = lease.camera();
        if constexpr (std::is_void_v<R>) {
            if (!ec) std::invoke(std::forward<F>(f), ref);
        } else {
            std::optional<Held> r;
            if (!ec) r.emplace(std::invoke(std::forward<F>(f), ref));
            return r;
        }
    }

    /// Called on every state change (on the dispatching thread, as every handler).
    void on_state(std::function<void(const StateChange&)> f) {
        core_->set_handlers([&](auto& h) { h.state = std::move(f); });
    }
    /// Called whenever a pause before the next login is chosen.
    void on_retry(std::function<void(const Retry&)> f) {
        core_->set_handlers([&](auto& h) { h.retry = std::move(f); });
    }
    /// Called for every video frame of an online camera (a copy; valid during the call).
    void on_frame(std::function<void(const std::string& id, const Frame&)> f) {
        core_->set_handlers([&](auto& h) { h.frame = std::move(f); });
    }
    /// Called for every video frame of an online camera with the frame's bytes (header
    /// included) to keep: for a host that queues frames, the copy on_frame would make. After
    /// the on_frame handler when both are set.
    void on_frame_bytes(std::function<void(const std::string& id, std::vector<std::uint8_t>&& frame)> f) {
        core_->set_handlers([&](auto& h) { h.frame_bytes = std::move(f); });
    }
    /// Called for every report of an online camera (valid during the call).
    void on_report(std::function<void(const std::string& id, const Report&)> f) {
        core_->set_handlers([&](auto& h) { h.report = std::move(f); });
    }

private:
    std::shared_ptr<detail::FleetCore> core_;
};

}  // namespace ipc

#endif  // C++20
#endif  // IPCSDK_FLEET_HPP
