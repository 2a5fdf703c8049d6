// model_run.cpp - runs one sequence of steps on a fresh simulated device and checks, after every step,
// what the host and its user must be able to rely on whatever came before.
//
// The operation runs on the calling thread; a stop request comes from a second thread at the drawn
// moment. Both run on the fake clock in lock step: the stop's 50 ms polls end when the operation has
// moved the clock that far (or has returned), and the operation waits at each move of the clock until
// the stop has looked at the flag again. So a sequence runs the same way every time, and shrinking it
// keeps what made it fail.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "harness.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"
#include "model.h"
#include "process_figures.h"

namespace model {

namespace {

using kelvra_test::Device;
using kelvra_test::FakeTime;
using kelvra_test::open_descriptors;

constexpr int kTimeoutMs = 2000;
// A sensor that takes 100 ms per capture and a finger that presses for 600 ms out of every 1.2 s: each
// wait sees a handful of frames, so a sequence costs what the driver does more than what frames cost.
constexpr char kCaptureMs[] = "CaptureMs=100";
constexpr char kFingerTimeline[] = "LandMs=100\nPressMs=600\nLeaveMs=100\nAwayMs=400\nStartMs=200\n";
constexpr int kStopPollMs = 50;
// What one wait for the user may take past the time-out: its last capture or retry pause.
constexpr int kWaitSlackMs = 600;
constexpr const char kDriverName[] = "kelvra-test";
// Users whose fingers the sensor is searched for when the database and the sensor are compared.
constexpr int kUsersKnown[] = {-1, 0, 1, 2, 3, 258};

// Everything the user of a sensor may be told: how long each kind of operation may take at most.
// Each wait for a finger ends within the time-out; enrollment waits for six presses, five lifts and, on
// the sensor, six steps, and may ask for a press again a few times (a poor image, an overlapping press,
// a finger enrolled already).
int64_t bound_ms(Kind kind, Mode mode, int uid)
{
    constexpr int wait = kTimeoutMs + kWaitSlackMs;
    // On the chip a match among every user is asked of the sensor again for each user listed for it.
    const int among_every_user = mode == Mode::Chip && uid == -1 ? int(std::size(kUsersKnown)) * (wait + 500) : 0;
    switch (kind) {
    case Kind::Enroll: return 1000 + 1000 + 500 + 1500 + 6 * 50 + (6 + 5 + 6 + 4) * wait + kTimeoutMs + 1000;
    case Kind::Verify:
    case Kind::Identify:
    case Kind::Search: return wait + 500 + 1000 + among_every_user;
    case Kind::Clean: return 100 + kWaitSlackMs;
    case Kind::Close: return 300 + kWaitSlackMs;
    default: return kWaitSlackMs;
    }
}

bool is_operation(Kind kind)
{
    switch (kind) {
    case Kind::Open:
    case Kind::Close:
    case Kind::Enroll:
    case Kind::Verify:
    case Kind::Identify:
    case Kind::Search:
    case Kind::List:
    case Kind::Clean: return true;
    default: return false;
    }
}

struct Row {
    long long id;
    int uid;
    int idx;
    std::string data;
};

bool in_selection(const Row &row, int uid, int first, int last)
{
    // The host's range rules: uid -1 is every user, a negative end has no upper bound.
    return (uid == -1 || row.uid == uid) && row.idx >= first && (last < 0 || row.idx <= last);
}

using Pair = std::pair<int, int>;  // (uid, finger byte on the sensor)

std::string pair_text(const Pair &p) { return "(" + std::to_string(p.first) + "," + std::to_string(p.second) + ")"; }

// What the stop thread saw and answered.
struct StopRecord {
    bool fired = false;
    bool during_operation = false;
    size_t calls_before = 0;
    size_t journal_before = 0;
    int answer = 0;
    size_t calls_at_answer = 0;
    size_t journal_at_answer = 0;
    bool returned_at_answer = false;
    int status_at_request = 0;
};

class Model;
Model *g_model = nullptr;
thread_local bool t_stop_thread = false;

class Model {
public:
    Model(Mode mode, const RunOptions &options) : mode_(mode), options_(options)
    {
        Device::Options o;
        o.profile = mode == Mode::Chip ? kelvra_test::kChipModeProfile : kelvra_test::kHostModeProfile;
        o.profile.replace(o.profile.find("CaptureMs=30"), std::strlen("CaptureMs=30"), kCaptureMs);
        o.profile += kFingerTimeline;
        o.timeout_ms = kTimeoutMs;
        device_ = std::make_unique<Device>(o);
        db_path_ = device_->temp_dir() + "/features.db";
        bio_sto_set_db_path(db_path_.c_str());
        bio_sto_disconnect_db(bio_sto_connect_db());  // the host lays out its tables
        sqlite3_open(db_path_.c_str(), &db_);
        sqlite3_busy_timeout(db_, 2000);
        conf_enabled_ = key_file(true);
        conf_disabled_ = key_file(false);

        g_model = this;
        kelvra::Platform p = kelvra::platform();
        p.sleep_ms = [](int ms) { g_model->on_sleep_us(int64_t(ms) * 1000); };
        kelvra::set_platform_for_testing(p);
        kelvs_clock clock{[](void *) { return FakeTime::now_us(); },
                          [](void *, int64_t us) { g_model->on_sleep_us(us); }, nullptr};
        kelvs_set_clock(&clock);
        kelvs_set_call_listener([](const kelvs_call_record *r, void *) { g_model->on_call(*r); }, nullptr);
        // Counted from here: what an earlier sequence left behind was reported there.
        baseline_fds_ = open_descriptors();
        baseline_connections_ = bio_testing_open_connections();
        baseline_records_ = bio_testing_outstanding_records();
    }

    ~Model()
    {
        kelvs_set_call_listener(nullptr, nullptr);
        kelvs_finger_auto(nullptr);
        device_->take_errors();
        device_.reset();
        sqlite3_close(db_);
        g_key_file_free(conf_enabled_);
        g_key_file_free(conf_disabled_);
        bio_testing_clear_faults();
        bio_sto_set_db_path(":memory:");
        g_model = nullptr;
    }

    void run(const std::vector<Step> &steps, RunReport &report)
    {
        report_ = &report;
        for (size_t i = 0; i < steps.size(); ++i) {
            step_index_ = i;
            run_step(steps[i]);
            device_->take_errors();  // failures are told to the log on purpose in many steps
            report.steps_run = i + 1;
            if (options_.stop_at_first && !report.findings.empty())
                break;
        }
    }

private:
    // ---- checks -------------------------------------------------------------------------------------

    void check(const std::string &invariant, bool holds, const std::string &detail)
    {
        ++report_->checks;
        report_->invariants_checked.insert(invariant);
        if (holds)
            return;
        Finding f{invariant, step_index_, detail};
        if (options_.known_open.count(invariant) != 0)
            report_->known.push_back(f);
        else
            report_->findings.push_back(f);
    }

    // ---- the database, read and written as another program would ------------------------------------

    std::vector<Row> rows()
    {
        std::vector<Row> out;
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db_,
                           "SELECT f.id, f.uid, f.idx, coalesce((SELECT data FROM sample WHERE feature_id = f.id "
                           "ORDER BY no LIMIT 1), '') FROM feature AS f WHERE f.driver = ?1 ORDER BY f.id",
                           -1, &stmt, nullptr);
        sqlite3_bind_text(stmt, 1, kDriverName, -1, SQLITE_STATIC);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 3));
            out.push_back({sqlite3_column_int64(stmt, 0), sqlite3_column_int(stmt, 1), sqlite3_column_int(stmt, 2),
                           text != nullptr ? text : ""});
        }
        sqlite3_finalize(stmt);
        return out;
    }

    // One database fault is armed at a time: a new one disarms the others. The driver keeps the sensor and
    // the database in step against any one failing call, but two stores without a common transaction
    // cannot be kept so against every pair (a read of the user's records that fails twice looks like a
    // user with none, as the host answers both alike).
    void arm_database_fault(const Step &step)
    {
        for (int point = 0; point < BIO_FAULT_POINT_COUNT; ++point)
            if (point != step.value)
                bio_testing_fail_nth(static_cast<bio_fault_point>(point), 0);
        bio_testing_fail_nth(static_cast<bio_fault_point>(step.value), step.code);
    }

    void remove_rows(int uid, int idx)
    {
        for (const Row &row : rows()) {
            if (row.uid != uid || row.idx != idx)
                continue;
            exempt_.insert({uid, idx & 0xFF});
            exec("DELETE FROM sample WHERE feature_id = " + std::to_string(row.id));
            exec("DELETE FROM feature WHERE id = " + std::to_string(row.id));
        }
    }

    // A record of this driver written by another program: in match-on-host mode a copy of a stored
    // template (so the finger it came from now also stands for this user and index), on the sensor only
    // a bookkeeping record with no template behind it.
    void add_row(int uid, int idx)
    {
        const std::vector<Row> before = rows();
        std::string data;
        std::string finger;
        if (mode_ == Mode::Host && !before.empty()) {
            data = before.front().data;
            finger = provenance_[before.front().id];
        }
        // On the chip a record stands for whatever finger the sensor holds under its finger byte: that of
        // a record of the user with the same byte, if there is one.
        if (mode_ == Mode::Chip)
            for (const Row &row : before)
                if (row.uid == uid && (row.idx & 0xFF) == (idx & 0xFF) && !provenance_[row.id].empty())
                    finger = provenance_[row.id];
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db_, "INSERT INTO feature (uid, biotype, driver, idx, idx_name) VALUES (?1, 0, ?2, ?3, 'x')",
                           -1, &stmt, nullptr);
        sqlite3_bind_int(stmt, 1, uid);
        sqlite3_bind_text(stmt, 2, kDriverName, -1, SQLITE_STATIC);
        sqlite3_bind_int(stmt, 3, idx);
        sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        const long long id = sqlite3_last_insert_rowid(db_);
        sqlite3_prepare_v2(db_, "INSERT INTO sample (feature_id, no, data) VALUES (?1, 1, ?2)", -1, &stmt, nullptr);
        sqlite3_bind_int64(stmt, 1, id);
        sqlite3_bind_text(stmt, 2, data.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        provenance_[id] = finger;
        external_rows_.insert(id);
        exempt_.insert({uid, idx & 0xFF});
    }

    void exec(const std::string &sql) { sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }

    GKeyFile *key_file(bool enabled)
    {
        GKeyFile *conf = g_key_file_new();
        const std::string text = std::string("[") + kDriverName + "]\nEnable=" + (enabled ? "true" : "false") + "\n";
        g_key_file_load_from_data(conf, text.c_str(), text.size(), G_KEY_FILE_NONE, nullptr);
        return conf;
    }

    // ---- time, the stop thread and the SDK's calls -------------------------------------------------

    void on_call(const kelvs_call_record &record)
    {
        calls_.push_back(record.call);
        call_count_ = calls_.size();
        const bool comparison = record.call == KELVS_VerifyExt || (record.call == KELVS_SearchForOS && record.rc == 0);
        if (trigger_ == StopAt::Walk && comparison && ++comparisons_ == trigger_nth_)
            fire_stop();
    }

    void on_sleep_us(int64_t us)
    {
        if (t_stop_thread) {
            stop_sleep(us);
            return;
        }
        if (operation_running_) {
            ++advances_;
            if ((trigger_ == StopAt::Entry && advances_ == 1) || (trigger_ == StopAt::Wait && advances_ == trigger_nth_))
                fire_stop();
            const int64_t ran_ms = (FakeTime::now_us() - operation_start_us_) / 1000;
            // An operation that never ends would hold the sequence for good: take the finger away, then the
            // sensor. (Both sleeps come outside the sensor's lock, so the sensor can be steered from here.)
            if (ran_ms > bound_ms_ && !watchdog_lifted_) {
                watchdog_lifted_ = true;
                kelvs_finger_auto(nullptr);
            }
            if (ran_ms > 2 * bound_ms_ && !watchdog_unplugged_) {
                watchdog_unplugged_ = true;
                kelvs_unplug();
            }
        }
        advance_us(us);
        // The stop looks at the flag at each of its polls the clock has passed, before the operation goes on.
        std::unique_lock lock(mu_);
        while (stop_state_ == StopState::Waiting && FakeTime::now_us() >= stop_target_us_) {
            cv_.notify_all();
            if (!cv_.wait_for(lock, std::chrono::seconds(5), [&] {
                    return stop_state_ == StopState::Finished ||
                           (stop_state_ == StopState::Waiting && stop_target_us_ > FakeTime::now_us());
                }))
                break;
        }
    }

    void advance_us(int64_t us)
    {
        if (us <= 0)
            return;
        remainder_us_ += us;
        FakeTime::advance_ms(remainder_us_ / 1000);
        remainder_us_ %= 1000;
    }

    void stop_sleep(int64_t us)
    {
        std::unique_lock lock(mu_);
        stop_target_us_ = FakeTime::now_us() + us;
        stop_state_ = StopState::Waiting;
        cv_.notify_all();
        cv_.wait(lock, [&] { return FakeTime::now_us() >= stop_target_us_ || operation_returned_; });
        if (FakeTime::now_us() < stop_target_us_)
            FakeTime::advance_ms((stop_target_us_ - FakeTime::now_us() + 999) / 1000);
        stop_state_ = StopState::Running;
        cv_.notify_all();
    }

    void fire_stop()
    {
        trigger_ = StopAt::None;
        {
            std::lock_guard lock(mu_);
            stop_.fired = true;
            stop_.during_operation = !operation_returned_;
            stop_.calls_before = call_count_;
            stop_.journal_before = bio_journal_size();
            stop_.status_at_request = bio_get_dev_status(device_->dev());
            stop_state_ = StopState::Starting;
        }
        bio_dev *dev = device_->dev();
        const int waiting_ms = stop_wait_ms_;
        stop_thread_ = std::thread([this, dev, waiting_ms] {
            t_stop_thread = true;
            const int answer = kelvra_ops_stop_by_user(dev, waiting_ms);
            std::lock_guard lock(mu_);
            stop_.answer = answer;
            stop_.calls_at_answer = call_count_;
            stop_.journal_at_answer = bio_journal_size();
            stop_.returned_at_answer = operation_returned_;
            stop_state_ = StopState::Finished;
            cv_.notify_all();
        });
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::seconds(5),
                     [&] { return stop_state_ == StopState::Waiting || stop_state_ == StopState::Finished; });
    }

    void join_stop()
    {
        if (stop_thread_.joinable())
            stop_thread_.join();
    }

    // A stop while nothing runs: before the operation, or once it has returned.
    void idle_stop()
    {
        {
            std::lock_guard lock(mu_);
            operation_returned_ = true;
        }
        fire_stop();
        join_stop();
    }

    // ---- steps --------------------------------------------------------------------------------------

    void run_step(const Step &step)
    {
        switch (step.kind) {
        case Kind::Reconfigure:
            if (device_open_)
                device_->close();
            kelvra_ops_free(device_->dev());
            enabled_ = step.value != 0;
            kelvra_ops_configure(device_->dev(), enabled_ ? conf_enabled_ : conf_disabled_);
            device_open_ = false;
            break;
        case Kind::Unplug: kelvs_unplug(); plugged_ = false; break;
        case Kind::Replug: kelvs_replug(); plugged_ = true; break;
        case Kind::SdkFault: kelvs_script_rc(static_cast<kelvs_call>(step.value), step.code); break;
        case Kind::DbFault: arm_database_fault(step); break;
        case Kind::DbRemove: remove_rows(step.uid, step.first); break;
        case Kind::DbAdd: add_row(step.uid, step.first); break;
        default: run_operation(step); break;
        }
        check_resources();
        if (mode_ == Mode::Chip)
            check_sensor_against_database(step);
    }

    struct Outcome {
        int ret = 0;
        feature_info *list = nullptr;
    };

    Outcome call(const Step &step)
    {
        bio_dev *dev = device_->dev();
        Outcome o;
        char name[] = "model";
        switch (step.kind) {
        case Kind::Open: o.ret = device_->open(); break;
        case Kind::Close: device_->close(); break;
        case Kind::Enroll: o.ret = kelvra_ops_enroll(dev, ACTION_START, step.uid, step.first, name); break;
        case Kind::Verify: o.ret = kelvra_ops_verify(dev, ACTION_START, step.uid, step.first); break;
        case Kind::Identify: o.ret = kelvra_ops_identify(dev, ACTION_START, step.uid, step.first, step.last); break;
        case Kind::Search:
            o.list = kelvra_ops_search(dev, ACTION_START, step.uid, step.first, step.last);
            break;
        case Kind::List:
            o.list = kelvra_ops_get_feature_list(dev, ACTION_START, step.uid, step.first, step.last);
            break;
        case Kind::Clean: o.ret = kelvra_ops_clean(dev, ACTION_START, step.uid, step.first, step.last); break;
        default: break;
        }
        return o;
    }

    void run_operation(const Step &step)
    {
        const std::vector<Row> before = rows();
        const bool open_before = device_open_;
        constexpr kelvs_call kOpenPath[] = {KELVS_GetDeviceCount, KELVS_GlobalInit, KELVS_GlobalFree,
                                            KELVS_OpenDevice, KELVS_CloseDevice, KELVS_GetDeviceWorkMode,
                                            KELVS_GetImageInfo};
        bool open_faults_pending = false;
        for (kelvs_call c : kOpenPath)
            open_faults_pending = open_faults_pending || kelvs_scripts_pending(c) != 0;

        kelvs_finger_auto(step.finger.empty() ? nullptr : step.finger.c_str());
        calls_.clear();
        call_count_ = 0;
        comparisons_ = 0;
        advances_ = 0;
        stop_ = StopRecord{};
        stop_wait_ms_ = step.stop_wait_ms;
        watchdog_lifted_ = watchdog_unplugged_ = false;
        bound_ms_ = bound_ms(step.kind, mode_, step.uid);
        bio_testing_clear_calls();
        const size_t journal_start = bio_journal_size();

        if (step.stop == StopAt::Before)
            idle_stop();
        const StopRecord idle_before = stop_;
        const bool stopped_before = step.stop == StopAt::Before;
        stop_ = StopRecord{};
        calls_.clear();
        call_count_ = 0;
        {
            std::lock_guard lock(mu_);
            operation_returned_ = false;
        }
        trigger_ = stopped_before || step.stop == StopAt::After ? StopAt::None : step.stop;
        trigger_nth_ = step.stop_nth;
        operation_start_us_ = FakeTime::now_us();
        operation_running_ = true;

        Outcome outcome = call(step);

        operation_running_ = false;
        const int64_t took_ms = (FakeTime::now_us() - operation_start_us_) / 1000;
        {
            std::lock_guard lock(mu_);
            operation_returned_ = true;
            cv_.notify_all();
        }
        join_stop();
        const size_t calls_of_operation = call_count_;
        const size_t journal_end = bio_journal_size();
        const std::vector<kelvs_call> calls = calls_;
        const int db_calls = bio_testing_calls(BIO_FAULT_CONNECT) + bio_testing_calls(BIO_FAULT_QUERY) +
                             bio_testing_calls(BIO_FAULT_STORE) + bio_testing_calls(BIO_FAULT_CLEAN);
        const StopRecord during = stop_;
        const bool stopped_after = step.stop != StopAt::None && !stopped_before && !during.fired;
        trigger_ = StopAt::None;
        if (stopped_after) {
            stop_ = StopRecord{};
            idle_stop();
        }
        const StopRecord idle_after = stopped_after ? stop_ : StopRecord{};
        kelvs_finger_auto(nullptr);
        if (watchdog_unplugged_ && plugged_)
            kelvs_replug();

        std::vector<bio_event> events(journal_end - journal_start);
        events.resize(bio_journal_read(journal_start, events.data(), events.size()));
        const std::vector<Row> after = rows();

        if (step.kind == Kind::Open)
            device_open_ = outcome.ret == 0;
        if (step.kind == Kind::Close)
            device_open_ = false;

        // 1. Within its bound, idle at the end, with a result told after the last busy status.
        const int64_t allowed = bound_ms_ + (during.fired ? std::min(step.stop_wait_ms, kTimeoutMs) + kStopPollMs : 0);
        check("operation-ends-within-its-bound", took_ms <= allowed,
              "took " + std::to_string(took_ms) + " ms of fake time, allowed " + std::to_string(allowed));
        if (step.kind != Kind::Close) {
            const int status = bio_get_dev_status(device_->dev());
            const int expected = enabled_ ? DEVS_COMM_IDLE : DEVS_COMM_DISABLE;
            bool result_after_busy = true;
            for (const bio_event &e : events) {
                if (e.kind == BIO_EVENT_STATUS && e.value != DEVS_COMM_IDLE && e.value != DEVS_COMM_DISABLE)
                    result_after_busy = false;
                if (e.kind == BIO_EVENT_RESULT)
                    result_after_busy = true;
            }
            check("operation-ends-idle-with-a-result", status == expected && result_after_busy,
                  "status " + std::to_string(status) + (result_after_busy ? "" : ", no result after going busy") +
                      ", journal " + kelvra_test::describe(events));
        }

        // 2. What a stop's answer promises.
        for (const StopRecord *idle : {&idle_before, &idle_after})
            if (idle->fired)
                check("stop-answers-minus-1-only-while-an-operation-runs", idle->answer == 0,
                      "a stop while nothing ran answered " + std::to_string(idle->answer) + ", the status being " +
                          std::to_string(idle->status_at_request) + "; journal " + kelvra_test::describe(events));
        if (during.fired && during.during_operation) {
            if (during.answer == 0) {
                const size_t later_calls = calls_of_operation - std::min(calls_of_operation, during.calls_at_answer);
                // After a 0 the host may close the device: the operation must not touch the sensor again,
                // and must not end as if it had waited on until its time-out.
                bool reported_stop = false;
                bool timed_out_after = false;
                size_t last_idle = 0;
                for (size_t i = 0; i < events.size(); ++i) {
                    const size_t at = journal_start + i;
                    const bool result = events[i].kind == BIO_EVENT_RESULT && events[i].common;
                    if (at >= during.journal_before && result && events[i].value == OPS_COMM_STOP_BY_USER)
                        reported_stop = true;
                    if (at >= during.journal_at_answer && result && events[i].value == OPS_COMM_TIMEOUT)
                        timed_out_after = true;
                    if (events[i].kind == BIO_EVENT_STATUS && events[i].value == DEVS_COMM_IDLE)
                        last_idle = at + 1;
                }
                const bool had_ended = last_idle != 0 && last_idle <= during.journal_at_answer;
                check("stop-answered-0-ends-the-operation",
                      later_calls <= 1 && (reported_stop || had_ended || !timed_out_after),
                      std::to_string(later_calls) + " SDK calls after the answer; " +
                          (reported_stop ? "the stop was reported" : "no stop reported") + ", " +
                          (had_ended ? "the operation had ended" : "the operation had not ended") +
                          (timed_out_after ? ", a time-out reported after it" : "") + "; journal " +
                          kelvra_test::describe(events));
            } else {
                check("stop-answers-minus-1-only-while-an-operation-runs", !during.returned_at_answer,
                      "answered " + std::to_string(during.answer) + " after the operation had returned");
            }
        }

        // 3. No SDK call on a device that is not open; nothing at all on a disabled one.
        if (!enabled_ && step.kind != Kind::Close)
            check("disabled-device-touches-nothing", calls.empty() && db_calls == 0,
                  std::to_string(calls.size()) + " SDK calls, " + std::to_string(db_calls) + " database calls");
        if (!open_before && step.kind != Kind::Open && step.kind != Kind::Close) {
            std::string names;
            for (kelvs_call c : calls)
                names += std::string(" ") + kelvs_call_name(c);
            check("no-sdk-call-on-a-device-not-open", calls.empty(), "calls:" + names);
        }

        // 7. A sensor that is there and answers every call opens.
        if (step.kind == Kind::Open && enabled_ && plugged_ && !open_faults_pending)
            check("open-succeeds-on-a-sensor-that-answers", outcome.ret == 0,
                  "open returned " + std::to_string(outcome.ret) + ", journal " + kelvra_test::describe(events));

        // 5. A match names a finger the database lists, in the range asked about.
        check_matches(step, outcome, events, after);

        // Provenance: the records an enrollment added belong to the finger that pressed.
        if (step.kind == Kind::Enroll && outcome.ret == 0)
            for (const Row &row : after)
                if (std::none_of(before.begin(), before.end(), [&](const Row &b) { return b.id == row.id; }))
                    provenance_[row.id] = step.finger;

        if (mode_ == Mode::Chip)
            last_operation_failed_ = operation_failed(step, outcome, events);
        bio_sto_free_feature_info_list(outcome.list);
    }

    static int last_result(const std::vector<bio_event> &events)
    {
        int result = -1;
        for (const bio_event &e : events)
            if (e.kind == BIO_EVENT_RESULT)
                result = e.value;
        return result;
    }

    bool operation_failed(const Step &step, const Outcome &outcome, const std::vector<bio_event> &events)
    {
        if (step.kind == Kind::Enroll)
            return outcome.ret != 0;
        if (step.kind == Kind::Clean)
            return outcome.ret != 0 || last_result(events) != OPS_CLEAN_SUCCESS;
        return false;
    }

    void check_matches(const Step &step, const Outcome &outcome, const std::vector<bio_event> &events,
                       const std::vector<Row> &after)
    {
        const int result = last_result(events);
        auto listed_with_finger = [&](int uid, int first, int last, int must_uid) {
            return std::any_of(after.begin(), after.end(), [&](const Row &row) {
                auto p = provenance_.find(row.id);
                return in_selection(row, uid, first, last) && (must_uid < 0 || row.uid == must_uid) &&
                       p != provenance_.end() && !p->second.empty() && p->second == step.finger;
            });
        };
        const std::string who = "finger '" + step.finger + "' for uid " + std::to_string(step.uid) + " in " +
                                std::to_string(step.first) + ".." + std::to_string(step.last);
        if (step.kind == Kind::Verify && (outcome.ret == 1 || result == OPS_VERIFY_MATCH))
            check("only-listed-fingers-match", listed_with_finger(step.uid, step.first, step.first, -1),
                  "verify matched " + who);
        if (step.kind == Kind::Identify && result == OPS_IDENTIFY_MATCH)
            check("only-listed-fingers-match", listed_with_finger(step.uid, step.first, step.last, outcome.ret),
                  "identify matched " + who + ", answered " + std::to_string(outcome.ret));
        if (step.kind == Kind::Search && (result == OPS_SEARCH_MATCH || outcome.list != nullptr)) {
            bool named = outcome.list != nullptr;
            for (const feature_info *r = outcome.list; r != nullptr; r = r->next)
                named = named && listed_with_finger(step.uid, step.first, step.last, r->uid) &&
                        std::any_of(after.begin(), after.end(), [&](const Row &row) {
                            return row.uid == r->uid && row.idx == r->index && provenance_[row.id] == step.finger;
                        });
            check("only-listed-fingers-match", named,
                  "search matched " + who + (outcome.list == nullptr ? " and returned no record" : ""));
        }
    }

    // 6. Nothing the host handed out is kept, no connection and no descriptor is left open.
    void check_resources()
    {
        const int records = bio_testing_outstanding_records() - baseline_records_;
        const int connections = bio_testing_open_connections() - baseline_connections_;
        const int fds = open_descriptors();
        check("host-resources-released", records == 0 && connections == 0 && fds == baseline_fds_,
              std::to_string(records) + " records, " + std::to_string(connections) + " connections, " +
                  std::to_string(fds - baseline_fds_) + " descriptors more than at the start");
    }

    // 4. On the sensor: the fingers it holds and the records the database lists name the same (user,
    // finger) pairs after an operation that succeeded; after one that failed, nothing the database still
    // lists is gone from the sensor. Pairs another program touched, or that a reported failure left on
    // the sensor alone, are set aside until the two agree again.
    void check_sensor_against_database(const Step &step)
    {
        const std::vector<Row> listed = rows();
        std::set<Pair> on_sensor;
        for (int uid : kUsersKnown)
            for (int byte = 0; byte < 256; ++byte)
                if (kelvs_store_has(uid, byte) != 0)
                    on_sensor.insert({uid, byte});
        std::set<Pair> in_database;
        std::map<Pair, std::set<int>> indexes_of;
        for (const Row &row : listed) {
            in_database.insert({row.uid, row.idx & 0xFF});
            if (external_rows_.count(row.id) == 0)
                indexes_of[{row.uid, row.idx & 0xFF}].insert(row.idx);
        }
        const bool failed = is_operation(step.kind) && last_operation_failed_;
        last_operation_failed_ = false;

        std::string missing;
        std::string extra;
        for (const Pair &p : in_database)
            if (on_sensor.count(p) == 0 && exempt_.count(p) == 0)
                missing += " " + pair_text(p);
        for (const Pair &p : on_sensor)
            if (in_database.count(p) == 0 && exempt_.count(p) == 0) {
                if (failed)
                    exempt_.insert(p);
                else
                    extra += " " + pair_text(p);
            }
        const bool unknown_users = kelvs_store_count() != int(on_sensor.size());
        check("sensor-holds-what-the-database-lists", missing.empty() && extra.empty() && !unknown_users,
              (missing.empty() ? "" : "listed, not on the sensor:" + missing + "; ") +
                  (extra.empty() ? "" : "on the sensor, not listed:" + extra + "; ") +
                  (unknown_users ? "the sensor holds fingers of users never enrolled" : ""));

        // A finger the sensor can tell apart: not the byte for "every finger", and not one that another
        // listed index of the user shares.
        std::string shared;
        for (const auto &[pair, indexes] : indexes_of)
            if (pair.second == 0xFF || indexes.size() > 1) {
                shared += " uid " + std::to_string(pair.first) + " indexes";
                for (int i : indexes)
                    shared += " " + std::to_string(i);
            }
        check("every-listed-finger-has-its-own-place-on-the-sensor", shared.empty(), "shared or all-finger byte:" + shared);

        for (auto it = exempt_.begin(); it != exempt_.end();)
            it = on_sensor.count(*it) == in_database.count(*it) ? exempt_.erase(it) : std::next(it);
    }

    enum class StopState { Idle, Starting, Waiting, Running, Finished };

    Mode mode_;
    RunOptions options_;
    RunReport *report_ = nullptr;
    std::unique_ptr<Device> device_;
    std::string db_path_;
    sqlite3 *db_ = nullptr;
    GKeyFile *conf_enabled_ = nullptr;
    GKeyFile *conf_disabled_ = nullptr;
    int baseline_fds_ = 0;
    int baseline_connections_ = 0;
    int baseline_records_ = 0;
    size_t step_index_ = 0;

    bool device_open_ = false;
    bool enabled_ = true;
    bool plugged_ = true;
    bool last_operation_failed_ = false;
    std::set<Pair> exempt_;
    std::set<long long> external_rows_;
    std::map<long long, std::string> provenance_;

    std::vector<kelvs_call> calls_;
    std::atomic<size_t> call_count_{0};
    int comparisons_ = 0;
    int advances_ = 0;
    int64_t remainder_us_ = 0;
    std::atomic<bool> operation_running_{false};
    int64_t operation_start_us_ = 0;
    int64_t bound_ms_ = 0;
    bool watchdog_lifted_ = false;
    bool watchdog_unplugged_ = false;

    StopAt trigger_ = StopAt::None;
    int trigger_nth_ = 0;
    int stop_wait_ms_ = 0;
    StopRecord stop_;
    std::thread stop_thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    StopState stop_state_ = StopState::Idle;
    int64_t stop_target_us_ = 0;
    bool operation_returned_ = true;
};

}  // namespace

const std::vector<std::string> &invariant_names()
{
    static const std::vector<std::string> names = {
        "operation-ends-within-its-bound",
        "operation-ends-idle-with-a-result",
        "stop-answered-0-ends-the-operation",
        "stop-answers-minus-1-only-while-an-operation-runs",
        "no-sdk-call-on-a-device-not-open",
        "disabled-device-touches-nothing",
        "sensor-holds-what-the-database-lists",
        "every-listed-finger-has-its-own-place-on-the-sensor",
        "only-listed-fingers-match",
        "host-resources-released",
        "open-succeeds-on-a-sensor-that-answers",
    };
    return names;
}

// Invariants that known faults of the driver break, whose breaches are counted and shown instead of failed
// while the faults are being mended. None is open now.
std::set<std::string> default_known_open() { return {}; }

RunReport run_sequence(Mode mode, const std::vector<Step> &steps, const RunOptions &options)
{
    RunReport report;
    kelvra_test::QuietScoreLines quiet;  // the on-chip presence wait prints a line per frame
    {
        Model model(mode, options);
        model.run(steps, report);
    }
    quiet.finish();
    return report;
}

std::vector<Step> shrink(Mode mode, const std::vector<Step> &steps, const std::string &invariant,
                         const RunOptions &options, int *runs, Finding *last)
{
    // While shrinking only this invariant ends a run: a shorter sequence may break another one first.
    RunOptions only_this = options;
    for (const std::string &name : invariant_names())
        if (name != invariant)
            only_this.known_open.insert(name);
    only_this.known_open.erase(invariant);
    only_this.stop_at_first = true;
    auto still_fails = [&](const std::vector<Step> &candidate) {
        ++*runs;
        const RunReport r = run_sequence(mode, candidate, only_this);
        if (r.findings.empty())
            return false;
        *last = r.findings.front();
        return true;
    };
    std::vector<Step> current = steps;
    if (!still_fails(current))
        return current;
    // Everything after the failing step is not needed.
    current.resize(last->step + 1);
    // Delta debugging: drop chunks, halving their size, until no single step can go.
    for (size_t chunk = std::max<size_t>(1, current.size() / 2);;) {
        bool removed = false;
        for (size_t at = 0; at < current.size();) {
            std::vector<Step> candidate = current;
            candidate.erase(candidate.begin() + at, candidate.begin() + std::min(current.size(), at + chunk));
            if (!candidate.empty() && still_fails(candidate)) {
                current = candidate;
                removed = true;
            } else {
                at += chunk;
            }
        }
        if (chunk == 1 && !removed)
            break;
        if (chunk > 1)
            chunk /= 2;
    }
    still_fails(current);
    return current;
}

}  // namespace model
