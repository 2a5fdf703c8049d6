// kelvra_type.h - the private state record the driver keeps for each device.
#ifndef KELVRA_TYPE_H
#define KELVRA_TYPE_H

#include <atomic>
#include <cstdint>

// Values of ctrlFlag, the run/stop handshake between an operation and a stop request.
enum kelvra_ctrl : int32_t {
    CTRL_IDLE = 0,            // open has started, no loop armed
    CTRL_RUNNING = 1,         // loops go on only while the flag holds this
    CTRL_STOP_REQUESTED = 2,  // stored by the stop request only
    CTRL_STOPPED = 3,         // a loop saw the request and ended because of it
    CTRL_FINISHED = 4,        // a walk over stored records ended without a stop
};

constexpr int KELVRA_EXTRA_INFO_SIZE = 1024;

// Owned by bio_dev.dev_priv from configure to free. The fields keep this order: tools written against the
// first release of the driver read them through dev_priv by offset.
typedef struct kelvra_driver {
    void *handle;                   // the SDK's device handle; NULL while no sensor is open
    int32_t security_level;
    int32_t image_quality;
    int32_t timeoutMS;              // the host's operation time-out, taken at each open
    std::atomic<int32_t> ctrlFlag;  // written by the operation thread and the stop thread
    int32_t imageW;
    int32_t imageH;
    int32_t imageDPI;
    unsigned char *rawImage;        // imageW x imageH bytes from open to close
    char extra_info[KELVRA_EXTRA_INFO_SIZE];
    // Added after the fields of the first release, so that their offsets stay.
    // Operations of this device between their entry and their return, pauses included: a stop request
    // waits only while one runs.
    std::atomic<int32_t> operationsRunning;
    // A successful open holds the sensor until close or the next open releases it: the handle's value
    // cannot tell, as an SDK may hand out any value as its handle.
    bool sensorOpen;
} kelvra_driver_t;

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t), "ctrlFlag keeps the size of an int");
static_assert(std::atomic<int32_t>::is_always_lock_free, "ctrlFlag must not take a lock");

#endif
