// trace_frames.cpp - kelvractl trace frames: every frame a trace holds as a PNG a person can open, with
// one table of them, so that a field session can be looked at and not only read.
#include "trace_frames.h"

#include "i18n.h"
#include "kelvra_trace.h"
#include "report.h"
#include "trace_commands.h"

#include <png.h>
#include <sys/stat.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace kelvractl {

namespace kt = kelvra::trace;

namespace {

// The value of the parameter `name` of a call, by its direction; nullptr when the call has none.
const kt::Value *value_of(const kt::Call &call, const char *name)
{
    std::size_t in = 0, out = 0;
    for (const kt::Parameter &p : kt::parameters(call.function)) {
        const bool input = p.direction == kt::Direction::in;
        const std::vector<kt::Value> &values = input ? call.inputs : call.outputs;
        const std::size_t at = input ? in++ : out++;
        if (p.name == name)
            return at < values.size() ? &values[at] : nullptr;
    }
    return nullptr;
}

std::optional<std::int64_t> integer_of(const kt::Call &call, const char *name)
{
    const kt::Value *v = value_of(call, name);
    if (v == nullptr || v->kind != kt::Value::Kind::integer)
        return std::nullopt;
    return v->number;
}

// An 8-bit grey PNG; false with the reason libpng gave.
bool write_png(const std::string &path, const std::vector<std::uint8_t> &pixels, std::uint32_t width,
               std::uint32_t height, std::string &why)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "wbx"), &std::fclose);
    if (!file) {
        why = std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        why = "out of memory";
        return false;
    }
    // libpng reports its errors by longjmp; nothing with a destructor lives between here and there.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        why = "libpng could not write it";
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::uint32_t row = 0; row < height; ++row)
        png_write_row(png, pixels.data() + std::size_t(row) * width);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

// A frame's shape: the sensor's image size when the frame has that many bytes, else a square (the
// on-chip presence frames are 96 x 96), else one row.
std::pair<std::uint32_t, std::uint32_t> shape_of(std::size_t size, std::int64_t width, std::int64_t height)
{
    if (width > 0 && height > 0 && std::size_t(width) * std::size_t(height) == size)
        return {std::uint32_t(width), std::uint32_t(height)};
    const auto side = static_cast<std::uint32_t>(std::lround(std::sqrt(double(size))));
    if (std::size_t(side) * side == size)
        return {side, side};
    return {std::uint32_t(size), 1};
}

struct Frame {
    std::uint64_t call;
    std::int64_t time_ns;
    const kt::Value *image;
    std::pair<std::uint32_t, std::uint32_t> shape;
    std::string score = "-";
};

}  // namespace

int write_frames(const std::string &in, const std::string &dir, std::FILE *out, std::FILE *err)
{
    int status = kExitOk;
    const auto trace = read_trace_for(
        in, dir, strf(tr("%s exists; trace frames writes into a folder of its own"), dir.c_str()), err, status);
    if (!trace)
        return status;
    if (trace->header.redacted) {
        trace_error(err, strf(tr("%s is redacted: it holds no frames"), in.c_str()));
        return kExitFailed;
    }

    std::vector<Frame> frames;
    std::int64_t width = 0, height = 0;
    std::uint64_t index = 0;
    for (const kt::Entry &entry : trace->entries) {
        const auto *call = std::get_if<kt::Call>(&entry);
        if (call == nullptr)
            continue;
        ++index;
        if (call->function == kt::Function::GetImageInfo && call->rc == 0) {
            width = integer_of(*call, "width").value_or(width);
            height = integer_of(*call, "height").value_or(height);
        } else if (call->function == kt::Function::CaptureRawData) {
            const kt::Value *image = value_of(*call, "image");
            if (image != nullptr && image->kind == kt::Value::Kind::bytes && !image->bytes->empty())
                frames.push_back({index, call->start_ns, image, shape_of(image->bytes->size(), width, height)});
        } else if (call->function == kt::Function::ImgQuality && !frames.empty()) {
            // The driver grades the frame it captured last; the SDK's answer is that frame's score.
            const kt::Value *graded = value_of(*call, "image");
            const kt::Value *quality = value_of(*call, "quality");
            if (graded != nullptr && *graded == *frames.back().image && quality != nullptr && call->rc == 0) {
                // "unchanged": the SDK left the driver's variable as it was, and the trace does not hold it.
                if (quality->kind == kt::Value::Kind::integer)
                    frames.back().score = std::to_string(quality->number);
                else if (quality->kind == kt::Value::Kind::unchanged)
                    frames.back().score = "unchanged";
            }
        }
    }

    // Fingerprint images: a private folder, as the trace is a private file.
    if (mkdir(dir.c_str(), 0700) != 0) {
        trace_error(err, strf(tr("cannot create %s: %s"), dir.c_str(), std::strerror(errno)));
        return kExitFailed;
    }
    const std::string table_path = dir + "/frames.tsv";
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> table(std::fopen(table_path.c_str(), "wx"), &std::fclose);
    if (!table) {
        trace_error(err, strf(tr("cannot write %s: %s"), table_path.c_str(), std::strerror(errno)));
        return kExitFailed;
    }
    std::fprintf(table.get(), "frame\tcall\ttime_s\twidth\theight\tscore\tfile\n");
    for (std::size_t n = 0; n < frames.size(); ++n) {
        const Frame &f = frames[n];
        char name[64];
        std::snprintf(name, sizeof name, "frame-%04zu-call-%llu.png", n + 1, static_cast<unsigned long long>(f.call));
        std::string why;
        if (!write_png(dir + "/" + name, *f.image->bytes, f.shape.first, f.shape.second, why)) {
            trace_error(err, strf(tr("cannot write %s: %s"), (dir + "/" + name).c_str(), why.c_str()));
            return kExitFailed;
        }
        std::fprintf(table.get(), "%zu\t%llu\t%.6f\t%u\t%u\t%s\t%s\n", n + 1, static_cast<unsigned long long>(f.call),
                     double(f.time_ns) / 1e9, f.shape.first, f.shape.second, f.score.c_str(), name);
    }
    if (std::fflush(table.get()) != 0) {
        trace_error(err, strf(tr("cannot write %s: %s"), table_path.c_str(), std::strerror(errno)));
        return kExitFailed;
    }
    std::fprintf(out, "%s\n",
                 strf(tr_n("Wrote %zu frame of %s into %s, with the table %s.",
                           "Wrote %zu frames of %s into %s, with the table %s.", frames.size()),
                      frames.size(), in.c_str(), dir.c_str(), table_path.c_str())
                     .c_str());
    std::fflush(out);
    return kExitOk;
}

}  // namespace kelvractl
