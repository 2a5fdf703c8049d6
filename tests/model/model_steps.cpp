// model_steps.cpp - the steps of a random sequence: how they are drawn and how they read as text.
#include <charconv>
#include <map>
#include <random>
#include <sstream>

#include "bio_host_testing.h"
#include "kelvs_control.h"
#include "model.h"

namespace model {

namespace {

struct KindName {
    Kind kind;
    const char *word;
    int numbers;       // uid, first, last as far as used
    bool finger;
};
constexpr KindName kKinds[] = {
    {Kind::Open, "open", 0, false},         {Kind::Close, "close", 0, false},
    {Kind::Reconfigure, "reconf", 0, false}, {Kind::Enroll, "enroll", 2, true},
    {Kind::Verify, "verify", 2, true},      {Kind::Identify, "identify", 3, true},
    {Kind::Search, "search", 3, true},      {Kind::List, "list", 3, false},
    {Kind::Clean, "clean", 3, false},       {Kind::Unplug, "unplug", 0, false},
    {Kind::Replug, "replug", 0, false},     {Kind::SdkFault, "sdk", 0, false},
    {Kind::DbFault, "db", 0, false},        {Kind::DbRemove, "dbdel", 2, false},
    {Kind::DbAdd, "dbadd", 2, false},
};

const KindName &kind_name(Kind kind)
{
    for (const KindName &k : kKinds)
        if (k.kind == kind)
            return k;
    return kKinds[0];
}

constexpr const char *kDbPoints[] = {"connect", "query", "store", "row", "clean", "record", "sample", "text"};
static_assert(std::size(kDbPoints) == BIO_FAULT_POINT_COUNT);

constexpr const char *kStops[] = {"", "before", "entry", "wait", "walk", "after"};

std::vector<std::string> split(std::string_view text, char by)
{
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        const size_t next = text.find(by, at);
        parts.emplace_back(text.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at));
        if (next == std::string_view::npos)
            return parts;
        at = next + 1;
    }
}

bool number(const std::string &text, int *out)
{
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *out);
    return ec == std::errc() && ptr == end;
}

std::optional<Step> parse_step(const std::string &word, std::string *error)
{
    Step step;
    std::string body = word;
    if (const size_t at = body.find('@'); at != std::string::npos) {
        // @stop[.nth]/waiting_ms
        const std::string stop = body.substr(at + 1);
        body.resize(at);
        const auto slash = split(stop, '/');
        if (slash.size() != 2 || !number(slash[1], &step.stop_wait_ms)) {
            *error = "bad stop in '" + word + "'";
            return std::nullopt;
        }
        const auto dot = split(slash[0], '.');
        bool known = false;
        for (size_t i = 1; i < std::size(kStops); ++i)
            if (dot[0] == kStops[i]) {
                step.stop = static_cast<StopAt>(i);
                known = true;
            }
        if (!known || dot.size() > 2 || (dot.size() == 2 && !number(dot[1], &step.stop_nth))) {
            *error = "bad stop in '" + word + "'";
            return std::nullopt;
        }
    }
    const auto parts = split(body, ':');
    const KindName *kind = nullptr;
    for (const KindName &k : kKinds)
        if (parts[0] == k.word)
            kind = &k;
    if (kind == nullptr) {
        *error = "unknown step '" + word + "'";
        return std::nullopt;
    }
    step.kind = kind->kind;
    const size_t wanted = 1 + kind->numbers + (kind->finger ? 1 : 0) +
                          (step.kind == Kind::Reconfigure ? 1 : 0) +
                          (step.kind == Kind::SdkFault || step.kind == Kind::DbFault ? 2 : 0);
    if (parts.size() != wanted) {
        *error = "wrong number of fields in '" + word + "'";
        return std::nullopt;
    }
    bool ok = true;
    if (step.kind == Kind::Reconfigure) {
        ok = number(parts[1], &step.value);
    } else if (step.kind == Kind::SdkFault) {
        ok = false;
        for (int c = 0; c < KELVS_CALL_COUNT; ++c)
            if (parts[1] == kelvs_call_name(static_cast<kelvs_call>(c))) {
                step.value = c;
                ok = true;
            }
        ok = ok && number(parts[2], &step.code);
    } else if (step.kind == Kind::DbFault) {
        ok = false;
        for (size_t p = 0; p < std::size(kDbPoints); ++p)
            if (parts[1] == kDbPoints[p]) {
                step.value = int(p);
                ok = true;
            }
        ok = ok && number(parts[2], &step.code);
    } else {
        int *fields[] = {&step.uid, &step.first, &step.last};
        for (int i = 0; i < kind->numbers; ++i)
            ok = ok && number(parts[1 + i], fields[i]);
        if (kind->numbers == 2)
            step.last = step.first;
        if (kind->finger)
            step.finger = parts.back() == "-" ? "" : parts.back();
    }
    if (!ok) {
        *error = "bad field in '" + word + "'";
        return std::nullopt;
    }
    return step;
}

// Values the host may pass that sit on the edges of a finger byte and of the host's range rules.
constexpr int kEdgeIndexes[] = {-1, 0, 254, 255, 256, 300};
struct Range {
    int first, last;
};
// Every index, every index again (-1..-1), one index, a short range, ranges that hold nothing, the
// edges of the finger byte.
constexpr Range kRanges[] = {{0, -1}, {-1, -1}, {0, 0}, {1, 1}, {2, 2}, {0, 2}, {1, 0},
                             {255, 255}, {254, 256}, {500, 600}, {1, -1}, {-1, 0}};
constexpr int kUsers[] = {1, 2, 3, 0, 258};

}  // namespace

std::string mode_name(Mode mode) { return mode == Mode::Chip ? "chip" : "host"; }

std::optional<Mode> parse_mode(std::string_view text)
{
    if (text == "chip")
        return Mode::Chip;
    if (text == "host")
        return Mode::Host;
    return std::nullopt;
}

std::string to_text(const Step &step)
{
    const KindName &kind = kind_name(step.kind);
    std::ostringstream out;
    out << kind.word;
    if (step.kind == Kind::Reconfigure)
        out << ':' << step.value;
    else if (step.kind == Kind::SdkFault)
        out << ':' << kelvs_call_name(static_cast<kelvs_call>(step.value)) << ':' << step.code;
    else if (step.kind == Kind::DbFault)
        out << ':' << kDbPoints[step.value] << ':' << step.code;
    const int fields[] = {step.uid, step.first, step.last};
    for (int i = 0; i < kind.numbers; ++i)
        out << ':' << fields[i];
    if (kind.finger)
        out << ':' << (step.finger.empty() ? "-" : step.finger);
    if (step.stop != StopAt::None) {
        out << '@' << kStops[static_cast<int>(step.stop)];
        if (step.stop == StopAt::Wait || step.stop == StopAt::Walk)
            out << '.' << step.stop_nth;
        out << '/' << step.stop_wait_ms;
    }
    return out.str();
}

std::string to_text(const std::vector<Step> &steps)
{
    std::string out;
    for (const Step &step : steps) {
        if (!out.empty())
            out += ' ';
        out += to_text(step);
    }
    return out;
}

std::optional<std::vector<Step>> parse_steps(std::string_view text, std::string *error)
{
    std::vector<Step> steps;
    std::istringstream in{std::string(text)};
    for (std::string word; in >> word;) {
        auto step = parse_step(word, error);
        if (!step)
            return std::nullopt;
        steps.push_back(*step);
    }
    return steps;
}

std::vector<Step> generate(uint64_t seed, int count, Mode mode)
{
    std::mt19937_64 random(seed * 2 + (mode == Mode::Chip ? 1 : 0));
    auto pick = [&](int n) { return int(random() % uint64_t(n)); };
    auto chance = [&](int percent) { return pick(100) < percent; };
    std::vector<std::string> enrolled;
    int fresh = 0;

    auto any_user = [&] { return chance(12) ? -1 : kUsers[pick(std::size(kUsers))]; };
    auto index = [&] { return chance(20) ? kEdgeIndexes[pick(std::size(kEdgeIndexes))] : pick(3); };
    auto range = [&](Step &s) {
        const Range r = kRanges[pick(std::size(kRanges))];
        s.first = r.first;
        s.last = r.last;
    };
    // A finger someone enrolled, one nobody did, or none at all.
    auto probe = [&]() -> std::string {
        const int roll = pick(100);
        if (roll < 60 && !enrolled.empty())
            return enrolled[pick(int(enrolled.size()))];
        if (roll < 85)
            return "stranger" + std::to_string(pick(3));
        return "";
    };
    auto maybe_stop = [&](Step &s) {
        if (!chance(30))
            return;
        s.stop = static_cast<StopAt>(1 + pick(5));
        s.stop_nth = 1 + pick(s.stop == StopAt::Walk ? 3 : 12);
        const int waits[] = {0, 50, 200, 1000, 3000, 10000};
        s.stop_wait_ms = waits[pick(std::size(waits))];
    };

    // Faults the sensor may answer now and then: calls that fail with a code of their own.
    constexpr kelvs_call kFailing[] = {KELVS_OpenDevice, KELVS_GlobalInit, KELVS_GetDeviceCount,
                                       KELVS_CaptureRawData, KELVS_ExtractFeature, KELVS_VerifyExt,
                                       KELVS_EnrollForOS, KELVS_StoreTemplateForOS, KELVS_SearchForOS,
                                       KELVS_DelUserFpsFroOS, KELVS_DelAllUserFpsFroOS, KELVS_DelOSInfoFpsFroOS,
                                       KELVS_GetDeviceWorkMode};

    std::vector<Step> steps;
    // Most sequences start with an open, as a host does; some run operations on a device never opened.
    if (!chance(10))
        steps.emplace_back();  // a default step is an open
    while (int(steps.size()) < count) {
        Step s;
        const int roll = pick(100);
        if (roll < 10) {
            s.kind = Kind::Open;
        } else if (roll < 17) {
            s.kind = Kind::Close;
        } else if (roll < 19) {
            s.kind = Kind::Reconfigure;
            s.value = chance(75) ? 1 : 0;
        } else if (roll < 33) {
            s.kind = Kind::Enroll;
            s.uid = kUsers[pick(std::size(kUsers))];
            s.first = s.last = index();
            const int who = pick(100);
            if (who < 75 || enrolled.empty())
                s.finger = "finger" + std::to_string(fresh++);
            else if (who < 92)
                s.finger = enrolled[pick(int(enrolled.size()))];
            enrolled.push_back(s.finger);
            if (s.finger.empty())
                enrolled.pop_back();
            maybe_stop(s);
        } else if (roll < 45) {
            s.kind = Kind::Verify;
            s.uid = any_user();
            s.first = s.last = index();
            s.finger = probe();
            maybe_stop(s);
        } else if (roll < 53) {
            s.kind = Kind::Identify;
            s.uid = any_user();
            range(s);
            s.finger = probe();
            maybe_stop(s);
        } else if (roll < 61) {
            s.kind = Kind::Search;
            s.uid = any_user();
            range(s);
            s.finger = probe();
            maybe_stop(s);
        } else if (roll < 66) {
            s.kind = Kind::List;
            s.uid = any_user();
            range(s);
            maybe_stop(s);
        } else if (roll < 77) {
            s.kind = Kind::Clean;
            s.uid = any_user();
            range(s);
            maybe_stop(s);
        } else if (roll < 79) {
            s.kind = Kind::Unplug;
        } else if (roll < 82) {
            s.kind = Kind::Replug;
        } else if (roll < 89) {
            s.kind = Kind::SdkFault;
            kelvs_call call = kFailing[pick(std::size(kFailing))];
            if (mode == Mode::Host && call >= KELVS_EnrollForOS)
                call = KELVS_VerifyExt;
            s.value = call;
            s.code = call == KELVS_GlobalInit ? 1 : -(1 + pick(12));
        } else if (roll < 92) {
            s.kind = Kind::DbFault;
            s.value = pick(BIO_FAULT_POINT_COUNT);
            s.code = 1 + pick(2);
        } else if (roll < 96) {
            s.kind = Kind::DbRemove;
            s.uid = kUsers[pick(std::size(kUsers))];
            s.first = s.last = pick(3);
        } else {
            s.kind = Kind::DbAdd;
            s.uid = kUsers[pick(std::size(kUsers))];
            s.first = s.last = chance(30) ? kEdgeIndexes[pick(std::size(kEdgeIndexes))] : pick(4);
        }
        steps.push_back(s);
    }
    return steps;
}

}  // namespace model
