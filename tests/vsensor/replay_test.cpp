// replay_test.cpp - the recorder over the virtual sensor and the sensor replaying what it wrote: a
// replay gives back every recorded output, and the first call that differs is named exactly.
#include "kelrec_control.h"
#include "kelvra_trace.h"
#include "sdk_calls.h"
#include "vs_fixture.h"

#include <dlfcn.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <variant>

namespace {

namespace trace = kelvra::trace;

const std::string kRecorder = std::string(KELVRA_TEST_BUILD_DIR) + "/lib/recorder/libKelDactylen.so";
const std::string kSensor = std::string(KELVRA_TEST_BUILD_DIR) + "/lib/libKelDactylen.so";

// The SDK calls of a session, either the recorder's (which forward to this very sensor) or the
// sensor's own.
struct Sdk {
    decltype(&KELFPSCAN_GlobalInit) GlobalInit = &KELFPSCAN_GlobalInit;
    decltype(&KELFPSCAN_GlobalFree) GlobalFree = &KELFPSCAN_GlobalFree;
    decltype(&KELFPSCAN_GetDeviceCount) GetDeviceCount = &KELFPSCAN_GetDeviceCount;
    decltype(&KELFPSCAN_OpenDevice) OpenDevice = &KELFPSCAN_OpenDevice;
    decltype(&KELFPSCAN_CloseDevice) CloseDevice = &KELFPSCAN_CloseDevice;
    decltype(&KELFPSCAN_GetDeviceWorkMode) GetDeviceWorkMode = &KELFPSCAN_GetDeviceWorkMode;
    decltype(&KELFPSCAN_GetImageInfo) GetImageInfo = &KELFPSCAN_GetImageInfo;
    decltype(&KELFPSCAN_CaptureRawData) CaptureRawData = &KELFPSCAN_CaptureRawData;
    decltype(&KELFPSCAN_ImgQuality) ImgQuality = &KELFPSCAN_ImgQuality;
    decltype(&KELFPSCAN_ExtractFeature) ExtractFeature = &KELFPSCAN_ExtractFeature;
    decltype(&KELFPSCAN_VerifyExt) VerifyExt = &KELFPSCAN_VerifyExt;
};

template <typename Fn>
void look_up(void *library, const char *name, Fn &out)
{
    void *symbol = dlsym(library, name);
    ASSERT_NE(symbol, nullptr) << name;
    std::memcpy(&out, &symbol, sizeof out);
}

struct Recorder {
    Sdk sdk;
    decltype(&kelrec_configure) configure = nullptr;
    decltype(&kelrec_record_stop) record_stop = nullptr;
    decltype(&kelrec_finish) finish = nullptr;
};

// The recorder is loaded once; it forwards to the sensor library this test is linked with.
const Recorder &recorder()
{
    static Recorder r = [] {
        Recorder out;
        void *library = dlopen(kRecorder.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(library, nullptr) << dlerror();
        if (library == nullptr)
            return out;
#define LOOK(field, name) look_up(library, name, out.field)
        LOOK(sdk.GlobalInit, "KELFPSCAN_GlobalInit");
        LOOK(sdk.GlobalFree, "KELFPSCAN_GlobalFree");
        LOOK(sdk.GetDeviceCount, "KELFPSCAN_GetDeviceCount");
        LOOK(sdk.OpenDevice, "KELFPSCAN_OpenDevice");
        LOOK(sdk.CloseDevice, "KELFPSCAN_CloseDevice");
        LOOK(sdk.GetDeviceWorkMode, "KELFPSCAN_GetDeviceWorkMode");
        LOOK(sdk.GetImageInfo, "KELFPSCAN_GetImageInfo");
        LOOK(sdk.CaptureRawData, "KELFPSCAN_CaptureRawData");
        LOOK(sdk.ImgQuality, "KELFPSCAN_ImgQuality");
        LOOK(sdk.ExtractFeature, "KELFPSCAN_ExtractFeature");
        LOOK(sdk.VerifyExt, "KELFPSCAN_VerifyExt");
        LOOK(configure, "kelrec_configure");
        LOOK(record_stop, "kelrec_record_stop");
        LOOK(finish, "kelrec_finish");
#undef LOOK
        return out;
    }();
    return r;
}

// What a driver holds during one session: the handle and every output it was handed.
struct Held {
    KELFPSCAN_HANDLE handle = nullptr;
    unsigned char mode = 0xee;
    int width = -1, height = -1, dpi = -1, quality = -1, similarity = -1, match = -1;
    std::vector<unsigned char> image = std::vector<unsigned char>(160 * 160, 0x11);
    std::vector<unsigned char> feature = std::vector<unsigned char>(KELFPSCAN_FEATURE_SIZE, 0x22);
    std::vector<int> rcs;
};

using Step = std::function<int(const Sdk &, Held &)>;

// A match-on-host press: set-up, geometry, one frame graded and turned into a block, that block
// compared with itself, and the release.
std::vector<Step> press_session()
{
    return {
        [](const Sdk &s, Held &) { return s.GlobalInit(); },
        [](const Sdk &s, Held &h) { return s.OpenDevice(&h.handle, 0); },
        [](const Sdk &s, Held &h) { return s.GetDeviceWorkMode(h.handle, &h.mode); },
        [](const Sdk &s, Held &h) { return s.GetImageInfo(h.handle, &h.width, &h.height, &h.dpi); },
        [](const Sdk &s, Held &h) { return s.CaptureRawData(h.handle, 0, h.image.data()); },
        [](const Sdk &s, Held &h) { return s.ImgQuality(h.width, h.height, h.image.data(), &h.quality); },
        [](const Sdk &s, Held &h) { return s.ExtractFeature(h.handle, 0, h.feature.data()); },
        [](const Sdk &s, Held &h) {
            return s.VerifyExt(h.handle, 5, h.feature.data(), 1, h.feature.data(), &h.similarity, &h.match);
        },
        [](const Sdk &s, Held &h) { return s.CloseDevice(&h.handle); },
        [](const Sdk &s, Held &) { return s.GlobalFree(); },
    };
}

Held run(const Sdk &sdk, const std::vector<Step> &steps)
{
    Held held;
    for (const Step &step : steps)
        held.rcs.push_back(step(sdk, held));
    return held;
}

kelvs_replay_report replay_status()
{
    kelvs_replay_report r{};
    kelvs_replay_status(&r);
    return r;
}

class Replay : public VirtualSensor {
protected:
    void SetUp() override
    {
        VirtualSensor::SetUp();
        trace_path = (dir / "session.trace").string();
    }
    void TearDown() override
    {
        kelvs_set_replay_event_listener(nullptr, nullptr);
        VirtualSensor::TearDown();
    }

    // Records steps through the recorder with a finger pressed on the sensor.
    Held record(const std::vector<Step> &steps)
    {
        load("[Sensor]\nNoise=0\n");
        kelvs_finger_press("alice", KELVS_CONTACT_FULL);
        const Recorder &r = recorder();
        char error[256] = "";
        EXPECT_EQ(r.configure(kSensor.c_str(), trace_path.c_str(), error, sizeof error), 0) << error;
        Held held = run(r.sdk, steps);
        EXPECT_EQ(r.finish(error, sizeof error), 0) << error;
        return held;
    }

    // The live sensor forgets everything and has no finger: only the trace can give the answers.
    void load_replay(kelvs_replay_timing timing = KELVS_REPLAY_COMPRESSED)
    {
        kelvs_reset();
        char error[512] = "";
        ASSERT_EQ(kelvs_replay_load(trace_path.c_str(), timing, error, sizeof error), 0) << error;
    }

    std::string trace_path;
};

// Makes sure a replay hands the driver exactly what the recorded SDK handed it, without asking the
// live sensor; an example failure: a frame replayed from the wrong call, or the live sensor answering.
TEST_F(Replay, RecordedSessionReplaysEveryOutputAndReturnCode)
{
    const Held recorded = record(press_session());
    ASSERT_EQ(recorded.rcs, std::vector<int>(10, 0));
    ASSERT_EQ(recorded.match, 0);

    load_replay();
    const Held replayed = run(Sdk{}, press_session());
    EXPECT_EQ(replayed.rcs, recorded.rcs);
    EXPECT_EQ(replayed.mode, recorded.mode);
    EXPECT_EQ(std::tie(replayed.width, replayed.height, replayed.dpi, replayed.quality),
              std::tie(recorded.width, recorded.height, recorded.dpi, recorded.quality));
    EXPECT_EQ(std::tie(replayed.similarity, replayed.match), std::tie(recorded.similarity, recorded.match));
    EXPECT_TRUE(replayed.image == recorded.image);
    EXPECT_TRUE(replayed.feature == recorded.feature);
    EXPECT_EQ(replayed.handle, nullptr) << "CloseDevice's NULL is replayed too";
    EXPECT_EQ(kelvs_log_size(), 0u) << "the live sensor answered a call";

    const kelvs_replay_report r = replay_status();
    EXPECT_EQ(r.complete, 1);
    EXPECT_EQ(r.calls_answered, 10u);
    EXPECT_EQ(r.calls_recorded, 10u);
    EXPECT_STREQ(r.message, "");
}

// Makes sure a replay writes no more into the caller's buffer than the call says it holds, whatever the
// trace recorded there; an example failure: a crafted trace whose frame or feature block is larger than
// the driver's buffer overwriting the memory after it.
TEST_F(Replay, RecordedOutputsLargerThanTheCallersBuffersAreCutToThem)
{
    const Held recorded = record(press_session());
    std::string error;
    std::optional<trace::Trace> crafted = trace::read_trace(trace_path, error);
    ASSERT_TRUE(crafted) << error;
    constexpr std::size_t kBeyond = 64;
    int enlarged = 0;
    for (trace::Entry &entry : crafted->entries)
        if (auto *call = std::get_if<trace::Call>(&entry))
            for (trace::Value &out : call->outputs)
                if (out.kind == trace::Value::Kind::bytes) {
                    std::vector<std::uint8_t> larger(*out.bytes);
                    larger.resize(larger.size() + kBeyond, 0xee);
                    out = trace::Value::of_bytes(larger);
                    ++enlarged;
                }
    ASSERT_EQ(enlarged, 2) << "the frame and the feature block";
    trace_path = (dir / "crafted.trace").string();
    auto writer = trace::Writer::create(trace_path, crafted->header, error);
    ASSERT_TRUE(writer) << error;
    for (const trace::Entry &entry : crafted->entries)
        ASSERT_TRUE(writer->write(entry, error)) << error;
    ASSERT_TRUE(writer->finish(error)) << error;

    load_replay();
    constexpr unsigned char kGuard = 0xa5;
    Held replayed;
    replayed.image.resize(recorded.image.size() + kBeyond, kGuard);
    replayed.feature.resize(recorded.feature.size() + kBeyond, kGuard);
    for (const Step &step : press_session())
        replayed.rcs.push_back(step(Sdk{}, replayed));
    EXPECT_EQ(replayed.rcs, recorded.rcs);
    const auto cut_to_the_buffer = [&](const std::vector<unsigned char> &held, const std::vector<unsigned char> &was) {
        EXPECT_TRUE(std::equal(was.begin(), was.end(), held.begin()));
        EXPECT_EQ(std::vector<unsigned char>(held.begin() + long(was.size()), held.end()),
                  std::vector<unsigned char>(kBeyond, kGuard))
            << "written past the caller's buffer";
    };
    cut_to_the_buffer(replayed.image, recorded.image);
    cut_to_the_buffer(replayed.feature, recorded.feature);
    EXPECT_EQ(replay_status().complete, 1);
}

// A call that leaves its outputs alone is replayed leaving the caller's buffer alone, so what the
// driver held before survives, as it did with the real SDK.
TEST_F(Replay, OutputsACallDidNotWriteStayAsTheCallerHadThem)
{
    std::vector<Step> steps = press_session();
    // The sensor fails the capture without touching the frame.
    steps.insert(steps.begin() + 4, [](const Sdk &s, Held &h) {
        kelvs_script_rc(KELVS_CaptureRawData, KELVS_ERR_GONE);
        return s.CaptureRawData(h.handle, 0, h.image.data());
    });
    const Held recorded = record(steps);
    ASSERT_EQ(recorded.rcs[4], KELVS_ERR_GONE);

    load_replay();
    Held replayed;
    std::vector<int> rcs;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (i == 4) {
            // The real capture must not run again at replay: a sentinel frame must come back untouched.
            std::fill(replayed.image.begin(), replayed.image.end(), 0x5a);
            rcs.push_back(KELFPSCAN_CaptureRawData(replayed.handle, 0, replayed.image.data()));
            EXPECT_TRUE(std::all_of(replayed.image.begin(), replayed.image.end(), [](unsigned char c) { return c == 0x5a; }));
            continue;
        }
        rcs.push_back(steps[i](Sdk{}, replayed));
    }
    EXPECT_EQ(rcs, recorded.rcs);
    EXPECT_EQ(replay_status().complete, 1);
}

struct DivergenceCase {
    const char *name;
    std::size_t step;       // the step replaced (or, past the end, appended)
    Step call;
    std::string expected;   // the message, or its start when prefix is set
    bool prefix;
};

void PrintTo(const DivergenceCase &c, std::ostream *os) { *os << c.name; }

class Divergence : public Replay, public ::testing::WithParamInterface<DivergenceCase> {};

// Makes sure the first call that leaves the trace is named with its number, the function and the
// argument, and that from then on every call fails; an example failure: a replay that goes on answering
// after the driver changed its arguments.
TEST_P(Divergence, NamesTheFirstCallThatDiffersAndFailsEveryCallAfter)
{
    const DivergenceCase &c = GetParam();
    record(press_session());
    load_replay();

    std::vector<Step> steps = press_session();
    if (c.step < steps.size())
        steps[c.step] = c.call;
    else
        steps.push_back(c.call);
    Held held;
    for (std::size_t i = 0; i < c.step; ++i)
        ASSERT_EQ(steps[i](Sdk{}, held), 0) << "step " << i;
    EXPECT_EQ(steps[c.step](Sdk{}, held), KELVS_ERR_REPLAY);
    EXPECT_EQ(KELFPSCAN_GlobalInit(), KELVS_ERR_REPLAY);
    int count = -1;
    EXPECT_EQ(KELFPSCAN_GetDeviceCount(&count), KELVS_ERR_REPLAY);
    EXPECT_EQ(count, -1);

    const kelvs_replay_report r = replay_status();
    EXPECT_EQ(r.diverged, 1);
    EXPECT_EQ(r.complete, 0);
    EXPECT_EQ(r.calls_answered, c.step);
    const std::string message = r.message;
    if (c.prefix)
        EXPECT_EQ(message.substr(0, c.expected.size()), c.expected) << message;
    else
        EXPECT_EQ(message, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Replay, Divergence,
    ::testing::Values(
        DivergenceCase{"AnotherFunction", 4,
                       [](const Sdk &s, Held &h) { return s.ImgQuality(h.width, h.height, h.image.data(), &h.quality); },
                       "call 5: the trace has KELFPSCAN_CaptureRawData, the driver called KELFPSCAN_ImgQuality "
                       "(arguments: width=160, height=160, image=<25600 bytes ",
                       true},
        DivergenceCase{"AnotherNumber", 7,
                       [](const Sdk &s, Held &h) {
                           return s.VerifyExt(h.handle, 3, h.feature.data(), 1, h.feature.data(), &h.similarity, &h.match);
                       },
                       "call 8: KELFPSCAN_VerifyExt argument level is 5 in the trace, the driver passed 3", false},
        DivergenceCase{"AnotherIndex", 1, [](const Sdk &s, Held &h) { return s.OpenDevice(&h.handle, 1); },
                       "call 2: KELFPSCAN_OpenDevice argument index is 0 in the trace, the driver passed 1", false},
        DivergenceCase{"AnotherFrame", 5,
                       [](const Sdk &s, Held &h) {
                           h.image[100] ^= 0xff;
                           return s.ImgQuality(h.width, h.height, h.image.data(), &h.quality);
                       },
                       "call 6: KELFPSCAN_ImgQuality argument image is <25600 bytes ", true},
        DivergenceCase{"AnUnknownHandle", 2,
                       [](const Sdk &s, Held &h) { return s.GetDeviceWorkMode(&h, &h.mode); },
                       "call 3: KELFPSCAN_GetDeviceWorkMode argument handle is #1 in the trace, the driver passed #2",
                       false},
        DivergenceCase{"PastTheEnd", 10, [](const Sdk &s, Held &) { return s.GlobalFree(); },
                       "call 11: the trace ends, the driver called KELFPSCAN_GlobalFree (no arguments)", false}),
    [](const auto &info) { return std::string(info.param.name); });

struct RefusedCase {
    const char *name;
    std::function<void(const std::string &recorded, const std::string &offered)> make;
    std::string error_contains;
};

void PrintTo(const RefusedCase &c, std::ostream *os) { *os << c.name; }

class RefusedTrace : public Replay, public ::testing::WithParamInterface<RefusedCase> {};

// Makes sure a trace that cannot be replayed is refused at load, with the reason, and the sensor stays
// itself; an example failure: a redacted trace replaying placeholders into a driver's buffers.
TEST_P(RefusedTrace, IsRefusedWithItsReasonAndTheSensorStaysLive)
{
    record(press_session());
    const std::string offered = (dir / "offered.trace").string();
    GetParam().make(trace_path, offered);
    kelvs_reset();

    char error[512] = "";
    EXPECT_EQ(kelvs_replay_load(offered.c_str(), KELVS_REPLAY_COMPRESSED, error, sizeof error), -1);
    EXPECT_NE(std::string(error).find(GetParam().error_contains), std::string::npos) << error;
    EXPECT_EQ(replay_status().loaded, 0);
    int count = 0;
    EXPECT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
    EXPECT_EQ(count, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Replay, RefusedTrace,
    ::testing::Values(
        RefusedCase{"Redacted",
                    [](const std::string &recorded, const std::string &offered) {
                        std::string error;
                        auto t = trace::read_trace(recorded, error);
                        ASSERT_TRUE(t) << error;
                        const trace::Trace redacted = trace::redact(*t);
                        auto w = trace::Writer::create(offered, redacted.header, error);
                        ASSERT_TRUE(w) << error;
                        for (const auto &e : redacted.entries)
                            ASSERT_TRUE(w->write(e, error)) << error;
                        ASSERT_TRUE(w->finish(error)) << error;
                    },
                    "is redacted"},
        RefusedCase{"Truncated",
                    [](const std::string &recorded, const std::string &offered) {
                        std::ifstream in(recorded, std::ios::binary);
                        std::string head(12, '\0');
                        in.read(head.data(), std::streamsize(head.size()));
                        std::ofstream(offered, std::ios::binary) << head;
                    },
                    "offered.trace"},
        RefusedCase{"Missing", [](const std::string &, const std::string &) {}, "offered.trace"}),
    [](const auto &info) { return std::string(info.param.name); });

// A trace written by hand: GetDeviceCount calls at fixed moments, with stop events between them.
void write_timed_trace(const std::string &path, const std::vector<std::pair<std::int64_t, std::int64_t>> &calls,
                       const std::vector<trace::Event> &events)
{
    std::string error;
    auto w = trace::Writer::create(path, trace::Header{}, error);
    ASSERT_TRUE(w) << error;
    std::size_t next_event = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        for (; next_event < events.size() && events[next_event].after_calls == i; ++next_event)
            ASSERT_TRUE(w->write(events[next_event], error)) << error;
        trace::Call c;
        c.function = trace::Function::GetDeviceCount;
        c.thread = 1;
        c.start_ns = calls[i].first;
        c.end_ns = calls[i].second;
        c.outputs = {trace::Value::of_integer(int(i) + 1)};
        ASSERT_TRUE(w->write(c, error)) << error;
    }
    ASSERT_TRUE(w->finish(error)) << error;
}

// Makes sure "as recorded" waits, on the sensor's clock, until each call's recorded start and end, and
// "compressed" never waits; an example failure: a replay that sleeps in the test suite.
TEST_F(Replay, TimingAsRecordedFollowsTheSensorsClockAndCompressedNeverWaits)
{
    write_timed_trace(trace_path, {{500'000'000, 600'000'000}, {2'000'000'000, 2'250'000'000}}, {});
    const struct {
        kelvs_replay_timing timing;
        std::vector<std::int64_t> slept_after_us;
    } cases[] = {{KELVS_REPLAY_AS_RECORDED, {600'000, 2'250'000}}, {KELVS_REPLAY_COMPRESSED, {0, 0}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.timing);
        load_replay(c.timing);
        const std::int64_t start = clock.slept.load();
        for (std::size_t i = 0; i < c.slept_after_us.size(); ++i) {
            int count = 0;
            EXPECT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
            EXPECT_EQ(count, int(i) + 1);
            EXPECT_EQ(clock.slept.load() - start, c.slept_after_us[i]) << "after call " << i + 1;
        }
    }
}

// Makes sure a recorded stop reaches the host inside the call that was running when it came, or, when
// it came between two calls, before the earlier one returns; an example failure: a stop replayed one
// capture late, which changes the driver's calls after it.
TEST_F(Replay, RecordedStopsReachTheHostAtTheirPlaceBetweenTheCalls)
{
    trace::Event between;  // after call 1 ended, before call 2 began
    between.after_calls = 1;
    between.time_ns = 150;
    trace::Event during;   // while call 3 ran
    during.after_calls = 2;
    during.time_ns = 550;
    write_timed_trace(trace_path, {{0, 100}, {200, 300}, {500, 600}, {700, 800}}, {between, during});

    struct Seen {
        std::uint64_t after_calls;
        std::uint64_t answered_then;
    };
    static std::vector<Seen> seen;
    seen.clear();
    kelvs_set_replay_event_listener(
        [](const kelvs_replay_event *e, void *) {
            EXPECT_EQ(e->kind, KELVS_REPLAY_EVENT_STOP);
            seen.push_back({e->after_calls, replay_status().calls_answered});
        },
        nullptr);
    load_replay();
    std::vector<std::size_t> seen_after_call;
    for (int i = 0; i < 4; ++i) {
        int count = 0;
        ASSERT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
        seen_after_call.push_back(seen.size());
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen_after_call, (std::vector<std::size_t>{1, 1, 2, 2}));
    EXPECT_EQ(seen[0].after_calls, 1u);
    EXPECT_EQ(seen[1].after_calls, 2u);
    EXPECT_EQ(replay_status().complete, 1);
}

// Makes sure the marshalling of every SDK call lists one value per parameter of the trace's table, in
// its order; an example failure: a call recorded with an output missing, which a replay never writes.
TEST(SdkCalls, EveryCallHasOneValuePerParameterOfItsTable)
{
    trace::SdkSession s;
    int i = 0;
    unsigned int u = 0;
    unsigned char b = 0, rec[64] = {}, buf[KELFPSCAN_FEATURE_SIZE] = {};
    KELFPSCAN_HANDLE h = nullptr;
    const trace::SdkCall calls[] = {
        trace::get_device_count(s, &i),
        trace::global_init(s),
        trace::global_free(s),
        trace::open_device(s, &h, 0),
        trace::close_device(s, &h),
        trace::get_device_work_mode(s, h, &b),
        trace::get_image_info(s, h, &i, &i, &i),
        trace::get_fw_minor_version(s, h, &i),
        trace::get_fw_version(s, h, &b),
        trace::get_mcu_type(s, h, &i, &i),
        trace::set_tq300_update_flag(s, h),
        trace::capture_raw_data(s, h, 0, buf),
        trace::img_quality(s, 2, 2, buf, &i),
        trace::extract_feature(s, h, 0, buf),
        trace::verify_ext(s, h, 5, buf, 1, buf, &i, &i),
        trace::enroll_for_os(s, h, 1),
        trace::store_template_for_os(s, h, rec, rec),
        trace::search_for_os(s, h, rec, &b, &i, &u),
        trace::reset_identify_cnt_for_os(s, h, 4),
        trace::del_user_fps_fro_os(s, h, rec, rec),
        trace::del_all_user_fps_fro_os(s, h, rec),
        trace::del_os_info_fps_fro_os(s, h, "zuvo"),
    };
    ASSERT_EQ(std::size(calls), trace::kFunctionCount);
    for (std::size_t k = 0; k < std::size(calls); ++k) {
        const trace::SdkCall &c = calls[k];
        SCOPED_TRACE(std::string(trace::function_name(c.function)));
        EXPECT_EQ(static_cast<std::size_t>(c.function), k);
        std::size_t ins = 0, outs = 0;
        for (const trace::Parameter &p : trace::parameters(c.function))
            (p.direction == trace::Direction::in ? ins : outs)++;
        EXPECT_EQ(c.inputs.size(), ins);
        EXPECT_EQ(c.outputs.size(), outs);
    }
}

}  // namespace

namespace {

struct FieldCase {
    const char *name;
    std::string config;  // kelrec.conf beside the recorder; "" for none ($SENSOR and $DIR are filled in)
    int rc;              // of the first forwarded call
    std::uint64_t calls; // in the trace it named
};

void PrintTo(const FieldCase &c, std::ostream *os) { *os << c.name; }

class RecorderKeyFile : public VirtualSensor, public ::testing::WithParamInterface<FieldCase> {};

// Makes sure a recorder installed in the SDK's place, with no host to configure it, forwards to the SDK
// its key file names and records into the trace it names, and forwards nothing without one; an example
// failure: a recorder that answers for an SDK it could not load.
TEST_P(RecorderKeyFile, NamesTheSdkAndTheTraceOfARecorderNoHostConfigures)
{
    const FieldCase &c = GetParam();
    // A copy of its own: the recorder reads its key file once, at the first call it forwards.
    const std::filesystem::path folder = dir / c.name;
    std::filesystem::create_directories(folder);
    const std::filesystem::path copy = folder / "libKelDactylen.so";
    std::filesystem::copy_file(kRecorder, copy);
    std::string config = c.config;
    for (const auto &[key, value] : {std::pair<std::string, std::string>{"$SENSOR", kSensor}, {"$DIR", folder.string()}})
        for (std::size_t at; (at = config.find(key)) != std::string::npos;)
            config.replace(at, key.size(), value);
    if (!config.empty())
        std::ofstream(folder / "kelrec.conf") << config;

    void *library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    decltype(&KELFPSCAN_GetDeviceCount) count_call = nullptr;
    decltype(&kelrec_finish) finish = nullptr;
    look_up(library, "KELFPSCAN_GetDeviceCount", count_call);
    look_up(library, "kelrec_finish", finish);
    int count = -1;
    EXPECT_EQ(count_call(&count), c.rc);
    EXPECT_EQ(count, c.rc == 0 ? 1 : -1);
    EXPECT_EQ(finish(nullptr, 0), 0);

    const std::string trace_path = (folder / ("field-" + std::to_string(getpid()) + ".trace")).string();
    if (c.calls == 0) {
        EXPECT_FALSE(std::filesystem::exists(trace_path));
        return;
    }
    std::string error;
    const auto t = trace::read_trace(trace_path, error);
    ASSERT_TRUE(t) << error;
    EXPECT_EQ(t->entries.size(), c.calls);
    EXPECT_EQ(t->header.sdk, kSensor);
}

INSTANTIATE_TEST_SUITE_P(
    Replay, RecorderKeyFile,
    ::testing::Values(FieldCase{"NoKeyFile", "", -1, 0},
                      FieldCase{"NotAnSdk", "[Recorder]\nSdk=/nonexistent/libKelDactylen.so\n", -1, 0},
                      FieldCase{"SdkOnly", "[Recorder]\nSdk=$SENSOR\n", 0, 0},
                      FieldCase{"SdkAndTrace", "[Recorder]\nSdk=$SENSOR\nTrace=$DIR/field-%p.trace\n", 0, 1}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
