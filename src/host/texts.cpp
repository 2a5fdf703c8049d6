// texts.cpp - the host's own English texts for status, result and notify codes.
#include "host_api.h"

namespace {

const char *notify_text(int mid)
{
    switch (mid) {
    case NOTIFY_COMM_IDLE: return "Device is idle";
    case NOTIFY_COMM_FAIL: return "Operation failed";
    case NOTIFY_COMM_ERROR: return "Operation error";
    case NOTIFY_COMM_STOP_BY_USER: return "Operation stopped by user";
    case NOTIFY_COMM_TIMEOUT: return "Operation timed out";
    case NOTIFY_COMM_DISABLE: return "Device is disabled";
    case NOTIFY_COMM_OUT_OF_MEM: return "Out of memory";
    case NOTIFY_COMM_UNSUPPORTED_OPS: return "Operation not supported by the device";
    case NOTIFY_COMM_DEVICE_BUSY: return "Device is busy";
    case NOTIFY_OPEN_SUCCESS: return "Device opened";
    case NOTIFY_OPEN_FAIL: return "Failed to open the device";
    case NOTIFY_ENROLL_SUCCESS: return "Enrollment succeeded";
    case NOTIFY_ENROLL_FAIL: return "Enrollment failed";
    case NOTIFY_VERIFY_MATCH: return "Fingerprint matches";
    case NOTIFY_VERIFY_NO_MATCH: return "Fingerprint does not match";
    case NOTIFY_IDENTIFY_MATCH: return "Fingerprint identified";
    case NOTIFY_IDENTIFY_NO_MATCH: return "Fingerprint not identified";
    case NOTIFY_CAPTURE_SUCCESS: return "Capture succeeded";
    case NOTIFY_CAPTURE_FAIL: return "Capture failed";
    case NOTIFY_SEARCH_MATCH: return "Matching fingerprint found";
    case NOTIFY_SEARCH_NO_MATCH: return "No matching fingerprint found";
    case NOTIFY_CLEAN_SUCCESS: return "Fingerprints deleted";
    case NOTIFY_CLEAN_FAIL: return "Failed to delete fingerprints";
    case NOTIFY_GET_FLIST_SUCCESS: return "Fingerprint list read";
    case NOTIFY_GET_FLIST_FAIL: return "Failed to read the fingerprint list";
    case NOTIFY_RENAME_SUCCESS: return "Fingerprint renamed";
    case NOTIFY_RENAME_FAIL: return "Failed to rename the fingerprint";
    default: break;
    }
    if (mid >= NOTIFY_DRIVER_FIRST && mid <= NOTIFY_DRIVER_LAST)
        return "Message from the device driver";
    return "Unknown message";
}

const char *result_text(int result)
{
    switch (result) {
    case OPS_COMM_SUCCESS: return "Operation succeeded";
    case OPS_COMM_FAIL: return "Operation failed";
    case OPS_COMM_ERROR: return "Operation error";
    case OPS_COMM_STOP_BY_USER: return "Operation stopped by user";
    case OPS_COMM_TIMEOUT: return "Operation timed out";
    case OPS_COMM_OUT_OF_MEM: return "Out of memory";
    case OPS_OPEN_SUCCESS: return "Device opened";
    case OPS_OPEN_FAIL: return "Failed to open the device";
    case OPS_OPEN_ERROR: return "Error while opening the device";
    case OPS_ENROLL_SUCCESS: return "Enrollment succeeded";
    case OPS_ENROLL_FAIL: return "Enrollment failed";
    case OPS_ENROLL_ERROR: return "Enrollment error";
    case OPS_ENROLL_STOP_BY_USER: return "Enrollment stopped by user";
    case OPS_ENROLL_TIMEOUT: return "Enrollment timed out";
    case OPS_VERIFY_MATCH: return "Fingerprint matches";
    case OPS_VERIFY_NO_MATCH: return "Fingerprint does not match";
    case OPS_VERIFY_ERROR: return "Verification error";
    case OPS_VERIFY_STOP_BY_USER: return "Verification stopped by user";
    case OPS_VERIFY_TIMEOUT: return "Verification timed out";
    case OPS_IDENTIFY_MATCH: return "Fingerprint identified";
    case OPS_IDENTIFY_NO_MATCH: return "Fingerprint not identified";
    case OPS_IDENTIFY_ERROR: return "Identification error";
    case OPS_IDENTIFY_STOP_BY_USER: return "Identification stopped by user";
    case OPS_IDENTIFY_TIMEOUT: return "Identification timed out";
    case OPS_CAPTURE_SUCCESS: return "Capture succeeded";
    case OPS_CAPTURE_FAIL: return "Capture failed";
    case OPS_SEARCH_MATCH: return "Matching fingerprint found";
    case OPS_SEARCH_NO_MATCH: return "No matching fingerprint found";
    case OPS_SEARCH_ERROR: return "Search error";
    case OPS_SEARCH_STOP_BY_USER: return "Search stopped by user";
    case OPS_SEARCH_TIMEOUT: return "Search timed out";
    case OPS_CLEAN_SUCCESS: return "Fingerprints deleted";
    case OPS_CLEAN_FAIL: return "Failed to delete fingerprints";
    case OPS_GET_FLIST_SUCCESS: return "Fingerprint list read";
    case OPS_GET_FLIST_FAIL: return "Failed to read the fingerprint list";
    case OPS_RENAME_SUCCESS: return "Fingerprint renamed";
    case OPS_RENAME_FAIL: return "Failed to rename the fingerprint";
    default: return "Unknown result";
    }
}

const char *status_text(int status)
{
    switch (status) {
    case DEVS_COMM_IDLE: return "Idle";
    case DEVS_COMM_DOING: return "Busy";
    case DEVS_COMM_STOP_BY_USER: return "Stopped by user";
    case DEVS_COMM_DISABLE: return "Disabled";
    case DEVS_OPEN_DOING: return "Opening the device";
    case DEVS_OPEN_STOP_BY_USER: return "Opening stopped by user";
    case DEVS_ENROLL_DOING: return "Enrolling";
    case DEVS_ENROLL_STOP_BY_USER: return "Enrollment stopped by user";
    case DEVS_VERIFY_DOING: return "Verifying";
    case DEVS_VERIFY_STOP_BY_USER: return "Verification stopped by user";
    case DEVS_IDENTIFY_DOING: return "Identifying";
    case DEVS_IDENTIFY_STOP_BY_USER: return "Identification stopped by user";
    case DEVS_CAPTURE_DOING: return "Capturing";
    case DEVS_CAPTURE_STOP_BY_USER: return "Capture stopped by user";
    case DEVS_SEARCH_DOING: return "Searching";
    case DEVS_SEARCH_STOP_BY_USER: return "Search stopped by user";
    case DEVS_CLEAN_DOING: return "Deleting fingerprints";
    case DEVS_CLEAN_STOP_BY_USER: return "Deletion stopped by user";
    case DEVS_GET_FLIST_DOING: return "Reading the fingerprint list";
    case DEVS_GET_FLIST_STOP_BY_USER: return "Reading the fingerprint list stopped by user";
    case DEVS_RENAME_DOING: return "Renaming a fingerprint";
    case DEVS_RENAME_STOP_BY_USER: return "Renaming stopped by user";
    default: return "Unknown status";
    }
}

}  // namespace

extern "C" {

const char *bio_host_notify_text(int mid) { return notify_text(mid); }
const char *bio_host_result_text(int result) { return result_text(result); }
const char *bio_host_status_text(int status) { return status_text(status); }

}  // extern "C"
