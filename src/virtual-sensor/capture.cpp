// capture.cpp - taking frames, extracting feature blocks from them and comparing blocks.
#include "replay.h"
#include "vs_internal.h"

#include <algorithm>
#include <cstring>

using kelvs::Answer;
using kelvs::Device;
using kelvs::State;

namespace {

struct Geometry {
    int width, height;
};

Geometry frame_geometry(const kelvs::Profile &p)
{
    if (p.chip)
        return {KELFPSCAN_MOC_IMAGE_WIDTH, KELFPSCAN_MOC_IMAGE_HEIGHT};
    return {p.width, p.height};
}

// A frame fills exactly what the open sensor reported; a scripted answer on a closed handle uses the
// geometry of the current profile.
Geometry frame_geometry(State &s, KELFPSCAN_HANDLE handle)
{
    Device *d = nullptr;
    if (kelvs::find_device(s, handle, d) == 0)
        return {d->width, d->height};
    return frame_geometry(s.profile);
}

// A scripted frame has no finger behind it: what it shows is judged from its pixels alone.
void remember_scripted_frame(Device &d, std::span<const uint8_t> pixels, Geometry g)
{
    d.last = {};
    d.last.valid = true;
    d.last.width = g.width;
    d.last.height = g.height;
    d.last.pixels.assign(pixels.begin(), pixels.end());
    d.last.quality = kelvs::grade_image(pixels, g.width, g.height);
    if (d.last.quality > 50) {
        uint64_t h = 0xcbf29ce484222325ull;
        for (uint8_t p : pixels)
            h = (h ^ p) * 0x100000001b3ull;
        d.last.finger.contact = KELVS_CONTACT_FULL;
        d.last.finger.id = h;
    }
}

}  // namespace

KELVS_EXPORT int KELFPSCAN_CaptureRawData(KELFPSCAN_HANDLE handle, int mode, unsigned char *image)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::capture_raw_data(s, handle, mode, image); }))
        return *replayed;
    auto &s = kelvs::state();
    auto rec = kelvs::make_record(KELVS_CaptureRawData, mode);
    std::optional<Answer> answer;
    int64_t capture_us = 0;
    {
        std::lock_guard lock(s.mu);
        answer = kelvs::take_answer(s, KELVS_CaptureRawData);
        if (!answer) {
            Device *d = nullptr;
            int rc = kelvs::find_device(s, handle, d);
            if (rc == 0 && !image)
                rc = KELVS_ERR_ARGUMENT;
            if (rc != 0)
                return kelvs::finish_call(s, rec, rc);
        }
        capture_us = int64_t(s.profile.capture_ms) * 1000;
    }
    // The exposure takes its time whether or not the answer was scripted.
    kelvs::sleep_us(capture_us);
    int64_t now = kelvs::now_us();

    std::vector<uint8_t> dump;
    std::string dump_dir;
    uint64_t serial = 0;
    Geometry g{};
    int rc = 0;
    {
        std::lock_guard lock(s.mu);
        g = frame_geometry(s, handle);
        const size_t n = size_t(g.width) * size_t(g.height);
        Device *d = nullptr;
        if (answer) {
            rc = answer->rc;
            if (image && (answer->has_image || answer->has_out)) {
                if (answer->has_image) {
                    size_t k = std::min(n, answer->image.size());
                    std::memcpy(image, answer->image.data(), k);
                    std::memset(image + k, 255, n - k);
                } else {
                    std::memset(image, std::clamp(answer->out[0], 0, 255), n);
                }
                if (rc == 0 && kelvs::find_device(s, handle, d) == 0)
                    remember_scripted_frame(*d, {image, n}, g);
            }
        } else {
            rc = kelvs::find_device(s, handle, d);
            if (rc == 0) {
                auto view = kelvs::finger_at(s.profile, s.finger, now);
                std::vector<uint8_t> frame(n);
                kelvs::render_frame(frame, g.width, g.height, view, s.frame_serial, s.profile.noise);
                std::memcpy(image, frame.data(), n);
                serial = s.frame_serial++;
                d->last = {};
                d->last.valid = true;
                d->last.finger = view;
                d->last.width = g.width;
                d->last.height = g.height;
                d->last.quality = kelvs::grade_image(frame, g.width, g.height);
                if (!s.profile.frame_dir.empty()) {
                    dump = frame;
                    dump_dir = s.profile.frame_dir;
                }
                d->last.pixels = std::move(frame);
            }
        }
        kelvs::finish_call(s, rec, rc);
    }
    if (!dump_dir.empty())
        kelvs::write_pgm(dump_dir, serial, dump, g.width, g.height);
    return rc;
}

KELVS_EXPORT int KELFPSCAN_ExtractFeature(KELFPSCAN_HANDLE handle, int mode, unsigned char *feature)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::extract_feature(s, handle, mode, feature); }))
        return *replayed;
    return kelvs::handle_call(
        kelvs::make_record(KELVS_ExtractFeature, mode), handle,
        [&](const Answer &a) {
            if (feature)
                std::memset(feature, a.out[0] & 0xff, KELFPSCAN_FEATURE_SIZE);
        },
        [&](State &, Device &d) {
            if (!feature)
                return int(KELVS_ERR_ARGUMENT);
            return kelvs::make_feature(d.last, {feature, size_t(KELFPSCAN_FEATURE_SIZE)});
        });
}

KELVS_EXPORT int KELFPSCAN_VerifyExt(KELFPSCAN_HANDLE handle, int level, const unsigned char *feature, int count,
                                     const unsigned char *templates, int *similarity, int *match)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::verify_ext(s, handle, level, feature, count, templates, similarity, match); }))
        return *replayed;
    kelvs_call_record record = kelvs::make_record(KELVS_VerifyExt, level, count);
    if (feature && kelvs::call_listened())
        record.data_digest[0] = kelvs_digest(feature, size_t(KELFPSCAN_FEATURE_SIZE));
    if (templates && count > 0 && kelvs::call_listened())
        record.data_digest[1] = kelvs_digest(templates, size_t(count) * KELFPSCAN_FEATURE_SIZE);
    return kelvs::handle_call(
        record, handle,
        [&](const Answer &a) {
            if (similarity)
                *similarity = a.out[0];
            if (match)
                *match = a.out[1];
        },
        [&](State &, Device &) {
            if (!feature || !templates || !similarity || !match || count <= 0)
                return int(KELVS_ERR_ARGUMENT);
            if (!kelvs::compare_features(level, {feature, size_t(KELFPSCAN_FEATURE_SIZE)},
                                         {templates, size_t(count) * KELFPSCAN_FEATURE_SIZE}, count, *similarity,
                                         *match))
                return int(KELVS_ERR_BAD_FEATURE);
            return 0;
        });
}
