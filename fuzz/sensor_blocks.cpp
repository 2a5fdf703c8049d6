// sensor_blocks.cpp - feature blocks of a virtual finger, as the sensor makes them from a real press.
#include "fuzz_device.h"

#include "kelfpscan.h"
#include "kelvs_control.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace kelvra_fuzz {

const char kHostProfile[] =
    "[Sensor]\nWorkMode=host\nCount=1\nWidth=160\nHeight=160\nDpi=508\nCaptureMs=1\n"
    "FwMinorVersion=80\nFwVersion=24\nMcuType=7\nSensorType=37\n[Finger]\nName=none\n";

void die(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputs("FINDING: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

std::vector<unsigned char> press_and_extract(void *handle, const char *finger, int width, int height)
{
    kelvs_finger_press(finger, KELVS_CONTACT_FULL);
    std::vector<unsigned char> image(static_cast<size_t>(width) * height, 255);
    if (const int rc = KELFPSCAN_CaptureRawData(handle, 0, image.data()); rc != 0)
        die("set-up: the virtual sensor refused a capture (%d)", rc);
    std::vector<unsigned char> block(KELFPSCAN_FEATURE_SIZE);
    if (const int rc = KELFPSCAN_ExtractFeature(handle, 0, block.data()); rc != 0)
        die("set-up: the virtual sensor refused to extract a feature block (%d)", rc);
    kelvs_finger_lift();
    return block;
}

}  // namespace kelvra_fuzz
