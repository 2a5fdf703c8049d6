// session.cpp - loading the driver module and running one device through open, an operation and close.
#include "session.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace kelvractl {

std::string_view outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::success: return "success";
    case Outcome::match: return "match";
    case Outcome::no_match: return "no-match";
    case Outcome::failed: return "failed";
    case Outcome::timeout: return "timeout";
    case Outcome::stopped: return "stopped";
    case Outcome::disabled: return "disabled";
    case Outcome::busy: return "busy";
    case Outcome::error: return "error";
    }
    return "error";
}

int exit_status(Outcome outcome)
{
    switch (outcome) {
    case Outcome::success:
    case Outcome::match:
        return 0;
    case Outcome::no_match:
        return 1;
    default:
        return 3;
    }
}

Outcome outcome_of_result(int result)
{
    // Common codes are recorded as given; the per-operation codes keep their last two digits' meaning
    // within the operation's hundred.
    switch (result) {
    case OPS_COMM_SUCCESS: return Outcome::success;
    case OPS_COMM_FAIL: return Outcome::failed;
    case OPS_COMM_STOP_BY_USER: return Outcome::stopped;
    case OPS_COMM_TIMEOUT: return Outcome::timeout;
    case OPS_ENROLL_SUCCESS:
    case OPS_CLEAN_SUCCESS:
    case OPS_GET_FLIST_SUCCESS:
    case OPS_OPEN_SUCCESS:
        return Outcome::success;
    case OPS_VERIFY_MATCH:
    case OPS_IDENTIFY_MATCH:
    case OPS_SEARCH_MATCH:
        return Outcome::match;
    case OPS_VERIFY_NO_MATCH:
    case OPS_IDENTIFY_NO_MATCH:
    case OPS_SEARCH_NO_MATCH:
        return Outcome::no_match;
    case OPS_ENROLL_STOP_BY_USER:
    case OPS_VERIFY_STOP_BY_USER:
    case OPS_IDENTIFY_STOP_BY_USER:
    case OPS_SEARCH_STOP_BY_USER:
        return Outcome::stopped;
    case OPS_ENROLL_TIMEOUT:
    case OPS_VERIFY_TIMEOUT:
    case OPS_IDENTIFY_TIMEOUT:
    case OPS_SEARCH_TIMEOUT:
        return Outcome::timeout;
    case OPS_ENROLL_FAIL:
    case OPS_CLEAN_FAIL:
    case OPS_GET_FLIST_FAIL:
        return Outcome::failed;
    default:
        return Outcome::error;
    }
}

// ---- Module ---------------------------------------------------------------------------------------

std::unique_ptr<Module> Module::load(const std::string &path, std::string &error)
{
    dlerror();
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        error = "cannot load the driver module " + path + ": " + (why != nullptr ? why : "unknown reason");
        return nullptr;
    }
    dlerror();
    void *symbol = dlsym(handle, "kelvra_ops_configure");
    if (symbol == nullptr) {
        error = "the module " + path + " has no entry point kelvra_ops_configure";
        dlclose(handle);
        return nullptr;
    }
    bio_driver_configure_fn configure;
    static_assert(sizeof configure == sizeof symbol);
    std::memcpy(&configure, &symbol, sizeof configure);
    return std::unique_ptr<Module>(new Module(configure, path));
}

// The module stays mapped: the sensor library it pulled in may still run a thread (its control
// socket) until the process ends, and a host unloads drivers only when it exits anyway.
Module::~Module() = default;

// ---- Device ---------------------------------------------------------------------------------------

Device::Device(const Module &module, std::string device_name)
{
    dev_.device_name = strdup(device_name.c_str());
    dev_.full_name = strdup("Kelvra Dactylen");
    dev_.enable = 1;
    dev_.ops_configure = module.configure();
    bio_set_event_listener(&Device::on_event, this);
}

Device::~Device()
{
    bio_set_event_listener(nullptr, nullptr);
    if (configured_ && dev_.ops_free != nullptr)
        dev_.ops_free(&dev_);
    std::free(dev_.device_name);
    std::free(dev_.full_name);
}

bool Device::configure(GKeyFile *conf, std::string &error)
{
    if (dev_.ops_configure(&dev_, conf) != 0) {
        error = "the driver refused its configuration";
        return false;
    }
    configured_ = true;
    if (dev_.ops_driver_init != nullptr && dev_.ops_driver_init(&dev_) != 0) {
        error = "the driver failed to initialise";
        return false;
    }
    return true;
}

int Device::discover() { return dev_.ops_discover != nullptr ? dev_.ops_discover(&dev_) : -1; }

namespace {

// "[3/6] ..." (or its translation, which keeps the counter) names the press being asked for.
std::optional<int> press_number(std::string_view text)
{
    for (std::size_t open = text.find('['); open != std::string_view::npos; open = text.find('[', open + 1)) {
        std::size_t i = open + 1;
        int k = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            k = k * 10 + (text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || i >= text.size() || text[i] != '/')
            continue;
        ++i;
        std::size_t total_digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && total_digits < 3) {
            ++i;
            ++total_digits;
        }
        if (total_digits > 0 && i < text.size() && text[i] == ']')
            return k;
    }
    return std::nullopt;
}

constexpr int kPresses = 6;

}  // namespace

void Device::on_event(bio_dev *dev, const bio_event *event, void *user)
{
    auto *self = static_cast<Device *>(user);
    if (dev != &self->dev_ || !self->tracking_ || self->current_ == nullptr)
        return;
    Report &report = *self->current_;

    if (event->kind == BIO_EVENT_RESULT) {
        self->last_result_ = event->value;
        return;
    }
    if (event->kind != BIO_EVENT_NOTIFY)
        return;

    const int mid = event->value;
    self->last_notify_ = mid;
    report.notifies.push_back(mid);
    const char *raw = bio_get_notify_mid_mesg(dev);
    std::string text = raw != nullptr ? raw : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();

    std::optional<int> done;
    if (self->enrolling_) {
        if (const auto k = press_number(text); k && *k >= 1 && *k <= kPresses) {
            self->presses_done_ = *k - 1;
            self->press_asked_ = *k;
        } else if (mid > NOTIFY_DRIVER_FIRST && mid <= NOTIFY_DRIVER_LAST && self->press_asked_ > 0) {
            // The driver's extended message (the first of its ids) carries refusals and retries; any
            // other prompt of its own after a press was asked for means the press was taken.
            self->presses_done_ = self->press_asked_;
            self->press_asked_ = 0;
        }
        if (mid == NOTIFY_ENROLL_SUCCESS)
            self->presses_done_ = kPresses;
        done = self->presses_done_;
    }

    // Idle is the open's reset, not something to tell the user.
    if (mid == NOTIFY_COMM_IDLE)
        return;

    // The capture loops repeat a prompt, or a cycle of them (ask, refuse, ask, refuse, ...), while they
    // wait: a prompt is shown unless it repeats the last one or a step from one prompt to the next
    // that was already shown in this operation.
    std::string key = std::to_string(mid) + '\x1f' + text;
    const bool repeated = key == self->last_key_ || !self->steps_seen_.insert(self->last_key_ + '\x1e' + key).second;
    self->last_key_ = std::move(key);
    if (repeated)
        return;
    report.messages.push_back(text);
    if (self->sink_)
        self->sink_(Prompt{mid, text, done});
}

void Device::request_stop(int waiting_ms)
{
    std::lock_guard<std::mutex> guard(stop_lock_);
    stop_requested_ = true;
    if (running_.load() && dev_.ops_stop_by_user != nullptr)
        dev_.ops_stop_by_user(&dev_, waiting_ms);
}

Report Device::run(std::string command, bool enrolling, const std::function<void(Report &)> &operation)
{
    Report report;
    report.command = std::move(command);
    if (stop_requested_.load()) {
        report.outcome = Outcome::stopped;
        report.detail = "stopped by the user";
        return report;
    }

    bio_journal_clear();
    current_ = &report;
    enrolling_ = enrolling;
    presses_done_ = 0;
    press_asked_ = 0;
    last_result_ = -1;
    last_notify_ = -1;
    last_key_.clear();
    steps_seen_.clear();

    if (dev_.ops_open == nullptr || dev_.ops_close == nullptr) {
        report.outcome = Outcome::error;
        report.detail = "the driver offers no open and close";
        current_ = nullptr;
        return report;
    }

    tracking_ = true;
    const int opened = dev_.ops_open(&dev_);
    if (opened != 0) {
        tracking_ = false;
        report.status = bio_get_dev_status(&dev_);
        report.result = last_result_;
        report.notify = last_notify_;
        const int owner = busy_owner_ ? busy_owner_() : 0;
        if (report.status == DEVS_COMM_DISABLE) {
            report.outcome = Outcome::disabled;
            report.detail = "the device is disabled in the configuration";
        } else if (owner != 0) {
            report.outcome = Outcome::busy;
            if (owner > 0)
                report.owner_pid = owner;
            report.detail = "the sensor is in use by another program" +
                            (owner > 0 ? " (pid " + std::to_string(owner) + ")" : std::string());
        } else {
            report.outcome = Outcome::error;
            const char *text = bio_get_notify_mid_mesg(&dev_);
            report.detail = std::string("the sensor could not be opened") +
                            (last_notify_ >= 0 && text != nullptr ? std::string(": ") + text : std::string());
        }
        current_ = nullptr;
        return report;
    }
    // The open's own result is not the operation's.
    last_result_ = -1;

    if (before_)
        before_();

    {
        std::lock_guard<std::mutex> guard(stop_lock_);
        running_ = true;
    }
    if (!stop_requested_.load())
        operation(report);
    else
        last_result_ = OPS_COMM_STOP_BY_USER;
    {
        // A stop request still being answered finishes before the device is closed under it.
        std::lock_guard<std::mutex> guard(stop_lock_);
        running_ = false;
    }
    tracking_ = false;
    dev_.ops_close(&dev_);

    report.result = last_result_;
    report.notify = last_notify_;
    report.status = bio_get_dev_status(&dev_);
    current_ = nullptr;

    if (report.status == DEVS_COMM_DISABLE) {
        report.outcome = Outcome::disabled;
        report.detail = "the device is disabled in the configuration";
    } else if (last_result_ < 0) {
        report.outcome = Outcome::error;
        report.detail = "the driver reported no outcome";
    } else {
        report.outcome = outcome_of_result(last_result_);
    }
    // A stop the driver could not acknowledge (it was between loops) still ends the operation early;
    // whatever it reported then, the user stopped it.
    if (stop_requested_.load() && report.outcome != Outcome::success && report.outcome != Outcome::match &&
        report.outcome != Outcome::no_match)
        report.outcome = Outcome::stopped;

    if (report.outcome != Outcome::success && report.outcome != Outcome::match &&
        report.outcome != Outcome::no_match && report.detail.empty()) {
        switch (report.outcome) {
        case Outcome::stopped: report.detail = "stopped by the user"; break;
        case Outcome::timeout: report.detail = "no finger within the time-out"; break;
        default: {
            // The driver's last words say most about why.
            const char *text = bio_get_notify_mid_mesg(&dev_);
            report.detail = text != nullptr && *text != '\0' ? text : bio_host_result_text(last_result_);
            while (!report.detail.empty() && report.detail.back() == '\n')
                report.detail.pop_back();
        }
        }
    }
    return report;
}

namespace {

std::vector<Record> records_of(const feature_info *list)
{
    std::vector<Record> out;
    for (const feature_info *f = list; f != nullptr; f = f->next) {
        Record r;
        r.uid = f->uid;
        r.index = f->index;
        r.index_name = f->index_name != nullptr ? f->index_name : "";
        for (const feature_sample *s = f->sample; s != nullptr; s = s->next)
            ++r.samples;
        out.push_back(std::move(r));
    }
    return out;
}

std::string range_words(int uid, int from, int to)
{
    std::string who = uid == -1 ? std::string("every user") : "user " + std::to_string(uid);
    if (from == 0 && to == -1)
        return "the fingers of " + who;
    if (from == to)
        return "finger " + std::to_string(from) + " of " + who;
    return "fingers " + std::to_string(from) + (to == -1 ? std::string(" and up") : " to " + std::to_string(to)) +
           " of " + who;
}

}  // namespace

Report Device::enroll(int uid, int index, const std::string &name)
{
    return run("enroll", true, [&](Report &report) {
        report.subject = "finger " + std::to_string(index) + " (\"" + name + "\") of user " + std::to_string(uid);
        if (dev_.ops_enroll == nullptr) {
            last_result_ = OPS_COMM_ERROR;
            return;
        }
        std::string copy = name;  // the slot takes a non-const text
        dev_.ops_enroll(&dev_, ACTION_START, uid, index, copy.data());
    });
}

Report Device::verify(int uid, int index)
{
    return run("verify", false, [&](Report &report) {
        report.subject = "finger " + std::to_string(index) + " of user " + std::to_string(uid);
        if (dev_.ops_verify == nullptr) {
            last_result_ = OPS_COMM_ERROR;
            return;
        }
        if (dev_.ops_verify(&dev_, ACTION_START, uid, index) == 1)
            report.matched_uid = uid;
    });
}

Report Device::identify(int uid, int from, int to)
{
    return run("identify", false, [&](Report &report) {
        if (dev_.ops_identify == nullptr) {
            last_result_ = OPS_COMM_ERROR;
            return;
        }
        const int found = dev_.ops_identify(&dev_, ACTION_START, uid, from, to);
        if (last_result_ == OPS_IDENTIFY_MATCH)
            report.matched_uid = found;
    });
}

Report Device::search(int uid, int from, int to)
{
    return run("search", false, [&](Report &report) {
        if (dev_.ops_search == nullptr) {
            last_result_ = OPS_COMM_ERROR;
            return;
        }
        feature_info *found = dev_.ops_search(&dev_, ACTION_START, uid, from, to);
        report.records = records_of(found);
        bio_sto_free_feature_info_list(found);
    });
}

Report Device::list(int uid, int from, int to)
{
    return run("list", false, [&](Report &report) {
        if (dev_.ops_get_feature_list == nullptr) {
            last_result_ = OPS_COMM_ERROR;
            return;
        }
        feature_info *found = dev_.ops_get_feature_list(&dev_, ACTION_START, uid, from, to);
        report.records = records_of(found);
        bio_sto_free_feature_info_list(found);
    });
}

Report Device::clean(int uid, int from, int to)
{
    return run("clean", false, [&](Report &report) {
        report.subject = range_words(uid, from, to);
        if (dev_.ops_clean == nullptr) {
            last_result_ = OPS_COMM_ERROR;
            return;
        }
        dev_.ops_clean(&dev_, ACTION_START, uid, from, to);
    });
}

}  // namespace kelvractl
