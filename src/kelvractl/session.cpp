// session.cpp - loading the driver module and running one device through open, an operation and close.
#include "session.h"

#include "i18n.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace kelvractl {

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
        error = strf(tr("cannot load the driver module %s: %s"), path.c_str(), why != nullptr ? why : "?");
        return nullptr;
    }
    dlerror();
    void *symbol = dlsym(handle, "kelvra_ops_configure");
    if (symbol == nullptr) {
        error = strf(tr("the module %s has no entry point %s"), path.c_str(), "kelvra_ops_configure");
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
        error = tr("the driver refused its configuration");
        return false;
    }
    configured_ = true;
    if (dev_.ops_driver_init != nullptr && dev_.ops_driver_init(&dev_) != 0) {
        error = tr("the driver failed to initialise");
        return false;
    }
    return true;
}

int Device::discover() { return dev_.ops_discover != nullptr ? dev_.ops_discover(&dev_) : -1; }

namespace {

// The text of the device's current notify id as the user reads it: the driver's own ids in the
// driver's words (from its catalogue), the host's English texts from kelvractl's catalogue.
std::string notify_text(bio_dev *dev)
{
    const char *text = bio_get_notify_mid_mesg(dev);
    const int mid = bio_get_notify_mid(dev);
    std::string out = text == nullptr ? "" : mid >= NOTIFY_DRIVER_FIRST && mid <= NOTIFY_DRIVER_LAST ? text : tr(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

}  // namespace

void Device::emit(const std::vector<FoldedLine> &lines, bool shown)
{
    for (const FoldedLine &line : lines) {
        if (!line.is_repeat_note && current_ != nullptr)
            current_->messages.push_back(line.prompt.text);
        if (sink_ && shown)
            sink_(line);
    }
}

void Device::on_event(bio_dev *dev, const bio_event *event, void *user)
{
    auto *self = static_cast<Device *>(user);
    if (dev != &self->dev_)
        return;
    {
        static constexpr const char *kKinds[] = {"status", "result", "notify"};
        const char *kind = event->kind <= BIO_EVENT_NOTIFY ? kKinds[event->kind] : "event";
        std::lock_guard<std::mutex> guard(self->journal_lock_);
        self->journal_.push_back(strf("%s %d%s operation=%d", kind, event->value, event->common ? " common" : "",
                                      event->operation));
    }
    if (!self->tracking_ || self->current_ == nullptr)
        return;
    Report &report = *self->current_;

    if (event->kind == BIO_EVENT_RESULT) {
        self->last_result_ = event->value;
        self->stop_reported_ = self->stop_reported_ || (event->common && event->value == OPS_COMM_STOP_BY_USER);
        return;
    }
    if (event->kind != BIO_EVENT_NOTIFY)
        return;

    const int mid = event->value;
    self->last_notify_ = mid;
    report.notifies.push_back(mid);
    // Idle is the open's reset, not something to tell the user.
    if (mid == NOTIFY_COMM_IDLE)
        return;
    Prompt prompt;
    prompt.mid = mid;
    if (self->enrolling_) {
        self->counter_.notify(mid);
        report.presses = self->counter_.presses();
        prompt.presses_done = report.presses;
    }
    prompt.text = notify_text(dev);
    if (prompt.text.empty())
        return;
    const std::vector<FoldedLine> lines = self->folder_.add(prompt);
    if (self->holding_)
        self->held_.insert(self->held_.end(), lines.begin(), lines.end());
    else
        self->emit(lines);
}

void Device::request_stop(int waiting_ms)
{
    std::lock_guard<std::mutex> guard(stop_lock_);
    stop_requested_ = true;
    if (running_.load() && dev_.ops_stop_by_user != nullptr) {
        if (before_stop_)
            before_stop_();
        dev_.ops_stop_by_user(&dev_, waiting_ms);
    }
}

std::vector<std::string> Device::journal() const
{
    std::lock_guard<std::mutex> guard(journal_lock_);
    return journal_;
}

Report Device::run(Report report, const std::function<void(Report &)> &operation)
{
    if (stop_requested_.load()) {
        report.outcome = Outcome::stopped;
        return report;
    }

    bio_journal_clear();
    current_ = &report;
    enrolling_ = false;
    counter_ = {};
    folder_ = {};
    last_result_ = -1;
    last_notify_ = -1;
    stop_reported_ = false;

    if (dev_.ops_open == nullptr || dev_.ops_close == nullptr) {
        report.outcome = Outcome::error;
        report.detail = tr("the driver offers no open and close");
        current_ = nullptr;
        return report;
    }

    tracking_ = true;
    holding_ = true;
    const int opened = dev_.ops_open(&dev_);
    holding_ = false;
    std::vector<FoldedLine> opening = std::move(held_);
    held_.clear();
    if (opened != 0) {
        tracking_ = false;
        const std::vector<FoldedLine> rest = folder_.finish();
        opening.insert(opening.end(), rest.begin(), rest.end());
        report.status = bio_get_dev_status(&dev_);
        report.result = last_result_;
        report.notify = last_notify_;
        const int owner = busy_owner_ ? busy_owner_() : 0;
        emit(opening, owner == 0 || report.status == DEVS_COMM_DISABLE);
        if (report.status == DEVS_COMM_DISABLE) {
            report.outcome = Outcome::disabled;
            report.detail = tr("the device is disabled in the configuration");
        } else if (owner != 0) {
            report.outcome = Outcome::busy;
            if (owner > 0)
                report.owner_pid = owner;
            report.detail = owner > 0 ? strf(tr("the sensor is in use by another program (pid %d)"), owner)
                                      : std::string(tr("the sensor is in use by another program"));
        } else {
            report.outcome = Outcome::error;
            const std::string text = notify_text(&dev_);
            report.detail = last_notify_ >= 0 && !text.empty()
                                ? strf(tr("the sensor could not be opened: %s"), text.c_str())
                                : std::string(tr("the sensor could not be opened"));
        }
        current_ = nullptr;
        return report;
    }
    emit(opening);
    // The open's own result is not the operation's.
    last_result_ = -1;
    enrolling_ = report.command == Command::enroll;

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
    emit(folder_.finish());

    report.result = last_result_;
    report.notify = last_notify_;
    report.status = bio_get_dev_status(&dev_);
    current_ = nullptr;

    if (report.status == DEVS_COMM_DISABLE) {
        report.outcome = Outcome::disabled;
        report.detail = tr("the device is disabled in the configuration");
    } else if (last_result_ < 0) {
        report.outcome = Outcome::error;
        report.detail = tr("the driver reported no outcome");
    } else {
        report.outcome = outcome_of_result(last_result_);
    }
    // An on-chip enrollment tells the stop its wait answered and then its own failure (201).
    if (stop_reported_ && report.outcome == Outcome::failed)
        report.outcome = Outcome::stopped;

    if (report.detail.empty()) {
        switch (report.outcome) {
        case Outcome::timeout: report.detail = tr("no finger within the time-out"); break;
        case Outcome::failed:
        case Outcome::error: {
            // The driver's last words say most about why.
            report.detail = notify_text(&dev_);
            if (report.detail.empty())
                report.detail = tr(bio_host_result_text(last_result_));
            break;
        }
        default: break;
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

}  // namespace

namespace {

Report request(Command command, int uid)
{
    Report r;
    r.command = command;
    r.uid = uid;
    return r;
}

Report range_request(Command command, int uid, int from, int to)
{
    Report r = request(command, uid);
    r.from = from;
    r.to = to;
    return r;
}

}  // namespace

Report Device::enroll(int uid, int index, const std::string &name)
{
    Report r = request(Command::enroll, uid);
    r.index = index;
    r.name = name;
    return run(std::move(r), [&](Report &) {
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
    Report r = request(Command::verify, uid);
    r.index = index;
    return run(std::move(r), [&](Report &report) {
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
    return run(range_request(Command::identify, uid, from, to), [&](Report &report) {
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
    return run(range_request(Command::search, uid, from, to), [&](Report &report) {
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
    return run(range_request(Command::list, uid, from, to), [&](Report &report) {
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
    return run(range_request(Command::clean, uid, from, to), [&](Report &) {
        if (dev_.ops_clean == nullptr) {
            last_result_ = OPS_COMM_ERROR;
            return;
        }
        dev_.ops_clean(&dev_, ACTION_START, uid, from, to);
    });
}

Report Device::stored(int uid, int from, int to)
{
    Report r = range_request(Command::list, uid, from, to);
    bio_sto_db *db = bio_sto_connect_db();
    if (db == nullptr) {
        r.outcome = Outcome::error;
        return r;
    }
    feature_info *found = bio_sto_get_feature_info(db, uid, dev_.bioinfo.biotype, dev_.device_name, from, to);
    bio_sto_disconnect_db(db);
    r.records = records_of(found);
    bio_sto_free_feature_info_list(found);
    r.outcome = Outcome::success;
    return r;
}

}  // namespace kelvractl
