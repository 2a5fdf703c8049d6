// fault_injection_test.cpp - every host-facing operation in both work modes, with each SDK call and each
// feature-database call it makes failing in turn, checked for a clean ending and consistent storage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bio_host_testing.h"
#include "harness.h"
#include "hardening_support.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"

using namespace kelvra_test;
using namespace hardening;

namespace {

enum class Op { Open, Close, Enroll, Verify, Identify, Search, CleanOne, CleanAll, FeatureList };

const char *op_name(Op op)
{
    switch (op) {
    case Op::Open: return "open";
    case Op::Close: return "close";
    case Op::Enroll: return "enroll";
    case Op::Verify: return "verify";
    case Op::Identify: return "identify";
    case Op::Search: return "search";
    case Op::CleanOne: return "clean_one";
    case Op::CleanAll: return "clean_all";
    case Op::FeatureList: return "feature_list";
    }
    return "?";
}

// How the fault is put in place.
enum class Kind {
    SdkAlways,   // every call of `call` answers `rc` (outputs left alone unless has_out)
    SdkOnce,     // only the next call of `call` answers `rc`
    Db,          // the n-th call of a database fault point fails
    ReadOnlyDb,  // the database file is read-only for the service (run as an unprivileged user)
    CorruptDb,   // the database file turns to garbage before the operation
};

// What the sensor and the database say about which fingers exist once the operation is over.
enum class Agreement {
    Agree,        // every database record has its on-chip template and nothing more is on the sensor
    DbListsMore,  // the sensor dropped a finger the database still lists: it can no longer unlock anything
    SensorMore,   // the sensor holds a template the database does not list (it could still match)
};

constexpr int kNoResult = INT_MIN;      // no result was set by the operation
constexpr int kNonZero = INT_MIN + 1;   // any non-zero return value

// An error line a case expects, exactly; `repeated`: one or more times in a row.
struct ErrorLine {
    ErrorLine(std::string line, bool more = false) : text(std::move(line)), repeated(more) {}
    ErrorLine(const char *line) : text(line), repeated(false) {}
    std::string text;
    bool repeated;
};
ErrorLine again(std::string line) { return {std::move(line), true}; }

// Stands for the host's own error line about the case's fault: the injected fault of the point, the file
// that is not a database, the write refused on a read-only file.
const std::string kFaultLine = "<the host's line about the fault>";
const std::string kPoorImage = "The fingerprint image quality is poor[0], please press your finger again\n\n";
const std::string kCleanWithoutConnection = "feature database: clean without a connection\n";
const std::string kRemovedAgain =
    "The fingerprint could not be recorded and was removed from the sensor again. Please enroll it again\n";
const std::string kNotSaved = "Unable to open the feature database, the fingerprint was not saved\n";
const std::string kStoreRefused = "Unable to save the fingerprint to the feature database, error code: -1\n";
const std::string kRecordsKept =
    "[kelvra-test] The sensor could not delete the fingerprints (error code -3); the records are kept\n";
const std::string kCleanUnopened =
    "[kelvra-test] The feature database could not be opened; no fingerprint of UID 1 was deleted\n";
const std::string records_of_deleted_kept(const char *range)
{
    return std::string("[kelvra-test] The sensor deleted the fingerprints of UID 1 in indexes ") + range +
           ", but the feature database kept their records (error code -1); clean them again to remove them\n";
}
const std::string kRecordsUnknown =
    "The feature database could not be read, so index 1 could not be checked; nothing was enrolled\n";
const std::string kMatchNotListed = "[kelvra-test] The sensor matched fingerprint 0 of UID 1, which the feature "
                                    "database does not list there; it does not count as a match\n";
const std::string kRetryExtraction =
    "Generate fingerprint characteristics error (-3), please lift your finger and press it again\n";

struct Case {
    const char *name;
    bool chip;
    Op op;
    Kind kind;
    kelvs_call call = KELVS_CALL_COUNT;  // SDK faults
    int rc = KELVS_ERR_GONE;
    bio_fault_point point = BIO_FAULT_POINT_COUNT;  // database faults
    int nth = 1;
    // Expected ending.
    int ret = 0;            // pointer-returning operations: 1 for a list, 0 for NULL
    int status = DEVS_COMM_IDLE;
    int result = kNoResult; // the last result set during the operation
    int records_delta = 0;  // records of the driver after minus before
    Agreement agreement = Agreement::Agree;
    const char *why = "";   // what the behaviour is and where it is decided
    // Extras some cases need.
    bool old_firmware = false;       // firmware 23.70 on MCU 7 / sensor 37: close flags an update
    bool marker_missing = false;     // open finds no marker (first open after installation)
    int update_script_runs = -1;     // -1: not checked
    bool also_fail_sensor_delete = false;  // DelUserFpsFroOS answers -3 as well
    bool with_match_word = false;          // the failing VerifyExt still writes similarity 999 and match 0
    bool user_gives_up = false;            // the finger goes away after the third extraction
    bool ticking_clock = false;            // every clock read takes 1 ms (a busy sensor answers at once)
    std::vector<ErrorLine> errors = {};    // every error line the operation logs, in order
};

// Test output names the case instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

Case sdk(const char *name, bool chip, Op op, kelvs_call call, int rc, int ret, int status, int result,
         const char *why, int records_delta = 0, Agreement agreement = Agreement::Agree)
{
    Case c{name, chip, op, Kind::SdkAlways};
    c.call = call;
    c.rc = rc;
    c.ret = ret;
    c.status = status;
    c.result = result;
    c.why = why;
    c.records_delta = records_delta;
    c.agreement = agreement;
    return c;
}

Case once(Case c)
{
    c.kind = Kind::SdkOnce;
    return c;
}

Case db(const char *name, bool chip, Op op, bio_fault_point point, int nth, int ret, int result, const char *why,
        int records_delta = 0, Agreement agreement = Agreement::Agree)
{
    Case c{name, chip, op, Kind::Db};
    c.point = point;
    c.nth = nth;
    c.ret = ret;
    c.result = result;
    c.why = why;
    c.records_delta = records_delta;
    c.agreement = agreement;
    return c;
}

Case file_fault(const char *name, bool chip, Op op, Kind kind, int ret, int result, const char *why,
                int records_delta = 0, Agreement agreement = Agreement::Agree)
{
    Case c{name, chip, op, kind};
    c.ret = ret;
    c.result = result;
    c.why = why;
    c.records_delta = records_delta;
    c.agreement = agreement;
    return c;
}

// Six presses whose duplicate check cannot open the database, then a store that cannot either.
std::vector<ErrorLine> unchecked_presses_then_not_saved()
{
    std::vector<ErrorLine> lines;
    for (int press = 1; press <= 6; ++press)
        lines.insert(lines.end(), {kFaultLine, kNothingComparedLine});
    lines.insert(lines.end(), {kFaultLine, kNotSaved});
    return lines;
}

Case logs(Case c, std::vector<ErrorLine> errors)
{
    c.errors = std::move(errors);
    return c;
}

template <class F> Case with(Case c, F change)
{
    change(c);
    return c;
}

constexpr bool H = false;  // match-on-host
constexpr bool C = true;   // match-on-chip
constexpr int E = KELVS_ERR_GONE;

// clang-format off
// The expected ending of every case. Before each, user 1 has enrolled finger "alice" at index 0 through
// the driver and the device is open again (closed for the open cases). Verify, identify and search
// present alice; enroll presents "bob" for user 1, index 1, so the duplicate check compares with alice.
const std::vector<Case> &cases()
{
    static const std::vector<Case> table = [] {
        std::vector<Case> t;
        for (bool mode : {H, C}) {
            // ---- open ------------------------------------------------------------------------------
            t.push_back(logs(sdk("count_fails_as_no_sensor", mode, Op::Open, KELVS_GetDeviceCount, E, -1,
                                 DEVS_COMM_IDLE, OPS_COMM_ERROR,
                                 "count stays 0: the no-sensor path, with the update script"),
                             {"无可用设备\n"}));
            t.back().update_script_runs = 1;
            t.push_back(logs(sdk("global_init_refused", mode, Op::Open, KELVS_GlobalInit, E, -1, DEVS_COMM_IDLE,
                                 OPS_COMM_ERROR, "a refused set-up is reported like a failed open, with its code"),
                             {"Unable to set up the sensor SDK, error code: -3\n"}));
            t.push_back(logs(sdk("open_device_fails", mode, Op::Open, KELVS_OpenDevice, E, -1, DEVS_COMM_IDLE,
                                 OPS_COMM_ERROR, "open error with the code; the SDK is released again"),
                             {"打开设备失败，错误码：-3\n"}));
            t.push_back(sdk("work_mode_query_fails", mode, Op::Open, KELVS_GetDeviceWorkMode, E, 0, DEVS_COMM_IDLE,
                            OPS_OPEN_SUCCESS, "documented: not reported; the mode of the earlier open stays"));
            t.push_back(sdk("image_info_fails", mode, Op::Open, KELVS_GetImageInfo, E, 0, DEVS_COMM_IDLE,
                            OPS_OPEN_SUCCESS, "documented: not reported; the geometry of the earlier open stays"));
            if (mode == C)
                t.push_back(with(sdk("reinstall_delete_fails", C, Op::Open, KELVS_DelOSInfoFpsFroOS, E, 0,
                                     DEVS_COMM_IDLE, OPS_OPEN_SUCCESS,
                                     "the marker is removed again: the next open tries the deletion again"),
                                 [](Case &c) { c.marker_missing = true; }));
            // ---- close: sets nothing, whatever fails ------------------------------------------------
            t.push_back(sdk("minor_version_fails", mode, Op::Close, KELVS_GetFwMinorVersion, E, 0, DEVS_COMM_IDLE,
                            kNoResult, "no update check, the sensor is closed"));
            t.back().update_script_runs = 0;
            t.push_back(sdk("close_device_fails", mode, Op::Close, KELVS_CloseDevice, E, 0, DEVS_COMM_IDLE, kNoResult,
                            "the handle is forgotten and the SDK released all the same"));
            t.push_back(sdk("global_free_fails", mode, Op::Close, KELVS_GlobalFree, E, 0, DEVS_COMM_IDLE, kNoResult,
                            "only the debug line changes"));
            for (auto [name, call, runs] : {std::tuple{"version_fails", KELVS_GetFwVersion, 0},
                                            std::tuple{"mcu_type_fails", KELVS_GetMcuType, 0},
                                            std::tuple{"update_flag_fails", KELVS_SetTQ300UpdateFlag, 1}}) {
                t.push_back(with(sdk(name, mode, Op::Close, call, E, 0, DEVS_COMM_IDLE, kNoResult,
                                     "firmware 23.70: a failed query skips the update, a failed flag does not"),
                                 [runs](Case &c) {
                                     c.old_firmware = true;
                                     c.update_script_runs = runs;
                                 }));
            }
            // ---- get feature list: database only ----------------------------------------------------
            t.push_back(logs(db("connect_fails", mode, Op::FeatureList, BIO_FAULT_CONNECT, 1, 0, OPS_GET_FLIST_FAIL,
                                "an unreadable database is not an empty one"),
                             {kFaultLine}));
            t.push_back(logs(db("query_fails", mode, Op::FeatureList, BIO_FAULT_QUERY, 1, 0, OPS_GET_FLIST_SUCCESS,
                                "documented: the host's query answers NULL for an error as for no records"),
                             {kFaultLine}));
            t.push_back(logs(file_fault("corrupt_file", mode, Op::FeatureList, Kind::CorruptDb, 0, OPS_GET_FLIST_FAIL,
                                        "the file cannot be opened: list failure"),
                             {kFaultLine}));
            t.push_back(file_fault("read_only_file", mode, Op::FeatureList, Kind::ReadOnlyDb, 1, OPS_GET_FLIST_SUCCESS,
                                   "reading needs no write access"));
        }

        // ---- match-on-host enroll ------------------------------------------------------------------
        t.push_back(logs(sdk("capture_always_fails", H, Op::Enroll, KELVS_CaptureRawData, E, -1, DEVS_COMM_IDLE,
                             OPS_COMM_TIMEOUT, "the finger wait retries every 50 ms until the time-out"),
                         {again(kPoorImage)}));
        t.push_back(logs(once(sdk("capture_fails_once", H, Op::Enroll, KELVS_CaptureRawData, E, 0, DEVS_COMM_IDLE,
                                  OPS_ENROLL_SUCCESS, "the next capture is taken", 1)),
                         {kPoorImage}));
        t.push_back(logs(sdk("quality_fails", H, Op::Enroll, KELVS_ImgQuality, E, -1, DEVS_COMM_IDLE, OPS_COMM_ERROR,
                             "image-analysis error ends the wait"),
                         {"Analyze fingerprint image quality error, error code: -3\n"}));
        t.push_back(logs(sdk("quality_unexpected_code", H, Op::Enroll, KELVS_ImgQuality, 1, -1, DEVS_COMM_IDLE,
                             OPS_COMM_ERROR, "any non-zero code is an analysis error"),
                         {"Analyze fingerprint image quality error, error code: 1\n"}));
        // A refused extraction asks for the same press again for as long as the user keeps pressing (each
        // wait has its own time-out); the user gives up after three tries.
        t.push_back(logs(with(sdk("extract_always_fails", H, Op::Enroll, KELVS_ExtractFeature, E, -1, DEVS_COMM_IDLE,
                                  OPS_COMM_TIMEOUT, "the press is asked for again until the finger stays away"),
                              [](Case &c) { c.user_gives_up = true; }),
                         {again(kRetryExtraction)}));
        t.push_back(logs(once(sdk("extract_fails_once", H, Op::Enroll, KELVS_ExtractFeature, E, 0, DEVS_COMM_IDLE,
                                  OPS_ENROLL_SUCCESS, "the press is taken again", 1)),
                         {kRetryExtraction}));
        t.push_back(sdk("compare_fails", H, Op::Enroll, KELVS_VerifyExt, E, 0, DEVS_COMM_IDLE, OPS_ENROLL_SUCCESS,
                        "documented: a refused comparison is not a duplicate", 1));
        t.push_back(logs(db("dup_check_connect_fails", H, Op::Enroll, BIO_FAULT_CONNECT, 1, 0, OPS_ENROLL_SUCCESS,
                            "documented: that press is not checked for duplicates (error line)", 1),
                         {kFaultLine, kNothingComparedLine}));
        t.push_back(logs(db("dup_check_query_fails", H, Op::Enroll, BIO_FAULT_QUERY, 1, 0, OPS_ENROLL_SUCCESS,
                            "documented: that press is not checked for duplicates", 1),
                         {kFaultLine}));
        t.push_back(logs(db("store_connect_fails", H, Op::Enroll, BIO_FAULT_CONNECT, 7, -1, OPS_COMM_ERROR,
                            "six duplicate checks, then the store's connection: not saved, not success"),
                         {kFaultLine, kNotSaved}));
        t.push_back(logs(db("store_fails", H, Op::Enroll, BIO_FAULT_STORE, 1, -1, OPS_COMM_ERROR, "not saved"),
                         {kFaultLine, kStoreRefused}));
        t.push_back(logs(db("record_row_fails", H, Op::Enroll, BIO_FAULT_STORE_ROW, 1, -1, OPS_COMM_ERROR,
                            "rolled back"),
                         {kFaultLine, kStoreRefused}));
        t.push_back(logs(db("sample_row_fails", H, Op::Enroll, BIO_FAULT_STORE_ROW, 2, -1, OPS_COMM_ERROR,
                            "the record row rolls back with it"),
                         {kFaultLine, kStoreRefused}));
        t.push_back(logs(file_fault("read_only_file", H, Op::Enroll, Kind::ReadOnlyDb, -1, OPS_COMM_ERROR,
                                    "duplicate checks read, the store is refused"),
                         {kFaultLine, kStoreRefused}));
        t.push_back(logs(file_fault("corrupt_file", H, Op::Enroll, Kind::CorruptDb, -1, OPS_COMM_ERROR,
                                    "nothing can be checked or saved"),
                         unchecked_presses_then_not_saved()));

        // ---- match-on-host verify / identify / search ------------------------------------------------
        struct Matching {
            Op op;
            int fail_ret;
            int no_match_ret;
            int no_match;
        };
        for (const Matching &m : {Matching{Op::Verify, -1, 0, OPS_VERIFY_NO_MATCH},
                                  Matching{Op::Identify, -1, -1, OPS_IDENTIFY_NO_MATCH},
                                  Matching{Op::Search, 0, 0, OPS_SEARCH_NO_MATCH}}) {
            t.push_back(logs(sdk("capture_always_fails", H, m.op, KELVS_CaptureRawData, E, m.fail_ret, DEVS_COMM_IDLE,
                                 OPS_COMM_TIMEOUT, "the finger wait retries until the time-out"),
                             {again(kPoorImage)}));
            t.push_back(logs(sdk("quality_fails", H, m.op, KELVS_ImgQuality, E, m.fail_ret, DEVS_COMM_IDLE,
                                 OPS_COMM_ERROR, "image-analysis error"),
                             {"Analyze fingerprint image quality error, error code: -3\n"}));
            t.push_back(logs(sdk("extract_fails", H, m.op, KELVS_ExtractFeature, E, m.fail_ret, DEVS_COMM_IDLE,
                                 OPS_COMM_ERROR, "extraction error, no retry"),
                             {"Generate fingerprint characteristics error, error code: -3\n"}));
            t.push_back(sdk("compare_fails", H, m.op, KELVS_VerifyExt, E, m.no_match_ret, DEVS_COMM_IDLE, m.no_match,
                            "a refused comparison is a miss, never a hit"));
            t.push_back(with(sdk("compare_fails_writing_match", H, m.op, KELVS_VerifyExt, 7, m.no_match_ret,
                                 DEVS_COMM_IDLE, m.no_match, "the match word of a failed call is not read"),
                             [](Case &c) { c.with_match_word = true; }));
            t.push_back(logs(db("connect_fails", H, m.op, BIO_FAULT_CONNECT, 1, m.no_match_ret, m.no_match,
                                "documented: no stored template can be read, so none matches (error line)"),
                             {kFaultLine, kNothingComparedLine}));
            t.push_back(logs(db("query_fails", H, m.op, BIO_FAULT_QUERY, 1, m.no_match_ret, m.no_match,
                                "documented: no stored template can be read, so none matches"),
                             {kFaultLine}));
            t.push_back(logs(file_fault("corrupt_file", H, m.op, Kind::CorruptDb, m.no_match_ret, m.no_match,
                                        "no stored template can be read"),
                             {kFaultLine, kNothingComparedLine}));
        }

        // ---- match-on-host clean ---------------------------------------------------------------------
        for (Op op : {Op::CleanOne, Op::CleanAll}) {
            t.push_back(logs(db("connect_fails", H, op, BIO_FAULT_CONNECT, 1, kNonZero, OPS_CLEAN_FAIL,
                                "nothing deleted, failure reported"),
                             {kFaultLine, kCleanWithoutConnection}));
            t.push_back(logs(db("clean_fails", H, op, BIO_FAULT_CLEAN, 1, kNonZero, OPS_CLEAN_FAIL,
                                "nothing deleted, failure reported"),
                             {kFaultLine}));
            t.push_back(logs(file_fault("read_only_file", H, op, Kind::ReadOnlyDb, kNonZero, OPS_CLEAN_FAIL,
                                        "the deletion is refused"),
                             {kFaultLine}));
            t.push_back(logs(file_fault("corrupt_file", H, op, Kind::CorruptDb, kNonZero, OPS_CLEAN_FAIL,
                                        "the file cannot be opened"),
                             {kFaultLine, kCleanWithoutConnection}));
        }

        // ---- match-on-chip enroll --------------------------------------------------------------------
        t.push_back(sdk("capture_always_fails", C, Op::Enroll, KELVS_CaptureRawData, E, -1, DEVS_COMM_IDLE,
                        OPS_ENROLL_FAIL, "an unfilled frame measures as an empty sensor: the press wait times out"));
        t.push_back(once(sdk("capture_fails_once", C, Op::Enroll, KELVS_CaptureRawData, E, 0, DEVS_COMM_IDLE,
                             OPS_ENROLL_SUCCESS, "one empty-looking frame, then the press is seen", 1)));
        t.push_back(sdk("step_fails", C, Op::Enroll, KELVS_EnrollForOS, E, -1, DEVS_COMM_IDLE, OPS_ENROLL_FAIL,
                        "an unknown code is 'not decided yet': the step times out, then enroll fails"));
        t.push_back(sdk("step_gives_up", C, Op::Enroll, KELVS_EnrollForOS, KELFPSCAN_ENROLL_GAVE_UP, -1,
                        DEVS_COMM_IDLE, OPS_ENROLL_FAIL, "254 ends the step as a time-out"));
        t.push_back(logs(sdk("store_template_fails", C, Op::Enroll, KELVS_StoreTemplateForOS, E, -1, DEVS_COMM_IDLE,
                             OPS_COMM_ERROR, "nothing stored on the sensor, nothing recorded"),
                         {"Generate fingerprint template error, error code: -3\n"}));
        t.push_back(logs(sdk("store_template_full", C, Op::Enroll, KELVS_StoreTemplateForOS, KELFPSCAN_STORE_FULL, -1,
                             DEVS_COMM_IDLE, OPS_COMM_ERROR, "no free slot on the sensor"),
                         {"No more userid to store tempFeature, error code: 50\n"}));
        t.push_back(logs(db("count_connect_fails", C, Op::Enroll, BIO_FAULT_CONNECT, 1, 0, OPS_ENROLL_SUCCESS,
                            "the user's records are read again", 1),
                         {kFaultLine}));
        t.push_back(logs(db("count_query_fails", C, Op::Enroll, BIO_FAULT_QUERY, 1, 0, OPS_ENROLL_SUCCESS,
                            "an empty answer is read again, and lists the user's finger", 1),
                         {kFaultLine}));
        t.push_back(logs(db("bookkeeping_connect_fails", C, Op::Enroll, BIO_FAULT_CONNECT, 2, -1, OPS_COMM_ERROR,
                            "the template just stored is deleted from the sensor again"),
                         {kFaultLine, kRemovedAgain}));
        t.push_back(logs(db("bookkeeping_store_fails", C, Op::Enroll, BIO_FAULT_STORE, 1, -1, OPS_COMM_ERROR,
                            "the template just stored is deleted from the sensor again"),
                         {kFaultLine, kRemovedAgain}));
        t.push_back(logs(db("bookkeeping_record_row_fails", C, Op::Enroll, BIO_FAULT_STORE_ROW, 1, -1, OPS_COMM_ERROR,
                            "rolled back; the template is deleted again"),
                         {kFaultLine, kRemovedAgain}));
        t.push_back(logs(db("bookkeeping_sample_row_fails", C, Op::Enroll, BIO_FAULT_STORE_ROW, 2, -1, OPS_COMM_ERROR,
                            "rolled back; the template is deleted again"),
                         {kFaultLine, kRemovedAgain}));
        t.push_back(logs(with(db("bookkeeping_and_undo_fail", C, Op::Enroll, BIO_FAULT_STORE, 1, -1, OPS_COMM_ERROR,
                                 "documented: the sensor keeps bob, and the user is told removing it failed", 0,
                                 Agreement::SensorMore),
                              [](Case &c) { c.also_fail_sensor_delete = true; }),
                         {kFaultLine, "The fingerprint could not be recorded, and removing it from the sensor "
                                      "failed, error code: -3\n"}));
        t.push_back(logs(file_fault("read_only_file", C, Op::Enroll, Kind::ReadOnlyDb, -1, OPS_COMM_ERROR,
                                    "the bookkeeping record is refused; the template is deleted again"),
                         {kFaultLine, kRemovedAgain}));
        t.push_back(logs(file_fault("corrupt_file", C, Op::Enroll, Kind::CorruptDb, -1, OPS_ENROLL_FAIL,
                                    "the user's records cannot be read: refused before any sensor call"),
                         {kFaultLine, kFaultLine, kRecordsUnknown}));

        // ---- match-on-chip verify / identify / search ------------------------------------------------
        for (const Matching &m : {Matching{Op::Verify, -1, 0, OPS_VERIFY_NO_MATCH},
                                  Matching{Op::Identify, -1, -1, OPS_IDENTIFY_NO_MATCH},
                                  Matching{Op::Search, 0, 0, OPS_SEARCH_NO_MATCH}}) {
            t.push_back(sdk("search_fails", C, m.op, KELVS_SearchForOS, E, m.fail_ret, DEVS_COMM_IDLE,
                            OPS_COMM_TIMEOUT, "retried every 500 ms until the time-out"));
            t.push_back(with(sdk("search_stays_busy", C, m.op, KELVS_SearchForOS, KELFPSCAN_SEARCH_BUSY, m.fail_ret,
                                 DEVS_COMM_IDLE, OPS_COMM_TIMEOUT, "asked again at once, bounded by the time-out"),
                             [](Case &c) { c.ticking_clock = true; }));
        }
        t.push_back(sdk("reset_count_fails", C, Op::Identify, KELVS_ResetIdentifyCntForOS, E, 1, DEVS_COMM_IDLE,
                        OPS_IDENTIFY_MATCH, "documented: its code is not consulted; the search still decides"));
        // The sensor's match counts only for a finger the database lists: a database that cannot answer
        // makes it no match.
        for (auto [op, no_match, returned] : {std::tuple{Op::Verify, OPS_VERIFY_NO_MATCH, 0},
                                              std::tuple{Op::Identify, OPS_IDENTIFY_NO_MATCH, -1}}) {
            t.push_back(logs(db("listed_connect_fails", C, op, BIO_FAULT_CONNECT, 1, returned, no_match,
                                "a match the database cannot confirm is no match"),
                             {kFaultLine, kMatchNotListed}));
            t.push_back(logs(db("listed_query_fails", C, op, BIO_FAULT_QUERY, 1, returned, no_match,
                                "as a match without a record: no match"),
                             {kFaultLine, kMatchNotListed}));
        }
        t.push_back(logs(db("walk_connect_fails", C, Op::Search, BIO_FAULT_CONNECT, 1, 0, OPS_SEARCH_NO_MATCH,
                            "a match the database cannot confirm is no match"),
                         {kFaultLine, kMatchNotListed}));
        t.push_back(logs(db("walk_query_fails", C, Op::Search, BIO_FAULT_QUERY, 1, 0, OPS_SEARCH_NO_MATCH,
                            "as a match without a record: no match"),
                         {kFaultLine, kMatchNotListed}));
        t.push_back(logs(file_fault("corrupt_file", C, Op::Search, Kind::CorruptDb, 0, OPS_SEARCH_NO_MATCH,
                                    "as a match without a record: no match"),
                         {kFaultLine, kMatchNotListed}));
        // Records made: alice's, read for the match, then the copy the search returns.
        t.push_back(logs(db("walk_copy_fails", C, Op::Search, BIO_FAULT_NEW_RECORD, 2, 0, OPS_COMM_OUT_OF_MEM,
                            "the match told already ends out of memory, not as a match with no record"),
                         {kFaultLine}));

        // ---- match-on-chip clean: the sensor first ---------------------------------------------------
        t.push_back(logs(sdk("sensor_delete_fails", C, Op::CleanOne, KELVS_DelUserFpsFroOS, E, E, DEVS_COMM_IDLE,
                             OPS_CLEAN_FAIL, "the record stays while the sensor keeps the finger"),
                         {kRecordsKept}));
        t.push_back(logs(sdk("sensor_delete_all_fails", C, Op::CleanAll, KELVS_DelAllUserFpsFroOS, E, E, DEVS_COMM_IDLE,
                             OPS_CLEAN_FAIL, "the records stay while the sensor keeps the fingers"),
                         {kRecordsKept}));
        for (Op op : {Op::CleanOne, Op::CleanAll}) {
            const char *range = op == Op::CleanOne ? "0 to 0" : "0 to -1";
            t.push_back(logs(db("connect_fails", C, op, BIO_FAULT_CONNECT, 1, kNonZero, OPS_CLEAN_FAIL,
                                "the database is opened before the sensor deletes anything: nothing is deleted"),
                             {kFaultLine, kCleanUnopened}));
            t.push_back(logs(db("clean_fails", C, op, BIO_FAULT_CLEAN, 1, 0, OPS_CLEAN_SUCCESS,
                                "a removal refused once is asked again", -1),
                             {kFaultLine}));
            t.push_back(logs(file_fault("read_only_file", C, op, Kind::ReadOnlyDb, kNonZero, OPS_CLEAN_FAIL,
                                        "documented: the sensor let the finger go, the record stays listed until "
                                        "a retry",
                                        0, Agreement::DbListsMore),
                             {kFaultLine, kFaultLine, records_of_deleted_kept(range)}));
            t.push_back(logs(file_fault("corrupt_file", C, op, Kind::CorruptDb, kNonZero, OPS_CLEAN_FAIL,
                                        "the file cannot be opened: nothing is deleted, the file is left as it is"),
                             {kFaultLine, kCleanUnopened}));
        }
        t.push_back(logs(db("shared_byte_query_fails", C, Op::CleanOne, BIO_FAULT_QUERY, 1, 0, OPS_CLEAN_SUCCESS,
                            "the empty answer is read again: no record shares the byte, the finger goes", -1),
                         {kFaultLine}));
        return t;
    }();
    return table;
}
// clang-format on

std::string case_name(const testing::TestParamInfo<Case> &info)
{
    const Case &c = info.param;
    return std::string(c.chip ? "chip_" : "host_") + op_name(c.op) + "_" + c.name;
}

std::string profile_for(const Case &c)
{
    std::string profile = c.chip ? kChipModeProfile : kHostModeProfile;
    if (c.old_firmware) {
        replace_key(profile, "FwMinorVersion", "70");
        replace_key(profile, "FwVersion", "23");
    }
    return profile;
}

// Collects what went wrong as text, so a case can also be checked in a child process.
class Findings {
public:
    template <class T, class U> void equal(const char *what, const T &actual, const U &expected)
    {
        if (!(actual == expected)) {
            std::ostringstream out;
            out << what << ": got " << actual << ", expected " << expected << "\n";
            text_ += out.str();
        }
    }
    void check(bool ok, const std::string &what)
    {
        if (!ok)
            text_ += what + "\n";
    }
    const std::string &text() const { return text_; }

private:
    std::string text_;
};

int last_result(const std::vector<bio_event> &events)
{
    int result = kNoResult;
    for (const bio_event &e : events)
        if (e.kind == BIO_EVENT_RESULT)
            result = e.value;
    return result;
}

int run_operation(Device &d, Op op)
{
    bio_dev *dev = d.dev();
    switch (op) {
    case Op::Open:
        return d.open();
    case Op::Close:
        d.close();
        return 0;
    case Op::Enroll: {
        kelvs_finger_auto("bob");
        char name[] = "bob's index";
        return kelvra_ops_enroll(dev, ACTION_START, 1, 1, name);
    }
    case Op::Verify:
        kelvs_finger_auto("alice");
        return kelvra_ops_verify(dev, ACTION_START, 1, 0);
    case Op::Identify:
        kelvs_finger_auto("alice");
        return kelvra_ops_identify(dev, ACTION_START, 1, 0, -1);
    case Op::Search: {
        kelvs_finger_auto("alice");
        feature_info *found = kelvra_ops_search(dev, ACTION_START, 1, 0, -1);
        bio_sto_free_feature_info_list(found);
        return found != nullptr ? 1 : 0;
    }
    case Op::CleanOne:
        return kelvra_ops_clean(dev, ACTION_START, 1, 0, 0);
    case Op::CleanAll:
        return kelvra_ops_clean(dev, ACTION_START, 1, 0, -1);
    case Op::FeatureList: {
        feature_info *list = kelvra_ops_get_feature_list(dev, ACTION_START, 1, 0, -1);
        bio_sto_free_feature_info_list(list);
        return list != nullptr ? 1 : 0;
    }
    }
    return 0;
}

void arm(const Case &c)
{
    switch (c.kind) {
    case Kind::SdkAlways:
    case Kind::SdkOnce: {
        kelvs_answer answer{};
        answer.rc = c.rc;
        if (c.with_match_word) {
            answer.has_out = 1;
            answer.out[0] = 999;
            answer.out[1] = 0;
        }
        if (c.kind == Kind::SdkAlways)
            kelvs_script_always(c.call, &answer);
        else
            kelvs_script(c.call, &answer);
        break;
    }
    case Kind::Db:
        bio_testing_fail_nth(c.point, c.nth);
        break;
    case Kind::ReadOnlyDb:
    case Kind::CorruptDb:
        break;
    }
    if (c.also_fail_sensor_delete)
        kelvs_script_rc(KELVS_DelUserFpsFroOS, KELVS_ERR_GONE);
}

void ticking_now(int64_t *seconds, int64_t *microseconds)
{
    FakeTime::advance_ms(1);
    const int64_t now = FakeTime::now_us();
    *seconds = now / 1'000'000;
    *microseconds = now % 1'000'000;
}

bool writes(Op op) { return op == Op::Enroll || op == Op::CleanOne || op == Op::CleanAll; }

std::string host_fault_line(const Case &c, const std::string &db_file)
{
    switch (c.kind) {
    case Kind::Db:
        return injected_fault_line(c.point);
    case Kind::CorruptDb:
        return "feature database " + db_file + " cannot be opened: file is not a database\n";
    case Kind::ReadOnlyDb:
        return std::string("feature database: ") + (c.op == Op::Enroll ? "store" : "clean") +
               " failed: attempt to write a readonly database\n";
    default:
        return {};
    }
}

// The operation met the fault itself, not only something that looks like its effect.
bool fault_reached(const Case &c, const std::vector<std::string> &errors, const std::string &fault_line,
                   const std::string &db_file)
{
    const bool host_said_so = std::find(errors.begin(), errors.end(), fault_line) != errors.end();
    switch (c.kind) {
    case Kind::SdkAlways:
    case Kind::SdkOnce: {
        kelvs_call_record record{};
        for (size_t i = 0; kelvs_log_get(i, &record) == 0; ++i)
            if (record.call == c.call && record.rc == c.rc)
                return true;
        return false;
    }
    case Kind::Db:
        return bio_testing_fault_fired(c.point) != 0 && host_said_so;
    case Kind::CorruptDb:
        return host_said_so;
    case Kind::ReadOnlyDb:
        // A write is refused with the host's line; a reading operation read the file that could not be written.
        return access(db_file.c_str(), W_OK) != 0 &&
               (writes(c.op) ? host_said_so : bio_testing_calls(BIO_FAULT_QUERY) > 0);
    }
    return false;
}

// The error lines logged, against the case's: exact texts in their order.
bool errors_match(const std::vector<std::string> &seen, const std::vector<ErrorLine> &expected,
                  const std::string &fault_line)
{
    size_t i = 0;
    for (const ErrorLine &e : expected) {
        const std::string &text = e.text == kFaultLine ? fault_line : e.text;
        if (i >= seen.size() || seen[i] != text)
            return false;
        for (++i; e.repeated && i < seen.size() && seen[i] == text;)
            ++i;
    }
    return i == seen.size();
}

// The case after the preparation: arm, run, and check everything that is left behind.
std::string run_and_check(const Case &c, Device &d, const std::vector<StoredRecord> &before, bool db_readable,
                          const std::string &db_file)
{
    Findings f;
    kelvs_log_clear();
    d.clear_logs();
    d.mark();
    const size_t scripts_before = commands_run().size();
    const int sensor_before = kelvs_store_count();

    const HostLoans loans = host_loans();
    arm(c);
    bio_testing_clear_calls();
    if (c.user_gives_up)
        bio_set_event_listener(
            [](bio_dev *, const bio_event *, void *) {
                if (kelvs_log_count(KELVS_ExtractFeature) >= 3)
                    kelvs_finger_auto(nullptr);
            },
            nullptr);
    const kelvra::Platform unticking = kelvra::platform();
    if (c.ticking_clock) {
        kelvra::Platform ticking = unticking;
        ticking.now = ticking_now;
        kelvra::set_platform_for_testing(ticking);
    }
    int ret;
    {
        QuietScoreLines quiet;
        ret = run_operation(d, c.op);
    }
    kelvra::set_platform_for_testing(unticking);
    bio_set_event_listener(nullptr, nullptr);
    kelvs_clear_scripts();
    bio_testing_clear_faults();
    kelvs_finger_auto(nullptr);

    const std::vector<std::string> errors = d.take_errors();
    const std::string fault_line = host_fault_line(c, db_file);
    f.check(fault_reached(c, errors, fault_line, db_file), "the fault was never reached");
    if (!errors_match(errors, c.errors, fault_line))
        f.check(false, "error lines: " + testing::PrintToString(errors));
    if (c.ret == kNonZero)
        f.check(ret != 0, "return value: got 0, expected non-zero");
    else
        f.equal("return value", ret, c.ret);
    f.equal("final status", bio_get_dev_status(d.dev()), c.status);
    f.equal("last result set", last_result(d.events()), c.result);
    f.equal("left with the host", host_leftovers(loans), std::string());
    if (c.update_script_runs >= 0)
        f.equal("update script runs", static_cast<int>(commands_run().size() - scripts_before),
                c.update_script_runs);
    if (c.op == Op::Close)
        f.equal("journal of close", d.journal(), std::string());

    if (!db_readable) {
        // Nothing can be read back from a corrupt file; the sensor must not have gained a finger.
        f.check(kelvs_store_count() <= sensor_before, "the sensor gained a template");
        return f.text();
    }

    const std::vector<StoredRecord> after = stored_records(d.dev()->device_name);
    f.equal("records after minus before", static_cast<int>(after.size()) - static_cast<int>(before.size()),
            c.records_delta);
    for (const StoredRecord &r : after) {
        f.equal("samples of a record", r.samples.size(), size_t{1});
        if (!r.samples.empty()) {
            f.equal("sample number", r.samples[0].no, 1);
            if (c.chip)
                f.equal("bookkeeping sample data", r.samples[0].data, std::string());
            else
                f.equal("decoded template bytes", bio_base64_decoded_length(r.samples[0].data.c_str()),
                        long{KELVRA_TEMPLATE_SIZE});
        }
    }
    if (c.chip) {
        int listed_on_sensor = 0;
        for (const StoredRecord &r : after)
            listed_on_sensor += kelvs_store_has(r.uid, r.index) ? 1 : 0;
        const int listed = static_cast<int>(after.size());
        const int on_sensor = kelvs_store_count();
        Agreement seen = Agreement::Agree;
        if (listed_on_sensor < listed)
            seen = Agreement::DbListsMore;
        else if (on_sensor > listed)
            seen = Agreement::SensorMore;
        f.equal("sensor and database (0 agree, 1 database lists more, 2 sensor holds more)", static_cast<int>(seen),
                static_cast<int>(c.agreement));
    }
    return f.text();
}

class FaultInjection : public testing::TestWithParam<Case> {};

// User 1 enrolls alice at index 0 through the driver; the device is closed again.
void enroll_alice(Device &d)
{
    ASSERT_EQ(d.open(), 0);
    QuietScoreLines quiet;
    kelvs_finger_auto("alice");
    char name[] = "alice's thumb";
    const int enrolled = kelvra_ops_enroll(d.dev(), ACTION_START, 1, 0, name);
    kelvs_finger_auto(nullptr);
    ASSERT_EQ(enrolled, 0) << d.journal();
    d.close();
}

// Runs fn in a child that has given up root, so that file permissions bind; returns what it reported.
std::string as_unprivileged(const std::function<std::string()> &fn)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string report;
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            report = "could not give up root";
        else
            report = fn();
        if (report.empty())
            report = "ok";
        const ssize_t written = write(fds[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        report += " (child ended abnormally)";
    return report == "ok" ? std::string() : report;
}

TEST_P(FaultInjection, OperationEndsCleanlyAndStorageStaysConsistent)
{
    const Case &c = GetParam();
    SCOPED_TRACE(c.why);

    Device::Options options;
    options.profile = profile_for(c);
    options.timeout_ms = 5000;
    Device d(options);

    // A file database for the file faults, in a directory the unprivileged child can enter.
    std::string db_dir;
    std::string db_file;
    if (c.kind == Kind::ReadOnlyDb || c.kind == Kind::CorruptDb) {
        db_dir = d.temp_dir() + "/db";
        std::filesystem::create_directories(db_dir);
        db_file = db_dir + "/features.db";
        ASSERT_EQ(bio_sto_set_db_path(db_file.c_str()), 0);
    }

    enroll_alice(d);
    if (c.chip) {
        ASSERT_TRUE(kelvs_store_has(1, 0));
    }
    if (c.marker_missing)
        std::filesystem::remove(d.marker_path());
    if (c.op != Op::Open) {
        ASSERT_EQ(d.open(), 0);
    }
    const std::vector<StoredRecord> before = stored_records(d.dev()->device_name);
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(d.take_errors(), std::vector<std::string>{}) << "the preparation failed somewhere";

    if (c.kind == Kind::CorruptDb) {
        std::ofstream out(db_file, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 8192; ++i)
            out.put(static_cast<char>((i * 37 + 5) & 0xff));
    }
    const std::string corrupt_bytes = c.kind == Kind::CorruptDb ? read_file(db_file) : std::string();

    std::string report;
    if (c.kind == Kind::ReadOnlyDb) {
        ASSERT_EQ(chmod(db_file.c_str(), 0444), 0);
        ASSERT_EQ(chmod(db_dir.c_str(), 0755), 0);
        ASSERT_EQ(chmod(d.temp_dir().c_str(), 0755), 0);
        report = as_unprivileged([&] { return run_and_check(c, d, before, true, db_file); });
        // The parent's view: the file was not changed under the refused write.
        EXPECT_EQ(stored_records(d.dev()->device_name).size(), before.size());
    } else {
        report = run_and_check(c, d, before, c.kind != Kind::CorruptDb, db_file);
    }
    EXPECT_EQ(report, "");
    if (c.kind == Kind::CorruptDb) {
        EXPECT_EQ(read_file(db_file), corrupt_bytes) << "the corrupt file was written to";
    }
    if (!db_file.empty())
        bio_sto_set_db_path(":memory:");
}

INSTANTIATE_TEST_SUITE_P(AllOperations, FaultInjection, testing::ValuesIn(cases()), case_name);

// Every SDK call and every kind of storage call (connect, query, store, clean) an operation makes without
// faults has a case in the table that fails it, so a call added to the driver cannot go untested.
TEST(FaultInjectionTable, CoversEveryCallEachOperationMakes)
{
    for (bool chip : {H, C}) {
        for (Op op : {Op::Open, Op::Close, Op::Enroll, Op::Verify, Op::Identify, Op::Search, Op::CleanOne,
                      Op::CleanAll, Op::FeatureList}) {
            SCOPED_TRACE(std::string(chip ? "chip " : "host ") + op_name(op));
            Device::Options options;
            options.profile = chip ? kChipModeProfile : kHostModeProfile;
            Device d(options);
            enroll_alice(d);
            if (op != Op::Open) {
                ASSERT_EQ(d.open(), 0);
            }
            kelvs_log_clear();
            bio_testing_clear_calls();
            {
                QuietScoreLines quiet;
                run_operation(d, op);
            }
            kelvs_finger_auto(nullptr);
            EXPECT_EQ(d.take_errors(), std::vector<std::string>{});

            std::set<kelvs_call> made;
            kelvs_call_record record{};
            for (size_t i = 0; kelvs_log_get(i, &record) == 0; ++i)
                made.insert(record.call);
            std::set<kelvs_call> covered;
            std::set<bio_fault_point> covered_points;
            for (const Case &c : cases()) {
                if (c.chip != chip || c.op != op)
                    continue;
                if (c.kind == Kind::SdkAlways || c.kind == Kind::SdkOnce)
                    covered.insert(c.call);
                if (c.kind == Kind::Db)
                    covered_points.insert(c.point);
            }
            for (kelvs_call call : made)
                EXPECT_TRUE(covered.count(call) != 0) << "makes " << kelvs_call_name(call) << " but no case fails it";
            const std::pair<bio_fault_point, const char *> kinds[] = {
                {BIO_FAULT_CONNECT, "connect"}, {BIO_FAULT_QUERY, "query"}, {BIO_FAULT_STORE, "store"},
                {BIO_FAULT_CLEAN, "clean"}};
            for (const auto &[point, kind] : kinds)
                if (bio_testing_calls(point) > 0) {
                    EXPECT_TRUE(covered_points.count(point) != 0)
                        << "makes a storage " << kind << " call but no case fails it";
                }
        }
    }
}

// The guard above relies on the host counting every storage call, failed ones included; an example
// failure is a count taken after the argument checks, which misses a clean made without a connection.
TEST(FaultInjectionTable, HostCountsEveryStorageCall)
{
    Device d;
    bio_testing_clear_calls();
    bio_testing_fail_nth(BIO_FAULT_CONNECT, 1);
    EXPECT_EQ(bio_sto_connect_db(), nullptr);
    bio_sto_db *db = bio_sto_connect_db();
    ASSERT_NE(db, nullptr);
    feature_info *info = bio_sto_new_feature_info(1, BioT_FingerPrint, "kelvra-test", 0, "thumb");
    info->sample = bio_sto_new_feature_sample(1, "");
    EXPECT_EQ(bio_sto_set_feature_info(db, info), 0);
    bio_sto_free_feature_info_list(info);
    bio_sto_free_feature_info_list(bio_sto_get_feature_info(db, 1, BioT_FingerPrint, "kelvra-test", 0, -1));
    EXPECT_EQ(bio_sto_clean_feature_info(db, 1, BioT_FingerPrint, "kelvra-test", 0, -1), 0);
    EXPECT_NE(bio_sto_clean_feature_info(nullptr, 1, BioT_FingerPrint, "kelvra-test", 0, -1), 0);
    bio_sto_disconnect_db(db);

    const std::pair<bio_fault_point, int> counted[] = {
        {BIO_FAULT_CONNECT, 2}, {BIO_FAULT_QUERY, 1}, {BIO_FAULT_STORE, 1}, {BIO_FAULT_STORE_ROW, 2},
        {BIO_FAULT_CLEAN, 2}};
    for (const auto &[point, calls] : counted)
        EXPECT_EQ(bio_testing_calls(point), calls) << point;
    bio_testing_clear_calls();
    for (const auto &[point, calls] : counted)
        EXPECT_EQ(bio_testing_calls(point), 0) << point;
    EXPECT_EQ(d.take_errors(),
              (std::vector<std::string>{injected_fault_line(BIO_FAULT_CONNECT), kCleanWithoutConnection}));
}

}  // namespace
