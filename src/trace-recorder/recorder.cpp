// recorder.cpp - loading the real SDK, writing the trace, and the recorder's control API.
#include "kelrec_control.h"
#include "recorder.h"

#include <dlfcn.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace kelrec {

namespace trace = kelvra::trace;

namespace {

constexpr char kConfigFile[] = "kelrec.conf";
constexpr char kGroup[] = "Recorder";

template <typename Fn>
void look_up(void *library, const char *name, Fn &out)
{
    void *symbol = dlsym(library, name);
    static_assert(sizeof out == sizeof symbol);
    std::memcpy(&out, &symbol, sizeof out);
}

// The folder this recorder was loaded from: its key file lies there.
std::string own_folder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&own_folder), &info) == 0 || info.dli_fname == nullptr)
        return {};
    return std::filesystem::path(info.dli_fname).parent_path().string();
}

std::string with_pid(std::string path)
{
    for (std::size_t at = path.find("%p"); at != std::string::npos; at = path.find("%p", at))
        path.replace(at, 2, std::to_string(getpid()));
    return path;
}

void warn(const std::string &line) { std::fprintf(stderr, "kelvra recorder: %s\n", line.c_str()); }

void copy_text(const std::string &text, char *out, std::size_t size)
{
    if (out == nullptr || size == 0)
        return;
    const std::size_t n = std::min(text.size(), size - 1);
    text.copy(out, n);
    out[n] = '\0';
}

}  // namespace

Recorder &recorder()
{
    // Never destroyed: a driver may still call the SDK from a thread while the process exits.
    static Recorder *r = new Recorder;
    return *r;
}

const Sdk *Recorder::sdk()
{
    std::lock_guard lock(mu_);
    if (!sdk_ready_ && !tried_)
        configure_from_file();
    return sdk_ready_ ? &sdk_ : nullptr;
}

void Recorder::configure_from_file()
{
    tried_ = true;
    const std::string folder = own_folder();
    const std::string path = folder + "/" + kConfigFile;
    GKeyFile *kf = g_key_file_new();
    GError *gerror = nullptr;
    if (!g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_NONE, &gerror)) {
        warn("no SDK to forward to: " + path + ": " + (gerror != nullptr ? gerror->message : "?"));
        if (gerror != nullptr)
            g_error_free(gerror);
        g_key_file_free(kf);
        return;
    }
    gchar *sdk = g_key_file_get_string(kf, kGroup, "Sdk", nullptr);
    gchar *trace_path = g_key_file_get_string(kf, kGroup, "Trace", nullptr);
    std::string error;
    if (sdk == nullptr)
        warn(path + " names no Sdk in its [Recorder] group");
    else if (!load_sdk(sdk, error))
        warn(error);
    else if (trace_path != nullptr && !start_trace(with_pid(trace_path), error))
        warn(error + "; the calls are forwarded without being recorded");
    g_free(sdk);
    g_free(trace_path);
    g_key_file_free(kf);
}

bool Recorder::load_sdk(const std::string &path, std::string &error)
{
    dlerror();
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *why = dlerror();
        error = "cannot load the SDK " + path + ": " + (why != nullptr ? why : "?");
        return false;
    }
    Sdk s;
#define KELREC_LOOK_UP(call) look_up(library, "KELFPSCAN_" #call, s.call)
    KELREC_LOOK_UP(GetDeviceCount);
    KELREC_LOOK_UP(GlobalInit);
    KELREC_LOOK_UP(GlobalFree);
    KELREC_LOOK_UP(OpenDevice);
    KELREC_LOOK_UP(CloseDevice);
    KELREC_LOOK_UP(GetDeviceWorkMode);
    KELREC_LOOK_UP(GetImageInfo);
    KELREC_LOOK_UP(GetFwMinorVersion);
    KELREC_LOOK_UP(GetFwVersion);
    KELREC_LOOK_UP(GetMcuType);
    KELREC_LOOK_UP(SetTQ300UpdateFlag);
    KELREC_LOOK_UP(CaptureRawData);
    KELREC_LOOK_UP(ImgQuality);
    KELREC_LOOK_UP(ExtractFeature);
    KELREC_LOOK_UP(VerifyExt);
    KELREC_LOOK_UP(EnrollForOS);
    KELREC_LOOK_UP(StoreTemplateForOS);
    KELREC_LOOK_UP(SearchForOS);
    KELREC_LOOK_UP(ResetIdentifyCntForOS);
    KELREC_LOOK_UP(DelUserFpsFroOS);
    KELREC_LOOK_UP(DelAllUserFpsFroOS);
    KELREC_LOOK_UP(DelOSInfoFpsFroOS);
#undef KELREC_LOOK_UP
    // The recorder must never answer for the SDK: a library that lacks a call is not the SDK.
    if (s.GlobalInit == nullptr || s.OpenDevice == nullptr || s.CaptureRawData == nullptr) {
        dlclose(library);
        error = path + " is not the sensor SDK: it lacks its calls";
        return false;
    }
    library_ = library;
    sdk_ = s;
    sdk_path_ = path;
    sdk_ready_ = true;
    return true;
}

bool Recorder::start_trace(const std::string &path, std::string &error)
{
    trace::Header header;
    header.recorder = "kelvra-recorder " KELREC_VERSION;
    header.sdk = sdk_path_;
    header.started_unix_s = static_cast<std::int64_t>(std::time(nullptr));
    origin_ = std::chrono::steady_clock::now();
    writer_ = trace::Writer::create(path, header, error);
    return writer_ != nullptr;
}

bool Recorder::configure(const std::string &sdk_path, const std::string &trace_path, std::string &error)
{
    std::lock_guard lock(mu_);
    if (writer_) {
        error = "the recorder writes a trace already";
        return false;
    }
    // One session after another may be recorded, all from the one SDK the driver has been talking to.
    if (sdk_ready_ && sdk_path != sdk_path_) {
        error = "the recorder forwards to " + sdk_path_ + " already";
        return false;
    }
    tried_ = true;
    if (!sdk_ready_ && !load_sdk(sdk_path, error))
        return false;
    session_ = {};
    threads_.clear();
    calls_ = 0;
    return start_trace(trace_path, error);
}

std::int64_t Recorder::now_ns() const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - origin_).count();
}

std::uint32_t Recorder::thread_id()
{
    const auto [it, added] = threads_.try_emplace(std::this_thread::get_id(), std::uint32_t(threads_.size() + 1));
    return it->second;
}

bool Recorder::write(const trace::Entry &entry)
{
    std::string error;
    if (writer_->write(entry, error))
        return true;
    // A trace that cannot be written any more must not disturb the session it records.
    warn("the trace stops here: " + error);
    writer_.reset();
    return false;
}

Pending Recorder::begin(const std::function<trace::SdkCall(trace::SdkSession &)> &build)
{
    Pending p;
    std::lock_guard lock(mu_);
    if (!writer_)
        return p;
    p.recording = true;
    p.call = build(session_);
    p.before = trace::snapshot_outputs(p.call);
    p.thread = thread_id();
    p.start_ns = now_ns();
    return p;
}

void Recorder::end(Pending &p, int rc)
{
    const std::int64_t end_ns = now_ns();
    std::lock_guard lock(mu_);
    if (!writer_)
        return;
    trace::Call call;
    call.function = p.call.function;
    call.thread = p.thread;
    call.start_ns = p.start_ns;
    call.end_ns = end_ns;
    call.outputs = trace::read_outputs(session_, p.call, p.before);
    session_.observe(p.call, rc);
    call.inputs = std::move(p.call.inputs);
    call.rc = rc;
    if (write(call))
        ++calls_;
}

bool Recorder::add_section(std::string name, std::vector<std::uint8_t> content, std::string &error)
{
    std::lock_guard lock(mu_);
    if (!writer_) {
        error = "no trace is being written";
        return false;
    }
    if (!writer_->write(trace::Section{std::move(name), std::move(content)}, error))
        return false;
    return true;
}

bool Recorder::record_stop()
{
    std::lock_guard lock(mu_);
    if (!writer_)
        return false;
    trace::Event event;
    event.kind = trace::Event::Kind::stop;
    event.after_calls = calls_;
    event.time_ns = now_ns();
    return write(event);
}

std::uint64_t Recorder::calls()
{
    std::lock_guard lock(mu_);
    return calls_;
}

bool Recorder::finish(std::string &error)
{
    std::lock_guard lock(mu_);
    if (!writer_)
        return true;
    const bool ok = writer_->finish(error);
    writer_.reset();
    return ok;
}

}  // namespace kelrec

// A trace that no host finished is finished when the program ends normally.
__attribute__((destructor)) static void kelrec_finish_at_exit()
{
    std::string error;
    if (!kelrec::recorder().finish(error))
        kelrec::warn(error);
}

KELREC_EXPORT int kelrec_configure(const char *sdk_path, const char *trace_path, char *error, size_t error_size)
{
    std::string why;
    if (sdk_path == nullptr || trace_path == nullptr)
        why = "give both the SDK's path and the trace's";
    else if (kelrec::recorder().configure(sdk_path, trace_path, why))
        return 0;
    kelrec::copy_text(why, error, error_size);
    return -1;
}

KELREC_EXPORT int kelrec_add_section(const char *name, const void *data, size_t size, char *error, size_t error_size)
{
    std::string why;
    if (name == nullptr || (data == nullptr && size > 0)) {
        kelrec::copy_text("a section needs a name and its data", error, error_size);
        return -1;
    }
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    if (kelrec::recorder().add_section(name, std::vector<std::uint8_t>(bytes, bytes + size), why))
        return 0;
    kelrec::copy_text(why, error, error_size);
    return -1;
}

KELREC_EXPORT int kelrec_record_stop(void) { return kelrec::recorder().record_stop() ? 0 : -1; }

KELREC_EXPORT uint64_t kelrec_calls(void) { return kelrec::recorder().calls(); }

KELREC_EXPORT int kelrec_finish(char *error, size_t error_size)
{
    std::string why;
    if (kelrec::recorder().finish(why))
        return 0;
    kelrec::copy_text(why, error, error_size);
    return -1;
}
