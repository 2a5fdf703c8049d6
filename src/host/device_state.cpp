// device_state.cpp - a device's status, result and notify id, the journal of their changes, driver ids,
// the enable key and the operation time-out.
#include "host_api.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <mutex>
#include <vector>

namespace {

std::atomic<int> g_next_driver_id{1};
std::atomic<int> g_ops_timeout_ms{30000};

struct Journal {
    std::mutex lock;
    std::vector<bio_event> events;
    unsigned long next_seq = 1;
    bio_event_listener listener = nullptr;
    void *listener_user = nullptr;
};

Journal &journal()
{
    static Journal instance;
    return instance;
}

// The device field changes under the journal's lock so that the journal order is the order in which the
// fields took their values, also when two threads set values of the same device.
void record(bio_dev *dev, bio_event_kind kind, bool common, int value)
{
    if (dev == nullptr) {
        bio_print_error("host: a %s was set without a device\n",
                        kind == BIO_EVENT_STATUS ? "status" : kind == BIO_EVENT_RESULT ? "result" : "notify id");
        return;
    }

    Journal &j = journal();
    bio_event event{};
    bio_event_listener listener;
    void *user;
    {
        std::lock_guard<std::mutex> guard(j.lock);
        switch (kind) {
        case BIO_EVENT_STATUS:
            dev->dev_status = value;
            if (value >= 100)
                dev->current_operation = value / 100;
            break;
        case BIO_EVENT_RESULT:
            dev->ops_result = value;
            break;
        case BIO_EVENT_NOTIFY:
            dev->notify_mid = value;
            break;
        }
        event.seq = j.next_seq++;
        event.driver_id = dev->driver_id;
        event.kind = kind;
        event.common = common ? 1 : 0;
        event.value = value;
        event.operation = dev->current_operation;
        try {
            j.events.push_back(event);
        } catch (const std::bad_alloc &) {
            // The device keeps its new value; only the record of the change is lost.
            std::fputs("[ERROR] host: journal out of memory\n", stderr);
        }
        listener = j.listener;
        user = j.listener_user;
    }
    if (listener != nullptr)
        listener(dev, &event, user);
}

}  // namespace

extern "C" {

int bio_get_empty_driver_id(void)
{
    return g_next_driver_id.fetch_add(1);
}

int bio_dev_is_enable(bio_dev *dev, GKeyFile *conf)
{
    if (dev == nullptr || dev->device_name == nullptr || conf == nullptr)
        return 1;
    GError *error = nullptr;
    const gboolean enabled = g_key_file_get_boolean(conf, dev->device_name, "Enable", &error);
    if (error != nullptr) {
        // Missing or unreadable: the device counts as enabled.
        g_error_free(error);
        return 1;
    }
    return enabled ? 1 : 0;
}

void bio_set_dev_status(bio_dev *dev, int status) { record(dev, BIO_EVENT_STATUS, false, status); }
void bio_set_ops_result(bio_dev *dev, int result) { record(dev, BIO_EVENT_RESULT, true, result); }
void bio_set_ops_abs_result(bio_dev *dev, int result) { record(dev, BIO_EVENT_RESULT, false, result); }
void bio_set_notify_mid(bio_dev *dev, int mid) { record(dev, BIO_EVENT_NOTIFY, true, mid); }
void bio_set_notify_abs_mid(bio_dev *dev, int mid) { record(dev, BIO_EVENT_NOTIFY, false, mid); }

// A stop request reads the status on another thread than the operation that sets it: reads take the
// lock the setters hold.
int bio_get_dev_status(bio_dev *dev)
{
    if (dev == nullptr)
        return DEVS_COMM_IDLE;
    std::lock_guard<std::mutex> guard(journal().lock);
    return dev->dev_status;
}
int bio_get_ops_result(bio_dev *dev)
{
    if (dev == nullptr)
        return OPS_COMM_SUCCESS;
    std::lock_guard<std::mutex> guard(journal().lock);
    return dev->ops_result;
}
int bio_get_notify_mid(bio_dev *dev)
{
    if (dev == nullptr)
        return NOTIFY_COMM_IDLE;
    std::lock_guard<std::mutex> guard(journal().lock);
    return dev->notify_mid;
}

const char *bio_get_notify_mid_mesg(bio_dev *dev)
{
    if (dev == nullptr)
        return bio_host_notify_text(NOTIFY_COMM_IDLE);
    const int mid = bio_get_notify_mid(dev);
    if (mid >= NOTIFY_DRIVER_FIRST && mid <= NOTIFY_DRIVER_LAST && dev->ops_get_notify_mid_mesg != nullptr) {
        const char *text = dev->ops_get_notify_mid_mesg(dev);
        if (text != nullptr)
            return text;
    }
    return bio_host_notify_text(mid);
}

int bio_get_ops_timeout_ms(void) { return g_ops_timeout_ms.load(); }

void bio_set_ops_timeout_ms(int timeout_ms)
{
    if (timeout_ms < 0) {
        bio_print_error("host: operation time-out %d ms refused, keeping %d ms\n", timeout_ms,
                        g_ops_timeout_ms.load());
        return;
    }
    g_ops_timeout_ms.store(timeout_ms);
}

size_t bio_journal_read(size_t first, bio_event *out, size_t max)
{
    Journal &j = journal();
    std::lock_guard<std::mutex> guard(j.lock);
    if (out == nullptr || first >= j.events.size())
        return 0;
    const size_t count = std::min(max, j.events.size() - first);
    std::copy_n(j.events.begin() + static_cast<std::ptrdiff_t>(first), count, out);
    return count;
}

size_t bio_journal_size(void)
{
    Journal &j = journal();
    std::lock_guard<std::mutex> guard(j.lock);
    return j.events.size();
}

// A cleared journal numbers again from 1, so that a test sees the same numbers on every run.
void bio_journal_clear(void)
{
    Journal &j = journal();
    std::lock_guard<std::mutex> guard(j.lock);
    j.events.clear();
    j.events.shrink_to_fit();
    j.next_seq = 1;
}

void bio_set_event_listener(bio_event_listener listener, void *user)
{
    Journal &j = journal();
    std::lock_guard<std::mutex> guard(j.lock);
    j.listener = listener;
    j.listener_user = user;
}

}  // extern "C"
